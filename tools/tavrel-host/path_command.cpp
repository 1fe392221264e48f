// tavrel-host path: the translation between the host's Windows paths and the POSIX paths
// behind them, both ways, as winepath does for a Wine prefix.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/posix/filesystem/pathmap.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/types.h"
#include "tools/tavrel-host/commands.h"

namespace {

constexpr const char* usage =
    "usage: tavrel-host path -u WINPATH     print the POSIX path of a Windows path\n"
    "       tavrel-host path -w POSIXPATH   print the Windows path of a POSIX path\n";

int fail(const std::string& path) {
    std::string reason = systemTextWithCode(Platform::getLastError());
    std::fprintf(stderr, "tavrel-host path: cannot translate '%s': %s\n", path.c_str(),
                 reason.c_str());
    return 1;
}

}  // namespace

int runPathCommand(const std::vector<std::string>& args) {
    if (args.size() != 2 || (args[0] != "-u" && args[0] != "-w")) {
        std::fputs(usage, stderr);
        return 1;
    }
    const std::string& path = args[1];
    if (args[0] == "-u") {
        std::string posixPath;
        if (!Platform::Posix::windowsToPosix(Platform::fromUtf8(path), posixPath)) {
            return fail(path);
        }
        std::printf("%s\n", posixPath.c_str());
        return 0;
    }
    std::wstring windowsPath;
    if (!Platform::Posix::posixToWindows(path, windowsPath)) {
        return fail(path);
    }
    std::printf("%s\n", Platform::toUtf8(windowsPath).c_str());
    return 0;
}
