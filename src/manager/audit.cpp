#include "manager/audit.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <utility>
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

bool sameItem(const AccessItem& a, const AccessItem& b) {
    return a.kind == b.kind && a.allowMask == b.allowMask && a.denyMask == b.denyMask;
}

// A checker that judges each object as a repair does and, where the repair would write, prints
// what that write changes instead of making it: every grant or deny it takes away or replaces
// (surplus), every one it adds (missing), a change of protection (inheritance). Grants it keeps
// that no entry speaks of are printed as extra, on every object; what it could not check as
// skipped.
class AuditChecker : public CompleteChecker {
public:
    AuditChecker(Callback& callback, const CheckerOptions& options, TarnoComponentResolver* context,
                 AuditCounts& counts)
        : CompleteChecker(callback, options, context), counts_(counts) {}

    CallbackResult beforeCheck(const VPath& path, bool isDirectory) override {
        path_ = path.shown();
        judged_ = false;
        silent_ = counts_.alreadyAudited(path_);
        return CompleteChecker::beforeCheck(path, isDirectory);
    }

    bool isDaclWrong(const VAcl& dacl, const SecurityInformation& information,
                     ObjectMode mode) override {
        _judged(dacl, information, mode);
        return CompleteChecker::isDaclWrong(dacl, information, mode);
    }

    // Reached for every object a repair would write, with the DACL it holds now.
    CallbackResult applySecurity(const SecurityInformation& information, const VAcl& existing,
                                 Platform::Handle, const VPath& path,
                                 ObjectMode mode) override {
        _judged(existing, information, mode);
        if (silent_) {
            return CallbackResult::Continue;
        }
        bool isFile = mode.file();
        std::optional<VAccessControl> scratch;
        const VAccessControl& inherited = _inheritedFor(path, isFile, scratch);
        _printRepair(existing, computeNewAcl(information, existing, inherited, mode), inherited,
                     isFile);
        return CallbackResult::Continue;
    }

protected:
    void skipped(const std::wstring& path, const std::wstring& reason) override {
        if (counts_.alreadyAudited(path)) {
            return;
        }
        ++counts_.skipped;
        _printLine(path, L"skipped", L"-", L"-", reason);
    }

private:
    void _printLine(const std::wstring& path, const wchar_t* kind, const std::wstring& account,
                    const std::wstring& rights, const std::wstring& flags) {
        Platform::writeStdout(Platform::toUtf8(path + L"\t" + kind + L"\t" + account + L"\t" +
                                               rights + L"\t" + flags + L"\n"));
    }

    void _print(const wchar_t* kind, const std::wstring& account, const std::wstring& rights,
                const std::wstring& flags) {
        _printLine(path_, kind, account, rights, flags);
    }

    // One line per ACE of `acl`; how many.
    std::uint64_t _printAces(const wchar_t* kind, const VAcl& acl, std::uint64_t& count) {
        for (int i = 0; i < acl.aceCount(); ++i) {
            VAce ace = acl.aceAt(i);
            ++count;
            _print(kind, accountText(ace.sid()), Dtyp::aceRightsText(ace.mask()),
                   Dtyp::aceFlagsText(ace.flags() & ~Dtyp::AceFlag::Inherited, ace.type()));
        }
        return static_cast<std::uint64_t>(acl.aceCount());
    }

    // The first look at an object: counted once, and the grants a repair keeps though no
    // entry speaks of them printed.
    void _judged(const VAcl& dacl, const SecurityInformation& information, ObjectMode mode) {
        if (judged_ || silent_) {
            return;
        }
        judged_ = true;
        ++counts_.objects;
        if (mode.exact()) {
            return;  // an exact DACL keeps nothing else: a repair removes it (surplus)
        }
        const VAccessControl& required = requiredControlFor(information, mode);
        std::uint32_t flags = mode.file() ? CompareFlag::ThisObjectOnly : 0;
        VAccessControl extra;
        for (int i = 0, count = dacl.aceCount(); i < count; ++i) {
            VAce ace = dacl.aceAt(i);
            if (ace.flags() & Dtyp::AceFlag::Inherited) {
                continue;
            }
            // What an explicit ACE gives where nothing at all is required.
            VAccessControl one;
            addAce(one, ace);
            compareItems(required, one, flags, [&](const ItemComparison& item) {
                if (item.verdict == ItemVerdict::Unrequired && !item.required) {
                    mapItem(extra, item.key, *item.existing);
                }
                return true;
            });
        }
        _printAces(L"extra", buildAcl(extra), counts_.extra);
    }

