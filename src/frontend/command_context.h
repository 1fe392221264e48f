// What every command of one run works with: the run's SID cache, the account-information
// provider chosen by the panel's "active_directory_mode" and one security manager, which
// journals in the run's journal.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "accounts/user_information.h"
#include "frontend/params.h"
#include "manager/journal.h"
#include "manager/security_manager.h"

class CommandContext {
public:
    // Installs a fresh offline SID cache as the process's current one for its lifetime; the
    // cache that was current before comes back when it goes, also when the command failed.
    class SidCacheScope {
    public:
        SidCacheScope();
        ~SidCacheScope();
        SidCacheScope(const SidCacheScope&) = delete;
        SidCacheScope& operator=(const SidCacheScope&) = delete;
    };

    // The directory-service provider when the DWORD "active_directory_mode" of the
    // configuration key is non-zero, else the local-account one; and a manager that uses it
    // and journals in `journal` (not owned; null: nowhere).
    explicit CommandContext(Tavrel::RunJournal* journal = nullptr);
    CommandContext(const CommandContext&) = delete;
    CommandContext& operator=(const CommandContext&) = delete;

    const std::shared_ptr<IUserInformation>& accounts() const { return accounts_; }
    Tavrel::SecurityManager& manager() { return *manager_; }

    // The provider the configuration asks for.
    static std::shared_ptr<IUserInformation> configuredAccountProvider();

private:
    std::shared_ptr<IUserInformation> accounts_;
    std::unique_ptr<Tavrel::SecurityManager> manager_;
};

// The context of the file-sharing user commands: a command context whose manager holds the
// metadata of the area named by "--vhost-name", and the user the command is about.
class FileSharingContext : public CommandContext {
public:
    // The area that "--repair-filesharing" maintains.
    static constexpr const wchar_t* area = L"fs";

    // Loads HTTPD_VHOSTS_D\<vhost>\.tarno\.Security (missing: an empty set bound to it), for
    // the vhost named `vhost` (the "--vhost-name" as the disk spells it); the manager journals
    // in `journal`.
    FileSharingContext(const Params& params, std::wstring vhost, Tavrel::RunJournal& journal);

    // Refuses, before anything is read or written, "--vhost-name", "--user" and "--user-id"
    // values that hold a control character, which no metadata file can carry, any of the three
    // that is not one plain name (empty included: an empty user id would match every entry
    // without a second tag), and a template of either list that is not one plain file name
    // (Tavrel::requirePlainName).
    static void requireValues(const Params& params);

    // <vhost>\private\<user id> for the private templates, else <vhost>.
    std::wstring userSubPath(bool isPrivate) const;
    // The user's entries of the "--private-template" list, then of the "--template" list,
    // dropped from the manager (returning what was dropped) / expanded into it.
    std::vector<DiskSecurity::EntryTemplate> removeUserEntries();
    void addUserEntries();
    // Adds to the manager, for the walk that follows and never to be saved, a revoke entry for
    // each removed entry whose account no remaining entry names: the access that the removed
    // entries granted is then taken off the paths they named, exact or not. An account that
    // another entry still names (the sub-accounts' group of another user) keeps what that
    // entry grants.
    void revokeAccessOf(const std::vector<DiskSecurity::EntryTemplate>& removed);
    // Expands each template of the comma-separated list for the user into the manager.
    void addUserTemplates(const std::wstring& list, bool isPrivate);
    // Drops from the manager every entry that the templates of the list give the user, and
    // returns them.
    std::vector<DiskSecurity::EntryTemplate> removeUserTemplates(const std::wstring& list,
                                                                 bool isPrivate);

    const std::wstring vhostName;
    const std::wstring userName;
    const std::wstring userId;
    const std::wstring privateTemplates;
    const std::wstring templates;
};
