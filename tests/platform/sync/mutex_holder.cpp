// A process that takes a named mutex, for the tests that need a real second process:
//   mutex_holder hold NAME MS MARKS   waits for NAME, marks "enter", holds it MS ms, marks
//                                     "leave" and releases it
//   mutex_holder die NAME MS MARKS    the same, but ends without releasing it
//   mutex_holder try NAME TIMEOUT     one wait with TIMEOUT ms; prints the wait result
// A mark is the line "enter|leave PID NANOSECONDS [WAITRESULT]" appended to MARKS; the clock
// is the monotonic one, which all processes share.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "platform/sync.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/unique.h"

namespace {

void mark(const std::string& file, const std::string& what, const std::string& extra = {}) {
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    std::ofstream out(file, std::ios::app);
    out << what + " " + std::to_string(Platform::getCurrentProcessId()) + " " +
               std::to_string(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()) +
               (extra.empty() ? "" : " " + extra) + "\n"
        << std::flush;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fputs("usage: mutex_holder hold|die NAME MS MARKS | try NAME TIMEOUT\n", stderr);
        return 2;
    }
    std::string mode = argv[1];
    Platform::UniqueHandle mutex(Platform::createMutex(Platform::fromUtf8(argv[2]), false));
    if (!mutex) {
        std::fprintf(stderr, "createMutex failed: %u\n", Platform::getLastError());
        return 1;
    }
    if (mode == "try") {
        std::uint32_t result = Platform::waitForSingleObject(
            mutex.get(), static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10)));
        std::printf("%u\n", result);
        if (result == Platform::WaitObject0 || result == Platform::WaitAbandoned) {
            Platform::releaseMutex(mutex.get());
        }
        return 0;
    }
    if (argc < 5 || (mode != "hold" && mode != "die")) {
        return 2;
    }
    std::uint32_t result = Platform::waitForSingleObject(mutex.get(), Platform::Infinite);
    if (result != Platform::WaitObject0 && result != Platform::WaitAbandoned) {
        std::fprintf(stderr, "wait failed: %u, error %u\n", result, Platform::getLastError());
        return 1;
    }
    mark(argv[4], "enter", std::to_string(result));
    std::this_thread::sleep_for(std::chrono::milliseconds(std::strtoul(argv[3], nullptr, 10)));
    if (mode == "die") {
        std::_Exit(3);  // no release, no handle closed, no destructor: as if killed
    }
    mark(argv[4], "leave");
    return Platform::releaseMutex(mutex.get()) ? 0 : 1;
}
