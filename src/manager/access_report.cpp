#include "manager/access_report.h"

#include <algorithm>
#include <memory>

#include "accounts/account_token.h"
#include "platform/dtyp/security_descriptor.h"
#include "platform/security.h"
#include "runtime/exceptions.h"
#include "runtime/filename.h"
#include "runtime/log.h"
#include "winsecurity/object_security.h"

namespace Tavrel {
namespace {

using namespace DiskSecurity;
namespace Dtyp = Platform::Dtyp;

constexpr std::uint32_t OwnerAndDacl =
    Platform::SecurityInformation::Owner | Platform::SecurityInformation::Dacl;

// A bound on the descriptors remembered: a tree where every object has one of its own costs
// a check per object, not memory without end.
constexpr std::size_t maxRemembered = 1 << 16;

Dtyp::SecurityDescriptor decoded(const std::vector<std::uint8_t>& descriptor,
                                 const std::wstring& failure) {
    auto sd = Dtyp::decodeSecurityDescriptor(descriptor);
    if (!sd) {
        throwOsError(failure, sd.error(), VSITE("Tavrel::AccessReport::addObject"));
    }
    return *sd;
}

// Reads each object's owner and DACL in the one read the walk makes and hands them to the
// report; judges nothing wrong, so nothing reaches a write.
class ReportChecker : public CompleteChecker {
public:
    ReportChecker(Callback& callback, const CheckerOptions& options,
                  TarnoComponentResolver* context, AccessReport& report)
        : CompleteChecker(callback, options, context), report_(report) {}

    bool isDaclWrong(const VAcl&, const SecurityInformation&, ObjectMode) override {
        return false;
    }

