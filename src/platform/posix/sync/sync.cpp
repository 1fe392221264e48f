// Named mutexes of the emulated host. Windows keeps a mutex's owner and recursion count in
// the kernel; here that state has two halves:
// - within a process, a table entry per name (owner thread, recursion count) on which the
//   process's other threads wait;
// - across processes, an flock() on the name's lock file, which the kernel drops when the
//   holder dies. While holding it, the owner writes its pid into the file and clears it on
//   release, so whoever next takes a file that still names a pid knows that the previous owner
//   went away without releasing: WAIT_ABANDONED.
#include "platform/sync.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/posix/host/errors.h"
#include "platform/posix/host/handles.h"
#include "platform/posix/host/host.h"
#include "platform/posix/host/seam_count.h"
#include "platform/posix/host/unique_fd.h"
#include "platform/posix/sync/mutex_names.h"
#include "platform/text.h"

namespace Platform::Posix {

bool mutexIdentity(const std::wstring& name, std::wstring& identity) {
    std::wstring_view rest(name);
    auto strip = [&rest](std::wstring_view prefix) {
        if (rest.size() < prefix.size() || !equalsNoCase(rest.substr(0, prefix.size()), prefix)) {
            return false;
        }
        rest.remove_prefix(prefix.size());
        return true;
    };
    if (!strip(L"Global\\") && !strip(L"Local\\") && strip(L"Session\\")) {
        std::size_t digits = 0;
        while (digits < rest.size() && rest[digits] >= L'0' && rest[digits] <= L'9') {
            ++digits;
        }
        if (digits == 0 || digits == rest.size() || rest[digits] != L'\\') {
            return false;
        }
        rest.remove_prefix(digits + 1);
    }
    // Any other backslash would name an object directory that does not exist.
    if (rest.find(L'\\') != std::wstring_view::npos) {
        return false;
    }
    identity.assign(rest);
    return true;
}

std::uint64_t fnv1a64(std::string_view bytes) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char c : bytes) {
        hash ^= c;
        hash *= 0x100000001b3ull;
    }
    return hash;
}

std::string lockFileName(const std::wstring& identity) {
    std::string utf8 = toUtf8(identity);
    std::string encoded = percentEncoded(utf8, [](unsigned char c, std::size_t at) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '_' || c == '{' || c == '}' || (c == '.' && at > 0);
    });
    // Names reach MAX_PATH characters and more, percent-encoding triples them, and a file
    // name holds 255 bytes: keep a readable prefix and let the hash tell long names apart.
    constexpr std::size_t limit = 200;
    if (encoded.size() <= limit) {
        return encoded;
    }
    std::size_t cut = limit - 17;
    if (encoded[cut - 1] == '%') {
        cut -= 1;
    } else if (encoded[cut - 2] == '%') {
        cut -= 2;
    }
    char suffix[18];
    std::snprintf(suffix, sizeof(suffix), "~%016llX",
                  static_cast<unsigned long long>(fnv1a64(utf8)));
    return encoded.substr(0, cut) + suffix;
}

