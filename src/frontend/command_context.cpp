#include "frontend/command_context.h"

#include <cstdint>

#include "accounts/sid_cache.h"
#include "platform/registry.h"
#include "runtime/config.h"
#include "runtime/registry.h"

CommandContext::SidCacheScope::SidCacheScope() {
    SidCache::install(std::make_unique<SidCache::OfflineSidCacheImpl>());
}

CommandContext::SidCacheScope::~SidCacheScope() {
    SidCache::restore();
}

CommandContext::CommandContext()
    : accounts_(configuredAccountProvider()),
      manager_(std::make_unique<Tavrel::SecurityManager>(accounts_)) {}

std::shared_ptr<IUserInformation> CommandContext::configuredAccountProvider() {
    // A missing value means local accounts.
    std::uint32_t activeDirectoryMode = 0;
    registry::lookup(Platform::hkeyLocalMachine(), configKey, L"active_directory_mode",
                     activeDirectoryMode, configKeyView);
    if (activeDirectoryMode != 0) {
        return std::make_shared<ADUserInformation>();
    }
    return std::make_shared<LocalUserInformation>();
}
