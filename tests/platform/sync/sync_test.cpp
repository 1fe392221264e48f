#include "platform/sync.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/sync/mutex_names.h"
#include "platform/text.h"
#include "platform/unique.h"
#include "support/process.h"
#include "support/temp_host.h"

namespace {

using namespace std::chrono_literals;
using Platform::UniqueHandle;

struct Mark {
    std::string kind;
    unsigned pid = 0;
    long long nanos = 0;
    unsigned result = 0;
};

std::vector<Mark> readMarks(const std::filesystem::path& file) {
    std::vector<Mark> marks;
    std::istringstream in(TestSupport::readFile(file));
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        Mark m;
        fields >> m.kind >> m.pid >> m.nanos >> m.result;
        marks.push_back(m);
    }
    return marks;
}

long long monotonicNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class NamedMutexTest : public ::testing::Test {
protected:
    TestSupport::TempHost host;
    std::filesystem::path marks = host.dir() / "marks";

    // Runs mutex_holder in the background.
    std::future<TestSupport::ProcessResult> start(std::vector<std::string> args) {
        return std::async(std::launch::async,
                          [args] { return TestSupport::runProgram("mutex_holder", args); });
    }
    // Waits until a holder has taken the mutex.
    void waitForEnter() {
        for (int i = 0; i < 1000 && readMarks(marks).empty(); ++i) {
            std::this_thread::sleep_for(5ms);
        }
        ASSERT_FALSE(readMarks(marks).empty()) << "the holder never took the mutex";
    }
    static UniqueHandle create(const std::wstring& name) {
        UniqueHandle handle(Platform::createMutex(name, false));
        EXPECT_TRUE(handle) << Platform::getLastError();
        return handle;
    }
};

TEST_F(NamedMutexTest, ProcessesNeverHoldItAtOnce) {
    std::vector<std::future<TestSupport::ProcessResult>> holders;
    for (int i = 0; i < 4; ++i) {
        holders.push_back(start({"hold", "Global\\{88B0E47B}-site", "40", marks.string()}));
    }
    for (auto& holder : holders) {
        auto result = holder.get();
        EXPECT_EQ(result.exitCode, 0) << result.err;
    }
    auto all = readMarks(marks);
    ASSERT_EQ(all.size(), 8u);
    std::sort(all.begin(), all.end(),
              [](const Mark& a, const Mark& b) { return a.nanos < b.nanos; });
    for (std::size_t i = 0; i < all.size(); i += 2) {
        EXPECT_EQ(all[i].kind, "enter");
        EXPECT_EQ(all[i].result, Platform::WaitObject0);
        EXPECT_EQ(all[i + 1].kind, "leave");
        EXPECT_EQ(all[i + 1].pid, all[i].pid) << "another process entered while one held it";
    }
}

TEST_F(NamedMutexTest, WaitTimesOutWhileAnotherProcessHoldsIt) {
    auto holder = start({"hold", "Global\\held", "600", marks.string()});
    waitForEnter();
    auto mutex = create(L"Global\\held");
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(Platform::waitForSingleObject(mutex.get(), 100), Platform::WaitTimeout);
    EXPECT_GE(std::chrono::steady_clock::now() - before, 100ms);
    EXPECT_EQ(Platform::waitForSingleObject(mutex.get(), 0), Platform::WaitTimeout);

    EXPECT_EQ(Platform::waitForSingleObject(mutex.get(), Platform::Infinite),
              Platform::WaitObject0);
    long long acquired = monotonicNanos();
    EXPECT_TRUE(Platform::releaseMutex(mutex.get()));
    EXPECT_EQ(holder.get().exitCode, 0);
    auto all = readMarks(marks);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_GT(acquired, all[1].nanos) << "acquired before the holder let go";
}

TEST_F(NamedMutexTest, OwnerThatDiesAbandonsIt) {
    // The waiter is woken by the death and told, once, that the owner never released.
    auto dying = start({"die", "Global\\dies", "200", marks.string()});
    waitForEnter();
    auto mutex = create(L"Local\\dies");
    EXPECT_EQ(Platform::waitForSingleObject(mutex.get(), Platform::Infinite),
              Platform::WaitAbandoned);
    EXPECT_NE(dying.get().exitCode, 0);
    EXPECT_TRUE(Platform::releaseMutex(mutex.get()));
    EXPECT_EQ(Platform::waitForSingleObject(mutex.get(), 0), Platform::WaitObject0);
    EXPECT_TRUE(Platform::releaseMutex(mutex.get()));

    // Between processes too, and the next one after a proper release gets it cleanly.
    EXPECT_NE(
        TestSupport::runProgram("mutex_holder", {"die", "dies", "0", marks.string()}).exitCode, 0);
    EXPECT_EQ(TestSupport::runProgram("mutex_holder", {"try", "dies", "1000"}).out, "128\n");
    EXPECT_EQ(TestSupport::runProgram("mutex_holder", {"try", "dies", "1000"}).out, "0\n");
}

