// The platform seam's file system and security calls on the emulated host, beside the file
// system's own floor, on one tree of 100,000 objects (or the count given) in a temporary host
// (or the one TAVREL_HOST names). Every figure is taken in the same run on the same tree, so
// the ratios are what to judge on a shared machine:
// - the seam's walk (findFirstFile/findNextFile) against a bare readdir walk;
// - the walk with an open and the DACL of every object, and with the final path as well (what
//   the checker asks), against a bare walk reading one xattr per object;
// - the walk writing every DACL, once each different and once each already right, against a
//   bare walk writing one xattr per object;
// - the open and DACL read of one leaf at depth 2 and at depth 32.
#include <dirent.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/xattr.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/dtyp/acl.h"
#include "platform/dtyp/sddl.h"
#include "platform/filesystem.h"
#include "platform/security.h"
#include "platform/text.h"
#include "platform/unique.h"
#include "walks.h"

namespace {

namespace fs = std::filesystem;
using namespace BenchWalks;
using Clock = std::chrono::steady_clock;

constexpr int treeDepth = 6;
constexpr int filesPerFolder = 15;

struct Tree {
    fs::path posix;
    std::wstring root;
    std::size_t objects = 0;
};

// Folders of `filesPerFolder` files and `fanOut` subfolders, `treeDepth` levels deep, with the
// smallest fan-out that holds `objects`.
Tree buildTree(const fs::path& driveC, std::size_t objects) {
    Tree tree;
    tree.posix = driveC / "Inetpub" / "vhosts" / "seam.example";
    tree.root = L"C:\\Inetpub\\vhosts\\seam.example";
    fs::remove_all(tree.posix);
    std::size_t fanOut = 2;
    auto capacity = [](std::size_t b) {
        std::size_t total = 0, level = 1;
        for (int d = 0; d <= treeDepth; ++d) {
            total += level * (filesPerFolder + 1);
            level *= b;
        }
        return total;
    };
    while (capacity(fanOut) < objects) {
        ++fanOut;
    }
    std::vector<fs::path> level{tree.posix};
    fs::create_directories(tree.posix);
    std::size_t made = 1;
    for (int d = 0; d <= treeDepth && made < objects; ++d) {
        std::vector<fs::path> next;
        for (const auto& dir : level) {
            for (int f = 0; f < filesPerFolder && made < objects; ++f) {
                makeFile(dir / ("page" + std::to_string(f) + ".html"));
                ++made;
            }
            for (std::size_t b = 0; d < treeDepth && b < fanOut && made < objects; ++b) {
                fs::path child = dir / ("dir" + std::to_string(b));
                fs::create_directory(child);
                ++made;
                next.push_back(child);
            }
        }
        level = std::move(next);
    }
    tree.objects = made;
    return tree;
}

// A file whose path from the drive root has `depth` components, the last one the file; its
// Windows path.
std::wstring buildChain(const fs::path& driveC, const std::string& name, int depth) {
    fs::path dir = driveC / name;
    std::wstring windows = L"C:\\" + Platform::fromUtf8(name);
    fs::remove_all(dir);
    for (int d = 2; d < depth; ++d) {
        dir /= "level" + std::to_string(d);
        windows += L"\\level" + std::to_wstring(d);
    }
    fs::create_directories(dir);
    makeFile(dir / "leaf.html");
    return windows + L"\\leaf.html";
}

std::size_t failures = 0;

void getDacl(Platform::Handle handle) {
    std::vector<std::uint8_t> descriptor;
    if (Platform::getSecurityInfo(handle, Platform::SeFileObject,
                                  Platform::SecurityInformation::Dacl, descriptor) != 0) {
        ++failures;
    }
}

// Removes the temporary host at the end.
struct TemporaryHost {
    std::string dir;
    ~TemporaryHost() {
        if (!dir.empty()) {
            std::error_code ignored;
            fs::remove_all(dir, ignored);
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    std::size_t objects = 100000;
    // --profile PHASE (walk, get, final, set): that phase alone, five times, for perf.
    std::string profile;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--profile") == 0 && i + 1 < argc) {
            profile = argv[++i];
        } else {
            objects = std::strtoull(argv[i], nullptr, 10);
        }
    }
    TemporaryHost temporary;
    if (const char* host = std::getenv("TAVREL_HOST"); !host || !*host) {
        std::string pattern = (fs::temp_directory_path() / "tavrel-seam-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            return 1;
        }
        temporary.dir = pattern;
        ::setenv("TAVREL_HOST", pattern.c_str(), 1);
    }
    Platform::getFileAttributes(L"C:\\");  // completes the host
    fs::path driveC = fs::path(std::getenv("TAVREL_HOST")) / "drive_c";
    Tree tree = buildTree(driveC, objects);
    std::wstring shallow = buildChain(driveC, "shallow", 2);
    std::wstring deep = buildChain(driveC, "deep", 32);
    const std::string top = tree.posix.string();

    std::vector<char> buffer(4096);
    std::string blob(100, 'x');
    auto readXattr = [&](const std::string& path) {
        ::lgetxattr(path.c_str(), "user.tavrel.sd", buffer.data(), buffer.size());
    };
    bareWalk(top, readXattr);  // warm the kernel's caches
    double bare = seconds([&] { bareWalk(top, [](const std::string&) {}); });
    double bareRead = seconds([&] { bareWalk(top, readXattr); });
    double bareWrite = seconds([&] {
        bareWalk(top, [&](const std::string& path) {
            ::lsetxattr(path.c_str(), "user.bench", blob.data(), blob.size(), 0);
        });
    });
    bareWalk(top, [](const std::string& path) { ::lremovexattr(path.c_str(), "user.bench"); });

