// What every command of one run works with: the run's SID cache, the account-information
// provider chosen by the panel's "active_directory_mode" and one security manager.
#pragma once

#include <memory>

#include "accounts/user_information.h"
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
    // configuration key is non-zero, else the local-account one; and a manager that uses it.
    CommandContext();
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
