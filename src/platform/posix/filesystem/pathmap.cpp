#include "platform/posix/filesystem/pathmap.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <exception>
#include <list>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "platform/posix/filesystem/filehandle.h"
#include "platform/posix/filesystem/posix_path.h"
#include "platform/posix/host/errors.h"
#include "platform/posix/host/host.h"
#include "platform/posix/host/unique_fd.h"
#include "platform/text.h"
#include "platform/types.h"

namespace Platform::Posix {
namespace {

bool isLetter(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

bool hasDrive(std::wstring_view path) {
    return path.size() >= 2 && isLetter(path[0]) && path[1] == L':';
}

bool isNtPrefixed(std::wstring_view path) {
    return path.substr(0, 4) == L"\\\\?\\" || path.substr(0, 4) == L"\\??\\";
}

std::optional<std::string> realPath(const std::string& path) {
    char buffer[PATH_MAX];
    if (!::realpath(path.c_str(), buffer)) {
        return std::nullopt;
    }
    return std::string(buffer);
}


// The first '\\' or '/' at or after `from`, else the size. (find_first_of of a two-character
// set asks wmemchr of the set for every character it passes.)
std::size_t separatorAt(std::wstring_view text, std::size_t from) {
    while (from < text.size() && text[from] != L'\\' && text[from] != L'/') {
        ++from;
    }
    return from;
}

std::vector<std::wstring> splitComponents(std::wstring_view text) {
    std::vector<std::wstring> parts;
    // Every path the walk opens comes through here: one allocation for the list, not a growth
    // per component.
    parts.reserve(
        1 + static_cast<std::size_t>(std::count_if(
                text.begin(), text.end(), [](wchar_t c) { return c == L'\\' || c == L'/'; })));
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = separatorAt(text, start);
        if (end > start) {
            parts.emplace_back(text.substr(start, end - start));
        }
        start = end + 1;
    }
    return parts;
}

// Windows takes one trailing dot off each component that a separator follows ("a.\b" is
// "a\b", "a..\b" is "a.\b", "a \b" stays); ".", ".." and names of dots only stay as they are.
std::vector<std::wstring> withoutInnerTrailingDots(std::vector<std::wstring> parts,
                                                   bool trailingSeparator) {
    std::size_t inner = trailingSeparator || parts.empty() ? parts.size() : parts.size() - 1;
    for (std::size_t i = 0; i < inner; ++i) {
        std::wstring& part = parts[i];
        if (part.back() == L'.' && part.find_first_not_of(L'.') != std::wstring::npos) {
            part.pop_back();
        }
    }
    return parts;
}

// "." dropped, ".." taking the previous component with it (never more than there is); the
// components are moved, not copied.
std::vector<std::wstring> resolveDots(std::vector<std::wstring> parts) {
    std::size_t kept = 0;
    for (auto& part : parts) {
        if (part == L".") {
            continue;
        }
        if (part == L"..") {
            if (kept > 0) {
                --kept;
            }
            continue;
        }
        if (&parts[kept] != &part) {
            parts[kept] = std::move(part);
        }
        ++kept;
    }
    parts.resize(kept);
    return parts;
}

bool sameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Raised by the signal that the kernel sends when the watch of dosdevices has events (or when
// this process was forked, and must watch for itself): until then a path translation asks the
// kernel nothing.
std::atomic<bool> dosdevicesEvents{true};
std::atomic<bool> forkedSinceWatch{false};

void onDosdevicesEvents(int) {
    dosdevicesEvents.store(true);
}

// Whether SIGIO is this file's to take: installed once, and only where nobody else handles it.
bool takeSigio() {
    static const bool taken = [] {
        struct sigaction current {};
        if (::sigaction(SIGIO, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) {
            return false;
        }
        struct sigaction action {};
        action.sa_handler = onDosdevicesEvents;
        action.sa_flags = SA_RESTART;
        ::sigemptyset(&action.sa_mask);
        if (::sigaction(SIGIO, &action, nullptr) != 0) {
            return false;
        }
        ::pthread_atfork(nullptr, nullptr, [] {
            forkedSinceWatch.store(true);
            dosdevicesEvents.store(true);
        });
        return true;
    }();
    return taken;
}

// The drive links of the current host, each resolved once. They are read again only when
// dosdevices changes: inotify says so, by a signal when this process may take SIGIO (a
// translation then costs no system call until something changed), else at the cost of one
// read that finds nothing; where inotify is not to be had, the directory's times do, and a
// directory changed within the last two seconds (the clock tick may hide a second change) is
// read every time.
class DriveTable {
public:
    static DriveTable& instance() {
        static DriveTable table;
        return table;
    }

    std::shared_ptr<const DriveMap> current() {
        std::shared_ptr<const std::filesystem::path> host;
        try {
            host = currentHost();
        } catch (const std::exception&) {
            return empty();
        }
        std::lock_guard guard(lock_);
        if (host != host_) {
            host_ = host;
            dosdevices_ = (*host / "dosdevices").string();
            watch(true);
            reload();
        } else if (changed()) {
            reload();
        }
        return map_;
    }

    // What the last look found, without looking again.
    std::shared_ptr<const DriveMap> latest() {
        std::lock_guard guard(lock_);
        return map_;
    }

private:
    std::shared_ptr<const DriveMap> empty() {
        static auto none = std::make_shared<const DriveMap>();
        return none;
    }

    // Watches dosdevices (again); without inotify, falls back to the times.
    void watch(bool fresh) {
        if (fresh || !notify_) {
            if (forkedSinceWatch.exchange(false)) {
                // Shared with the parent since the fork: its events are the parent's to read.
                (void)notify_.release();
            }
            notify_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
            // Signalled when events come; set up before the watch, so that none goes unseen.
            signalled_ = notify_ && takeSigio() &&
                         ::fcntl(notify_.get(), F_SETOWN, ::getpid()) == 0 &&
                         ::fcntl(notify_.get(), F_SETFL, O_NONBLOCK | O_ASYNC) == 0;
            dosdevicesEvents.store(true);
        }
        watching_ = notify_ && ::inotify_add_watch(notify_.get(), dosdevices_.c_str(),
                                                   IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                                                       IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF |
                                                       IN_MOVE_SELF | IN_ONLYDIR) >= 0;
        stamped_ = false;
    }

    bool changed() {
        if (forkedSinceWatch.load()) {
            watch(true);
            return true;
        }
        if (watching_ && signalled_ && !dosdevicesEvents.exchange(false)) {
            return false;
        }
        if (watching_) {
            alignas(inotify_event) char events[4096];
            bool any = false;
            while (::read(notify_.get(), events, sizeof(events)) > 0) {
                any = true;
            }
            if (any) {
                // The directory itself may have been replaced: watch whatever has the name now.
                watch(true);
            }
            return any;
        }
        if (notify_) {
            watch(false);  // dosdevices may exist by now
            if (watching_) {
                return true;
            }
        }
        struct stat st;
        if (::stat(dosdevices_.c_str(), &st) != 0) {
            return stamped_ || !map_->drives.empty();
        }
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        bool settled = now.tv_sec - st.st_mtim.tv_sec > 1 && now.tv_sec - st.st_ctim.tv_sec > 1;
        bool same = stamped_ && st.st_ino == stamp_.st_ino && st.st_dev == stamp_.st_dev &&
                    sameTime(st.st_mtim, stamp_.st_mtim) && sameTime(st.st_ctim, stamp_.st_ctim);
        stamp_ = st;
        stamped_ = true;
        return !(same && settled);
    }

    void reload() {
        auto map = std::make_shared<DriveMap>();
        UniqueDir dir(::opendir(dosdevices_.c_str()));
        while (dir) {
            dirent* entry = ::readdir(dir.get());
            if (!entry) {
                break;
            }
            std::string name = entry->d_name;
            if (name.size() != 2 || name[1] != ':' || !isLetter(static_cast<wchar_t>(name[0]))) {
                continue;
            }
            if (auto target = realPath(dosdevices_ + "/" + name)) {
                struct stat st;
                if (::stat(target->c_str(), &st) == 0) {
                    map->drives.push_back(
                        {upcase(static_cast<wchar_t>(name[0])), *target, st.st_dev, st.st_ino});
                }
            }
        }
        std::sort(map->drives.begin(), map->drives.end(),
                  [](const Drive& a, const Drive& b) { return a.letter < b.letter; });
        auto same = [](const Drive& a, const Drive& b) {
            return a.letter == b.letter && a.target == b.target && a.device == b.device &&
                   a.inode == b.inode;
        };
        if (std::equal(map->drives.begin(), map->drives.end(), map_->drives.begin(),
                       map_->drives.end(), same)) {
            return;
        }
        map->version = ++version_;
        map_ = std::move(map);
    }

    std::mutex lock_;
    std::shared_ptr<const std::filesystem::path> host_;
    std::string dosdevices_;
    UniqueFd notify_;
    bool watching_ = false;
    bool signalled_ = false;
    bool stamped_ = false;
    struct stat stamp_ {};
    std::uint64_t version_ = 0;
    std::shared_ptr<const DriveMap> map_ = std::make_shared<const DriveMap>();
};

const Drive* driveOf(const DriveMap& map, wchar_t letter) {
    wchar_t upper = upcase(letter);
    for (const auto& drive : map.drives) {
        if (drive.letter == upper) {
            return &drive;
        }
    }
    return nullptr;
}

// The names of one directory by their upper-case Windows form, for the case-insensitive
// lookup of a name that does not exist as written. Kept for the directories looked into last,
// each checked against its directory's identity and times before use, so that a name created,
// removed or renamed since is seen; a directory changed within the clock tick of its last
// look is read again.
class FoldedNames {
public:
    static FoldedNames& instance() {
        static FoldedNames names;
        return names;
    }

    // The entry of `dir` whose Windows name equals `name` ignoring case; the smallest such name
    // when the POSIX side holds several that NTFS could not tell apart.
    std::optional<std::string> find(const std::string& dir, const std::wstring& name) {
        struct stat st;
        if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            return std::nullopt;
        }
        std::lock_guard guard(lock_);
        auto it = index_.find(dir);
        if (it == index_.end() || !it->second.matches(st)) {
            if (it != index_.end()) {
                order_.erase(it->second.position);
                index_.erase(it);
            }
            it = read(dir, st);
            if (it == index_.end()) {
                return std::nullopt;
            }
        } else {
            order_.splice(order_.begin(), order_, it->second.position);
        }
        auto found = it->second.names.find(upcased(name));
        if (found == it->second.names.end()) {
            return std::nullopt;
        }
        return found->second;
    }

private:
    static constexpr std::size_t MaxDirectories = 256;

    struct Entry {
        struct stat stamp;
        bool settled;
        std::unordered_map<std::wstring, std::string> names;
        std::list<std::string>::iterator position;

        bool matches(const struct stat& st) const {
            return settled && st.st_dev == stamp.st_dev && st.st_ino == stamp.st_ino &&
                   sameTime(st.st_mtim, stamp.st_mtim) && sameTime(st.st_ctim, stamp.st_ctim);
        }
    };

    static std::wstring upcased(std::wstring text) {
        for (auto& c : text) {
            c = upcase(c);
        }
        return text;
    }

    using Index = std::unordered_map<std::string, Entry>;

    Index::iterator read(const std::string& dir, const struct stat& st) {
        UniqueDir stream(::opendir(dir.c_str()));
        if (!stream) {
            return index_.end();
        }
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        Entry entry{
            st, now.tv_sec - st.st_mtim.tv_sec > 1 && now.tv_sec - st.st_ctim.tv_sec > 1, {}, {}};
        while (dirent* item = ::readdir(stream.get())) {
            std::string candidate = item->d_name;
            if (candidate == "." || candidate == "..") {
                continue;
            }
            auto [slot, added] = entry.names.emplace(upcased(windowsNameOf(candidate)), candidate);
            if (!added && candidate < slot->second) {
                slot->second = candidate;
            }
        }
        if (index_.size() >= MaxDirectories) {
            index_.erase(order_.back());
            order_.pop_back();
        }
        order_.push_front(dir);
        entry.position = order_.begin();
        return index_.emplace(dir, std::move(entry)).first;
    }

    std::mutex lock_;
    Index index_;
    std::list<std::string> order_;  // most recently used first
};

std::optional<std::string> findNoCase(const std::string& dir, const std::wstring& name) {
    return FoldedNames::instance().find(dir, name);
}

std::string currentPosixDirectory() {
    char buffer[PATH_MAX];
    return ::getcwd(buffer, sizeof(buffer)) ? std::string(buffer) : std::string("/");
}

// "/a/./b/../c" to "/a/c", made absolute against the current directory.
std::string normalizePosix(const std::string& path) {
    std::string absolute =
        path.empty() || path[0] != '/' ? currentPosixDirectory() + "/" + path : path;
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start < absolute.size()) {
        std::size_t next = absolute.find('/', start);
        std::size_t end = next == std::string::npos ? absolute.size() : next;
        std::string part = absolute.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string result;
    for (const auto& part : parts) {
        result += "/" + part;
    }
    return result.empty() ? "/" : result;
}

// The path with its parent resolved through links; the last component stays itself, so that
// a link maps to where it lies and not to where it points.
std::string canonicalParent(const std::string& path) {
    std::string normalized = normalizePosix(path);
    if (normalized == "/") {
        return normalized;
    }
    std::size_t slash = normalized.rfind('/');
    std::string parent = slash == 0 ? "/" : normalized.substr(0, slash);
    auto real = realPath(parent);
    return real ? joinPosix(*real, normalized.substr(slash + 1)) : normalized;
}

}  // namespace

bool fullWindowsPath(const std::wstring& path, const std::wstring& currentDirectory,
                     std::wstring& fullPath) {
    if (path.empty()) {
        return failWith(WinError::InvalidName);
    }
    if (isNtPrefixed(path)) {
        fullPath = path;
        return true;
    }
    std::wstring text = path;
    for (auto& c : text) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    std::wstring root;
    std::wstring rest;
    if (text.compare(0, 4, L"\\\\.\\") == 0) {
        root = L"\\\\.\\";
        rest = text.substr(4);
    } else if (text.compare(0, 2, L"\\\\") == 0) {
        // \\server\share is the root that ".." cannot leave.
        std::size_t serverEnd = std::min(text.find(L'\\', 2), text.size());
        std::size_t shareEnd = serverEnd < text.size()
                                   ? std::min(text.find(L'\\', serverEnd + 1), text.size())
                                   : serverEnd;
        root = text.substr(0, shareEnd);
        rest = text.substr(shareEnd);
    } else if (hasDrive(text) && text.size() > 2 && text[2] == L'\\') {
        root = text.substr(0, 3);
        rest = text.substr(3);
    } else if (hasDrive(text)) {
        // "X:name": relative to the current directory when that is on X:, else to X:\.
        bool sameDrive =
            hasDrive(currentDirectory) && upcase(currentDirectory[0]) == upcase(text[0]);
        std::wstring base = sameDrive ? currentDirectory : text.substr(0, 2) + L"\\";
        std::wstring tail = text.substr(2);
        return fullWindowsPath(tail.empty() ? base : base + L"\\" + tail, currentDirectory,
                               fullPath);
    } else if (!hasDrive(currentDirectory)) {
        return failWith(WinError::InvalidName);
    } else if (text[0] == L'\\') {
        return fullWindowsPath(currentDirectory.substr(0, 2) + text, currentDirectory, fullPath);
    } else {
        return fullWindowsPath(currentDirectory + L"\\" + text, currentDirectory, fullPath);
    }

    std::vector<std::wstring> written = splitComponents(rest);
    bool trailing = !rest.empty() && rest.back() == L'\\';
    bool lastIsDots = !written.empty() && (written.back() == L"." || written.back() == L"..");
    std::vector<std::wstring> parts =
        resolveDots(withoutInnerTrailingDots(std::move(written), trailing));
    // Windows drops trailing dots and spaces of the last component ("name." is "name").
    if (!parts.empty() && !trailing && !lastIsDots) {
        std::wstring& last = parts.back();
        std::size_t kept = last.find_last_not_of(L". ");
        if (kept == std::wstring::npos) {
            parts.pop_back();
            trailing = true;
        } else {
            last.resize(kept + 1);
        }
    }
    fullPath = root;
    for (const auto& part : parts) {
        if (fullPath.back() != L'\\') {
            fullPath += L'\\';
        }
        fullPath += part;
    }
    if (trailing && !parts.empty()) {
        fullPath += L'\\';
    }
    return true;
}

namespace {

// A Windows path taken apart: the drive's target, the full path as written and the POSIX
// path its names make.
struct Written {
    std::string target;
    std::wstring full;
    std::string path;

