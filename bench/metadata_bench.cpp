// A tenant's metadata of many entries: `--update-path-security` (the whole tavrel command, beside
// this program) on a folder whose `.Security` holds 10,000 and then 100,000 entries (or the
// counts given), each naming a folder of its own. The entries name their folders in capitals,
// as a tenant may write them on Windows, where the folders are lower case; the same command on
// a tree whose entries name them as they are on disk is the floor, what the names' case may
// cost nothing. Each run is timed with its peak RSS, and the largest count's over the smallest's
// shows whether the cost grows with the entries: a file a tenant writes must not make a run
// take minutes.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/filesystem.h"
#include "walks.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Run {
    bool ok = false;
    double seconds = 0;
    double peakMiB = 0;
};

// The folder "big" of webspace `name`, with `entries` folders dir0, dir1, ... and a .Security
// whose entries each name one of them, in capitals or as on disk.
std::string buildFolder(const fs::path& driveC, const std::string& name, std::size_t entries,
                        bool capitals) {
    fs::path big = driveC / "Inetpub" / "vhosts" / name / "httpdocs" / "big";
    fs::remove_all(big.parent_path().parent_path());
    fs::create_directories(big);
    std::string metadata = "<Entries>";
    for (std::size_t i = 0; i < entries; ++i) {
        std::string folder = "dir" + std::to_string(i);
        fs::create_directory(big / folder);
        if (capitals) {
            std::transform(folder.begin(), folder.end(), folder.begin(),
                           [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        }
        metadata += "<Entry AccounType=\"0\" Account=\"Everyone\" Path=\"[HTTPD_VHOSTS_D]\" SubPath=\"" +
                    name + "\\httpdocs\\big\\" + folder +
                    "\" AceFlags=\"ThisFolderSubfoldersAndFiles\" AccessMask=\"ReadAndExecute\" "
                    "EntryFlags=\"0x0\" Tag=\"\" Tag2=\"\"/>";
    }
    metadata += "</Entries>";
    std::ofstream(big / ".Security", std::ios::binary) << metadata;
    return "C:\\Inetpub\\vhosts\\" + name + "\\httpdocs\\big";
}

// One run of the tavrel beside this program, quiet; its time and peak RSS.
Run runCommand(const std::vector<std::string>& args) {
    std::string program = (fs::read_symlink("/proc/self/exe").parent_path() / "tavrel").string();
    std::vector<char*> argv{program.data()};
    std::vector<std::string> copies = args;
    for (std::string& arg : copies) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    std::fflush(stdout);
    Run run;
    auto start = Clock::now();
    pid_t child = ::fork();
    if (child == 0) {
        std::freopen("/dev/null", "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    run.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    return run;
}

Run measure(const fs::path& driveC, std::size_t entries, bool capitals) {
    std::string name = (capitals ? "caps" : "same") + std::to_string(entries);
    std::string folder = buildFolder(driveC, name, entries, capitals);
    // The host trusts what it read of a folder only once the folder has not changed for a
    // second; a tenant's file is seldom written in the second before a run.
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    Run run = runCommand({"--update-path-security", "--path=" + folder});
    fs::remove_all(driveC / "Inetpub" / "vhosts" / name);
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::size_t> sizes;
    for (int i = 1; i < argc; ++i) {
        sizes.push_back(std::strtoull(argv[i], nullptr, 10));
    }
    if (sizes.empty()) {
        sizes = {10000, 100000};
    }
    fs::path driveC = BenchWalks::hostDriveC();
    std::printf(
        "--update-path-security on a .Security of N entries, each naming a folder of its own in "
        "capitals (the folders are lower case), beside the same entries as on disk\n");
    std::vector<Run> runs;
    for (std::size_t size : sizes) {
        Run same = measure(driveC, size, false);
        Run caps = measure(driveC, size, true);
        if (!same.ok || !caps.ok) {
            std::printf("  %7zu entries: the command failed\n", size);
            return 1;
        }
        std::printf("  %7zu entries: %8.2f s, peak RSS %6.1f MiB; as on disk %8.2f s, %6.1f MiB"
                    " (%.2fx the time)\n",
                    size, caps.seconds, caps.peakMiB, same.seconds, same.peakMiB,
                    caps.seconds / same.seconds);
        runs.push_back(caps);
    }
    if (runs.size() >= 2) {
        std::printf("  %zu over %zu entries (%.0fx): %.1fx the time (at most 15x), %.1fx the peak"
                    " RSS\n",
                    sizes.back(), sizes.front(),
                    static_cast<double>(sizes.back()) / static_cast<double>(sizes.front()),
                    runs.back().seconds / runs.front().seconds,
                    runs.back().peakMiB / runs.front().peakMiB);
    }
    return 0;
}
