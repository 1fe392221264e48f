#include "disksecurity/vocabularies.h"

#include <mutex>

#include "runtime/format.h"

namespace DiskSecurity {

const std::map<std::wstring, std::uint32_t>& accessMaskNames() {
    // "ReadAndDelete" is DELETE with FILE_READ_DATA alone, not "Read" plus DELETE.
    static const std::map<std::wstring, std::uint32_t> table{
        {L"NoAccess", 0x0},
        {L"Read", 0x120089},
        {L"ReadAndExecute", 0x1200a9},
        {L"ReadAndDelete", 0x10001},
        {L"ReadWrite", 0x12019f},
        {L"Modify", 0x1301bf},
        {L"FullAccess", 0x1f01ff},
        {L"FileRemovable", 0xd0150},
        {L"FileNonRemovable", 0x1200af},
        {L"FtpSubaccountsNonRemovable", 0xd0156},
        {L"SpecialModify", 0x120026},
    };
    return table;
}

const std::map<std::wstring, std::uint32_t>& applyOntoNames() {
    // OBJECT_INHERIT_ACE 0x1, CONTAINER_INHERIT_ACE 0x2, INHERIT_ONLY_ACE 0x8 (MS-DTYP 2.4.4.1).
    static const std::map<std::wstring, std::uint32_t> table{
        {L"ThisObjectOnly", 0},
        {L"ThisFolderAndFiles", 1},
        {L"ThisFolderAndSubfolders", 2},
        {L"ThisFolderSubfoldersAndFiles", 3},
        {L"FilesOnly", 9},
        {L"SubfoldersOnly", 10},
        {L"SubfoldersAndFilesOnly", 11},
    };
    return table;
}

const std::map<std::wstring, VSID>& wellKnownAccounts() {
    // Not a function static: "Administrator" and "Guest" need the account domain SID, and a
    // failure to read it must reach the caller and leave the table to be built again.
    static std::once_flag once;
    static std::map<std::wstring, VSID> table;
    std::call_once(once, [] {
        static constexpr std::pair<const wchar_t*, WellKnownAccount> rows[] = {
            {L"Null", WellKnownAccount::Null},
            {L"Everyone", WellKnownAccount::Everyone},
            {L"Local", WellKnownAccount::Local},
            {L"CreatorOwner", WellKnownAccount::CreatorOwner},
            {L"CreatorGroup", WellKnownAccount::CreatorGroup},
            {L"CreatorOwnerServer", WellKnownAccount::CreatorOwnerServer},
            {L"CreatorGroupServer", WellKnownAccount::CreatorGroupServer},
            {L"Dialup", WellKnownAccount::Dialup},
            {L"Network", WellKnownAccount::Network},
            {L"Batch", WellKnownAccount::Batch},
            {L"Interactive", WellKnownAccount::Interactive},
            {L"Service", WellKnownAccount::Service},
            {L"AnonymousLogon", WellKnownAccount::AnonymousLogon},
            {L"Proxy", WellKnownAccount::Proxy},
            {L"ServerLogon", WellKnownAccount::ServerLogon},
            {L"Self", WellKnownAccount::Self},
            {L"AuthenticatedUser", WellKnownAccount::AuthenticatedUser},
            {L"RestrictedCode", WellKnownAccount::RestrictedCode},
            {L"TerminalServer", WellKnownAccount::TerminalServer},
            {L"ThisOrganization", WellKnownAccount::ThisOrganization},
            {L"System", WellKnownAccount::System},
            {L"LocalService", WellKnownAccount::LocalService},
            {L"NetworkService", WellKnownAccount::NetworkService},
            {L"Administrators", WellKnownAccount::Administrators},
            {L"Users", WellKnownAccount::Users},
            {L"Guests", WellKnownAccount::Guests},
            {L"PowerUsers", WellKnownAccount::PowerUsers},
            {L"AccountOps", WellKnownAccount::AccountOps},
            {L"SystemOps", WellKnownAccount::SystemOps},
            {L"PrintOps", WellKnownAccount::PrintOps},
            {L"BackupOps", WellKnownAccount::BackupOps},
            {L"Replicator", WellKnownAccount::Replicator},
            {L"RasServers", WellKnownAccount::RasServers},
            {L"PreW2kCompAccess", WellKnownAccount::PreW2kCompAccess},
            {L"RemoteDesktopUsers", WellKnownAccount::RemoteDesktopUsers},
            {L"Administrator", WellKnownAccount::Administrator},
            {L"Guest", WellKnownAccount::Guest},
        };
        std::map<std::wstring, VSID> built;
        for (const auto& [name, account] : rows) {
            built.emplace(name, VSID::wellKnown(account));
        }
        table = std::move(built);
    });
    return table;
}

std::wstring kindText(AccessItemKind kind) {
    switch (kind) {
        case AccessItemKind::Deny:
            return L"Deny";
        case AccessItemKind::ImplicitAllow:
            return L"ImplicitAllow";
        case AccessItemKind::Stop:
            return L"Stop";
        case AccessItemKind::Allow:
            return L"Allow";
        case AccessItemKind::Revoke:
            return L"Revoke";
    }
    return formatString(L"%X", static_cast<std::int32_t>(kind));
}

std::wstring targetText(AccessItemTarget target) {
    switch (target) {
        case AccessItemTarget::ThisObject:
            return L"ThisObject";
        case AccessItemTarget::Files:
            return L"Files";
        case AccessItemTarget::SubFolders:
            return L"SubFolders";
    }
    return formatString(L"%X", static_cast<std::uint32_t>(target));
}

std::wstring entryToText(const RealEntry& entry) {
    // The deny bit is named even when the revoke bit overrides it: the text shows the flags.
    const wchar_t* verb = (entry.entryFlags & EntryFlag::Deny) ? L"deny to" : L"allow for";
    return formatString(L"%s: %s %s %X %X", entry.path, verb, entry.account.displayName(),
                        entry.aceFlags, entry.accessMask);
}

}  // namespace DiskSecurity