    std::function<void()> walkOnly = [&] { seamWalk(tree.root, [](const std::wstring&, bool) {}); };
    std::function<void()> getWalk = [&] {
        seamWalk(tree.root, [](const std::wstring& path, bool directory) {
            if (auto handle = openForSecurity(path, directory)) {
                getDacl(handle.get());
            } else {
                ++failures;
            }
        });
    };
    std::function<void()> finalGetWalk = [&] {
        seamWalk(tree.root, [](const std::wstring& path, bool directory) {
            if (auto handle = openForSecurity(path, directory)) {
                std::wstring final;
                Platform::getFinalPathNameByHandle(handle.get(), final);
                getDacl(handle.get());
            } else {
                ++failures;
            }
        });
    };
    auto wrong = Platform::Dtyp::encodeAcl(*Platform::Dtyp::fromSddl(L"D:P(A;OICI;FA;;;WD)")->dacl);
    std::function<void()> setAll = [&] {
        seamWalk(tree.root, [&](const std::wstring& path, bool directory) {
            auto handle = openForSecurity(path, directory);
            if (!handle ||
                Platform::setSecurityInfo(handle.get(), Platform::SeFileObject,
                                          Platform::SecurityInformation::Dacl |
                                              Platform::SecurityInformation::ProtectedDacl,
                                          nullptr, nullptr, wrong->data(), nullptr) != 0) {
                ++failures;
            }
        });
    };
    if (!profile.empty()) {
        const std::function<void()>& phase = profile == "walk"    ? walkOnly
                                             : profile == "get"   ? getWalk
                                             : profile == "final" ? finalGetWalk
                                                                  : setAll;
        for (int i = 0; i < 5; ++i) {
            std::printf("%s: %.2f us/obj\n", profile.c_str(),
                        seconds(phase) / static_cast<double>(tree.objects) * 1e6);
            std::fflush(stdout);
        }
        return 0;
    }

    std::size_t visited = 0;
    seamWalk(tree.root, [&](const std::wstring&, bool) { ++visited; });
    double walk = seconds(walkOnly);
    double walkGet = seconds(getWalk);
    double walkFinalGet = seconds(finalGetWalk);
    double setDifferent = seconds(setAll);
    double setSame = seconds(setAll);

    constexpr int leafRuns = 20000;
    auto leafGets = [&](const std::wstring& leaf) {
        return seconds([&] {
                   for (int i = 0; i < leafRuns; ++i) {
                       if (auto handle = openForSecurity(leaf, false)) {
                           getDacl(handle.get());
                       } else {
                           ++failures;
                       }
                   }
               }) /
               leafRuns;
    };
    leafGets(shallow);
    leafGets(deep);
    double leaf2 = leafGets(shallow);
    double leaf32 = leafGets(deep);
    // The file system's own growth with depth: one xattr read of the leaf by its path.
    auto bareLeafReads = [&](const std::wstring& leaf) {
        std::string posix =
            std::string(std::getenv("TAVREL_HOST")) + "/drive_c" + Platform::toUtf8(leaf.substr(2));
        for (auto& c : posix) {
            c = c == '\\' ? '/' : c;
        }
        return seconds([&] {
                   for (int i = 0; i < leafRuns; ++i) {
                       ::lgetxattr(posix.c_str(), "user.tavrel.sd", buffer.data(), buffer.size());
                   }
               }) /
               leafRuns;
    };
    double bareLeaf2 = bareLeafReads(shallow);
    double bareLeaf32 = bareLeafReads(deep);

    auto n = static_cast<double>(tree.objects);
    std::printf("%zu objects (%zu through the seam's search), %d levels\n", tree.objects, visited,
                treeDepth + 1);
    auto floorLine = [&](const char* what, double time) {
        std::printf("  %-40s %8.3f s %8.2f us/obj\n", what, time, time / n * 1e6);
    };
    auto line = [&](const char* what, double time, double floor, const char* floorName) {
        std::printf("  %-40s %8.3f s %8.2f us/obj %7.2fx %s\n", what, time, time / n * 1e6,
                    time / floor, floorName);
    };
    floorLine("floor: bare walk (getdents)", bare);
    floorLine("floor: bare walk, read one xattr", bareRead);
    floorLine("floor: bare walk, write one xattr", bareWrite);
    line("seam: walk (find first/next)", walk, bare, "of bare walk");
    line("seam: walk + open + get DACL", walkGet, bareRead, "of xattr-read walk");
    line("seam: walk + open + final path + get DACL", walkFinalGet, bareRead, "of xattr-read walk");
    line("seam: walk + set DACL (every one different)", setDifferent, bareWrite,
         "of xattr-write walk");
    line("seam: walk + set DACL (every one right)", setSame, bareWrite, "of xattr-write walk");
    std::printf("  %-40s %8.2f us\n", "seam: open + get DACL, leaf at depth 2", leaf2 * 1e6);
    std::printf("  %-40s %8.2f us %7.2fx of depth 2\n", "seam: open + get DACL, leaf at depth 32",
                leaf32 * 1e6, leaf32 / leaf2);
    std::printf("  %-40s %8.2f us\n", "floor: read one xattr, leaf at depth 2", bareLeaf2 * 1e6);
    std::printf("  %-40s %8.2f us %7.2fx of depth 2\n", "floor: read one xattr, leaf at depth 32",
                bareLeaf32 * 1e6, bareLeaf32 / bareLeaf2);
    std::printf("  peak RSS %.1f MiB; %zu calls failed\n",
                static_cast<double>(peakRssKiB()) / 1024.0, failures);
    return failures == 0 ? 0 : 1;
}
