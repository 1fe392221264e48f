// Template expansion: a panel template names roles and paths relative to a webspace; expanding
// it for one webspace, web user or file-sharing user binds each role to a real account and
// places each sub path below the right directory.
#include <set>
#include <utility>

#include "manager/security_manager.h"
#include "platform/text.h"
#include "runtime/config.h"
#include "runtime/filename.h"
#include "runtime/log.h"

namespace Tavrel {
namespace {

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
SecurityManager::TagMap webspaceTags(const std::wstring& domainUser,
                                     const std::wstring& systemUser) {
    return {
        {L"DomainUser", domainUser},
        {L"AnonymousDomainUser", anonymousAccountOf(systemUser)},
        {L"FtpSubaccounts", ftpSubaccountsAccount},
    };
}

// PRODUCT_ROOT_D\etc, where the panel keeps its templates.
std::wstring panelEtcDirectory() {
    return VFileName::combine(panelParameter(L"PRODUCT_ROOT_D"), L"etc");
}

}  // namespace

void SecurityManager::_loadTemplate(const std::wstring& file) {
    setSkipUnmappedAccounts(false);
    // A missing template gives no entries, and the run goes on without them: a file name the
    // panel mistyped must still show in the log.
    if (!fileExist(file)) {
        LogManager::instance().log(LogWarning,
                                   L"Unable to find the template %s: it gives no entries", file);
    }
    load(file, false);
}

void SecurityManager::_expandTemplate(const std::wstring& basePath, const TagMap& tags,
                                      const SecurityManager& source,
                                      const std::wstring& metadataFile, const std::wstring& tag2) {
    for (const auto& original : *source.entries()) {
        DiskSecurity::EntryTemplate entry = original;
        if (!entry.tag.empty()) {
            auto bound = tags.find(entry.tag);
            if (bound == tags.end()) {
                throw vexception(L"Unable to find account for TAG: " + entry.tag,
                                 VSITE("Tavrel::SecurityManager::_expandTemplate"));
            }
            entry.account = accountResolver_->resolveAccount(bound->second, std::wstring());
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
        if (entries_->entries().find(entry) == entries_->end()) {
            entries_->insert(entry);
        }
    }
    metadataPath_ = metadataFile;
    if (entries_->sourcePath().empty()) {
        entries_->setSourcePath(metadataPath_);
    }
}

void SecurityManager::expandWebspaceTemplate(const std::wstring& webspace,
                                             const std::wstring& systemUser,
                                             const std::wstring& templateFile) {
    requirePlainName(L"webspace name", webspace);
    SecurityManager source(accountResolver_);
    source._loadTemplate(templateFile);
    _expandTemplate(webspace, webspaceTags(systemUser, systemUser), source,
                    domainMetadataFile(webspace, root()), std::wstring());
}

void SecurityManager::expandWebUserTemplate(const std::wstring& webspace,
                                            const std::wstring& systemUser,
                                            const std::wstring& webUser,
                                            const std::wstring& templateFile) {
    requirePlainName(L"webspace name", webspace);
    requirePlainName(L"web user name", webUser);
    SecurityManager source(accountResolver_);
    source._loadTemplate(templateFile);
    TagMap tags = webspaceTags(webUser, systemUser);
    tags[L"ParentUser"] = systemUser;
    _expandTemplate(webspace + L"\\web_users\\" + webUser, tags, source,
                    webUserMetadataFile(webspace, webUser, root()), std::wstring());
}

void SecurityManager::expandFileSharingTemplate(const std::wstring& area,
                                                const std::wstring& templateFile) {
    requirePlainName(L"vhost name", area);
    SecurityManager source(accountResolver_);
    source._loadTemplate(templateFile);
    _expandTemplate(std::wstring(), TagMap(), source, domainMetadataFile(area, std::wstring()),
                    std::wstring());
}

void SecurityManager::expandUserFileSharingTemplate(const std::wstring& area,
                                                    const std::wstring& basePath,
                                                    const std::wstring& userAccount,
                                                    const std::wstring& tag2,
                                                    const std::wstring& templateName) {
    requirePlainName(L"vhost name", area);
    requireRelativePath(L"base path", basePath);
    // The user id marks the user's entries and names the user's private directory.
    if (!tag2.empty()) {
        requirePlainName(L"user id", tag2);
    }
    SecurityManager source(accountResolver_);
    source._loadTemplate(VFileName::combine(panelEtcDirectory(), templateName));
    TagMap tags{
        {L"FtpSubaccounts", ftpSubaccountsAccount},
        {L"User", userAccount},
    };
    _expandTemplate(basePath, tags, source, domainMetadataFile(area, std::wstring()), tag2);
}

std::vector<DiskSecurity::EntryTemplate> SecurityManager::removeEntriesOf(
    const SecurityManager& other) {
    std::set<std::pair<std::wstring, std::wstring>> tagsOfOther;
    for (const auto& entry : *other.entries()) {
        tagsOfOther.emplace(Platform::toLower(entry.tag), Platform::toLower(entry.tag2));
    }
    auto kept = std::make_shared<DiskSecurity::EntryTemplateSet>(entries_->sourcePath());
    std::vector<DiskSecurity::EntryTemplate> removed;
    for (const auto& entry : *entries_) {
        if (tagsOfOther.count({Platform::toLower(entry.tag), Platform::toLower(entry.tag2)}) == 0) {
            kept->insert(entry);
        } else {
            removed.push_back(entry);
        }
    }
    entries_ = std::move(kept);
    return removed;
}

}  // namespace Tavrel
