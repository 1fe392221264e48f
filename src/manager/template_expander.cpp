#include "manager/template_expander.h"

#include <map>
#include <utility>

#include "manager/metadata_locator.h"
#include "manager/metadata_paths.h"
#include "platform/text.h"
#include "runtime/config.h"
#include "runtime/filename.h"
#include "runtime/log.h"

namespace Tavrel {
namespace {

// Tag to account name. Tags compare case-sensitively.
using TagMap = std::map<std::wstring, std::wstring>;

constexpr const wchar_t* anonymousPrefix = L"IWPG_";
constexpr const wchar_t* ftpSubaccountsAccount = L"ftp_subaccounts";

// The anonymous account of a webspace: the prefix and the account part of the system user, so
// that "DOM\\user" gives "IWPG_user" and never an account of another domain or the system user
// itself.
std::wstring anonymousAccountOf(const std::wstring& systemUser) {
    std::size_t separator = systemUser.find_last_of(L'\\');
    std::wstring account =
        separator == std::wstring::npos ? systemUser : systemUser.substr(separator + 1);
    if (account.empty()) {
        throw vexception(L"Invalid system user name '" + systemUser + L"': it names no account",
                         VSITE("Tavrel::SecurityManager::expandWebspaceTemplate"));
    }
    return anonymousPrefix + account;
}

// The tags of a webspace's entries and of a web user's: the account the entries are for, the
// webspace's anonymous account and the FTP subaccounts' group.
TagMap webspaceTags(const std::wstring& domainUser, const std::wstring& systemUser) {
    return {
        {L"DomainUser", domainUser},
        {L"AnonymousDomainUser", anonymousAccountOf(systemUser)},
        {L"FtpSubaccounts", ftpSubaccountsAccount},
    };
}

// Loads `file` as the source of an expansion: the entries of unmapped accounts are kept, as
// their tags are bound only when the template is expanded.
MetadataSet loadSource(const MetadataSet& target, const std::wstring& file) {
    MetadataSet source(target.accountResolver());
    source.setSkipUnmappedAccounts(false);
    // A missing template gives no entries, and the run goes on without them: a file name the
    // panel mistyped must still show in the log.
    if (!fileExist(file)) {
        LogManager::instance().log(LogWarning,
                                   L"Unable to find the template %s: it gives no entries", file);
    }
    source.load(file, false);
    return source;
}

// The common core of the expansions: every entry of `source` with its tag bound through
// `tags`, `tag2` set when not empty and `basePath` put in front of its sub path; an entry
// that the target already holds is not added again.
void expandInto(MetadataSet& target, const std::wstring& basePath, const TagMap& tags,
                const MetadataSet& source, const std::wstring& metadataFile,
                const std::wstring& tag2) {
    DiskSecurity::EntryTemplateSet& entries = *target.entries();
    for (const auto& original : *source.entries()) {
        DiskSecurity::EntryTemplate entry = original;
        if (!entry.tag.empty()) {
            auto bound = tags.find(entry.tag);
            if (bound == tags.end()) {
                throw vexception(L"Unable to find account for TAG: " + entry.tag,
                                 VSITE("Tavrel::SecurityManager::_expandTemplate"));
            }
            entry.account = target.accountResolver()->resolveAccount(bound->second, std::wstring());
        }
        if (!tag2.empty()) {
            entry.tag2 = tag2;
        }
        // Without a base the sub path stays as the template wrote it: joining it to nothing
        // would turn the area's own root ("") into a lone backslash.
        if (!basePath.empty()) {
            entry.subPath = VFileName::combine(basePath, entry.subPath);
        }
        // Metadata that came from this template already holds the entry; a second copy would
        // change nothing on disk but grow the file with every repair.
        if (entries.entries().find(entry) == entries.end()) {
            entries.insert(entry);
        }
    }
    target.bindTo(metadataFile);
}

}  // namespace

std::wstring panelTemplate(const std::wstring& name) {
    return VFileName::combine(VFileName::combine(panelParameter(L"PRODUCT_ROOT_D"), L"etc"), name);
}

namespace TemplateExpander {

void expandWebspaceTemplate(MetadataSet& target, MetadataLocator& locator,
                            const std::wstring& webspace, const std::wstring& systemUser,
                            const std::wstring& templateFile) {
    requirePlainName(L"webspace name", webspace);
    MetadataSet source = loadSource(target, templateFile);
    expandInto(target, webspace, webspaceTags(systemUser, systemUser), source,
               MetadataLocator::domainMetadataFile(webspace, locator.root()), std::wstring());
}

void expandWebUserTemplate(MetadataSet& target, MetadataLocator& locator,
                           const std::wstring& webspace, const std::wstring& systemUser,
                           const std::wstring& webUser, const std::wstring& templateFile) {
    requirePlainName(L"webspace name", webspace);
    requirePlainName(L"web user name", webUser);
    MetadataSet source = loadSource(target, templateFile);
    TagMap tags = webspaceTags(webUser, systemUser);
    tags[L"ParentUser"] = systemUser;
    expandInto(target, webspace + L"\\web_users\\" + webUser, tags, source,
               MetadataLocator::webUserMetadataFile(webspace, webUser, locator.root()),
               std::wstring());
}

void expandFileSharingTemplate(MetadataSet& target, const std::wstring& area,
                               const std::wstring& templateFile) {
    requirePlainName(L"vhost name", area);
    MetadataSet source = loadSource(target, templateFile);
    expandInto(target, std::wstring(), TagMap(), source,
               MetadataLocator::domainMetadataFile(area, std::wstring()), std::wstring());
}

void expandUserFileSharingTemplate(MetadataSet& target, const std::wstring& area,
                                   const std::wstring& basePath, const std::wstring& userAccount,
                                   const std::wstring& tag2, const std::wstring& templateName) {
    requirePlainName(L"vhost name", area);
    requireRelativePath(L"base path", basePath);
    // The user id marks the user's entries and names the user's private directory.
    if (!tag2.empty()) {
        requirePlainName(L"user id", tag2);
    }
    MetadataSet source = loadSource(target, panelTemplate(templateName));
    TagMap tags{
        {L"FtpSubaccounts", ftpSubaccountsAccount},
        {L"User", userAccount},
    };
    expandInto(target, basePath, tags, source,
               MetadataLocator::domainMetadataFile(area, std::wstring()), tag2);
}

}  // namespace TemplateExpander
}  // namespace Tavrel
