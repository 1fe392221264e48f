// The checker on synthetic webspaces of the emulated host (10,000 and 100,000 objects, or the
// counts given on the command line): a check-only full scan with every DACL right, a repair
// with every DACL wrong, a second repair with nothing to do and the fast algorithm with entries
// on 20 paths, each beside what the same tree costs through the platform seam alone and on the
// bare file system (a walk that reads, or writes, one xattr per object); and the whole
// repair command (tavrel, beside this program) on the same tree, also with its journal
// switched off, which only a bench build allows, to show what the journal costs, and the
// access report of the repaired tree beside its check-only repair. Every figure
// is taken in the same run on the same tree; the ratios are what to judge on a shared machine.
// With --shapes: chains of 200 and 2,000 nested folders and folders of 20,000 and 200,000 files,
// each walk's time and peak RSS.
#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <dirent.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "alloc_count.h"
#include "disksecurity/security_checker.h"
#include "platform/dtyp/acl.h"
#include "platform/dtyp/sddl.h"
#include "platform/filesystem.h"
#include "platform/security.h"
#include "platform/text.h"
#include "platform/unique.h"
#include "walks.h"

namespace {

using namespace DiskSecurity;
namespace fs = std::filesystem;
using namespace BenchWalks;
using Clock = std::chrono::steady_clock;

constexpr int depth = 6;

VSID sidOf(const wchar_t* alias) {
    return VSID(*Platform::Dtyp::sidFromSddl(alias));
}

// A webspace: httpdocs nested `depth` deep, logs, cgi-bin, error_docs and three web users.
struct Tree {
    fs::path posix;
    std::wstring root;
    std::size_t objects = 0;
};

Tree buildTree(const fs::path& driveC, const std::string& name, std::size_t objects) {
    Tree tree;
    tree.posix = driveC / "Inetpub" / "vhosts" / name;
    tree.root = L"C:\\Inetpub\\vhosts\\" + Platform::fromUtf8(name);
    fs::remove_all(tree.posix);
    // The smallest fan-out whose folders, with about 16 objects each, hold the tree.
    std::size_t fanOut = 2;
    auto folders = [&](std::size_t b) {
        std::size_t total = 0, level = 1;
        for (int d = 0; d < depth; ++d) {
            level *= b;
            total += level;
        }
        return total + 1;
    };
    while (folders(fanOut) * 16 < objects) {
        ++fanOut;
    }
    std::size_t perFolder = objects / folders(fanOut);
    std::size_t made = 0;
    auto folder = [&](const fs::path& path) {
        fs::create_directories(path);
        ++made;
    };
    folder(tree.posix);
    for (const char* sub : {"logs", "cgi-bin", "error_docs", "web_users"}) {
        folder(tree.posix / sub);
        for (int i = 0; i < 4; ++i) {
            makeFile(tree.posix / sub / ("item" + std::to_string(i) + ".txt"));
            ++made;
        }
    }
    for (const char* user : {"u1", "u2", "u3"}) {
        folder(tree.posix / "web_users" / user);
        for (int i = 0; i < 8; ++i) {
            makeFile(tree.posix / "web_users" / user / ("page" + std::to_string(i) + ".html"));
            ++made;
        }
    }
    std::vector<std::pair<fs::path, std::wstring>> level{{tree.posix / "httpdocs", L"httpdocs"}};
    folder(level[0].first);
    for (int d = 0; d <= depth && made < objects; ++d) {
        std::vector<std::pair<fs::path, std::wstring>> next;
        for (const auto& [dir, relative] : level) {
            for (std::size_t f = 0; f + 1 < perFolder && made < objects; ++f) {
                makeFile(dir / ("file" + std::to_string(f) + ".html"));
                ++made;
            }
            for (std::size_t b = 0; d < depth && b < fanOut && made < objects; ++b) {
                std::string child = "dir" + std::to_string(b);
                folder(dir / child);
                next.emplace_back(dir / child, relative + L"\\" + Platform::fromUtf8(child));
            }
        }
        level = std::move(next);
    }
    tree.objects = made;
    return tree;
}

// Entries of the kinds a webspace template holds.
std::shared_ptr<VEntryCollection> fullEntries(const Tree& tree) {
    auto collection = std::make_shared<VEntryCollection>();
    auto add = [&](const wchar_t* account, const std::wstring& relative, std::uint32_t aceFlags,
                   std::uint32_t mask, std::int32_t flags) {
        std::wstring path = relative.empty() ? tree.root : tree.root + L"\\" + relative;
        collection->entries.emplace(sidOf(account), path, aceFlags, mask, flags);
    };
    add(L"BU", L"", 3, 0x1200A9, 0);
    add(L"NS", L"", 3, 0x1F01FF, 0);
    add(L"IU", L"httpdocs", 3, 0x1200A9, 0);
    add(L"NS", L"logs", 3, 0x1F01FF, 0);
    add(L"BU", L"logs", 3, 0, 0);
    add(L"IU", L"cgi-bin", 3, 0x1200A9, 0x4);
    add(L"BG", L"error_docs", 3, 0x1200A9, 0);
    add(L"LS", L"web_users\\u1", 3, 0x1301BF, 0);
    add(L"LS", L"web_users\\u2", 3, 0x1301BF, 0);
    add(L"LS", L"web_users\\u3", 3, 0x1301BF, 0);
    return collection;
}

// The entries above and 12 more folders of httpdocs: 20 paths, the same in every tree.
std::shared_ptr<VEntryCollection> sparseEntries(const Tree& tree) {
    auto collection = fullEntries(tree);
    std::vector<std::wstring> paths;
    for (int a = 0; a < 2; ++a) {
        std::wstring first = L"httpdocs\\dir" + std::to_wstring(a);
        paths.push_back(first);
        for (int b = 0; b < 2; ++b) {
            std::wstring second = first + L"\\dir" + std::to_wstring(b);
            paths.push_back(second);
            for (int c = 0; c < 2; ++c) {
                paths.push_back(second + L"\\dir" + std::to_wstring(c));
            }
        }
    }
    paths.resize(12);
    for (const std::wstring& path : paths) {
        collection->entries.emplace(sidOf(L"AU"), tree.root + L"\\" + path, 3, 0x1200A9, 0);
    }
    return collection;
}

struct Figures {
    std::size_t objects;
    double floorRead, floorWrite, seamRead, seamReadFinal, seamSetDifferent, seamSetSame;
    double checkOnly, repair, secondRepair, fast;
    // Heap allocations per object of the checker's check-only walk and of its repair.
    double allocationsCheckOnly = 0, allocationsRepair = 0;
    CheckerCounts repairCounts, secondCounts;
    // What the repair's writes cost on Windows: SetSecurityInfo with an inheritable DACL on a
    // folder propagates to the folder's existing subtree, so each written folder rewrites its
    // whole subtree (itself included), each written file only itself. The host writes one.
    std::uint64_t windowsRewrites = 0;
    // The whole "--repair-webspace-security --full-scan" command on the same tree, every DACL
    // wrong: check-only, repair, and a second repair with nothing to do (0: not measured).
    double commandCheckOnly = 0, commandRepair = 0, commandSecondRepair = 0;
    // The command's check-only run with every DACL right, judged against the read floor.
    double commandCheckOnlyRight = 0;
    // The repair command on the all-wrong tree with its journal and without it (the bench
    // build's TAVREL_BENCH_NO_JOURNAL): the best of alternating runs.
    double journaledRepair = 0, unjournaledRepair = 0;
    // On the repaired tree: the check-only repair command and the access report of the
    // webspace's roles (five accounts), the best of alternating runs.
    double reportCheckOnly = 0, accessReport = 0;
};

// The programs beside this one.
fs::path programDir() {
    return fs::read_symlink("/proc/self/exe").parent_path();
}

// Runs a program of the build quietly; false when it failed.
bool run(const std::string& command) {
    std::string line = command + " >/dev/null 2>&1";
    return std::system(line.c_str()) == 0;
}

// The accounts and the panel's domain template that the command needs, made once per host.
bool prepareCommand() {
    static bool ready = [] {
        std::string host = (programDir() / "tavrel-host").string();
        std::string tavrel = (programDir() / "tavrel").string();
        return run(host + " account add benchuser") && run(host + " account add IWPG_benchuser") &&
               run(host + " account add ftp_subaccounts --group") &&
               run(tavrel +
                   " --create-domain-template '--file-name=C:\\Program Files "
                   "(x86)\\Tarno\\etc\\hosting_template.xml'");
    }();
    return ready;
}

// The time of one run of the repair command on the tree, or -1 when it failed.
double commandSeconds(const Tree& tree, const std::string& extra,
                      const std::string& environment = "") {
    std::string name = Platform::toUtf8(tree.root.substr(tree.root.rfind(L'\\') + 1));
    std::string command = (environment.empty() ? "" : "env " + environment + " ") +
                          (programDir() / "tavrel").string() +
                          " --repair-webspace-security --webspace-name=" + name +
                          " --user-name=benchuser --full-scan " + extra;
    bool ok = true;
    double time = seconds([&] { ok = run(command); });
    return ok ? time : -1;
}

// The time of one access report of the tree for the roles of its webspace, or -1.
double reportSeconds(const Tree& tree) {
    std::string name = Platform::toUtf8(tree.root.substr(tree.root.rfind(L'\\') + 1));
    std::string command = (programDir() / "tavrel").string() +
                          " --report-webspace-access --webspace-name=" + name +
                          " --user-name=benchuser";
    bool ok = true;
    double time = seconds([&] { ok = run(command); });
    return ok ? time : -1;
}

// The objects the checker is about to write, as they come.
class WriteRecorder : public Callback {
public:
    CallbackResult beforeApply(const VPath& path, bool isDirectory) override {
        (isDirectory ? folders : files).push_back(path.shownText());
        return Callback::beforeApply(path, isDirectory);
    }
    std::vector<std::wstring> folders;
    std::vector<std::wstring> files;
};

// The number of objects in each folder's subtree, the folder included, keyed by POSIX path.
std::uint64_t subtreeSizes(const fs::path& folder, std::map<std::string, std::uint64_t>& sizes) {
    std::uint64_t size = 1;
    for (const auto& item : fs::directory_iterator(folder)) {
        size += item.is_directory() && !item.is_symlink() ? subtreeSizes(item.path(), sizes) : 1;
    }
    sizes[folder.string()] = size;
    return size;
}

// The objects Windows rewrites for the writes `recorded` saw (Figures::windowsRewrites).
std::uint64_t windowsRewrites(const Tree& tree, const WriteRecorder& recorded) {
    std::map<std::string, std::uint64_t> sizes;
    subtreeSizes(tree.posix, sizes);
    std::uint64_t total = recorded.files.size();
    for (const std::wstring& folder : recorded.folders) {
        std::string relative = Platform::toUtf8(folder.substr(tree.root.size()));
        std::replace(relative.begin(), relative.end(), '\\', '/');
        total += sizes.at(tree.posix.string() + relative);
    }
    return total;
}

// Every object of the tree given the same DACL, which no template asks for.
void setAllWrong(const Tree& tree) {
    static const auto wrong =
        Platform::Dtyp::encodeAcl(*Platform::Dtyp::fromSddl(L"D:P(A;OICI;FA;;;WD)")->dacl);
    seamWalkOpened(tree.root, [&](Platform::Handle handle) {
        Platform::setSecurityInfo(
            handle, Platform::SeFileObject,
            Platform::SecurityInformation::Dacl | Platform::SecurityInformation::ProtectedDacl,
            nullptr, nullptr, wrong->data(), nullptr);
    });
}

CheckerCounts runChecker(const Tree& tree, const VEntryCollectionPtr& collection, CheckMode mode,
                         bool walkAll, Callback* callback = nullptr) {
    Callback defaults;
    CompleteChecker checker(callback ? *callback : defaults, CheckerOptions{mode, walkAll, false},
                            nullptr);
    auto root = std::make_shared<SecurityInformation>(collection);
    checker.checkPathSecurity(root, VPath(tree.root));
    return checker.counts();
}

Figures measure(const Tree& tree, bool withCommand) {
    Figures f{};
    f.objects = tree.objects;
    std::vector<char> buffer(4096);
    std::string blob(100, 'x');
    auto readXattr = [&](const std::string& path) {
        lgetxattr(path.c_str(), "user.tavrel.sd", buffer.data(), buffer.size());
    };
    bareWalk(tree.posix.string(), readXattr);  // warm the caches
    f.floorRead = seconds([&] { bareWalk(tree.posix.string(), readXattr); });
    f.floorWrite = seconds([&] {
        bareWalk(tree.posix.string(), [&](const std::string& path) {
            lsetxattr(path.c_str(), "user.bench", blob.data(), blob.size(), 0);
        });
    });
    bareWalk(tree.posix.string(),
             [](const std::string& path) { lremovexattr(path.c_str(), "user.bench"); });

    f.seamRead = seconds([&] {
        seamWalkOpened(tree.root, [](Platform::Handle handle) {
            std::vector<std::uint8_t> descriptor;
            Platform::getSecurityInfo(handle, Platform::SeFileObject,
                                      Platform::SecurityInformation::Dacl, descriptor);
        });
    });
    // What the checker asks of every object: its final path (links are refused) and its DACL.
    f.seamReadFinal = seconds([&] {
        seamWalkOpened(tree.root, [](Platform::Handle handle) {
            std::wstring path;
            Platform::getFinalPathNameByHandle(handle, path);
            std::vector<std::uint8_t> descriptor;
            Platform::getSecurityInfo(handle, Platform::SeFileObject,
                                      Platform::SecurityInformation::Dacl, descriptor);
        });
    });
    // Every DACL made different, then written again as it is: the seam's cost of a write.
    auto setAll = [&] { setAllWrong(tree); };
    f.seamSetDifferent = seconds(setAll);
    f.seamSetSame = seconds(setAll);

    VEntryCollectionPtr full = fullEntries(tree);
    WriteRecorder recorder;
    auto perObject = [&](std::uint64_t since) {
        return static_cast<double>(BenchAllocations::now() - since) /
               static_cast<double>(tree.objects);
    };
    std::uint64_t allocations = BenchAllocations::now();
    f.repair = seconds(
        [&] { f.repairCounts = runChecker(tree, full, CheckMode::Repair, true, &recorder); });
    f.allocationsRepair = perObject(allocations);
    f.windowsRewrites = windowsRewrites(tree, recorder);
    f.secondRepair =
        seconds([&] { f.secondCounts = runChecker(tree, full, CheckMode::Repair, true); });
    allocations = BenchAllocations::now();
    f.checkOnly = seconds([&] { runChecker(tree, full, CheckMode::CheckOnly, true); });
    f.allocationsCheckOnly = perObject(allocations);
    VEntryCollectionPtr sparse = sparseEntries(tree);
    runChecker(tree, sparse, CheckMode::Repair, false);
    if (withCommand && prepareCommand()) {
        setAll();
        f.commandCheckOnly =
            commandSeconds(tree, "--check-only '--report-file=C:\\bench-report.txt'");
        f.commandRepair = commandSeconds(tree, "");
        f.commandSecondRepair = commandSeconds(tree, "");
        f.commandCheckOnlyRight = commandSeconds(tree, "--check-only");
        f.reportCheckOnly = f.accessReport = 1e9;
        for (int i = 0; i < 3; ++i) {
            f.reportCheckOnly = std::min(f.reportCheckOnly, commandSeconds(tree, "--check-only"));
            f.accessReport = std::min(f.accessReport, reportSeconds(tree));
        }
        constexpr int journalRuns = 3;
        f.journaledRepair = f.unjournaledRepair = 1e9;
        for (int i = 0; i < journalRuns; ++i) {
            setAll();
            f.unjournaledRepair = std::min(f.unjournaledRepair,
                                           commandSeconds(tree, "", "TAVREL_BENCH_NO_JOURNAL=1"));
            setAll();
            f.journaledRepair = std::min(f.journaledRepair, commandSeconds(tree, ""));
        }
    }
    constexpr int fastRuns = 20;
    f.fast = seconds([&] {
                 for (int i = 0; i < fastRuns; ++i) {
                     runChecker(tree, sparse, CheckMode::CheckOnly, false);
                 }
             }) /
             fastRuns;
    return f;
}

void print(const Figures& f) {
    auto n = static_cast<double>(f.objects);
    auto line = [&](const char* what, double time, double floor, const char* floorName) {
        std::printf("  %-34s %8.2f s %9.0f obj/s %8.2f us/obj  %6.2fx %s\n", what, time, n / time,
                    time / n * 1e6, time / floor, floorName);
    };
    std::printf("%zu objects\n", f.objects);
    std::printf("  %-34s %8.2f s %9.0f obj/s %8.2f us/obj\n", "floor: bare walk, read xattr",
                f.floorRead, n / f.floorRead, f.floorRead / n * 1e6);
    std::printf("  %-34s %8.2f s %9.0f obj/s %8.2f us/obj\n", "floor: bare walk, write xattr",
                f.floorWrite, n / f.floorWrite, f.floorWrite / n * 1e6);
    line("seam: walk + get DACL", f.seamRead, f.floorRead, "of floor read");
    line("seam: walk + final path + get DACL", f.seamReadFinal, f.floorRead, "of floor read");
    line("seam: walk + set DACL (different)", f.seamSetDifferent, f.floorWrite, "of floor write");
    line("seam: walk + set DACL (same)", f.seamSetSame, f.floorWrite, "of floor write");
    line("checker: check-only, all right", f.checkOnly, f.seamRead, "of seam get walk");
    line("checker: repair, all wrong", f.repair, f.seamSetDifferent, "of seam set walk");
    line("checker: second repair, nothing", f.secondRepair, f.seamRead, "of seam get walk");
    std::printf(
        "  %-34s   check-only %.2fx of seam final path + get walk; repair %.2fx of the\n"
        "  %-34s   sum of that walk and the set walk\n",
        "", f.checkOnly / f.seamReadFinal, f.repair / (f.seamReadFinal + f.seamSetDifferent), "");
    std::printf("  %-34s   checker over floor: check-only %.2fx, repair %.2fx\n", "",
                f.checkOnly / f.floorRead, f.repair / f.floorWrite);
    std::printf("  %-34s %8.4f s per run\n", "checker: fast algorithm, 20 paths", f.fast);
    std::printf("  %-34s check-only %.1f, repair %.1f heap allocations per object\n",
                "checker: allocations", f.allocationsCheckOnly, f.allocationsRepair);
    if (f.commandRepair != 0) {
        line("command: check-only, all wrong", f.commandCheckOnly, f.checkOnly,
             "of checker check-only");
        line("command: repair, all wrong", f.commandRepair, f.repair, "of checker repair");
        line("command: second repair, nothing", f.commandSecondRepair, f.secondRepair,
             "of checker 2nd repair");
        line("command: repair, no journal", f.unjournaledRepair, f.repair, "of checker repair");
        line("command: repair, journal", f.journaledRepair, f.unjournaledRepair,
             "of the repair without it");
        line("command: check-only, all right", f.commandCheckOnlyRight, f.floorRead,
             "of floor read");
        line("command: repair, all wrong", f.commandRepair, f.floorWrite, "of floor write");
        line("command: check-only, all right", f.reportCheckOnly, f.floorRead,
             "of floor read (best of 3)");
        line("command: access report, 5 accounts", f.accessReport, f.reportCheckOnly,
             "of the check-only (best of 3)");
    }
    std::printf("  repair wrote %llu of %llu checked; second repair wrote %llu, failed %llu\n",
                static_cast<unsigned long long>(f.repairCounts.written),
                static_cast<unsigned long long>(f.repairCounts.checked),
                static_cast<unsigned long long>(f.secondCounts.written),
                static_cast<unsigned long long>(f.secondCounts.failed));
    std::printf(
        "  the repair on Windows: %llu objects rewritten for its %llu DACL writes (%.1fx:"
        " each written folder's subtree, by propagation)\n",
        static_cast<unsigned long long>(f.windowsRewrites),
        static_cast<unsigned long long>(f.repairCounts.written),
        static_cast<double>(f.windowsRewrites) /
            static_cast<double>(std::max<std::uint64_t>(f.repairCounts.written, 1)));
    std::printf("  peak RSS so far %.1f MiB\n", static_cast<double>(peakRssKiB()) / 1024.0);
}

}  // namespace