    // Reached only for an object that still inherits where it must not: reported as it is.
    CallbackResult applySecurity(const SecurityInformation&, const VAcl&, Platform::Handle,
                                 const VPath&, ObjectMode) override {
        return CallbackResult::Continue;
    }

protected:
    VAcl readDacl(Platform::Handle handle, const VPath& path, bool isDirectory) override {
        std::vector<std::uint8_t> descriptor =
            WinSecurity::getObjectDescriptor(handle, OwnerAndDacl);
        report_.addObject(path.shownText(), isDirectory, descriptor);
        return WinSecurity::daclOfDescriptor(descriptor);
    }

private:
    AccessReport& report_;
};

// The cells of the summary, left-aligned in columns of `width`.
std::wstring cell(const std::wstring& text, std::size_t width) {
    return text + std::wstring(width > text.size() ? width - text.size() : 1, L' ');
}

}  // namespace

std::vector<ReportAccount> reportAccounts(const std::vector<std::wstring>& names, bool required) {
    std::vector<ReportAccount> accounts;
    for (const std::wstring& name : names) {
        if (name == anotherSiteAccount) {
            accounts.push_back({name, AccountTokens::plainUserToken()});
            continue;
        }
        VSID account;
        if (!AccountTokens::findAccount(name, account)) {
            if (required) {
                throw ArgumentException(
                    formatString(L"Invalid value of parameter --account: %s is no account of "
                                 L"this machine",
                                 name),
                    VSITE("Tavrel::reportAccounts"));
            }
            LogManager::instance().log(LogWarning,
                                       L"The account %s does not exist; the access report "
                                       L"leaves it out",
                                       name);
            continue;
        }
        accounts.push_back({name, AccountTokens::accountToken(account)});
    }
    return accounts;
}

AccessReport::AccessReport(std::vector<ReportAccount> accounts)
    : accounts_(std::move(accounts)),
      runs_(accounts_.size() * classCount),
      totals_(accounts_.size() * classCount, 0) {}

const std::vector<std::uint32_t>& AccessReport::_rightsFor(
    const std::vector<std::uint8_t>& descriptor) {
    if (lastRights_ && descriptor == lastDescriptor_) {
        return *lastRights_;
    }
    std::string key(descriptor.begin(), descriptor.end());
    auto found = checked_.find(key);
    if (found == checked_.end()) {
        if (checked_.size() >= maxRemembered) {
            checked_.clear();
        }
        Dtyp::SecurityDescriptor sd =
            decoded(descriptor, L"Unable to read the security descriptor of the object");
        std::vector<std::uint32_t> rights;
        rights.reserve(accounts_.size());
        for (const ReportAccount& account : accounts_) {
            rights.push_back(WinSecurity::effectiveRights(sd, account.token));
        }
        found = checked_.emplace(std::move(key), std::move(rights)).first;
    }
    lastDescriptor_ = descriptor;
    lastRights_ = &found->second;
    return found->second;
}

std::vector<std::uint32_t> AccessReport::_rightsOfFolder(const std::wstring& path) {
    std::vector<std::uint8_t> descriptor;
    if (std::uint32_t error = Platform::getNamedSecurityInfo(
            toLongPath(path), Platform::SeFileObject, OwnerAndDacl, descriptor)) {
        throwOsError(formatString(L"Unable to get the object (%s) security info", path), error,
                     VSITE("Tavrel::AccessReport::addObject"));
    }
    Dtyp::SecurityDescriptor sd =
        decoded(descriptor, formatString(L"Unable to get the object (%s) security info", path));
    std::vector<std::uint32_t> rights;
    for (const ReportAccount& account : accounts_) {
        rights.push_back(WinSecurity::effectiveRights(sd, account.token));
    }
    return rights;
}

void AccessReport::addObject(const std::wstring& path, bool isDirectory,
                             const std::vector<std::uint8_t>& descriptor) {
    std::wstring parentPath = path.substr(0, std::min(path.rfind(L'\\'), path.size()));
    // The walk goes depth first: what is left on the path of folders above the parent has
    // been walked whole.
    while (!folders_.empty() && folders_.back().path != parentPath) {
        folders_.pop_back();
    }
    const Folder* parent = folders_.empty() ? nullptr : &folders_.back();
    std::vector<std::uint32_t> parentRights;
    if (!parent) {
        parentRights = _rightsOfFolder(parentPath);
    }
    const std::vector<std::uint32_t>& rights = _rightsFor(descriptor);
    Folder folder;
    if (isDirectory) {
        folder.path = path;
        folder.rights = rights;
        folder.runs.assign(accounts_.size() * classCount, noRun);
    }
    for (std::size_t a = 0; a < accounts_.size(); ++a) {
        unsigned classes =
            WinSecurity::accessClasses(rights[a], parent ? parent->rights[a] : parentRights[a]);
        for (std::size_t c = 0; c < classCount; ++c) {
            if (!(classes & (1u << c))) {
                continue;
            }
            std::size_t slot = _slot(a, c);
            ++totals_[slot];
            std::size_t run = parent ? parent->runs[slot] : noRun;
            if (run == noRun) {
                run = runs_[slot].size();
                runs_[slot].push_back(Run{path, 0});
            }
            ++runs_[slot][run].objects;
            if (isDirectory) {
                folder.runs[slot] = run;
            }
        }
    }
    ++objects_;
    if (isDirectory) {
        folders_.push_back(std::move(folder));
    }
}

std::wstring AccessReport::text() const {
    std::wstring text;
    for (std::size_t a = 0; a < accounts_.size(); ++a) {
        for (std::size_t c = 0; c < classCount; ++c) {
            for (const Run& run : runs_[_slot(a, c)]) {
                text += accounts_[a].name + L"\t" + WinSecurity::accessClassName(c) + L"\t" +
                        run.path + L"\t" + std::to_wstring(run.objects) + L"\n";
            }
        }
    }
    text += formatString(L"\nAccess of %u accounts to %u objects (objects where each holds):\n",
                         static_cast<std::uint32_t>(accounts_.size()),
                         static_cast<std::uint32_t>(objects_));
    std::size_t nameWidth = 9;
    for (const ReportAccount& account : accounts_) {
        nameWidth = std::max(nameWidth, account.name.size() + 2);
    }
    std::vector<std::size_t> widths;
    text += cell(L"account", nameWidth);
    for (std::size_t c = 0; c < classCount; ++c) {
        std::wstring name = WinSecurity::accessClassName(c);
        widths.push_back(std::max(name.size(), std::to_wstring(objects_).size()) + 2);
        text += c + 1 < classCount ? cell(name, widths.back()) : name;
    }
    text += L"\n";
    for (std::size_t a = 0; a < accounts_.size(); ++a) {
        text += cell(accounts_[a].name, nameWidth);
        for (std::size_t c = 0; c < classCount; ++c) {
            std::wstring count = std::to_wstring(totals_[_slot(a, c)]);
            text += c + 1 < classCount ? cell(count, widths[c]) : count;
        }
        text += L"\n";
    }
    return text;
}

void reportScopeAccess(SecurityManager& manager, AccessReport& report) {
    SecurityWalk::CheckerFactory make = [&](Callback& callback, const CheckerOptions& options,
                                            TarnoComponentResolver* context) {
        return std::unique_ptr<SecurityChecker>(
            std::make_unique<ReportChecker>(callback, options, context, report));
    };
    // Simulate, every folder listed: the walk creates no folder and the checker writes nothing.
    manager.applyCheckerToScope(make, CheckMode::Simulate, true);
}

}  // namespace Tavrel