    // What the write of `repaired` changes on an object holding `existing`, whose parent
    // gives it `inherited`: the two effective DACLs compared item by item.
    void _printRepair(const VAcl& existing, const NewAcl& repaired, const VAccessControl& inherited,
                      bool isFile) {
        bool printed = false;
        bool inheritsNow = existing.hasInheritedAce();
        if (inheritsNow != repaired.inherit) {
            ++counts_.inheritance;
            _print(L"inheritance", L"-", L"-",
                   inheritsNow ? L"inherits, must be protected" : L"protected, inherits nothing");
            printed = true;
        }
        VAccessControl before = fromAcl(existing);
        VAccessControl after = fromAcl(repaired.acl);
        if (repaired.inherit) {
            for (const auto& [key, item] : inherited) {
                mapItem(after, key, item);
            }
        }
        // The repair replaces what it finds on every key where the two differ at all: what
        // is there goes (surplus), what it writes comes (missing).
        VAccessControl surplus;
        std::vector<std::pair<const AccessKey*, const AccessItem*>> written;
        compareItems(
            after, before, CompareFlag::Exact | (isFile ? CompareFlag::ThisObjectOnly : 0),
            [&](const ItemComparison& item) {
                if (item.verdict == ItemVerdict::OtherTarget ||
                    (item.required && item.existing && sameItem(*item.required, *item.existing))) {
                    return true;
                }
                if (item.existing) {
                    mapItem(surplus, item.key, *item.existing);
                }
                if (item.required) {
                    written.emplace_back(&item.key, item.required);
                }
                return true;
            });
        VAccessControl missing;
        for (const auto& [key, item] : written) {
            mapItem(missing, *key, *item);
        }
        printed = _printAces(L"surplus", buildAcl(surplus), counts_.surplus) > 0 || printed;
        printed = _printAces(L"missing", buildAcl(missing), counts_.missing) > 0 || printed;
        if (printed) {
            return;
        }
        // The same rights in other ACEs (their flags, their split): the explicit ACEs as they
        // are and as they will be.
        VAcl removed;
        VAcl added;
        auto holds = [](const VAcl& acl, const VAce& ace) {
            for (int i = 0; i < acl.aceCount(); ++i) {
                VAce other = acl.aceAt(i);
                if (other.type() == ace.type() && other.flags() == ace.flags() &&
                    other.mask() == ace.mask() && other.sid() == ace.sid()) {
                    return true;
                }
            }
            return false;
        };
        for (int i = 0; i < existing.aceCount(); ++i) {
            VAce ace = existing.aceAt(i);
            if (!(ace.flags() & Dtyp::AceFlag::Inherited) && !holds(repaired.acl, ace)) {
                removed.addAces({ace});
            }
        }
        for (int i = 0; i < repaired.acl.aceCount(); ++i) {
            VAce ace = repaired.acl.aceAt(i);
            if (!holds(existing, ace)) {
                added.addAces({ace});
            }
        }
        _printAces(L"surplus", removed, counts_.surplus);
        _printAces(L"missing", added, counts_.missing);
    }

    AuditCounts& counts_;
    std::wstring path_;
    bool judged_ = false;  // the object of path_ is counted and its extras printed
    bool silent_ = false;  // the object of path_ was audited by an earlier pass
};

}  // namespace

std::wstring AuditCounts::summary() const {
    return formatString(
        L"Audited %u objects: %u missing, %u extra, %u surplus, %u inheritance, %u skipped",
        static_cast<std::uint32_t>(objects), static_cast<std::uint32_t>(missing),
        static_cast<std::uint32_t>(extra), static_cast<std::uint32_t>(surplus),
        static_cast<std::uint32_t>(inheritance), static_cast<std::uint32_t>(skipped));
}

void AuditCounts::rememberBelow(const VPath& directory) {
    remembered_.push_back(directory.shownText());
}

void AuditCounts::startSecondPass() {
    secondPass_ = true;
}

bool AuditCounts::alreadyAudited(const std::wstring& path) {
    if (remembered_.empty() ||
        std::none_of(remembered_.begin(), remembered_.end(), [&](const std::wstring& directory) {
            PathRelation relation = comparePaths(path, directory);
            return relation == PathEqual || relation == PathBelow;
        })) {
        return false;
    }
    std::wstring key = Platform::toUpper(path);
    if (secondPass_) {
        return audited_.count(key) != 0;
    }
    audited_.insert(std::move(key));
    return false;
}

void auditScope(SecurityManager& manager, bool fullScan, AuditCounts& counts) {
    SecurityWalk::CheckerFactory make = [&](Callback& callback, const CheckerOptions& options,
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