// The webspace directory `name`, made anew and empty: one object.
Tree emptyWebspace(const fs::path& driveC, const std::string& name) {
    Tree tree;
    tree.posix = driveC / "Inetpub" / "vhosts" / name;
    tree.root = L"C:\\Inetpub\\vhosts\\" + Platform::fromUtf8(name);
    fs::remove_all(tree.posix);
    fs::create_directories(tree.posix);
    tree.objects = 1;
    return tree;
}

// A webspace of `objects` objects whose folders hold ten files each, fifty folders to a group.
Tree buildTenPerFolder(const fs::path& driveC, const std::string& name, std::size_t objects) {
    Tree tree = emptyWebspace(driveC, name);
    for (std::size_t folder = 0; tree.objects < objects; ++folder) {
        fs::path group = tree.posix / ("g" + std::to_string(folder / 50));
        if (folder % 50 == 0) {
            fs::create_directories(group);
            ++tree.objects;
        }
        fs::path dir = group / ("f" + std::to_string(folder));
        fs::create_directories(dir);
        ++tree.objects;
        for (int i = 0; i < 10; ++i) {
            makeFile(dir / ("file" + std::to_string(i) + ".txt"));
            ++tree.objects;
        }
    }
    return tree;
}

// A webspace of one shape: a chain of `depth` nested folders with a file at the bottom, or one
// folder of `width` files.
Tree buildShape(const fs::path& driveC, const std::string& name, std::size_t chain,
                std::size_t width) {
    Tree tree = emptyWebspace(driveC, name);
    // One name at a time from the folder above: the chain may be deeper than a path can say.
    int folder = ::open(tree.posix.c_str(), O_DIRECTORY | O_RDONLY | O_CLOEXEC);
    for (std::size_t d = 0; d < chain && folder >= 0; ++d) {
        ::mkdirat(folder, "d", 0755);
        int next = ::openat(folder, "d", O_DIRECTORY | O_RDONLY | O_CLOEXEC);
        ::close(folder);
        folder = next;
        ++tree.objects;
    }
    for (std::size_t i = 0; i < width && folder >= 0; ++i) {
        int file = ::openat(folder, ("f" + std::to_string(i)).c_str(),
                            O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        if (file >= 0) {
            ::close(file);
            ++tree.objects;
        }
    }
    if (folder >= 0) {
        ::close(folder);
    }
    return tree;
}

// The checker's repair (every DACL wrong) and check-only walk of the tree in a child process
// of its own, so that the peak RSS is the walk's: "what, objects, failed, seconds, MiB".
void measureShape(const char* what, const Tree& tree) {
    std::fflush(stdout);
    ::malloc_trim(0);
    // The DACLs are made wrong by a child of its own: the bench's walk by whole paths would
    // otherwise set the peak.
    if (pid_t preparing = ::fork(); preparing == 0) {
        setAllWrong(tree);
        ::_exit(0);
    } else if (preparing > 0) {
        ::waitpid(preparing, nullptr, 0);
    }
    int pipe[2];
    if (::pipe(pipe) != 0) {
        return;
    }
    pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe[0]);
        rusage before{};
        ::getrusage(RUSAGE_SELF, &before);
        auto entries = fullEntries(tree);
        CheckerCounts repaired{};
        CheckerCounts checked{};
        double time = seconds([&] {
            repaired = runChecker(tree, entries, CheckMode::Repair, true);
            checked = runChecker(tree, entries, CheckMode::CheckOnly, true);
        });
        rusage after{};
        ::getrusage(RUSAGE_SELF, &after);
        char line[256];
        int n = std::snprintf(line, sizeof line,
                              "%llu checked, %llu written, %llu failed, %.2f s, peak RSS %.1f MiB "
                              "(%.1f MiB before the walks)\n",
                              static_cast<unsigned long long>(checked.checked),
                              static_cast<unsigned long long>(repaired.written),
                              static_cast<unsigned long long>(repaired.failed + checked.failed),
                              time, static_cast<double>(after.ru_maxrss) / 1024.0,
                              static_cast<double>(before.ru_maxrss) / 1024.0);
        [[maybe_unused]] ssize_t written = ::write(pipe[1], line, static_cast<std::size_t>(n));
        ::_exit(0);
    }
    ::close(pipe[1]);
    char buffer[256] = {};
    ssize_t got = ::read(pipe[0], buffer, sizeof buffer - 1);
    ::close(pipe[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    std::printf("  %-34s %zu objects: %s", what, tree.objects,
                got > 0 && WIFEXITED(status) ? buffer : "the walk died\n");
}

// Very deep and very wide trees: peak RSS must not grow with the depth beyond the path.
void measureShapes(const fs::path& driveC) {
    std::printf("shapes (repair then check-only, each in a process of its own)\n");
    for (std::size_t chain : {200, 2000}) {
        Tree tree = buildShape(driveC, "chain" + std::to_string(chain), chain, 0);
        measureShape(("chain of " + std::to_string(chain) + " folders").c_str(), tree);
        std::system(("rm -rf '" + tree.posix.string() + "'").c_str());
    }
    for (std::size_t width : {20000, 200000}) {
        Tree tree = buildShape(driveC, "wide" + std::to_string(width), 0, width);
        measureShape(("folder of " + std::to_string(width) + " files").c_str(), tree);
        fs::remove_all(tree.posix);
    }
}

int main(int argc, char** argv) {
    std::vector<std::size_t> sizes;
    // --profile: only check-only runs after one repair, for perf and strace.
    // --prepare: only the tree of the first count, every DACL wrong, and what the command needs;
    // the tree stays, and its webspace name, object count and POSIX path are printed (for
    // syscalls.sh); with --ten-per-folder, a tree whose folders hold ten files each.
    // --floor-walk DIR: only the read floor's walk of DIR, for strace.
    bool profile = false;
    bool prepare = false;
    bool withCommand = true;
    bool shapes = false;
    bool tenPerFolder = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--floor-walk") == 0 && i + 1 < argc) {
            std::vector<char> buffer(4096);
            bareWalk(argv[i + 1], [&](const std::string& path) {
                lgetxattr(path.c_str(), "user.tavrel.sd", buffer.data(), buffer.size());
            });
            return 0;
        }
        if (std::strcmp(argv[i], "--prepare") == 0) {
            prepare = true;
        } else if (std::strcmp(argv[i], "--profile") == 0) {
            profile = true;
        } else if (std::strcmp(argv[i], "--no-command") == 0) {
            withCommand = false;
        } else if (std::strcmp(argv[i], "--shapes") == 0) {
            shapes = true;
        } else if (std::strcmp(argv[i], "--ten-per-folder") == 0) {
            tenPerFolder = true;
        } else {
            sizes.push_back(std::strtoull(argv[i], nullptr, 10));
        }
    }
    if (sizes.empty()) {
        sizes = {10000, 100000};
    }
    fs::path driveC = BenchWalks::hostDriveC();
    if (shapes) {
        // --shapes: only the chain and the wide folder.
        measureShapes(driveC);
        return 0;
    }
    std::vector<Figures> all;
    for (std::size_t size : sizes) {
        std::string name = "bench" + std::to_string(size);
        Tree tree = prepare && tenPerFolder ? buildTenPerFolder(driveC, name, size)
                                            : buildTree(driveC, name, size);
        if (prepare) {
            if (!prepareCommand()) {
                std::fprintf(stderr, "the accounts or the domain template could not be made\n");
                return 1;
            }
            setAllWrong(tree);
            std::printf("bench%zu %zu %s\n", size, tree.objects, tree.posix.c_str());
            return 0;
        }
        if (profile) {
            // The checker runs in a child of its own, so that its peak RSS is its own and not
            // that of the tree builder above.
            std::fflush(stdout);
            ::malloc_trim(0);
            pid_t child = ::fork();
            if (child == 0) {
                VEntryCollectionPtr full = fullEntries(tree);
                runChecker(tree, full, CheckMode::Repair, true);
                double time = seconds([&] {
                    for (int i = 0; i < 3; ++i) {
                        runChecker(tree, full, CheckMode::CheckOnly, true);
                    }
                });
                std::printf("check-only: %.2f us/obj\n",
                            time / 3 / static_cast<double>(tree.objects) * 1e6);
                std::fflush(stdout);
                ::_exit(0);
            }
            int status = 0;
            ::waitpid(child, &status, 0);
            rusage usage{};
            ::getrusage(RUSAGE_CHILDREN, &usage);
            std::printf("checker peak RSS %.1f MiB (a repair and three check-only walks)\n",
                        static_cast<double>(usage.ru_maxrss) / 1024.0);
            fs::remove_all(tree.posix);
            continue;
        }
        all.push_back(measure(tree, withCommand));
        print(all.back());
        fs::remove_all(tree.posix);
    }
    if (all.size() >= 2) {
        std::printf("fast algorithm, %zu objects over %zu objects: %.2fx\n", all.back().objects,
                    all.front().objects, all.back().fast / all.front().fast);
    }
    return 0;
}
