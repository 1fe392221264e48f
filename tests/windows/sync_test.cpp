// Named mutexes on the real kernel objects, with a second process where ownership crosses
// processes.
#include <gtest/gtest.h>

#include <string>

#include "platform/sync.h"
#include "platform/system.h"
#include "platform/unique.h"
#include "windows/support/win_support.h"

namespace {
using namespace Platform;

std::wstring uniqueName(const wchar_t* stem) {
    Guid guid{};
    uuidCreate(guid);
    std::wstring name = stem;
    for (int i = 0; i < 6; ++i) {
        name += static_cast<wchar_t>(L'a' + guid[static_cast<std::size_t>(i)] % 26);
    }
    return name;
}

TEST(WinMutex, IsReentrantAndReleasedOncePerAcquisition) {
    UniqueHandle mutex(createMutex(uniqueName(L"TavrelReentrant"), false));
    ASSERT_TRUE(mutex);
    EXPECT_EQ(waitForSingleObject(mutex.get(), 0), WaitObject0);
    EXPECT_EQ(waitForSingleObject(mutex.get(), 0), WaitObject0);
    EXPECT_TRUE(releaseMutex(mutex.get()));
    EXPECT_TRUE(releaseMutex(mutex.get()));
    EXPECT_FALSE(releaseMutex(mutex.get()));
    EXPECT_EQ(getLastError(), WinError::NotOwner);
}

TEST(WinMutex, NamespacePrefixesNameOneLock) {
    const std::wstring base = uniqueName(L"TavrelPrefixed");
    UniqueHandle first(createMutex(L"Global\\" + base, true));
    ASSERT_TRUE(first);
    EXPECT_EQ(getLastError(), 0u);
    for (const std::wstring& alias : {L"Local\\" + base, base, L"Session\\1\\" + base}) {
        UniqueHandle again(createMutex(alias, true));
        ASSERT_TRUE(again) << alias;
        EXPECT_EQ(getLastError(), WinError::AlreadyExists) << alias;
    }
    EXPECT_TRUE(releaseMutex(first.get()));
}

TEST(WinMutex, AnotherProcessTimesOutWhileHeldAndGetsAnAbandonedOne) {
    const std::wstring name = uniqueName(L"TavrelCross");
    {
        UniqueHandle held(createMutex(name, true));
        ASSERT_TRUE(held);
        auto waited = TestSupport::runProgram(L"mutex_holder.exe", {L"try", name, L"50"});
        EXPECT_EQ(std::stoul(waited.out), WaitTimeout) << waited.err;
        EXPECT_TRUE(releaseMutex(held.get()));
    }
    UniqueHandle mine(createMutex(name, false));
    TestSupport::ScratchDir dir;
    auto died = TestSupport::runProgram(L"mutex_holder.exe",
                                        {L"die", name, L"0", dir / L"marks"});
    EXPECT_EQ(died.exitCode, 3u) << died.err;
    EXPECT_EQ(waitForSingleObject(mine.get(), 1000), WaitAbandoned);
    EXPECT_TRUE(releaseMutex(mine.get()));
}

}  // namespace
