#include "frontend/tavrel_impl.h"

#include <atomic>
#include <optional>

#include "disksecurity/report_file.h"
#include "frontend/command_context.h"
#include "frontend/list_file.h"
#include "frontend/tavrel_commands.h"
#include "manager/journal.h"
#include "platform/filesystem.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/types.h"
#include "runtime/com_apartment.h"
#include "runtime/config.h"
#include "runtime/exceptions.h"
#include "runtime/exclusive_task.h"
#include "runtime/filename.h"
#include "runtime/log.h"

// Shared with the commands of tavrel_commands.h.
namespace TavrelCommands {

std::atomic<TavrelImpl*> currentApplication{nullptr};

constexpr const wchar_t* helpText =
    L"\n"
    L"usage: Tavrel [options] ...\n"
    L"\n"
    L"--help\n"
    L"\n"
    L"--create-domain-template    Creates a default domain security template.\n"
    L"                            Optional parameter --file-name specifies the full\n"
    L"                            output file name; if not specified,\n"
    L"                            hosting_template.xml is created in\n"
    L"                            the current directory.\n"
    L"\n"
    L"--create-frame-forwarding-template  The same as above except that the default\n"
    L"                                    file name is frame_forwarding_template.xml.\n"
    L"\n"
    L"--create-webuser-template           The same as above except that the default\n"
    L"                                    file name is webuser_template.xml.\n";

constexpr std::size_t maxMutexName = 260;

// The checker modes of the commands: the updates of paths check and rewrite like the repair.
constexpr DiskSecurity::CheckMode CheckerOptionUpdate = DiskSecurity::CheckMode::Repair;
constexpr DiskSecurity::CheckMode CheckerOptionRepair = DiskSecurity::CheckMode::Repair;

// PRODUCT_ROOT_D\etc\<name>: where the panel keeps its templates.
std::wstring panelTemplate(const std::wstring& name) {
    return VFileName::combine(VFileName::combine(panelParameter(L"PRODUCT_ROOT_D"), L"etc"), name);
}

// A report file is appended to object by object during the walk: a directory that is not
// there would fail every line of it, so it is refused before any work.
void requireReportDirectory(const std::wstring& report) {
    if (report.empty()) {
        return;
    }
    std::wstring directory = VFileName::removeFileSpec(report);
    std::uint32_t attributes = 0;
    if (!directory.empty() &&
        (!fileExist(directory, attributes) || !(attributes & Platform::FileAttribute::Directory))) {
        throw ArgumentException(
            formatString(
                L"Invalid value of parameter --report-file: the directory %s does not exist",
                directory),
            VSITE("TavrelImpl::_repairWebspaceSecurity"));
    }
}

// HTTPD_VHOSTS_D\<name>: the directory of a webspace (or of the file-sharing area).
std::wstring webspaceDirectory(const std::wstring& webspace) {
    return normalizePath(VFileName::combine(panelParameter(L"HTTPD_VHOSTS_D"), webspace));
}

// A webspace command works inside the webspace's directory and nowhere else: without that
// directory there is nothing it may change.
std::wstring requireWebspaceDirectory(const std::wstring& webspace) {
    std::wstring directory = webspaceDirectory(webspace);
    std::uint32_t attributes = 0;
    if (!fileExist(directory, attributes) || !(attributes & Platform::FileAttribute::Directory) ||
        (attributes & Platform::FileAttribute::ReparsePoint)) {
        throw ArgumentException(
            formatString(L"Invalid value of parameter --webspace-name: the webspace directory %s "
                         L"does not exist",
                         stripLongPrefix(directory)),
            VSITE("TavrelImpl::requireWebspaceDirectory"));
    }
    return directory;
}

// The paths of a pathes file, each checked to lie in the webspace's directory before any work.
std::vector<std::wstring> readPathesFile(const std::wstring& list, const std::wstring& webspace) {
    std::vector<std::wstring> paths = readListFile(list);
    for (const std::wstring& path : paths) {
        PathRelation relation = comparePaths(normalizePath(path), webspace);
        if (relation != PathEqual && relation != PathBelow) {
            throw ArgumentException(
                formatString(L"Invalid value of parameter --pathes-file: the path %s lies outside "
                             L"the webspace directory %s",
                             path, stripLongPrefix(webspace)),
                VSITE("TavrelImpl::_updateWebspaceSecurity"));
        }
    }
    return paths;
}

// The file-sharing user commands on vhost V write V's metadata file, which a repair of webspace
// V writes too: they hold V's mutex besides the area's. Every command that holds both takes the
// area's first, so that no two commands can each hold one and wait for the other. For the
// area itself the two names are one mutex, taken once.
void lockFileSharingUser(ExclusiveTask& area, ExclusiveTask& vhost, const std::wstring& vhostName) {
    area.Initialize(TavrelImpl::filesharingMutexName(), Platform::Infinite);
    std::wstring vhostMutex = TavrelImpl::webspaceMutexName(vhostName);
    if (vhostMutex != TavrelImpl::filesharingMutexName()) {
        vhost.Initialize(vhostMutex, Platform::Infinite);
    }
}

std::vector<std::wstring> readWebUsers(const Params& params) {
    std::vector<std::wstring> webUsers;
    if (std::wstring list = params.getOr(L"--web-users", std::wstring()); !list.empty()) {
        webUsers = readListFile(list);
        for (const std::wstring& webUser : webUsers) {
            Tavrel::requirePlainName(L"web user name", webUser);
        }
    }
    return webUsers;
}

}  // namespace TavrelCommands

