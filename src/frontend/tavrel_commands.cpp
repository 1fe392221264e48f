#include "frontend/tavrel_commands.h"

#include "disksecurity/template_xml.h"
#include "frontend/list_file.h"
#include "frontend/tavrel_impl.h"
#include "manager/audit.h"
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
                                   panelTemplate(L"hosting_template.xml"));
    manager.confineTo(run.directory);
}

// The web user's directory of the webspace: where a web user's pass is confined.
std::wstring webUserDirectory(const CommandRun& run, const std::wstring& webUser) {
    return VFileName::combine(run.directory, L"web_users\\" + webUser);
}

}  // namespace

std::wstring panelTemplate(const std::wstring& name) {
    return VFileName::combine(VFileName::combine(panelParameter(L"PRODUCT_ROOT_D"), L"etc"), name);
}

std::wstring webspaceDirectory(const std::wstring& webspace) {
    return normalizePath(VFileName::combine(panelParameter(L"HTTPD_VHOSTS_D"), webspace));
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
    PathRelation relation = comparePaths(manager.root(), run.path);
    if (relation != PathEqual && relation != PathAbove) {
        // What governs a path outside the webspaces is unknown (a walk there fails on the root
        // correlation at its first step): nothing can be applied to it.
        LogManager::instance().log(LogWarning,
                                   L"No security metadata applies to %s, which lies outside %s",
                                   stripLongPrefix(run.path), manager.root());
    } else {
        manager.applyToScope(nullptr, CheckerOptionUpdate, false);
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

    for (const std::wstring& webUser : run.webUsers) {
        Tavrel::loadWebUserMetadata(run.webspace, webUser, manager);
        manager.expandWebUserTemplate(run.webspace, systemUser, webUser,
                                      panelTemplate(L"webuser_template.xml"));
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
    manager.commit(run.path, false, nullptr, CheckerOptionUpdate);
    manager.requireEverythingChecked();
}

void updateWebspaceSecurity(CommandRun& run) {
    Tavrel::SecurityManager& manager = run.context.manager();
    Tavrel::loadDomainMetadata(run.webspace, manager);
    manager.confineTo(run.directory);
    bool fullScan = run.params.has(L"--full-scan");
    if (!run.pathes) {
        manager.applyCompleteToScope(nullptr, CheckerOptionRepair, fullScan);
    } else {
        for (const std::wstring& path : *run.pathes) {
            manager.applyCompleteSecurity(path, nullptr, CheckerOptionRepair, fullScan);
        }
    }
    manager.requireEverythingChecked();
}

void repairFilesharing(CommandRun& run) {
    Tavrel::SecurityManager& manager = run.context.manager();
    Tavrel::loadDomainMetadata(FileSharingContext::area, manager);
    manager.expandFileSharingTemplate(FileSharingContext::area,
                                      panelTemplate(L"FilesharingRules.xml"));
    manager.confineTo(webspaceDirectory(FileSharingContext::area));
    manager.applyToScope(nullptr, CheckerOptionUpdate, false);
    manager.saveToFile(std::wstring());
    manager.requireEverythingChecked();
}

// The two file-sharing user commands work on a context of their own, loaded under the mutex,
// and show the progress of its manager.
void updateUserFilesharingSecurity(CommandRun& run) {
    FileSharingContext context(run.params);
    ConsoleProgress progress(context.manager());
    // What an earlier run added for the user goes first, so that the user has one copy.
    context.removeUserEntries();
    context.addUserEntries();
    context.manager().confineTo(webspaceDirectory(context.vhostName));
    context.manager().applyToScope(nullptr, CheckerOptionUpdate, false);
    context.manager().saveToFile(std::wstring());
    context.manager().requireEverythingChecked();
}

void removeUserFilesharingSecurity(CommandRun& run) {
    FileSharingContext context(run.params);
    ConsoleProgress progress(context.manager());
    std::vector<DiskSecurity::EntryTemplate> removed = context.removeUserEntries();
    context.manager().saveToFile(std::wstring());
    // The area is applied once more without the user's entries, and what they granted is
    // revoked: a removal never leaves the user, nor gives the user, access it named.
    context.revokeAccessOf(removed);
    context.manager().confineTo(webspaceDirectory(context.vhostName));
    context.manager().applyToScope(nullptr, CheckerOptionUpdate, false);
    context.manager().requireEverythingChecked();
}

void restoreSecurity(CommandRun& run) {
    bool checkOnly = run.params.has(L"--check-only");
    if (!checkOnly) {
        run.journal.setScope(run.journalContents.scope);
    }
    Tavrel::restoreJournal(run.journalFile, run.journalContents, checkOnly, run.journal);
}

void auditWebspaceSecurity(CommandRun& run) {
    // The audit writes nothing, not even the private copy of a template it reads.
    DiskSecurity::InPlaceTemplateReads inPlace;
    std::wstring systemUser = run.params.get(L"--user-name");
    Tavrel::SecurityManager& manager = run.context.manager();
    bool fullScan = run.params.has(L"--full-scan");
    Tavrel::AuditCounts counts;
    for (const std::wstring& webUser : run.webUsers) {
        counts.rememberBelow(webUserDirectory(run, webUser));
    }
    loadWebspace(run, systemUser);
    Tavrel::auditScope(manager, fullScan, counts);
    counts.startSecondPass();
    std::vector<std::wstring> damaged;
    for (const std::wstring& webUser : run.webUsers) {
        if (!Tavrel::loadWebUserMetadataToRead(run.webspace, webUser, manager)) {
            damaged.push_back(webUser);
            continue;
        }
        manager.expandWebUserTemplate(run.webspace, systemUser, webUser,
                                      panelTemplate(L"webuser_template.xml"));
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

}  // namespace TavrelCommands