TEST_F(NamedMutexTest, NamespacesShareOneLockAndNamesAreCaseSensitive) {
    auto holder = start({"hold", "Global\\Shared", "400", marks.string()});
    waitForEnter();
    for (const wchar_t* same : {L"Local\\Shared", L"Shared", L"Session\\1\\Shared"}) {
        auto mutex = create(same);
        EXPECT_EQ(Platform::waitForSingleObject(mutex.get(), 0), Platform::WaitTimeout) << same;
    }
    auto other = create(L"Global\\shared");
    EXPECT_EQ(Platform::waitForSingleObject(other.get(), 0), Platform::WaitObject0);
    EXPECT_TRUE(Platform::releaseMutex(other.get()));
    EXPECT_EQ(holder.get().exitCode, 0);
}

TEST_F(NamedMutexTest, LongNamesAreDistinctLocks) {
    // Past MAX_PATH characters, with non-ASCII text: the lock file name is cut and hashed.
    std::wstring base = L"Global\\{88B0E47B-31B8-463c-9F1C-042CEB27267A}-" +
                        std::wstring(150, L'ж') + std::wstring(120, L'w');
    auto holder = start({"hold", Platform::toUtf8(base + L"1"), "400", marks.string()});
    waitForEnter();
    auto same = create(base + L"1");
    EXPECT_EQ(Platform::waitForSingleObject(same.get(), 0), Platform::WaitTimeout);
    auto other = create(base + L"2");
    EXPECT_EQ(Platform::waitForSingleObject(other.get(), 0), Platform::WaitObject0);
    EXPECT_TRUE(Platform::releaseMutex(other.get()));
    EXPECT_EQ(holder.get().exitCode, 0);
}

TEST_F(NamedMutexTest, ReentrantInOwningThreadOnly) {
    auto mutex = create(L"tarnolog_debug_mutex");
    auto otherThreadWaits = [&](std::uint32_t timeout) {
        return std::async(std::launch::async, [&, timeout] {
            std::uint32_t result = Platform::waitForSingleObject(mutex.get(), timeout);
            if (result == Platform::WaitObject0) {
                Platform::releaseMutex(mutex.get());
            }
            return result;
        });
    };
    ASSERT_EQ(Platform::waitForSingleObject(mutex.get(), 0), Platform::WaitObject0);
    ASSERT_EQ(Platform::waitForSingleObject(mutex.get(), Platform::Infinite),
              Platform::WaitObject0);
    EXPECT_EQ(otherThreadWaits(50).get(), Platform::WaitTimeout);

    // Not the owner: the other thread can release nothing.
    auto release = std::async(std::launch::async, [&] {
                       bool released = Platform::releaseMutex(mutex.get());
                       return std::make_pair(released, Platform::getLastError());
                   }).get();
    EXPECT_FALSE(release.first);
    EXPECT_EQ(release.second, Platform::WinError::NotOwner);

    EXPECT_TRUE(Platform::releaseMutex(mutex.get()));
    EXPECT_EQ(otherThreadWaits(50).get(), Platform::WaitTimeout)
        << "freed after one release of two";

    auto waiting = otherThreadWaits(Platform::Infinite);
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(Platform::releaseMutex(mutex.get()));
    EXPECT_EQ(waiting.get(), Platform::WaitObject0);

    EXPECT_FALSE(Platform::releaseMutex(mutex.get()));
    EXPECT_EQ(Platform::getLastError(), Platform::WinError::NotOwner);
}