using namespace TavrelCommands;

TavrelImpl::TavrelImpl() {
    Platform::setErrorMode(Platform::setErrorMode(0) | Platform::SemNoGpFaultErrorBox);
    currentApplication = this;
    setDefaultCommand(L"--help");
}

TavrelImpl::~TavrelImpl() {
    TavrelImpl* self = this;
    currentApplication.compare_exchange_strong(self, nullptr);
}

TavrelImpl* TavrelImpl::current() {
    return currentApplication;
}

std::wstring TavrelImpl::baseMutexName() {
    return L"Global\\{88B0E47B-31B8-463c-9F1C-042CEB27267A}";
}

std::wstring TavrelImpl::webspaceMutexName(const std::wstring& webspace) {
    return formatString(L"%s-%s", baseMutexName(), webspace).substr(0, maxMutexName);
}

std::wstring TavrelImpl::filesharingMutexName() {
    return formatString(L"%s-%s", baseMutexName(), L"fs");
}

void TavrelImpl::usage() {
    Platform::writeStdout(Platform::toUtf8(helpText));
}

int TavrelImpl::go(int argc, const wchar_t* const* argv) {
    // Declared first, gone last: the context below is torn down before the SID cache that its
    // lookups fed is dropped.
    CommandContext::SidCacheScope sidCache;
    Params params(Params::parse(argc, argv));
    CommandContext context;
    // Whatever the command writes is journaled first; the journal is kept when it succeeds.
    Tavrel::RunJournal journal(journalScopeFor(command_, params));
    std::wstring possibleCommands;
    auto is = [&](const wchar_t* name) {
        if (!possibleCommands.empty()) {
            possibleCommands += L"\n";
        }
        possibleCommands += L"   ";
        possibleCommands += name;
        return command_ == name;
    };
    if (is(L"--help")) {
        usage();
        return 0;
    }
    if (is(L"--create-domain-template") || is(L"--create-frame-forwarding-template") ||
        is(L"--create-webuser-template")) {
        return _createTemplate(params, context);
    }
    if (is(L"--update-path-security")) {
        return _updatePathSecurity(params, context);
    }
    if (is(L"--repair-webspace-security")) {
        return _repairWebspaceSecurity(params, context);
    }
    if (is(L"--repair-webspace-path-security")) {
        return _repairWebspacePathSecurity(params, context);
    }
    if (is(L"--update-webspace-security")) {
        return _updateWebspaceSecurity(params, context);
    }
    if (is(L"--repair-filesharing")) {
        return _repairFilesharing(params, context);
    }
    if (is(L"--update-user-filesharing-security")) {
        return _updateUserFilesharingSecurity(params);
    }
    if (is(L"--remove-user-filesharing-security")) {
        return _removeUserFilesharingSecurity(params);
    }
    if (is(L"--restore-security")) {
        return _restoreSecurity(params, journal);
    }
    if (is(L"--audit-webspace-security")) {
        return _auditWebspaceSecurity(params, context);
    }
    cmdNotSupported(possibleCommands);
}