    // The POSIX names of its components, in order.
    std::vector<std::string> names() const {
        std::vector<std::string> names;
        for (const auto& part : splitComponents(std::wstring_view(full).substr(2))) {
            names.push_back(*posixNameOf(part));  // each was mapped once already
        }
        return names;
    }
};

bool takeApart(const std::wstring& winPath, Written& written) {
    std::wstring full;
    if (isNtPrefixed(winPath) || winPath.compare(0, 4, L"\\\\.\\") == 0) {
        std::wstring_view rest = std::wstring_view(winPath).substr(4);
        if (rest.size() >= 4 && equalsNoCase(rest.substr(0, 4), L"UNC\\")) {
            return failWith(WinError::BadNetpath);
        }
        if (!hasDrive(rest) || (rest.size() > 2 && rest[2] != L'\\' && rest[2] != L'/')) {
            return failWith(WinError::PathNotFound);
        }
        full.reserve(rest.size() + 1);
        full.assign(rest.substr(0, 2));
        full += L'\\';
        if (isNtPrefixed(winPath)) {
            // Windows hands a \\?\ path to the file system as it is, where "." and ".."
            // are names no object can have; only \\.\ paths are resolved first. Every path
            // the walk opens comes this way: its names are taken in one pass.
            for (std::size_t start = 2; start < rest.size();) {
                std::size_t end = separatorAt(rest, start);
                std::wstring_view part = rest.substr(start, end - start);
                start = end + 1;
                if (part.empty()) {
                    continue;
                }
                if (part == L"." || part == L"..") {
                    return failWith(WinError::InvalidName);
                }
                if (full.back() != L'\\') {
                    full += L'\\';
                }
                full += part;
            }
        } else {
            for (const auto& part : resolveDots(splitComponents(rest.substr(2)))) {
                full += (full.back() == L'\\' ? L"" : L"\\") + part;
            }
        }
    } else {
        bool unc = winPath.size() >= 2 && (winPath[0] == L'\\' || winPath[0] == L'/') &&
                   (winPath[1] == L'\\' || winPath[1] == L'/');
        if (unc) {
            return failWith(WinError::BadNetpath);
        }
        // Only a relative or rooted path needs to know where the process stands.
        bool absolute =
            hasDrive(winPath) && winPath.size() > 2 && (winPath[2] == L'\\' || winPath[2] == L'/');
        std::wstring current = L"Z:\\";
        if (!absolute && !posixToWindows(currentPosixDirectory(), current)) {
            current = L"Z:\\";
        }
        if (!fullWindowsPath(winPath, current, full)) {
            return false;
        }
    }
    if (!hasDrive(full)) {
        return failWith(WinError::PathNotFound);
    }
    auto map = DriveTable::instance().current();
    const Drive* drive = driveOf(*map, full[0]);
    if (!drive) {
        return failWith(WinError::PathNotFound);
    }
    written.target = drive->target;
    written.path.reserve(drive->target.size() + full.size() + 16);
    written.path = drive->target;
    std::wstring_view rest = std::wstring_view(full).substr(2);
    while (!rest.empty()) {
        std::size_t end = separatorAt(rest, 0);
        if (end > 0) {
            // joinPosix, in place.
            if (written.path != "/") {
                written.path += '/';
            }
            if (!appendPosixName(rest.substr(0, end), written.path)) {
                return failWith(WinError::InvalidName);
            }
        }
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    written.full = std::move(full);
    return true;
}

}  // namespace

bool writtenPosixPath(const std::wstring& winPath, std::string& posixPath) {
    Written written;
    if (!takeApart(winPath, written)) {
        return false;
    }
    posixPath = std::move(written.path);
    return true;
}

bool windowsToPosix(const std::wstring& winPath, std::string& posixPath, struct stat* found) {
    Written written;
    if (!takeApart(winPath, written)) {
        return false;
    }
    // The path as written is what names the object whenever it exists: each of its components
    // then exists as written, and the exact name wins over any other case.
    struct stat st;
    if (::lstat(written.path.c_str(), &st) == 0) {
        posixPath = std::move(written.path);
        if (found) {
            *found = st;
        }
        return true;
    }
    // NTFS is case-insensitive and case-preserving: an existing entry is found whatever the
    // case of the name given; past the first missing component nothing can exist.
    std::string current = written.target;
    bool missing = false;
    for (const std::string& name : written.names()) {
        if (!missing) {
            std::string exact = joinPosix(current, name);
            if (::lstat(exact.c_str(), &st) == 0) {
                current = exact;
                continue;
            }
            // The name is looked for in the form a listing gives it: "D." as written finds
            // the "d." that lists as "d" U+F02E.
            if (errno == ENOENT) {
                if (auto match = findNoCase(current, windowsNameOf(name))) {
                    current = joinPosix(current, *match);
                    continue;
                }
            }
            missing = true;
        }
        current = joinPosix(current, name);
    }
    posixPath = current;
    if (found && (missing || ::lstat(current.c_str(), found) != 0)) {
        found->st_mode = 0;
    }
    return true;
}

bool posixToWindows(const std::string& posixPath, std::wstring& winPath) {
    return realPosixToWindows(canonicalParent(posixPath), winPath);
}

bool realPosixToWindows(const std::string& path, std::wstring& winPath) {
    // The final path of every object the walk opens comes through here.
    auto map = DriveTable::instance().current();
    const Drive* best = nullptr;
    for (const auto& drive : map->drives) {
        const std::string& target = drive.target;
        bool contains =
            target == "/" || (path.compare(0, target.size(), target) == 0 &&
                              (path.size() == target.size() || path[target.size()] == '/'));
        // The drives are in letter order: the first of the longest targets wins.
        if (contains && (!best || target.size() > best->target.size())) {
            best = &drive;
        }
    }
    if (!best) {
        return failWith(WinError::PathNotFound);
    }
    std::string_view rest = path;
    rest.remove_prefix(best->target == "/" ? 1 : best->target.size());
    if (!rest.empty() && rest[0] == '/') {
        rest.remove_prefix(1);
    }
    winPath.clear();
    winPath.reserve(rest.size() + 4);
    winPath += best->letter;
    winPath += L":\\";
    for (std::size_t start = 0; start < rest.size();) {
        std::size_t end = std::min(rest.find('/', start), rest.size());
        if (start > 0) {
            winPath += L'\\';
        }
        appendWindowsName(rest.substr(start, end - start), winPath);
        start = end + 1;
    }
    return true;
}

std::optional<std::string> findNameNoCase(const std::string& dir, const std::wstring& name) {
    return findNoCase(dir, name);
}

std::shared_ptr<const DriveMap> currentDrives() {
    return DriveTable::instance().current();
}

std::shared_ptr<const DriveMap> latestDrives() {
    return DriveTable::instance().latest();
}

bool isDriveRoot(const struct stat& directory) {
    auto map = DriveTable::instance().current();
    for (const auto& drive : map->drives) {
        if (drive.device == directory.st_dev && drive.inode == directory.st_ino) {
            return true;
        }
    }
    return false;
}

}  // namespace Platform::Posix
