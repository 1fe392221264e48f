#include "frontend/tavrel_commands.h"

#include <optional>

#include "disksecurity/template_xml.h"
#include "frontend/list_file.h"
#include "frontend/tavrel_impl.h"
#include "manager/access_report.h"
#include "manager/audit.h"
#include "manager/template_expander.h"
#include "platform/system.h"
#include "platform/text.h"
#include "runtime/config.h"
#include "runtime/exceptions.h"
#include "runtime/filename.h"
#include "runtime/log.h"

namespace TavrelCommands {

namespace {

// Writes the manager's template, built by `build`, to "--file-name" or to `defaultName`.
void createTemplate(CommandRun& run, void (Tavrel::SecurityManager::*build)(),
                    const wchar_t* defaultName) {
    Tavrel::SecurityManager& manager = run.context.manager();
    (manager.*build)();
    // A "--file-name" without a value is present and empty: the save then has no name at all
    // and refuses, rather than falling back to the default.
    manager.saveToFile(run.params.has(L"--file-name") ? run.params.get(L"--file-name")
                                                      : std::wstring(defaultName));
}

// The webspace's metadata merged with the panel's domain template for its system user.
void loadWebspace(CommandRun& run, const std::wstring& systemUser) {
    Tavrel::SecurityManager& manager = run.context.manager();
    Tavrel::loadDomainMetadata(run.webspace, manager);
    manager.expandWebspaceTemplate(run.webspace, systemUser,
                                   Tavrel::panelTemplate(L"hosting_template.xml"));
    manager.confineTo(run.directory);
}

// The web user's directory of the webspace: where a web user's pass is confined.
VPath webUserDirectory(const CommandRun& run, const std::wstring& webUser) {
    return run.directory.child(L"web_users").child(webUser);
}

// "--web-users": the names of the list, each one plain name; none without the parameter.
std::vector<std::wstring> readWebUsers(const CommandRun& run) {
    std::vector<std::wstring> webUsers;
    if (std::wstring list = run.params.getOr(L"--web-users", std::wstring()); !list.empty()) {
        webUsers = readListFile(list);
        for (const std::wstring& webUser : webUsers) {
            Tavrel::requirePlainName(L"web user name", webUser);
        }
    }
    return webUsers;
}

// "--pathes-file" when given: its paths, each refused before any is applied when it lies
// outside the webspace's directory.
std::optional<std::vector<VPath>> readPathes(const CommandRun& run) {
    std::wstring list = run.params.getOr(L"--pathes-file", std::wstring());
    if (list.empty()) {
        return std::nullopt;
    }
    std::vector<VPath> pathes;
    for (const std::wstring& line : readListFile(list)) {
        VPath path(line);
        if (!path.isAtOrBelow(run.directory)) {
            throw ArgumentException(
                formatString(L"Invalid value of parameter --pathes-file: the path %s lies outside "
                             L"the webspace directory %s",
                             line, run.directory.shown()),
                VSITE("TavrelImpl::_updateWebspaceSecurity"));
        }
        pathes.push_back(std::move(path));
    }
    return pathes;
}

}  // namespace

VPath webspaceDirectory(const std::wstring& webspace) {
    return VPath(VFileName::combine(panelParameter(L"HTTPD_VHOSTS_D"), webspace));
}

std::wstring onDiskName(const std::wstring& webspace) {
    std::wstring onDisk;
    if (Platform::getLongPathName(webspaceDirectory(webspace).longForm(), onDisk)) {
        return lastComponent(onDisk);
    }
    return webspace;
}

void help(CommandRun& run) {
    run.app.usage();
}

void createDomainTemplate(CommandRun& run) {
    createTemplate(run, &Tavrel::SecurityManager::createDomainTemplate, L"hosting_template.xml");
}

void createFrameForwardingTemplate(CommandRun& run) {
    createTemplate(run, &Tavrel::SecurityManager::createFrameForwardingTemplate,
                   L"frame_forwarding_template.xml");
}

void createWebUserTemplate(CommandRun& run) {
    createTemplate(run, &Tavrel::SecurityManager::createWebUserTemplate, L"webuser_template.xml");
}

void updatePathSecurity(CommandRun& run) {
    Tavrel::SecurityManager& manager = run.context.manager();
    Tavrel::loadPathMetadata(run.path, manager);
    // The metadata lies in the directory itself, where its users may write: it steers nothing
    // outside that directory.
    manager.confineTo(run.path);
    if (!run.path.isAtOrBelow(VPath(manager.root()))) {
        // What governs a path outside the webspaces is unknown (a walk there fails on the root
        // correlation at its first step): nothing can be applied to it.
        LogManager::instance().log(LogWarning,
                                   L"No security metadata applies to %s, which lies outside %s",
                                   run.path.shown(), manager.root());
    } else {
        manager.applyToScope(nullptr, CheckerOptionRepair, false);
    }
    manager.saveToFile(std::wstring());
    manager.requireEverythingChecked();
}

void repairWebspaceSecurity(CommandRun& run) {
    std::wstring systemUser = run.params.get(L"--user-name");
    Tavrel::SecurityManager& manager = run.context.manager();
    loadWebspace(run, systemUser);
    manager.setReportFile(run.report ? &*run.report : nullptr);
    DiskSecurity::CheckMode options =
        run.params.has(L"--check-only") ? DiskSecurity::CheckMode::Simulate : CheckerOptionRepair;
    bool fullScan = run.params.has(L"--full-scan");
    manager.applyCompleteToScope(nullptr, options, fullScan);
    manager.saveToFile(std::wstring());

    // The list is read once the webspace is done: a list that cannot be read fails the run
    // with the webspace repaired and saved.
    for (const std::wstring& webUser : readWebUsers(run)) {
        Tavrel::loadWebUserMetadata(run.webspace, webUser, manager);
        manager.expandWebUserTemplate(run.webspace, systemUser, webUser,
                                      Tavrel::panelTemplate(L"webuser_template.xml"));
        manager.confineTo(webUserDirectory(run, webUser));
        manager.applyCompleteToScope(nullptr, options, fullScan);
        manager.saveToFile(std::wstring());
    }
    // A report with lines missing is no report of the run: the DACLs were written, the run
    // fails.
    if (run.report) {
        run.report->requireComplete();
    }
    manager.requireEverythingChecked();
}

void repairWebspacePathSecurity(CommandRun& run) {
    loadWebspace(run, run.params.get(L"--user-name"));
    Tavrel::SecurityManager& manager = run.context.manager();
    manager.commit(run.path, false, nullptr, CheckerOptionRepair);
    manager.requireEverythingChecked();
}

void updateWebspaceSecurity(CommandRun& run) {
    Tavrel::SecurityManager& manager = run.context.manager();
    Tavrel::loadDomainMetadata(run.webspace, manager);
    manager.confineTo(run.directory);
    bool fullScan = run.params.has(L"--full-scan");
    std::optional<std::vector<VPath>> pathes = readPathes(run);
    if (!pathes) {
        manager.applyCompleteToScope(nullptr, CheckerOptionRepair, fullScan);
    } else {
        for (const VPath& path : *pathes) {
            manager.applyCompleteSecurity(path, nullptr, CheckerOptionRepair, fullScan);
        }
    }
    manager.requireEverythingChecked();
}

void repairFilesharing(CommandRun& run) {
    Tavrel::SecurityManager& manager = run.context.manager();
    Tavrel::loadDomainMetadata(FileSharingContext::area, manager);
    manager.expandFileSharingTemplate(FileSharingContext::area,
                                      Tavrel::panelTemplate(L"FilesharingRules.xml"));
    manager.confineTo(webspaceDirectory(FileSharingContext::area));
    manager.applyToScope(nullptr, CheckerOptionRepair, false);
    manager.saveToFile(std::wstring());
    manager.requireEverythingChecked();
}

// The two file-sharing user commands work on a context of their own, loaded under the mutex,
// and show the progress of its manager.
void updateUserFilesharingSecurity(CommandRun& run) {
    FileSharingContext context(run.params, run.webspace, run.journal);
    ConsoleProgress progress(context.manager());
    // What an earlier run added for the user goes first, so that the user has one copy.
    context.removeUserEntries();
    context.addUserEntries();
    context.manager().confineTo(webspaceDirectory(context.vhostName));
    context.manager().applyToScope(nullptr, CheckerOptionRepair, false);
    context.manager().saveToFile(std::wstring());
    context.manager().requireEverythingChecked();
}

void removeUserFilesharingSecurity(CommandRun& run) {
    FileSharingContext context(run.params, run.webspace, run.journal);
    ConsoleProgress progress(context.manager());
    std::vector<DiskSecurity::EntryTemplate> removed = context.removeUserEntries();
    context.manager().saveToFile(std::wstring());
    // The area is applied once more without the user's entries, and what they granted is
    // revoked: a removal never leaves the user, nor gives the user, access it named.
    context.revokeAccessOf(removed);
    context.manager().confineTo(webspaceDirectory(context.vhostName));
    context.manager().applyToScope(nullptr, CheckerOptionRepair, false);
    context.manager().requireEverythingChecked();
}

void restoreSecurity(CommandRun& run) {
    bool checkOnly = run.params.has(L"--check-only");
    if (!checkOnly) {
        Tavrel::JournalScope scope = run.journalContents.scope;
        if (scope.kind == Tavrel::JournalScope::Kind::Webspace) {
            scope.name = onDiskName(scope.name);
        }
        run.journal.setScope(scope);
    }
    Tavrel::restoreJournal(run.journalFile, run.journalContents, run.directory, checkOnly,
                           run.journal);
}

void auditWebspaceSecurity(CommandRun& run) {
    // The audit writes nothing, not even the private copy of a template it reads.
    DiskSecurity::InPlaceTemplateReads inPlace;
    std::wstring systemUser = run.params.get(L"--user-name");
    Tavrel::SecurityManager& manager = run.context.manager();
    bool fullScan = run.params.has(L"--full-scan");
    Tavrel::AuditCounts counts;
    // The audit writes nothing: its list is read before the first pass, which leaves the web
    // users' folders to their own passes.
    std::vector<std::wstring> webUsers = readWebUsers(run);
    for (const std::wstring& webUser : webUsers) {
        counts.rememberBelow(webUserDirectory(run, webUser));
    }
    loadWebspace(run, systemUser);
    Tavrel::auditScope(manager, fullScan, counts);
    counts.startSecondPass();
    std::vector<std::wstring> damaged;
    for (const std::wstring& webUser : webUsers) {
        if (!Tavrel::loadWebUserMetadataToRead(run.webspace, webUser, manager)) {
            damaged.push_back(webUser);
            continue;
        }
        manager.expandWebUserTemplate(run.webspace, systemUser, webUser,
                                      Tavrel::panelTemplate(L"webuser_template.xml"));
        manager.confineTo(webUserDirectory(run, webUser));
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
    if (counts.skipped != 0) {
        throw vexception(formatString(L"The audit could not check %u objects; the skipped lines "
                                      L"name each with its reason",
                                      static_cast<std::uint32_t>(counts.skipped)),
                         VSITE("TavrelImpl::_auditWebspaceSecurity"));
    }
}

void reportWebspaceAccess(CommandRun& run) {
    std::wstring systemUser = run.params.get(L"--user-name");
    // The accounts named, or those of the webspace's roles: each one that exists, and Everyone
    // and the view of another webspace's account.
    std::vector<std::wstring> names = run.params.getAll(L"--account");
    bool named = !names.empty();
    if (!named) {
        names = {systemUser, L"IWPG_" + systemUser, L"ftp_subaccounts"};
        std::vector<std::wstring> webUsers = readWebUsers(run);
        names.insert(names.end(), webUsers.begin(), webUsers.end());
        names.insert(names.end(), {L"Everyone", Tavrel::anotherSiteAccount});
    }
    Tavrel::AccessReport report(Tavrel::reportAccounts(names, named));
    loadWebspace(run, systemUser);
    Tavrel::reportScopeAccess(run.context.manager(), report);
    Platform::writeStdout(Platform::toUtf8(report.text()));
    // A report with objects it could not see is no answer for them: each was logged with its
    // reason, and the run fails.
    run.context.manager().requireEverythingChecked();
}

}  // namespace TavrelCommands