int TavrelImpl::_createTemplate(const Params& params, CommandContext& context) {
    params.check(nullptr, L"--file-name\0");
    Tavrel::SecurityManager& manager = context.manager();
    std::wstring defaultName;
    if (command_ == L"--create-domain-template") {
        manager.createDomainTemplate();
        defaultName = L"hosting_template.xml";
    } else if (command_ == L"--create-frame-forwarding-template") {
        manager.createFrameForwardingTemplate();
        defaultName = L"frame_forwarding_template.xml";
    } else {
        manager.createWebUserTemplate();
        defaultName = L"webuser_template.xml";
    }
    // A "--file-name" without a value is present and empty: the save then has no name at all
    // and refuses, rather than falling back to the default.
    manager.saveToFile(params.has(L"--file-name") ? params.get(L"--file-name") : defaultName);
    return 0;
}

int TavrelImpl::_updatePathSecurity(const Params& params, CommandContext& context) {
    params.check(L"--path\0", nullptr);
    ExclusiveTask task;
    task.Initialize(baseMutexName(), Platform::Infinite);
    Tavrel::SecurityManager& manager = context.manager();
    ConsoleProgress progress(manager);
    Tavrel::loadPathMetadata(params.get(L"--path"), manager);
    // The metadata lies in the directory itself, where its users may write: it steers nothing
    // outside that directory.
    std::wstring directory = normalizePath(params.get(L"--path"));
    manager.confineTo(directory);
    PathRelation relation = comparePaths(manager.root(), directory);
    if (relation != PathEqual && relation != PathAbove) {
        // What governs a path outside the webspaces is unknown (a walk there fails on the root
        // correlation at its first step): nothing can be applied to it.
        LogManager::instance().log(LogWarning,
                                   L"No security metadata applies to %s, which lies outside %s",
                                   stripLongPrefix(directory), manager.root());
    } else {
        manager.applyToScope(nullptr, CheckerOptionUpdate, false);
    }
    manager.saveToFile(std::wstring());
    manager.requireNoDamagedMetadata();
    return 0;
}

int TavrelImpl::_repairWebspaceSecurity(const Params& params, CommandContext& context) {
    params.check(L"--webspace-name\0--user-name\0",
                 L"--web-users\0--full-scan\0--report-file\0--check-only\0");
    std::wstring webspace = params.get(L"--webspace-name");
    Tavrel::requirePlainName(L"webspace name", webspace);
    std::wstring directory = requireWebspaceDirectory(webspace);
    std::wstring report = params.getOr(L"--report-file", std::wstring());
    requireReportDirectory(report);
    // Opened here, before anything is loaded or changed, and held for the whole run: what the
    // walk later finds at that path cannot redirect the report.
    std::optional<DiskSecurity::ReportFile> reportFile;
    if (!report.empty()) {
        reportFile.emplace(report);
    }
    std::vector<std::wstring> webUsers = readWebUsers(params);
    ExclusiveTask task;
    task.Initialize(webspaceMutexName(webspace), Platform::Infinite);
    ComApartment com;
    std::wstring systemUser = params.get(L"--user-name");
    Tavrel::SecurityManager& manager = context.manager();
    ConsoleProgress progress(manager);
    Tavrel::loadDomainMetadata(webspace, manager);
    manager.expandWebspaceTemplate(webspace, systemUser, panelTemplate(L"hosting_template.xml"));
    manager.setReportFile(reportFile ? &*reportFile : nullptr);
    DiskSecurity::CheckMode options =
        params.has(L"--check-only") ? DiskSecurity::CheckMode::Simulate : CheckerOptionRepair;
    bool fullScan = params.has(L"--full-scan");
    manager.confineTo(directory);
    manager.applyCompleteToScope(nullptr, options, fullScan);
    manager.saveToFile(std::wstring());

    for (const std::wstring& webUser : webUsers) {
        Tavrel::loadWebUserMetadata(webspace, webUser, manager);
        manager.expandWebUserTemplate(webspace, systemUser, webUser,
                                      panelTemplate(L"webuser_template.xml"));
        manager.confineTo(VFileName::combine(directory, L"web_users\\" + webUser));
        manager.applyCompleteToScope(nullptr, options, fullScan);
        manager.saveToFile(std::wstring());
    }
    // A report with lines missing is no report of the run: the DACLs were written, the run
    // fails.
    if (reportFile) {
        reportFile->requireComplete();
    }
    manager.requireNoDamagedMetadata();
    return 0;
}

