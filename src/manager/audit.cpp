#include "manager/audit.h"

#include <memory>
#include <vector>

#include "disksecurity/template_xml.h"
#include "platform/dtyp/ace.h"
#include "platform/dtyp/ace_text.h"
#include "platform/system.h"
#include "platform/text.h"
#include "runtime/exceptions.h"
#include "runtime/filename.h"
#include "runtime/log.h"

namespace Tavrel {
namespace {

using namespace DiskSecurity;
namespace Dtyp = Platform::Dtyp;

// "DOMAIN\name", or the name alone for accounts without a domain (Everyone), as
// tavrel-host's listings name them; the SID when it names no account.
std::wstring accountText(const VSID& account) {
    try {
        std::wstring name = account.displayName();
        return name.starts_with(L'\\') ? name.substr(1) : name;
    } catch (...) {
        return account.toString();
    }
}

// A checker that judges each object as a repair would and prints what it finds instead of
// writing; it always answers "right", so nothing reaches a write.
class AuditChecker : public CompleteChecker {
public:
    AuditChecker(Callback& callback, const CheckerOptions& options, TarnoComponentResolver* context,
                 AuditCounts& counts)
        : CompleteChecker(callback, options, context), counts_(counts) {}

    CallbackResult beforeCheck(const std::wstring& path, bool isDirectory) override {
        path_ = stripLongPrefix(path);
        return CompleteChecker::beforeCheck(path, isDirectory);
    }

    bool isDaclWrong(const VAcl& dacl, const SecurityInformation& information,
                     std::uint32_t mode) override {
        ++counts_.objects;
        if ((mode & ObjectMode::InheritRequired) && !dacl.hasInheritedAce()) {
            _inheritance(L"protected, inherits nothing");
        }
        _compare(dacl, information, mode);
        return false;
    }

    // Reached only for an object that still inherits where it must not.
    CallbackResult applySecurity(const SecurityInformation& information, const VAcl& existing,
                                 Platform::Handle, const std::wstring&,
                                 std::uint32_t mode) override {
        ++counts_.objects;
        _inheritance(L"inherits, must be protected");
        _compare(existing, information, mode);
        return CallbackResult::Continue;
    }

private:
    void _print(const wchar_t* kind, const std::wstring& account, const std::wstring& rights,
                const std::wstring& flags) {
        Platform::writeStdout(Platform::toUtf8(path_ + L"\t" + kind + L"\t" + account + L"\t" +
                                               rights + L"\t" + flags + L"\n"));
    }

    void _inheritance(const wchar_t* how) {
        ++counts_.inheritance;
        _print(L"inheritance", L"-", L"-", how);
    }

    // One line per ACE that the items make, as a repair would write them.
    void _printItems(const wchar_t* kind, const VAccessControl& items, std::uint64_t& count) {
        VAcl acl = buildAcl(items);
        for (int i = 0; i < acl.aceCount(); ++i) {
            VAce ace = acl.aceAt(i);
            ++count;
            _print(kind, accountText(ace.sid()), Dtyp::aceRightsText(ace.mask()),
                   Dtyp::aceFlagsText(ace.flags(), ace.type()));
        }
    }

    // The same judgement as compareControls, item by item, without stopping at the first.
    void _compare(const VAcl& dacl, const SecurityInformation& information, std::uint32_t mode) {
        const VAccessControl& required = requiredControlFor(information, mode);
        bool exact = (mode & ObjectMode::Exact) != 0;
        bool thisObjectOnly = (mode & ObjectMode::File) != 0;
        auto compared = [&](const AccessKey& key) {
            return !thisObjectOnly || key.target() == AccessItemTarget::ThisObject;
        };
        VAccessControl existing = fromAcl(dacl);
        VAccessControl missing;
        VAccessControl surplus;
        for (const auto& [key, item] : required) {
            if (!compared(key)) {
                continue;
            }
            const AccessItem* found = existing.find(key);
            bool grants = found && found->kind != AccessItemKind::Deny && found->allowMask != 0;
            switch (item.kind) {
                case AccessItemKind::Allow:
                case AccessItemKind::Deny:
                case AccessItemKind::ImplicitAllow:
                    if (!found || !itemMatches(item, *found, exact)) {
                        mapItem(missing, key, item);
                    }
                    break;
                case AccessItemKind::Stop:
                    if (grants) {
                        mapItem(surplus, key, *found);
                    }
                    break;
                case AccessItemKind::Revoke:
                    if (found) {
                        mapItem(surplus, key, *found);
                    }
                    break;
            }
        }
        VAccessControl extra;
        for (int i = 0, count = dacl.aceCount(); i < count; ++i) {
            VAce ace = dacl.aceAt(i);
            bool inherited = (ace.flags() & Dtyp::AceFlag::Inherited) != 0;
            VAccessControl one;
            addAce(one, ace);
            for (const auto& [key, item] : one) {
                if (!compared(key) || required.find(key)) {
                    continue;
                }
                if (exact) {
                    mapItem(surplus, key, item);  // an exact DACL keeps nothing else
                } else if (!inherited) {
                    mapItem(extra, key, item);
                }
            }
        }
        _printItems(L"missing", missing, counts_.missing);
        _printItems(L"surplus", surplus, counts_.surplus);
        _printItems(L"extra", extra, counts_.extra);
    }

    AuditCounts& counts_;
    std::wstring path_;
};

}  // namespace

std::wstring AuditCounts::summary() const {
    return formatString(L"Audited %u objects: %u missing, %u extra, %u surplus, %u inheritance",
                        static_cast<std::uint32_t>(objects), static_cast<std::uint32_t>(missing),
                        static_cast<std::uint32_t>(extra), static_cast<std::uint32_t>(surplus),
                        static_cast<std::uint32_t>(inheritance));
}

void auditScope(SecurityManager& manager, bool fullScan, AuditCounts& counts) {
    SecurityManager::CheckerFactory make = [&](Callback& callback, const CheckerOptions& options,
                                               TarnoComponentResolver* context) {
        return std::unique_ptr<SecurityChecker>(
            std::make_unique<AuditChecker>(callback, options, context, counts));
    };
    // Simulate: the walk creates no folder and the checker writes nothing.
    manager.applyCheckerToScope(make, CheckMode::Simulate, fullScan);
}

bool loadWebUserMetadataToRead(const std::wstring& webspace, const std::wstring& webUser,
                               SecurityManager& manager) {
    std::wstring file = SecurityManager::webUserMetadataFile(webspace, webUser, std::wstring());
    holdMetadataInPlace(file);
    if (!fileExist(file)) {
        LogManager::instance().log(LogWarning, L"Unable to find webuser security metadata file: %s",
                                   file);
    }
    try {
        manager.load(file, false);
        return true;
    } catch (const TemplateFormatException& e) {
        LogManager::instance().log(LogWarning,
                                   L"The web user security metadata file %s is damaged; the "
                                   L"audit leaves that web user out: %s",
                                   file, renderException(e));
        return false;
    }
}

}  // namespace Tavrel
