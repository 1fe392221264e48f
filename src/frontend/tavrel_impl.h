// The Tavrel application: the command dispatcher and the help text.
#pragma once

#include "frontend/command_context.h"
#include "frontend/params.h"
#include "frontend/vconsoleapp.h"
#include "manager/journal.h"

class TavrelImpl : public vconsoleapp {
public:
    TavrelImpl();
    ~TavrelImpl() override;

    int go(int argc, const wchar_t* const* argv) override;
    void usage() override;

    // The process's current application object (the last one constructed and alive).
    static TavrelImpl* current();

    // "Global\{88B0E47B-31B8-463c-9F1C-042CEB27267A}", and its per-webspace form cut to 260
    // characters.
    static std::wstring baseMutexName();
    static std::wstring webspaceMutexName(const std::wstring& webspace);
    static std::wstring filesharingMutexName();

private:
    // The three template commands: the command's default template, written to "--file-name"
    // or to its default file name in the current directory.
    int _createTemplate(const Params& params, CommandContext& context);
    int _updatePathSecurity(const Params& params, CommandContext& context);
    int _repairWebspaceSecurity(const Params& params, CommandContext& context);
    int _repairWebspacePathSecurity(const Params& params, CommandContext& context);
    int _updateWebspaceSecurity(const Params& params, CommandContext& context);
    int _repairFilesharing(const Params& params, CommandContext& context);
    int _updateUserFilesharingSecurity(const Params& params);
    int _removeUserFilesharingSecurity(const Params& params);
    // tavrel_commands.cpp: the restore of a journal and the audit of a webspace.
    int _restoreSecurity(const Params& params, Tavrel::RunJournal& journal);
    int _auditWebspaceSecurity(const Params& params, CommandContext& context);
};
