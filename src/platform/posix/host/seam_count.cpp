#include "platform/posix/host/seam_count.h"

#ifdef TAVREL_COUNT_SEAM

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <string>

namespace Platform::Posix {
namespace {

std::mutex listLock;
const SeamCounter* counters = nullptr;

// One write of every count, appended: the programs a command starts add theirs to the same
// file, and whoever reads it sums the lines of a name.
void writeSeamCounts() {
    const char* file = std::getenv("TAVREL_SEAM_COUNTS");
    if (!file || !*file) {
        return;
    }
    std::string lines;
    {
        std::lock_guard guard(listLock);
        for (const SeamCounter* counter = counters; counter; counter = counter->next()) {
            // A function called only from within others counted nothing.
            if (counter->count() != 0) {
                lines +=
                    std::string(counter->name()) + " " + std::to_string(counter->count()) + "\n";
            }
        }
    }
    int fd = ::open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    for (std::size_t done = 0; done < lines.size();) {
        ssize_t n = ::write(fd, lines.data() + done, lines.size() - done);
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

}  // namespace

SeamCounter::SeamCounter(const char* name) : name_(name) {
    static const bool registered = std::atexit(writeSeamCounts) == 0;
    static_cast<void>(registered);
    std::lock_guard guard(listLock);
    next_ = counters;
    counters = this;
}

}  // namespace Platform::Posix

#endif