namespace {

using Clock = std::chrono::steady_clock;

struct MutexState {
    std::string lockPath;  // the lock file; empty for an unnamed mutex
    UniqueFd file;
    std::mutex lock;
    std::condition_variable freed;
    // The owning thread. A thread claims it before it waits for the lock file, so the other
    // threads of the process queue here rather than on the file.
    std::thread::id owner;
    std::uint32_t count = 0;
    bool abandoned = false;   // unnamed only: a named one keeps this in its lock file
    std::size_t handles = 0;  // open handles of a named one; guarded by the table lock
};

struct MutexTable {
    std::mutex lock;
    // By lock file, so that a process that moves to another host (a test) starts afresh.
    std::map<std::string, std::shared_ptr<MutexState>> named;
};

MutexTable& mutexTable() {
    static MutexTable table;
    return table;
}

// The owner died or let go without releasing: free the lock but leave the pid in the file,
// so that the next owner, in any process, learns of it.
void abandon(MutexState& state) {
    state.count = 0;
    state.owner = std::thread::id();
    if (state.file) {
        ::flock(state.file.get(), LOCK_UN);
    } else {
        state.abandoned = true;
    }
    state.freed.notify_all();
}

// A thread that ends owning mutexes abandons them, as a Windows thread does.
class OwnedByThread {
public:
    ~OwnedByThread() {
        for (auto& weak : owned_) {
            if (auto state = weak.lock()) {
                std::lock_guard guard(state->lock);
                if (state->owner == std::this_thread::get_id() && state->count > 0) {
                    abandon(*state);
                }
            }
        }
    }
    void add(const std::shared_ptr<MutexState>& state) {
        std::erase_if(owned_, [](const auto& weak) { return weak.expired(); });
        owned_.push_back(state);
    }
    void remove(const MutexState* state) {
        std::erase_if(owned_, [state](const auto& weak) {
            auto held = weak.lock();
            return !held || held.get() == state;
        });
    }

private:
    std::vector<std::weak_ptr<MutexState>> owned_;
};

thread_local OwnedByThread ownedByThread;

class MutexObject : public HandleObject {
public:
    explicit MutexObject(std::shared_ptr<MutexState> state) : state_(std::move(state)) {}
    // Closing a handle: with the last one the mutex goes away, and an owner that still
    // holds it abandons it.
    ~MutexObject() override {
        if (!state_->lockPath.empty()) {
            auto& table = mutexTable();
            std::lock_guard guard(table.lock);
            if (--state_->handles > 0) {
                return;
            }
            auto it = table.named.find(state_->lockPath);
            if (it != table.named.end() && it->second == state_) {
                table.named.erase(it);
            }
        }
        std::lock_guard guard(state_->lock);
        if (state_->count > 0) {
            abandon(*state_);
        }
    }
    const std::shared_ptr<MutexState>& state() const { return state_; }

private:
    std::shared_ptr<MutexState> state_;
};

enum class FileLock { Acquired, TimedOut, Failed };

FileLock lockFile(int fd, std::uint32_t timeoutMs, Clock::time_point deadline) {
    if (timeoutMs == Infinite) {
        while (::flock(fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                failWithErrno();
                return FileLock::Failed;
            }
        }
        return FileLock::Acquired;
    }
    // flock has no timeout: poll, starting fast so that a short hold costs little.
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            return FileLock::Acquired;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            failWithErrno();
            return FileLock::Failed;
        }
        auto now = Clock::now();
        if (now >= deadline) {
            return FileLock::TimedOut;
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, std::chrono::milliseconds(10));
    }
}

// Called with the file lock held: true when the previous holder left its pid behind.
bool takeOverLockFile(int fd) {
    char previous[32];
    bool abandoned = ::pread(fd, previous, sizeof(previous), 0) > 0;
    std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0) {
        (void)::pwrite(fd, pid.data(), pid.size(), 0);
    }
    return abandoned;
}

std::uint32_t acquire(const std::shared_ptr<MutexState>& state, std::uint32_t timeoutMs) {
    Clock::time_point deadline = timeoutMs == Infinite
                                     ? Clock::time_point::max()
                                     : Clock::now() + std::chrono::milliseconds(timeoutMs);
    auto self = std::this_thread::get_id();
    std::unique_lock guard(state->lock);
    if (state->owner == self) {
        ++state->count;
        return WaitObject0;
    }
    auto isFree = [&state] { return state->owner == std::thread::id(); };
    if (timeoutMs == Infinite) {
        state->freed.wait(guard, isFree);
    } else if (!state->freed.wait_until(guard, deadline, isFree)) {
        return WaitTimeout;
    }
    state->owner = self;
    bool abandoned = std::exchange(state->abandoned, false);
    if (state->file) {
        guard.unlock();
        FileLock result = lockFile(state->file.get(), timeoutMs, deadline);
        if (result == FileLock::Acquired) {
            abandoned = takeOverLockFile(state->file.get());
        }
        guard.lock();
        if (result != FileLock::Acquired) {
            state->owner = std::thread::id();
            state->freed.notify_all();
            return result == FileLock::TimedOut ? WaitTimeout : WaitFailed;
        }
    }
    state->count = 1;
    ownedByThread.add(state);
    return abandoned ? WaitAbandoned : WaitObject0;
}

