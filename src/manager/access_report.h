// The access report: the walk of a check-only repair that, instead of judging each DACL
// against the metadata, works out what each of a few accounts may do with every object, by
// the access check of Windows (winsecurity/effective_access.h), and writes on standard output
//   ACCOUNT<TAB>CLASS<TAB>PATH<TAB>OBJECTS
// one line at the top of each run of objects where a class holds for an account (an object
// where it holds whose parent does not give it), OBJECTS being the objects of that run: the
// top and everything below it reached through objects where the class holds. Then a summary
// table: per account and class, the objects where it holds, of all objects walked. Nothing is
// written to the disk: no DACL, no folder, no metadata, no journal.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "manager/security_manager.h"
#include "platform/dtyp/access_check.h"
#include "winsecurity/effective_access.h"

namespace Tavrel {

// The name that stands for a plain member of Users with no other group: the view of the
// account of any other webspace of the server.
inline constexpr const wchar_t* anotherSiteAccount = L"(another site)";

// An account of the report: its name as the report shows it and the token it is checked with.
struct ReportAccount {
    std::wstring name;
    Platform::Dtyp::Token token;
};

// The accounts named, in that order: anotherSiteAccount, or an account of this machine or
// domain. An account that does not resolve raises an ArgumentException when `required`, and
// is otherwise logged at Warning and left out.
std::vector<ReportAccount> reportAccounts(const std::vector<std::wstring>& names, bool required);

class AccessReport {
public:
    explicit AccessReport(std::vector<ReportAccount> accounts);

    // One object of the walk, in the walk's order (a folder before what lies below it), with
    // its owner and DACL as self-relative descriptor bytes. Raises for bytes that do not
    // decode, or when the parent of the walk's first object cannot be read.
    void addObject(const std::wstring& path, bool isDirectory,
                   const std::vector<std::uint8_t>& descriptor);

    // The lines of every run, account by account and class by class, then the summary.
    std::wstring text() const;
    std::uint64_t objects() const { return objects_; }

private:
    static constexpr std::size_t classCount = WinSecurity::AccessClass::Count;
    static constexpr std::size_t noRun = static_cast<std::size_t>(-1);

    struct Run {
        std::wstring path;
        std::uint64_t objects = 0;
    };
    // A folder on the path of the walk: the rights each account has on it, and the run each
    // account's classes belong to there (noRun where the class does not hold).
    struct Folder {
        std::wstring path;
        std::vector<std::uint32_t> rights;
        std::vector<std::size_t> runs;
    };

    // The rights of each account on an object with this descriptor.
    const std::vector<std::uint32_t>& _rightsFor(const std::vector<std::uint8_t>& descriptor);
    // The rights of each account on the folder `path`, read by name (the parent of the
    // walk's first object).
    std::vector<std::uint32_t> _rightsOfFolder(const std::wstring& path);
    std::size_t _slot(std::size_t account, std::size_t oneClass) const {
        return account * classCount + oneClass;
    }

    std::vector<ReportAccount> accounts_;
    std::uint64_t objects_ = 0;
    // Per account and class (_slot): the runs in the order their tops were met, and the
    // objects where the class holds.
    std::vector<std::vector<Run>> runs_;
    std::vector<std::uint64_t> totals_;
    std::vector<Folder> folders_;
    // Most objects share their descriptor with their siblings, and a webspace holds few
    // different ones: each is checked once.
    std::vector<std::uint8_t> lastDescriptor_;
    const std::vector<std::uint32_t>* lastRights_ = nullptr;
    std::unordered_map<std::string, std::vector<std::uint32_t>> checked_;
};

// Walks the manager's scope (its confinement) with its entries as a complete check-only
// repair walks it, every folder listed, and adds each object to `report`.
void reportScopeAccess(SecurityManager& manager, AccessReport& report);

}  // namespace Tavrel
