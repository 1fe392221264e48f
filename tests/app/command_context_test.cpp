// The command context of a run: the SID cache installed for the run and restored after it,
// and the account provider chosen by the panel's configuration.
#include <gtest/gtest.h>

#include "accounts/sid_cache.h"
#include "frontend/command_context.h"
#include "support/process.h"
#include "support/temp_host.h"

namespace {

TEST(CommandContext, SidCacheScopesNestAndRestore) {
    TestSupport::TempHost host;
    ASSERT_FALSE(SidCache::hasCurrent());
    std::string sid;
    {
        CommandContext::SidCacheScope outer;
        EXPECT_TRUE(SidCache::hasCurrent());
        // What the outer cache learns survives an inner run and is gone after the outer one.
        auto added = TestSupport::runProgram("tavrel-host", {"account", "add", "cached"});
        ASSERT_EQ(added.exitCode, 0) << added.err;
        VSID account = VSID::fromName(L"", L"cached");
        {
            CommandContext::SidCacheScope inner;
            EXPECT_TRUE(SidCache::hasCurrent());
        }
        ASSERT_EQ(TestSupport::runProgram("tavrel-host", {"account", "del", "cached"}).exitCode, 0);
        VSID again;
        EXPECT_TRUE(VSID::lookupName(L"", L"cached", again, false))
            << "the outer cache did not come back";
        EXPECT_EQ(again, account);
    }
    EXPECT_FALSE(SidCache::hasCurrent());
    VSID gone;
    EXPECT_FALSE(VSID::lookupName(L"", L"cached", gone, false));
}

TEST(CommandContext, ActiveDirectoryModeChoosesTheProvider) {
    TestSupport::TempHost host;
    CommandContext local;
    EXPECT_NE(dynamic_cast<LocalUserInformation*>(local.accounts().get()), nullptr);
    EXPECT_EQ(local.manager().accountResolver(), local.accounts());

    auto set = TestSupport::runProgram(
        "tavrel-host", {"reg", "set", "HKLM\\SOFTWARE\\WOW6432Node\\Tarno\\Zel Config\\Config",
                        "active_directory_mode", "REG_DWORD", "1"});
    ASSERT_EQ(set.exitCode, 0) << set.err;
    CommandContext directory;
    EXPECT_NE(dynamic_cast<ADUserInformation*>(directory.accounts().get()), nullptr);
}

}  // namespace