TEST_F(NamedMutexTest, OwnerThatGoesAwayInProcessAbandonsIt) {
    auto mutex = create(L"inprocess");
    std::thread([&] { Platform::waitForSingleObject(mutex.get(), 0); }).join();
    EXPECT_EQ(Platform::waitForSingleObject(mutex.get(), 0), Platform::WaitAbandoned)
        << "a thread that ends owning it abandons it";
    mutex.reset();  // closed while owned
    mutex = create(L"inprocess");
    EXPECT_EQ(Platform::waitForSingleObject(mutex.get(), 0), Platform::WaitAbandoned);
    EXPECT_TRUE(Platform::releaseMutex(mutex.get()));

    UniqueHandle unnamed(Platform::createMutex(L"", false));
    std::thread([&] { Platform::waitForSingleObject(unnamed.get(), 0); }).join();
    EXPECT_EQ(Platform::waitForSingleObject(unnamed.get(), 0), Platform::WaitAbandoned);
    EXPECT_EQ(Platform::waitForSingleObject(unnamed.get(), 0), Platform::WaitObject0);
}

TEST_F(NamedMutexTest, CreateReportsExistingAndInitialOwnership) {
    UniqueHandle first(Platform::createMutex(L"Global\\created", true));
    ASSERT_TRUE(first);
    EXPECT_EQ(Platform::getLastError(), 0u);
    UniqueHandle second(Platform::createMutex(L"Local\\created", true));
    ASSERT_TRUE(second);
    EXPECT_EQ(Platform::getLastError(), Platform::WinError::AlreadyExists);
    // The first call took ownership; the second one, on an existing mutex, did not add any.
    EXPECT_TRUE(Platform::releaseMutex(first.get()));
    EXPECT_FALSE(Platform::releaseMutex(second.get()));
    first.reset();
    second.reset();
    UniqueHandle again(Platform::createMutex(L"created", false));
    EXPECT_EQ(Platform::getLastError(), 0u) << "gone with its last handle";

    // Held by another process: it exists there, so no ownership here.
    auto holder = start({"hold", "held elsewhere", "300", marks.string()});
    waitForEnter();
    UniqueHandle notOwned(Platform::createMutex(L"held elsewhere", true));
    EXPECT_EQ(Platform::getLastError(), Platform::WinError::AlreadyExists);
    EXPECT_FALSE(Platform::releaseMutex(notOwned.get()));
    EXPECT_EQ(holder.get().exitCode, 0);
}

TEST_F(NamedMutexTest, BadHandlesAndNamesFail) {
    EXPECT_EQ(Platform::waitForSingleObject(nullptr, 0), Platform::WaitFailed);
    EXPECT_EQ(Platform::getLastError(), Platform::WinError::InvalidHandle);
    EXPECT_FALSE(Platform::releaseMutex(reinterpret_cast<Platform::Handle>(0x4444)));
    EXPECT_EQ(Platform::getLastError(), Platform::WinError::InvalidHandle);
    for (const wchar_t* name : {L"NoSuchNamespace\\x", L"Global\\a\\b", L"Session\\x\\y"}) {
        EXPECT_EQ(Platform::createMutex(name, false), nullptr) << name;
        EXPECT_EQ(Platform::getLastError(), Platform::WinError::PathNotFound) << name;
    }
}

TEST(MutexNames, LockFileNames) {
    struct Case {
        const wchar_t* name;
        const char* file;
    } cases[] = {
        {L"Global\\{88B0E47B-31B8-463c-9F1C-042CEB27267A}",
         "{88B0E47B-31B8-463c-9F1C-042CEB27267A}"},
        {L"Local\\tarnolog_debug_mutex", "tarnolog_debug_mutex"},
        {L"Session\\2\\a.b", "a.b"},
        {L"global\\x", "x"},
        {L"two words/%", "two%20words%2F%25"},
        {L"é", "%C3%A9"},
        {L".hidden", "%2Ehidden"},
        {L"..", "%2E."},
    };
    for (const auto& c : cases) {
        std::wstring identity;
        ASSERT_TRUE(Platform::Posix::mutexIdentity(c.name, identity)) << c.name;
        EXPECT_EQ(Platform::Posix::lockFileName(identity), c.file) << c.name;
    }

    std::wstring longName(300, L'é');
    std::string a = Platform::Posix::lockFileName(longName + L"a");
    std::string b = Platform::Posix::lockFileName(longName + L"b");
    EXPECT_LE(a.size(), 200u);
    EXPECT_NE(a, b);
    EXPECT_EQ(a.substr(0, 6), "%C3%A9");
    EXPECT_EQ(a.find('~'), a.size() - 17) << "a cut never splits a %XX: " << a;
}

}  // namespace
