// The undo and audit commands: --restore-security puts back what a run's journal recorded,
// --audit-webspace-security says where a webspace differs from its metadata.
#include "frontend/tavrel_commands.h"

#include "frontend/command_context.h"
#include "frontend/list_file.h"
#include "frontend/tavrel_impl.h"
#include "manager/audit.h"
#include "platform/system.h"
#include "platform/text.h"
#include "runtime/exclusive_task.h"
#include "runtime/filename.h"
#include "runtime/log.h"

namespace TavrelCommands {

Tavrel::JournalScope journalScopeFor(const std::wstring& command, const Params& params) {
    using Kind = Tavrel::JournalScope::Kind;
    if (params.has(L"--check-only")) {
        return {};
    }
    if (command == L"--repair-webspace-security" ||
        command == L"--repair-webspace-path-security" ||
        command == L"--update-webspace-security") {
        return {Kind::Webspace, params.getOr(L"--webspace-name", std::wstring())};
    }
    if (command == L"--repair-filesharing") {
        return {Kind::FileSharing, {}};
    }
    // A user's file-sharing commands write the vhost's folder and metadata, under its mutex: a
    // restore of their journal must hold that one.
    if (command == L"--update-user-filesharing-security" ||
        command == L"--remove-user-filesharing-security") {
        return {Kind::Webspace, params.getOr(L"--vhost-name", std::wstring())};
    }
    if (command == L"--update-path-security") {
        return {Kind::Path, stripLongPrefix(normalizePath(params.getOr(L"--path", L".")))};
    }
    // The restore names its scope once it has read the journal.
    return {};
}

}  // namespace TavrelCommands

using namespace TavrelCommands;

int TavrelImpl::_restoreSecurity(const Params& params, Tavrel::RunJournal& journal) {
    params.check(L"--journal\0", L"--check-only\0");
    std::wstring file = normalizePath(params.get(L"--journal"));
    // Everything is read and checked before the mutex is taken and anything written.
    Tavrel::JournalContents contents = Tavrel::readJournal(file);
    std::wstring mutex;
    std::wstring directory;
    switch (contents.scope.kind) {
        case Tavrel::JournalScope::Kind::Webspace:
            Tavrel::requirePlainName(L"webspace name", contents.scope.name);
            mutex = webspaceMutexName(contents.scope.name);
            directory = webspaceDirectory(contents.scope.name);
            break;
        case Tavrel::JournalScope::Kind::FileSharing:
            mutex = filesharingMutexName();
            directory = webspaceDirectory(FileSharingContext::area);
            break;
        default:
            mutex = baseMutexName();
            directory = normalizePath(contents.scope.name);
            break;
    }
    // The run that wrote the journal stayed in its scope's directory; the mutex taken below
    // guards that directory and no other.
    Tavrel::requireWithin(contents, directory, file);
    ExclusiveTask task;
    task.Initialize(mutex, Platform::Infinite);
    bool checkOnly = params.has(L"--check-only");
    if (!checkOnly) {
        journal.setScope(contents.scope);
    }
    Tavrel::restoreJournal(file, contents, checkOnly, journal);
    return 0;
}

int TavrelImpl::_auditWebspaceSecurity(const Params& params, CommandContext& context) {
    params.check(L"--webspace-name\0--user-name\0", L"--web-users\0--full-scan\0");
    std::wstring webspace = params.get(L"--webspace-name");
    Tavrel::requirePlainName(L"webspace name", webspace);
    std::wstring directory = requireWebspaceDirectory(webspace);
    std::vector<std::wstring> webUsers = readWebUsers(params);
    // A repair writes the metadata this reads.
    ExclusiveTask task;
    task.Initialize(webspaceMutexName(webspace), Platform::Infinite);
    std::wstring systemUser = params.get(L"--user-name");
    Tavrel::SecurityManager& manager = context.manager();
    ConsoleProgress progress(manager);
    bool fullScan = params.has(L"--full-scan");
    Tavrel::AuditCounts counts;
    Tavrel::loadDomainMetadata(webspace, manager);
    manager.expandWebspaceTemplate(webspace, systemUser, panelTemplate(L"hosting_template.xml"));
    manager.confineTo(directory);
    Tavrel::auditScope(manager, fullScan, counts);
    std::vector<std::wstring> damaged;
    for (const std::wstring& webUser : webUsers) {
        if (!Tavrel::loadWebUserMetadataToRead(webspace, webUser, manager)) {
            damaged.push_back(webUser);
            continue;
        }
        manager.expandWebUserTemplate(webspace, systemUser, webUser,
                                      panelTemplate(L"webuser_template.xml"));
        manager.confineTo(VFileName::combine(directory, L"web_users\\" + webUser));
        Tavrel::auditScope(manager, fullScan, counts);
    }
    Platform::writeStdout(Platform::toUtf8(counts.summary() + L"\n"));
    manager.requireNoDamagedMetadata();
    if (!damaged.empty()) {
        std::wstring names;
        for (const std::wstring& name : damaged) {
            names += (names.empty() ? L"" : L", ") + name;
        }
        throw vexception(formatString(L"The metadata of the web users %s is damaged; their "
                                      L"folders were not audited",
                                      names),
                         VSITE("TavrelImpl::_auditWebspaceSecurity"));
    }
    return 0;
}
