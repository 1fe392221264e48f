// The commands of Tavrel, one function each, and what a command works with. The table in
// tavrel_impl.cpp gives each command its parameters, its mutex and what it needs set up; the
// dispatcher checks the parameters, reads their values, takes the mutex, enters COM and shows
// the progress, and then calls the function.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "disksecurity/report_file.h"
#include "disksecurity/security_checker.h"
#include "frontend/command_context.h"
#include "frontend/params.h"
#include "manager/journal.h"
#include "runtime/vpath.h"

class TavrelImpl;

namespace TavrelCommands {

// What one command works with. The dispatcher fills in the values of the parameters that the
// command's row names before it takes the mutex, each checked and each path normalised here,
// where it enters: a bad value fails the run before any lock or work, and the commands and the
// layers below take the values as they are.
struct CommandRun {
    CommandRun(TavrelImpl& app, const Params& params, CommandContext& context,
               Tavrel::RunJournal& journal)
        : app(app), params(params), context(context), journal(journal) {}
    CommandRun(const CommandRun&) = delete;
    CommandRun& operator=(const CommandRun&) = delete;

    TavrelImpl& app;
    const Params& params;
    CommandContext& context;
    Tavrel::RunJournal& journal;

    // The command's name, as the table has it.
    std::wstring command;
    // "--webspace-name" (or the file-sharing commands' "--vhost-name"), one plain name, as the
    // directory's name on the disk when it exists, and its directory below HTTPD_VHOSTS_D.
    // For the restore, the directory of the journal's scope.
    std::wstring webspace;
    VPath directory;
    // "--path".
    VPath path;
    // "--report-file", opened before anything is loaded or changed and held for the whole run:
    // what the walk later finds at that path cannot redirect the report.
    std::optional<DiskSecurity::ReportFile> report;
    // "--journal", normalised, and what it holds, read and checked whole.
    std::wstring journalFile;
    Tavrel::JournalContents journalContents;
};

// The checker mode of the commands that write: the updates of paths check and rewrite as the
// repair does.
constexpr DiskSecurity::CheckMode CheckerOptionRepair = DiskSecurity::CheckMode::Repair;

// HTTPD_VHOSTS_D\<name>: the directory of a webspace (or of the file-sharing area).
VPath webspaceDirectory(const std::wstring& webspace);
// The name of the directory HTTPD_VHOSTS_D\<webspace> as the disk holds it (NTFS finds it under
// any letter case), or `webspace` as it is when there is none.
std::wstring onDiskName(const std::wstring& webspace);

// The commands, in the order of the table.
void help(CommandRun& run);
// The default templates, written to "--file-name" or to their default file name in the current
// directory.
void createDomainTemplate(CommandRun& run);
void createFrameForwardingTemplate(CommandRun& run);
void createWebUserTemplate(CommandRun& run);
void updatePathSecurity(CommandRun& run);
void repairWebspaceSecurity(CommandRun& run);
void repairWebspacePathSecurity(CommandRun& run);
void updateWebspaceSecurity(CommandRun& run);
void repairFilesharing(CommandRun& run);
void updateUserFilesharingSecurity(CommandRun& run);
void removeUserFilesharingSecurity(CommandRun& run);
// Puts back what a run's journal recorded.
void restoreSecurity(CommandRun& run);
// Says where a webspace differs from its metadata; writes nothing.
void auditWebspaceSecurity(CommandRun& run);
// Says what each account may do where in a webspace; writes nothing.
void reportWebspaceAccess(CommandRun& run);

}  // namespace TavrelCommands
