// The seam's calls counted by their Win32 names, in a build configured with TAVREL_COUNT_SEAM
// (preset "count"), so that a benchmark can say what a whole command asks of the host per
// object. Each seam function opens with TAVREL_SEAM_CALL("CreateFileW"), one that runs the
// caller's code with TAVREL_SEAM_CALLBACK_CALL; in any other build the line is nothing. At exit
// the process appends one "name count" line per function it called to the file that the
// environment variable TAVREL_SEAM_COUNTS names, if any.
#pragma once

#ifdef TAVREL_COUNT_SEAM

#include <atomic>
#include <cstdint>

namespace Platform::Posix {

// The count of one seam function, put on the process's list by its first call.
class SeamCounter {
public:
    explicit SeamCounter(const char* name);
    SeamCounter(const SeamCounter&) = delete;
    SeamCounter& operator=(const SeamCounter&) = delete;

    void add() { count_.fetch_add(1, std::memory_order_relaxed); }
    const char* name() const { return name_; }
    std::uint64_t count() const { return count_.load(std::memory_order_relaxed); }
    const SeamCounter* next() const { return next_; }

private:
    const char* name_;
    std::atomic<std::uint64_t> count_{0};
    const SeamCounter* next_ = nullptr;
};

// One call in progress. A call the seam makes of itself (GetTempFileNameW creating its file) is
// part of the call that made it and not counted again; the code a call runs for its caller (the
// command under the guarded call, the handler of a parse) makes calls of the caller's, counted.
class SeamCall {
public:
    SeamCall(SeamCounter& counter, bool runsCallerCode) : holds_(runsCallerCode ? 0 : 1) {
        if (depth_ == 0) {
            counter.add();
        }
        depth_ += holds_;
    }
    ~SeamCall() { depth_ -= holds_; }
    SeamCall(const SeamCall&) = delete;
    SeamCall& operator=(const SeamCall&) = delete;

private:
    static inline thread_local unsigned depth_ = 0;
    unsigned holds_;
};

}  // namespace Platform::Posix

#define TAVREL_SEAM_COUNT_(name, runsCallerCode)                    \
    static ::Platform::Posix::SeamCounter tavrelSeamCounter_(name); \
    const ::Platform::Posix::SeamCall tavrelSeamCall_(tavrelSeamCounter_, runsCallerCode)
#define TAVREL_SEAM_CALL(name) TAVREL_SEAM_COUNT_(name, false)
#define TAVREL_SEAM_CALLBACK_CALL(name) TAVREL_SEAM_COUNT_(name, true)

#else

#define TAVREL_SEAM_CALL(name) static_cast<void>(0)
#define TAVREL_SEAM_CALLBACK_CALL(name) static_cast<void>(0)

#endif