// The table entry of a name, created with its lock file when this process has none yet.
std::shared_ptr<MutexState> openNamed(const std::wstring& identity, bool& existed) {
    std::string file;
    try {
        file = (ensureHost() / "locks" / lockFileName(identity)).string();
    } catch (const std::exception&) {
        failWith(WinError::PathNotFound);
        return nullptr;
    }
    auto& table = mutexTable();
    std::lock_guard guard(table.lock);
    if (auto it = table.named.find(file); it != table.named.end()) {
        existed = true;
        ++it->second->handles;
        return it->second;
    }
    UniqueFd fd(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd) {
        failWithErrno();
        return nullptr;
    }
    auto state = std::make_shared<MutexState>();
    state->lockPath = file;
    state->file = std::move(fd);
    state->handles = 1;
    table.named.emplace(file, state);
    existed = false;
    return state;
}

}  // namespace
}  // namespace Platform::Posix

namespace Platform {

Handle createMutex(const std::wstring& name, bool initialOwner) {
    TAVREL_SEAM_CALL("CreateMutexW");
    using namespace Posix;
    std::shared_ptr<MutexState> state;
    bool existed = false;
    if (name.empty()) {
        state = std::make_shared<MutexState>();
    } else {
        std::wstring identity;
        if (!mutexIdentity(name, identity)) {
            failWith(WinError::PathNotFound);
            return nullptr;
        }
        if (identity.empty()) {
            failWith(WinError::InvalidName);
            return nullptr;
        }
        state = openNamed(identity, existed);
        if (!state) {
            return nullptr;
        }
    }
    Handle handle = registerHandle(std::make_shared<MutexObject>(state));
    if (initialOwner && !existed) {
        // New to this process, but another process may hold it: then it existed there, and
        // Windows hands out the handle without ownership.
        std::uint32_t result = acquire(state, 0);
        if (result == WaitTimeout) {
            existed = true;
        } else if (result == WaitFailed) {
            std::uint32_t error = getLastError();
            closeHandle(handle);
            failWith(error);
            return nullptr;
        }
    }
    setLastError(existed ? WinError::AlreadyExists : WinError::Success);
    return handle;
}

std::uint32_t waitForSingleObject(Handle handle, std::uint32_t timeoutMs) {
    TAVREL_SEAM_CALL("WaitForSingleObject");
    auto object = Posix::lookupHandle<Posix::MutexObject>(handle);
    if (!object) {
        setLastError(WinError::InvalidHandle);
        return WaitFailed;
    }
    return Posix::acquire(object->state(), timeoutMs);
}

bool releaseMutex(Handle handle) {
    TAVREL_SEAM_CALL("ReleaseMutex");
    auto object = Posix::lookupHandle<Posix::MutexObject>(handle);
    if (!object) {
        return Posix::failWith(WinError::InvalidHandle);
    }
    auto& state = *object->state();
    std::lock_guard guard(state.lock);
    if (state.owner != std::this_thread::get_id() || state.count == 0) {
        return Posix::failWith(WinError::NotOwner);
    }
    if (--state.count > 0) {
        return true;
    }
    if (state.file) {
        // Clear the pid first: a lock file that names one after the unlock means abandoned.
        (void)::ftruncate(state.file.get(), 0);
        ::flock(state.file.get(), LOCK_UN);
    }
    state.owner = std::thread::id();
    state.freed.notify_all();
    Posix::ownedByThread.remove(&state);
    return true;
}

}  // namespace Platform
