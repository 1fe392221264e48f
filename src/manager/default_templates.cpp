#include "manager/default_templates.h"

#include <cstdint>
#include <initializer_list>

namespace Tavrel::DefaultTemplates {
namespace {

// Apply-onto values (ACE inheritance flags).
constexpr std::uint32_t ThisObjectOnly = 0;
constexpr std::uint32_t ThisFolderAndSubfolders = 2;
constexpr std::uint32_t ThisFolderSubfoldersAndFiles = 3;
constexpr std::uint32_t FilesOnly = 9;
constexpr std::uint32_t SubfoldersAndFilesOnly = 11;

// Access masks; the writer names those that have a name.
constexpr std::uint32_t NoAccess = 0x0;
constexpr std::uint32_t Read = 0x120089;
constexpr std::uint32_t ReadAndExecute = 0x1200a9;
constexpr std::uint32_t FileNonRemovable = 0x1200af;  // read, execute, add file and subdirectory
constexpr std::uint32_t ReadWrite = 0x12019f;
constexpr std::uint32_t FullAccess = 0x1f01ff;
constexpr std::uint32_t FileRemovable = 0xd0150;  // what removing and re-owning takes
constexpr std::uint32_t FtpSubaccountsNonRemovable = 0xd0156;
constexpr std::uint32_t DeleteAndRewriteSecurity = 0xd0000;   // DELETE, WRITE_DAC, WRITE_OWNER
constexpr std::uint32_t WriteWithoutReadControl = 0x1101df;   // no READ_CONTROL, no execute
constexpr std::uint32_t FullAccessWithoutExecute = 0x1f01df;  // FILE_ALL_ACCESS but traverse
constexpr std::uint32_t ReadExecuteAndAddFile = 0x1200ab;

// Entry flags: exact ACL on the entry's own path, and a missing folder created (0x140);
// the same denying (0x141).
constexpr std::int32_t Allow = 0x140;
constexpr std::int32_t Deny = 0x141;

constexpr const wchar_t* DomainUser = L"DomainUser";
constexpr const wchar_t* AnonymousDomainUser = L"AnonymousDomainUser";
constexpr const wchar_t* FtpSubaccounts = L"FtpSubaccounts";
constexpr const wchar_t* ParentUser = L"ParentUser";

struct Row {
    const wchar_t* subPath;
    const wchar_t* tag;
    std::uint32_t aceFlags;
    std::uint32_t accessMask;
    std::int32_t entryFlags;
};

// Inserts the rows in the order given; equal rows would all be kept.
void insertRows(DiskSecurity::EntryTemplateSet& set, std::initializer_list<Row> rows) {
    const VSID nullAccount = VSID::wellKnown(WellKnownAccount::Null);
    for (const Row& row : rows) {
        set.insert(DiskSecurity::EntryTemplate(nullAccount, L"[HTTPD_VHOSTS_D]", row.subPath,
                                               row.aceFlags, row.accessMask, row.entryFlags,
                                               row.tag, L""));
    }
}

}  // namespace

void addDomainTemplate(DiskSecurity::EntryTemplateSet& set) {
    insertRows(
        set,
        {
            {L"", DomainUser, ThisObjectOnly, FileNonRemovable, Allow},
            {L"", DomainUser, SubfoldersAndFilesOnly, FullAccess, Allow},
            {L"", AnonymousDomainUser, ThisFolderSubfoldersAndFiles, ReadAndExecute, Allow},
            {L"", FtpSubaccounts, ThisObjectOnly, FileRemovable, Deny},
            {L"cgi-bin", DomainUser, ThisObjectOnly, FileNonRemovable, Allow},
            {L"cgi-bin", DomainUser, SubfoldersAndFilesOnly, FullAccess, Allow},
            {L"cgi-bin", AnonymousDomainUser, ThisFolderSubfoldersAndFiles, ReadAndExecute, Allow},
            {L"cgi-bin", FtpSubaccounts, ThisObjectOnly, FileRemovable, Deny},
            {L"error_docs", DomainUser, FilesOnly, ReadWrite, Allow},
            {L"error_docs", DomainUser, ThisFolderAndSubfolders, ReadAndExecute, Allow},
            {L"error_docs", AnonymousDomainUser, ThisFolderSubfoldersAndFiles, ReadAndExecute,
             Allow},
            {L"error_docs", FtpSubaccounts, FilesOnly, DeleteAndRewriteSecurity, Deny},
            {L"error_docs", FtpSubaccounts, ThisObjectOnly, FtpSubaccountsNonRemovable, Deny},
            {L"logs", DomainUser, ThisObjectOnly, FileNonRemovable, Allow},
            {L"logs", DomainUser, SubfoldersAndFilesOnly, FullAccess, Allow},
            {L"logs", AnonymousDomainUser, ThisObjectOnly, FileNonRemovable, Allow},
            {L"logs", AnonymousDomainUser, SubfoldersAndFilesOnly, FullAccess, Allow},
            {L"logs", FtpSubaccounts, ThisObjectOnly, FileRemovable, Deny},
            {L"logs\\iis", DomainUser, FilesOnly, Read, Allow},
            {L"logs\\iis", DomainUser, ThisFolderAndSubfolders, ReadAndExecute, Allow},
            {L"logs\\iis", AnonymousDomainUser, ThisFolderSubfoldersAndFiles, NoAccess, Allow},
            {L"logs\\iis", FtpSubaccounts, ThisFolderSubfoldersAndFiles, FtpSubaccountsNonRemovable,
             Deny},
            {L"logs\\FailedRequests", DomainUser, ThisObjectOnly, FileNonRemovable, Allow},
            {L"logs\\FailedRequests", DomainUser, SubfoldersAndFilesOnly, FullAccess, Allow},
            {L"logs\\FailedRequests", AnonymousDomainUser, ThisFolderSubfoldersAndFiles,
             WriteWithoutReadControl, Allow},
            {L"logs\\FailedRequests", FtpSubaccounts, SubfoldersAndFilesOnly, NoAccess, Allow},
            {L"logs\\FailedRequests", FtpSubaccounts, ThisObjectOnly, FileRemovable, Deny},
            {L"logs\\php_errors", DomainUser, FilesOnly, FullAccessWithoutExecute, Allow},
            {L"logs\\php_errors", DomainUser, ThisFolderAndSubfolders, ReadExecuteAndAddFile,
             Allow},
            {L"logs\\php_errors", AnonymousDomainUser, FilesOnly, FullAccessWithoutExecute, Allow},
            {L"logs\\php_errors", AnonymousDomainUser, ThisFolderAndSubfolders,
             ReadExecuteAndAddFile, Allow},
            // The same entry once allowing and once denying nothing: both are written.
            {L"logs\\php_errors", FtpSubaccounts, FilesOnly, NoAccess, Allow},
            {L"logs\\php_errors", FtpSubaccounts, FilesOnly, NoAccess, Deny},
            {L"logs\\php_errors", FtpSubaccounts, ThisFolderAndSubfolders, FileRemovable, Deny},
            {L".tarno", DomainUser, FilesOnly, Read, Allow},
            {L".tarno", DomainUser, ThisFolderAndSubfolders, ReadAndExecute, Allow},
            {L".tarno", AnonymousDomainUser, ThisFolderSubfoldersAndFiles, NoAccess, Allow},
            {L".tarno", FtpSubaccounts, ThisFolderSubfoldersAndFiles, FtpSubaccountsNonRemovable,
             Deny},
            {L".tarno\\statistics", AnonymousDomainUser, ThisFolderSubfoldersAndFiles,
             ReadAndExecute, Allow},
        });
}

void addFrameForwardingTemplate(DiskSecurity::EntryTemplateSet& set) {
    insertRows(set, {
                        {L"httpdocs", AnonymousDomainUser, ThisFolderSubfoldersAndFiles,
                         ReadAndExecute, Allow},
                    });
}

void addWebUserTemplate(DiskSecurity::EntryTemplateSet& set) {
    insertRows(set,
               {
                   {L"", ParentUser, ThisFolderSubfoldersAndFiles, FullAccess, Allow},
                   {L"", DomainUser, ThisObjectOnly, FileNonRemovable, Allow},
                   {L"", DomainUser, SubfoldersAndFilesOnly, FullAccess, Allow},
                   {L"", AnonymousDomainUser, ThisFolderSubfoldersAndFiles, ReadAndExecute, Allow},
                   {L"", FtpSubaccounts, ThisObjectOnly, FileRemovable, Deny},
               });
}

}  // namespace Tavrel::DefaultTemplates