int TavrelImpl::_repairWebspacePathSecurity(const Params& params, CommandContext& context) {
    params.check(L"--webspace-name\0--user-name\0--path\0", nullptr);
    std::wstring webspace = params.get(L"--webspace-name");
    Tavrel::requirePlainName(L"webspace name", webspace);
    std::wstring directory = requireWebspaceDirectory(webspace);
    ExclusiveTask task;
    task.Initialize(webspaceMutexName(webspace), Platform::Infinite);
    ComApartment com;
    Tavrel::SecurityManager& manager = context.manager();
    ConsoleProgress progress(manager);
    Tavrel::loadDomainMetadata(webspace, manager);
    manager.expandWebspaceTemplate(webspace, params.get(L"--user-name"),
                                   panelTemplate(L"hosting_template.xml"));
    manager.confineTo(directory);
    manager.commit(normalizePath(params.get(L"--path")), false, nullptr, CheckerOptionUpdate);
    manager.requireNoDamagedMetadata();
    return 0;
}

int TavrelImpl::_updateWebspaceSecurity(const Params& params, CommandContext& context) {
    params.check(L"--webspace-name\0", L"--pathes-file\0--full-scan\0");
    std::wstring webspace = params.get(L"--webspace-name");
    Tavrel::requirePlainName(L"webspace name", webspace);
    std::wstring directory = requireWebspaceDirectory(webspace);
    std::wstring pathes = params.getOr(L"--pathes-file", std::wstring());
    std::vector<std::wstring> paths;
    if (!pathes.empty()) {
        paths = readPathesFile(pathes, directory);
    }
    ExclusiveTask task;
    task.Initialize(webspaceMutexName(webspace), Platform::Infinite);
    Tavrel::SecurityManager& manager = context.manager();
    ConsoleProgress progress(manager);
    Tavrel::loadDomainMetadata(webspace, manager);
    manager.confineTo(directory);
    bool fullScan = params.has(L"--full-scan");
    if (pathes.empty()) {
        manager.applyCompleteToScope(nullptr, CheckerOptionRepair, fullScan);
    }
    for (const std::wstring& path : paths) {
        manager.applyCompleteSecurity(path, nullptr, CheckerOptionRepair, fullScan);
    }
    manager.requireNoDamagedMetadata();
    return 0;
}

int TavrelImpl::_repairFilesharing(const Params&, CommandContext& context) {
    // Any parameters are accepted and ignored.
    ExclusiveTask task;
    task.Initialize(filesharingMutexName(), Platform::Infinite);
    ComApartment com;
    Tavrel::SecurityManager& manager = context.manager();
    ConsoleProgress progress(manager);
    Tavrel::loadDomainMetadata(FileSharingContext::area, manager);
    manager.expandFileSharingTemplate(FileSharingContext::area,
                                      panelTemplate(L"FilesharingRules.xml"));
    manager.confineTo(webspaceDirectory(FileSharingContext::area));
    manager.applyToScope(nullptr, CheckerOptionUpdate, false);
    manager.saveToFile(std::wstring());
    return 0;
}

int TavrelImpl::_updateUserFilesharingSecurity(const Params& params) {
    params.check(L"--vhost-name\0--user\0--user-id\0--private-template\0--template\0", nullptr);
    FileSharingContext::requireValues(params);
    ExclusiveTask area;
    ExclusiveTask vhost;
    lockFileSharingUser(area, vhost, params.get(L"--vhost-name"));
    FileSharingContext context(params);
    ConsoleProgress progress(context.manager());
    // What an earlier run added for the user goes first, so that the user has one copy.
    context.removeUserEntries();
    context.addUserEntries();
    context.manager().confineTo(webspaceDirectory(context.vhostName));
    context.manager().applyToScope(nullptr, CheckerOptionUpdate, false);
    context.manager().saveToFile(std::wstring());
    return 0;
}

int TavrelImpl::_removeUserFilesharingSecurity(const Params& params) {
    params.check(L"--vhost-name\0--user\0--user-id\0--template\0--private-template\0", nullptr);
    FileSharingContext::requireValues(params);
    ExclusiveTask area;
    ExclusiveTask vhost;
    lockFileSharingUser(area, vhost, params.get(L"--vhost-name"));
    FileSharingContext context(params);
    ConsoleProgress progress(context.manager());
    context.removeUserEntries();
    context.manager().saveToFile(std::wstring());
    // The area is applied once more with the user's entries in memory only.
    context.addUserEntries();
    context.manager().confineTo(webspaceDirectory(context.vhostName));
    context.manager().applyToScope(nullptr, CheckerOptionUpdate, false);
    return 0;
}
