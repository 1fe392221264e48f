#include "frontend/tavrel_impl.h"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

#include "frontend/command_context.h"
#include "frontend/list_file.h"
#include "frontend/params.h"
#include "frontend/tavrel_commands.h"
#include "manager/journal.h"
#include "platform/filesystem.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/types.h"
#include "runtime/com_apartment.h"
#include "runtime/exceptions.h"
#include "runtime/exclusive_task.h"
#include "runtime/filename.h"

using namespace TavrelCommands;

namespace {

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

// The mutex a command holds while it works.
enum class Lock {
    None,
    Base,             // the base name: the updates of a path
    Webspace,         // the name of the "--webspace-name"
    FileSharing,      // the file-sharing area's name
    FileSharingUser,  // the area's name, then that of the "--vhost-name" (fileSharingUserLocks)
    JournalScope,     // that of the scope of the "--journal" (scopeMutex)
};

// What a command needs besides its mutex.
enum Setup : unsigned {
    Checked = 1,    // its parameters are checked against its lists (else any are accepted)
    Com = 2,        // a COM apartment
    Progress = 4,   // the walks of the context's manager shown on the console
    Journaled = 8,  // what it writes is journaled, in the scope of its mutex
};

// One command of the tool.
struct Command {
    const wchar_t* name;
    Params::Names required;
    Params::Names optional;
    Lock lock;
    unsigned setup;
    void (*run)(CommandRun& run);
};

// The commands, in the order they are compared with the command name, which is the order that
// the refusal of an unknown command lists them in. A row is: name, required parameters,
// optional parameters, mutex, setup, function. A new command is one row here and one function
// in tavrel_commands.cpp.
const std::vector<Command>& commands() {
    // clang-format off
    static const std::vector<Command> table = {
        {L"--help", {}, {}, Lock::None, 0, help},
        {L"--create-domain-template", {}, {L"--file-name"}, Lock::None, Checked,
            createDomainTemplate},
        {L"--create-frame-forwarding-template", {}, {L"--file-name"}, Lock::None, Checked,
            createFrameForwardingTemplate},
        {L"--create-webuser-template", {}, {L"--file-name"}, Lock::None, Checked,
            createWebUserTemplate},
        {L"--update-path-security", {L"--path"}, {}, Lock::Base, Checked | Progress | Journaled,
            updatePathSecurity},
        {L"--repair-webspace-security", {L"--webspace-name", L"--user-name"},
            {L"--web-users", L"--full-scan", L"--report-file", L"--check-only"},
            Lock::Webspace, Checked | Com | Progress | Journaled, repairWebspaceSecurity},
        {L"--repair-webspace-path-security", {L"--webspace-name", L"--user-name", L"--path"}, {},
            Lock::Webspace, Checked | Com | Progress | Journaled, repairWebspacePathSecurity},
        {L"--update-webspace-security", {L"--webspace-name"}, {L"--pathes-file", L"--full-scan"},
            Lock::Webspace, Checked | Progress | Journaled, updateWebspaceSecurity},
        {L"--repair-filesharing", {}, {}, Lock::FileSharing, Com | Progress | Journaled,
            repairFilesharing},
        {L"--update-user-filesharing-security",
            {L"--vhost-name", L"--user", L"--user-id", L"--private-template", L"--template"}, {},
            Lock::FileSharingUser, Checked | Journaled, updateUserFilesharingSecurity},
        {L"--remove-user-filesharing-security",
            {L"--vhost-name", L"--user", L"--user-id", L"--template", L"--private-template"}, {},
            Lock::FileSharingUser, Checked | Journaled, removeUserFilesharingSecurity},
        {L"--restore-security", {L"--journal"}, {L"--check-only"}, Lock::JournalScope, Checked,
            restoreSecurity},
        {L"--audit-webspace-security", {L"--webspace-name", L"--user-name"},
            {L"--web-users", L"--full-scan"}, Lock::Webspace, Checked | Progress,
            auditWebspaceSecurity},
        {L"--report-webspace-access", {L"--webspace-name", L"--user-name"},
            {L"--web-users", L"--account"}, Lock::Webspace, Checked | Progress,
            reportWebspaceAccess},
    };
    // clang-format on
    return table;
}

const Command* findCommand(const std::wstring& name) {
    for (const Command& command : commands()) {
        if (command.name == name) {
            return &command;
        }
    }
    return nullptr;
}

// Every command, one a line after three blanks.
std::wstring possibleCommands() {
    std::wstring text;
    for (const Command& command : commands()) {
        text += (text.empty() ? L"   " : L"\n   ") + std::wstring(command.name);
    }
    return text;
}

bool names(const Command& command, const std::wstring& parameter) {
    for (const Params::Names* list : {&command.required, &command.optional}) {
        if (std::find(list->begin(), list->end(), parameter) != list->end()) {
            return true;
        }
    }
    return false;
}

// --- the values of the parameters, read before the mutex is taken ---

// A webspace command works inside the webspace's directory and nowhere else. The name is taken
// as the directory's own name on the disk, so that two spellings of one webspace take one mutex
// and keep one journal scope. A directory that is a link is refused; a missing one only where
// the command has nothing that could build it (its entries would make it).
void readWebspace(CommandRun& run) {
    run.webspace = run.params.get(L"--webspace-name");
    Tavrel::requirePlainName(L"webspace name", run.webspace);
    run.webspace = onDiskName(run.webspace);
    VPath directory = webspaceDirectory(run.webspace);
    std::uint32_t attributes = 0;
    bool exists = fileExist(directory.shownText(), attributes);
    bool builds = run.command == L"--repair-webspace-security" ||
                  run.command == L"--repair-webspace-path-security";
    if ((exists && (!(attributes & Platform::FileAttribute::Directory) ||
                    (attributes & Platform::FileAttribute::ReparsePoint))) ||
        (!exists && !builds)) {
        throw ArgumentException(
            formatString(L"Invalid value of parameter --webspace-name: the webspace directory %s "
                         L"does not exist",
                         directory.shown()),
            VSITE("readWebspace"));
    }
    run.directory = std::move(directory);
}

// A report file is appended to object by object during the walk: a directory that is not
// there would fail every line of it, so it is refused before any work.
void openReport(CommandRun& run) {
    std::wstring report = run.params.getOr(L"--report-file", std::wstring());
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
    run.report.emplace(report);
}

void checkFileSharingValues(CommandRun& run) {
    FileSharingContext::requireValues(run.params);
    run.webspace = onDiskName(run.params.get(L"--vhost-name"));
}

// The directory of a journal's scope, which the run that wrote it did not leave.
VPath scopeDirectory(const Tavrel::JournalScope& scope) {
    switch (scope.kind) {
        case Tavrel::JournalScope::Kind::Webspace:
            Tavrel::requirePlainName(L"webspace name", scope.name);
            return webspaceDirectory(onDiskName(scope.name));
        case Tavrel::JournalScope::Kind::FileSharing:
            return webspaceDirectory(FileSharingContext::area);
        default:
            return VPath(scope.name);
    }
}

// The mutex that guards that directory.
std::wstring scopeMutex(const Tavrel::JournalScope& scope) {
    switch (scope.kind) {
        case Tavrel::JournalScope::Kind::Webspace:
            return TavrelImpl::webspaceMutexName(onDiskName(scope.name));
        case Tavrel::JournalScope::Kind::FileSharing:
            return TavrelImpl::filesharingMutexName();
        default:
            return TavrelImpl::baseMutexName();
    }
}

// Everything is read and checked before the mutex is taken and anything written.
void readJournal(CommandRun& run) {
    run.journalFile = normalizePath(run.params.get(L"--journal"));
    run.journalContents = Tavrel::readJournal(run.journalFile);
    // The run that wrote the journal stayed in its scope's directory; the mutex taken for it
    // guards that directory and no other.
    run.directory = scopeDirectory(run.journalContents.scope);
    Tavrel::requireWithin(run.journalContents, run.directory, run.journalFile);
}

void readPath(CommandRun& run) {
    run.path = VPath(run.params.get(L"--path"));
}

// How the value of each parameter enters a run, in the order they are read: those that name
// what the run may change first, then the files that say what it does.
constexpr struct {
    const wchar_t* parameter;
    void (*read)(CommandRun& run);
} valueReaders[] = {
    {L"--webspace-name", readWebspace},
    {L"--report-file", openReport},
    {L"--vhost-name", checkFileSharingValues},
    {L"--journal", readJournal},
    {L"--path", readPath},
};

// --- the mutex and the journal ---

// The file-sharing user commands on vhost V write V's metadata file, which a repair of webspace
// V writes too: they hold V's mutex besides the area's. Every command that holds both takes the
// area's first, so that no two commands can each hold one and wait for the other. For the
// area itself the two names are one mutex, taken once.
std::vector<std::wstring> fileSharingUserLocks(const CommandRun& run) {
    std::vector<std::wstring> names{TavrelImpl::filesharingMutexName()};
    std::wstring vhostMutex = TavrelImpl::webspaceMutexName(run.webspace);
    if (vhostMutex != names.front()) {
        names.push_back(vhostMutex);
    }
    return names;
}

// The mutexes a command takes, in the order it takes them.
std::vector<std::wstring> lockNames(Lock lock, const CommandRun& run) {
    switch (lock) {
        case Lock::None:
            return {};
        case Lock::Base:
            return {TavrelImpl::baseMutexName()};
        case Lock::Webspace:
            return {TavrelImpl::webspaceMutexName(run.webspace)};
        case Lock::FileSharing:
            return {TavrelImpl::filesharingMutexName()};
        case Lock::FileSharingUser:
            return fileSharingUserLocks(run);
        case Lock::JournalScope:
            return {scopeMutex(run.journalContents.scope)};
    }
    return {};
}

// The scope whose journal the command writes: that of its mutex, named as the run took it.
// Nothing for the commands that write no security; the restore names its scope once it has
// read the journal. A check-only repair saves its metadata, which is journaled too, apart
// from the journals of the runs that wrote DACLs (JournalScope::checkOnly).
Tavrel::JournalScope journalScopeFor(const Command& command, const CommandRun& run) {
    using Kind = Tavrel::JournalScope::Kind;
    if (!(command.setup & Journaled)) {
        return {};
    }
    bool checkOnly = run.params.has(L"--check-only");
    switch (command.lock) {
        case Lock::Base:
            return {Kind::Path, stripLongPrefix(normalizePath(run.params.getOr(L"--path", L"."))),
                    checkOnly};
        case Lock::Webspace:
        case Lock::FileSharingUser:
            // A user's file-sharing commands write the vhost's folder and metadata, under its
            // mutex: a restore of their journal must hold that one.
            return {Kind::Webspace, run.webspace, checkOnly};
        case Lock::FileSharing:
            return {Kind::FileSharing, {}, checkOnly};
        default:
            return {};
    }
}

// What every command does around its function, each step only as its row asks: the parameters
// checked and their values read, the mutex taken, COM entered, the progress shown; all of it
// undone in the reverse order when the function returns or fails.
void runCommand(const Command& command, CommandRun& run) {
    if (command.setup & Checked) {
        run.params.check(command.required, command.optional);
    }
    for (const auto& reader : valueReaders) {
        if (names(command, reader.parameter)) {
            reader.read(run);
        }
    }
    run.journal.setScope(journalScopeFor(command, run));
    std::vector<std::wstring> lockOrder = lockNames(command.lock, run);
    std::array<ExclusiveTask, 2> locks;
    for (std::size_t i = 0; i < lockOrder.size(); ++i) {
        locks.at(i).Initialize(lockOrder[i], Platform::Infinite);
    }
    std::optional<ComApartment> com;
    if (command.setup & Com) {
        com.emplace();
    }
    std::optional<ConsoleProgress> progress;
    if (command.setup & Progress) {
        progress.emplace(run.context.manager());
    }
    command.run(run);
}

}  // namespace

TavrelImpl::TavrelImpl() {
    Platform::setErrorMode(Platform::setErrorMode(0) | Platform::SemNoGpFaultErrorBox);
    setDefaultCommand(L"--help");
}

TavrelImpl::~TavrelImpl() = default;

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
    Params params(argc, argv);
    // Whatever the command writes is journaled first; the journal is kept when it succeeds. It
    // is finished after the command has let its mutex go. The context's manager journals in it.
    Tavrel::RunJournal journal{Tavrel::JournalScope()};
    CommandContext context(&journal);
    const Command* command = findCommand(command_);
    if (!command) {
        cmdNotSupported(possibleCommands());
    }
    CommandRun run(*this, params, context, journal);
    run.command = command->name;
    runCommand(*command, run);
    // Only a run that ends without an error, its journal whole on the disk, counts as one of
    // the journals kept.
    journal.finish();
    return 0;
}
