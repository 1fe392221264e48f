// The holders of a file on the emulated host: the processes one of whose open descriptors
// (/proc/PID/fd/*) is the file, named by their /proc/PID/comm. Processes this user cannot
// look into are not seen, as the Restart Manager does not see what it may not open.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <memory>

#include "platform/file_holders.h"
#include "platform/posix/filesystem/pathmap.h"
#include "platform/posix/host/seam_count.h"
#include "platform/text.h"

namespace Platform {
namespace {

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

bool isNumber(const char* name) {
    if (*name == '\0') {
        return false;
    }
    for (; *name; ++name) {
        if (*name < '0' || *name > '9') {
            return false;
        }
    }
    return true;
}

// Whether one of the process's descriptors is the file with this device and inode.
bool holds(const std::string& process, dev_t device, ino_t inode) {
    UniqueDir fds(::opendir((process + "/fd").c_str()));
    if (!fds) {
        return false;
    }
    while (dirent* entry = ::readdir(fds.get())) {
        struct stat target {};
        if (isNumber(entry->d_name) &&
            ::stat((process + "/fd/" + entry->d_name).c_str(), &target) == 0 &&
            target.st_dev == device && target.st_ino == inode) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::vector<FileHolder> processesHoldingFile(const std::wstring& path) {
    TAVREL_SEAM_CALL("RmGetList");
    std::vector<FileHolder> holders;
    std::string posix;
    struct stat file {};
    if (!Posix::windowsToPosix(path, posix) || ::stat(posix.c_str(), &file) != 0) {
        return holders;
    }
    UniqueDir proc(::opendir("/proc"));
    if (!proc) {
        return holders;
    }
    while (dirent* entry = ::readdir(proc.get())) {
        if (!isNumber(entry->d_name)) {
            continue;
        }
        std::string process = std::string("/proc/") + entry->d_name;
        if (!holds(process, file.st_dev, file.st_ino)) {
            continue;
        }
        std::string name;
        std::getline(std::ifstream(process + "/comm"), name);
        holders.push_back(
            {static_cast<std::uint32_t>(std::strtoul(entry->d_name, nullptr, 10)), fromUtf8(name)});
    }
    return holders;
}

}  // namespace Platform
