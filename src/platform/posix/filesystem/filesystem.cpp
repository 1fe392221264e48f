// The file system of the emulated host: Windows paths through the drive links, DOS
// attributes in the "user.DOSATTRIB" xattr (the form Wine and Samba read), read-only from the
// mode bits, links as reparse points, and the Windows error codes of each call.
#include "platform/filesystem.h"

#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <vector>

#include "platform/posix/faults/faults.h"
#include "platform/posix/filesystem/filehandle.h"
#include "platform/posix/filesystem/pathmap.h"
#include "platform/posix/host/errors.h"
#include "platform/posix/host/handles.h"
#include "platform/posix/security/object_security.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/unique.h"

namespace Platform {

namespace Posix {

std::shared_ptr<FileObject> fileObjectOf(Handle handle) {
    auto object = lookupHandle<FileObject>(handle);
    if (!object) {
        setLastError(WinError::InvalidHandle);
    }
    return object;
}

int fileDescriptorOf(Handle handle) {
    auto object = fileObjectOf(handle);
    return object ? object->fd() : -1;
}

}  // namespace Posix

namespace {

using namespace Posix;

constexpr const char* dosAttributeXattr = "user.DOSATTRIB";
// The attributes the xattr carries; read-only lives in the mode bits, directory and reparse
// point in the file type.
constexpr std::uint32_t storedAttributes =
    FileAttribute::Hidden | FileAttribute::System | FileAttribute::Archive;
constexpr std::uint32_t errorNegativeSeek = 131;

// A search in progress: the matching entries, taken when the search began.
class FindObject : public HandleObject {
public:
    FindObject(std::vector<FindData> entries, std::shared_ptr<const OpenDirectory> directory)
        : entries_(std::move(entries)), directory_(std::move(directory)) {}
    bool next(FindData& data) {
        if (position_ >= entries_.size()) {
            return false;
        }
        data = std::move(entries_[position_++]);  // each entry is handed out once
        return true;
    }

private:
    std::vector<FindData> entries_;
    std::size_t position_ = 0;
    std::shared_ptr<const OpenDirectory> directory_;  // open while the search is
};

// The directories being searched by their POSIX path, for the opens of their entries.
class Searches {
public:
    static Searches& instance() {
        static Searches searches;
        return searches;
    }
    void add(const std::string& path, const std::shared_ptr<const OpenDirectory>& directory) {
        std::lock_guard guard(lock_);
        if (byPath_.size() >= 64) {
            std::erase_if(byPath_, [](const auto& item) { return item.second.expired(); });
        }
        byPath_[path] = directory;
    }
    // The search of `path` whose listing holds `name` as the object `st` describes.
    std::shared_ptr<const OpenDirectory> holding(const std::string& path, const std::string& name,
                                                 const struct stat& st) {
        std::lock_guard guard(lock_);
        auto it = byPath_.find(path);
        if (it == byPath_.end()) {
            return nullptr;
        }
        auto directory = it->second.lock();
        if (!directory) {
            byPath_.erase(it);
            return nullptr;
        }
        auto entry = directory->entries.find(name);
        if (entry == directory->entries.end() || entry->second.inode != st.st_ino ||
            directory->device != st.st_dev) {
            return nullptr;
        }
        return directory;
    }

private:
    std::mutex lock_;
    std::unordered_map<std::string, std::weak_ptr<const OpenDirectory>> byPath_;
};

std::string parentOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string joinPosix(const std::string& dir, const std::string& name) {
    return dir == "/" ? "/" + name : dir + "/" + name;
}

bool isDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Windows tells a missing file (ERROR_FILE_NOT_FOUND) from a missing directory on the way
// (ERROR_PATH_NOT_FOUND); POSIX says ENOENT for both.
bool failForPath(const std::string& path) {
    if (errno == ENOENT) {
        return failWith(isDirectory(parentOf(path)) ? WinError::FileNotFound
                                                    : WinError::PathNotFound);
    }
    return failWithErrno();
}

// getxattrat(2) (Linux 6.13): an xattr of an entry of an open directory, without walking the
// path again. The number is the same on every architecture that has it.
#ifdef SYS_getxattrat
constexpr long getxattratCall = SYS_getxattrat;
#else
constexpr long getxattratCall = 464;
#endif

// An entry of a directory being read: its descriptor and the name in it, and the path for
// kernels without getxattrat.
struct EntryPlace {
    int dir = -1;
    const char* name = nullptr;
    const std::string* dirPath = nullptr;  // the directory's path, when `path` is not given

    std::string pathOr(const std::string& path) const {
        return dirPath ? joinPosix(*dirPath, name) : path;
    }
};

ssize_t readEntryXattr(const std::string& path, const EntryPlace& place, char* value,
                       std::size_t size) {
    static std::atomic<bool> missing{false};
    if (place.dir >= 0 && !missing.load(std::memory_order_relaxed)) {
        struct {
            std::uint64_t value;
            std::uint32_t size;
            std::uint32_t flags;
        } args{reinterpret_cast<std::uintptr_t>(value), static_cast<std::uint32_t>(size), 0};
        long result = ::syscall(getxattratCall, place.dir, place.name, AT_SYMLINK_NOFOLLOW,
                                dosAttributeXattr, &args, sizeof(args));
        if (result >= 0 || (errno != ENOSYS && errno != EINVAL && errno != E2BIG)) {
            return result;
        }
        missing.store(true, std::memory_order_relaxed);
    }
    return ::lgetxattr(place.pathOr(path).c_str(), dosAttributeXattr, value, size);
}

#ifdef SYS_listxattrat
constexpr long listxattratCall = SYS_listxattrat;
#else
constexpr long listxattratCall = 465;
#endif

// Which of the host's xattrs an entry of a directory being read carries, asked in one call
// (listxattrat(2), Linux 6.13); nothing when that cannot be asked.
struct EntryXattrs {
    bool dosAttributes = false;
    bool securityDescriptor = false;
};
std::optional<EntryXattrs> entryXattrs(const EntryPlace& place) {
    static std::atomic<bool> missing{false};
    if (place.dir < 0 || missing.load(std::memory_order_relaxed)) {
        return std::nullopt;
    }
    char names[1024];
    long size = ::syscall(listxattratCall, place.dir, place.name, AT_SYMLINK_NOFOLLOW, names,
                          sizeof(names));
    if (size < 0) {
        if (errno == ENOSYS || errno == EINVAL) {
            missing.store(true, std::memory_order_relaxed);
        }
        return std::nullopt;  // ERANGE among them: too many names to tell here
    }
    EntryXattrs found;
    for (long at = 0; at < size;) {
        const char* name = names + at;
        std::size_t length = ::strnlen(name, static_cast<std::size_t>(size - at));
        found.dosAttributes |= std::strcmp(name, dosAttributeXattr) == 0;
        found.securityDescriptor |= std::strcmp(name, SecurityDescriptorXattr) == 0;
        at += static_cast<long>(length) + 1;
    }
    return found;
}

// The attributes the xattr value of `size` bytes in `value` (room for one more) holds.
std::optional<std::uint32_t> parseDosAttributes(char* value, ssize_t size) {
    if (size <= 0) {
        return std::nullopt;
    }
    // Samba follows the text with a binary blob after a NUL; the text alone counts.
    value[size] = '\0';
    char* end = nullptr;
    unsigned long parsed = std::strtoul(value, &end, 16);
    if (end == value) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(parsed);
}

std::optional<std::uint32_t> readDosAttributes(const std::string& path,
                                               const EntryPlace& place = {}) {
    char value[256];
    return parseDosAttributes(value, readEntryXattr(path, place, value, sizeof(value) - 1));
}

// Writes the stored attributes, or removes the xattr when they are the default of the type
// (archive for a file, nothing for a directory), so that a plain object carries no xattr.
bool writeDosAttributes(const std::string& path, bool directory, std::uint32_t attributes) {
    attributes &= storedAttributes;
    std::uint32_t defaults = directory ? 0 : FileAttribute::Archive;
    if (attributes == defaults) {
        if (::lremovexattr(path.c_str(), dosAttributeXattr) != 0 && errno != ENODATA) {
            return failWithErrno();
        }
        return true;
    }
    char value[16];
    int length = std::snprintf(value, sizeof(value), "0x%x", attributes);
    if (::lsetxattr(path.c_str(), dosAttributeXattr, value, static_cast<std::size_t>(length), 0) !=
        0) {
        return failWithErrno();
    }
    return true;
}

// The attributes of an object that is no link, from what its xattr holds.
std::uint32_t attributesOfStored(const struct stat& st, std::optional<std::uint32_t> stored) {
    std::uint32_t attributes = 0;
    if (S_ISDIR(st.st_mode)) {
        attributes = FileAttribute::Directory | (stored ? *stored & storedAttributes : 0);
    } else {
        attributes = stored ? *stored & storedAttributes : FileAttribute::Archive;
    }
    if (!(st.st_mode & S_IWUSR)) {
        attributes |= FileAttribute::ReadOnly;
    }
    return attributes ? attributes : FileAttribute::Normal;
}

std::uint32_t attributesOf(const std::string& path, const struct stat& st,
                           const EntryPlace& place = {}, const EntryXattrs* names = nullptr) {
    if (S_ISLNK(st.st_mode)) {
        // A directory link is a directory to Windows as well as a reparse point.
        struct stat target;
        bool directory = place.dir >= 0 ? ::fstatat(place.dir, place.name, &target, 0) == 0 &&
                                              S_ISDIR(target.st_mode)
                                        : isDirectory(path);
        return FileAttribute::ReparsePoint |
               (directory ? FileAttribute::Directory : FileAttribute::Archive);
    }
    if (names && !names->dosAttributes) {
        return attributesOfStored(st, std::nullopt);
    }
    return attributesOfStored(st, readDosAttributes(path, place));
}

bool isReadOnly(const struct stat& st) {
    return !S_ISLNK(st.st_mode) && !(st.st_mode & S_IWUSR);
}

std::uint64_t fileTime(const struct timespec& time) {
    constexpr std::uint64_t secondsFrom1601To1970 = 11644473600ull;
    return (static_cast<std::uint64_t>(time.tv_sec) + secondsFrom1601To1970) * 10000000ull +
           static_cast<std::uint64_t>(time.tv_nsec) / 100;
}

// POSIX keeps no creation time in stat; the earlier of change and modification is closest.
std::uint64_t creationTimeOf(const struct stat& st) {
    return fileTime(st.st_ctim.tv_sec < st.st_mtim.tv_sec ? st.st_ctim : st.st_mtim);
}

FindData findDataOf(std::wstring name, const std::string& path, const struct stat& st,
                    const EntryPlace& place = {}, const EntryXattrs* names = nullptr) {
    FindData data;
    data.attributes = attributesOf(path, st, place, names);
    data.fileName = std::move(name);
    data.size = S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
    data.creationTime = creationTimeOf(st);
    data.lastAccessTime = fileTime(st.st_atim);
    data.lastWriteTime = fileTime(st.st_mtim);
    return data;
}

// The DOS wildcards that FindFirstFile hands to the file system (FsRtlIsNameInExpression):
// '?' becomes DOS_QM, a '.' before a wildcard or at the end DOS_DOT, a '*' before a '.'
// DOS_STAR; "*.*" is "*". Private-use code points stand for them.
constexpr wchar_t dosStar = 0xE001;
constexpr wchar_t dosQm = 0xE002;
constexpr wchar_t dosDot = 0xE003;

std::wstring dosPattern(const std::wstring& pattern) {
    if (pattern == L"*.*") {
        return L"*";
    }
    std::wstring translated;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        wchar_t c = pattern[i];
        wchar_t next = i + 1 < pattern.size() ? pattern[i + 1] : L'\0';
        if (c == L'?') {
            translated += dosQm;
        } else if (c == L'.' && (next == L'\0' || next == L'?' || next == L'*')) {
            translated += dosDot;
        } else if (c == L'*' && next == L'.') {
            translated += dosStar;
        } else {
            translated += c;
        }
    }
    return translated;
}

class PatternMatcher {
public:
    PatternMatcher(const std::wstring& pattern, const std::wstring& name)
        : pattern_(pattern),
          name_(name),
          lastDot_(name.rfind(L'.')),
          memo_((pattern.size() + 1) * (name.size() + 1), -1) {}

    bool matches() { return match(0, 0); }

private:
    bool match(std::size_t p, std::size_t n) {
        signed char& known = memo_[p * (name_.size() + 1) + n];
        if (known < 0) {
            known = compute(p, n) ? 1 : 0;
        }
        return known == 1;
    }

    bool compute(std::size_t p, std::size_t n) {
        if (p == pattern_.size()) {
            return n == name_.size();
        }
        bool more = n < name_.size();
        switch (pattern_[p]) {
            case L'*':
                return match(p + 1, n) || (more && match(p, n + 1));
            case dosStar:
                // Any characters, but not past the last dot of the name.
                return match(p + 1, n) ||
                       (more && (lastDot_ == std::wstring::npos || n < lastDot_) &&
                        match(p, n + 1));
            case dosQm:
                // One character; at a dot or at the end it matches nothing.
                return more && name_[n] != L'.' ? match(p + 1, n + 1) : match(p + 1, n);
            case dosDot:
                if (more) {
                    return name_[n] == L'.' && match(p + 1, n + 1);
                }
                return match(p + 1, n);
            default:
                return more && upcase(name_[n]) == upcase(pattern_[p]) && match(p + 1, n + 1);
        }
    }

    const std::wstring& pattern_;
    const std::wstring& name_;
    std::size_t lastDot_;
    std::vector<signed char> memo_;
};

bool matchesPattern(const std::wstring& dosForm, const std::wstring& name) {
    return dosForm == L"*" || PatternMatcher(dosForm, name).matches();
}

bool grantsRead(std::uint32_t access) {
    return access & (File::GenericRead | File::GenericAll | File::ReadData);
}

bool grantsWrite(std::uint32_t access) {
    return access & (File::GenericWrite | File::GenericAll | File::WriteData | File::AppendData);
}

// The data descriptor of a handle: a regular file opened for the wanted access.
std::shared_ptr<FileObject> dataFile(Handle handle, bool write) {
    auto file = fileObjectOf(handle);
    if (!file) {
        return nullptr;
    }
    if (file->isDirectory() || file->isLinkItself()) {
        setLastError(WinError::InvalidFunction);
        return nullptr;
    }
    if (!(write ? grantsWrite(file->access()) : grantsRead(file->access()))) {
        setLastError(WinError::AccessDenied);
        return nullptr;
    }
    return file;
}

// The last component of a Windows path as written.
std::wstring lastWindowsComponent(const std::wstring& path) {
    std::size_t end = path.find_last_not_of(L"\\/");
    if (end == std::wstring::npos) {
        return std::wstring();
    }
    std::size_t start = path.find_last_of(L"\\/", end);
    return path.substr(start == std::wstring::npos ? 0 : start + 1,
                       end - (start == std::wstring::npos ? 0 : start + 1) + 1);
}

bool hasDrive(const std::wstring& path) {
    return path.size() >= 2 && path[1] == L':' &&
           ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'));
}

bool isNtPrefixed(const std::wstring& path) {
    return path.compare(0, 4, L"\\\\?\\") == 0 || path.compare(0, 4, L"\\??\\") == 0;
}

std::wstring hexNumber(std::uint32_t value) {
    const wchar_t* digits = L"0123456789ABCDEF";
    std::wstring text;
    do {
        text.insert(text.begin(), digits[value & 0xF]);
        value >>= 4;
    } while (value);
    return text;
}

std::string currentPosixDirectory() {
    char buffer[PATH_MAX];
    return ::getcwd(buffer, sizeof(buffer)) ? std::string(buffer) : std::string("/");
}

}  // namespace

bool findClose(Handle handle) {
    return unregisterHandle<FindObject>(handle);
}

std::uint32_t getFileAttributes(const std::wstring& path) {
    std::string posix;
    struct stat st;
    if (!windowsToPosix(path, posix, &st)) {
        return InvalidFileAttributes;
    }
    if (st.st_mode == 0) {
        errno = ENOENT;
        failForPath(posix);
        return InvalidFileAttributes;
    }
    return attributesOf(posix, st);
}

bool setFileAttributes(const std::wstring& path, std::uint32_t attributes) {
    std::string posix;
    if (!windowsToPosix(path, posix)) {
        return false;
    }
    struct stat st;
    if (::lstat(posix.c_str(), &st) != 0) {
        return failForPath(posix);
    }
    if (S_ISLNK(st.st_mode)) {
        return true;  // a link has no mode or xattrs of its own here
    }
    mode_t mode = st.st_mode & 07777;
    mode_t wanted = (attributes & FileAttribute::ReadOnly) ? mode & ~mode_t(0222)
                    : (mode & S_IWUSR)                     ? mode
                                                           : mode | S_IWUSR;
    if (wanted != mode && ::chmod(posix.c_str(), wanted) != 0) {
        return failWithErrno();
    }
    return writeDosAttributes(posix, S_ISDIR(st.st_mode), attributes);
}

// Windows creates an object in a directory only for a caller granted FILE_ADD_FILE (a file)
// or FILE_ADD_SUBDIRECTORY (a directory) on that directory.
bool mayCreateIn(const std::string& posix, bool directory, bool backupSemantics) {
    std::uint32_t right = directory ? File::AppendData : File::WriteData;
    std::uint32_t granted = 0;
    return checkOpenAccess(parentOf(posix), nullptr, false, right, backupSemantics, granted);
}

bool createDirectory(const std::wstring& path) {
    std::string posix;
    if (!windowsToPosix(path, posix)) {
        return false;
    }
    if (std::uint32_t fault = Faults::injected(Faults::Operation::CreateDirectory, posix)) {
        return failWith(fault);
    }
    struct stat st;
    if (::lstat(posix.c_str(), &st) == 0) {
        return failWith(WinError::AlreadyExists);
    }
    if (isDirectory(parentOf(posix)) && !mayCreateIn(posix, true, false)) {
        return false;
    }
    if (::mkdir(posix.c_str(), 0777) != 0) {
        return errno == ENOENT ? failWith(WinError::PathNotFound) : failWithErrno();
    }
    return true;
}

bool removeDirectory(const std::wstring& path) {
    std::string posix;
    if (!windowsToPosix(path, posix)) {
        return false;
    }
    struct stat st;
    if (::lstat(posix.c_str(), &st) != 0) {
        return failForPath(posix);
    }
    if (S_ISLNK(st.st_mode)) {
        if (!isDirectory(posix)) {
            return failWith(WinError::Directory);
        }
        return ::unlink(posix.c_str()) == 0 || failWithErrno();
    }
    if (!S_ISDIR(st.st_mode)) {
        return failWith(WinError::Directory);
    }
    if (isReadOnly(st)) {
        return failWith(WinError::AccessDenied);
    }
    if (::rmdir(posix.c_str()) != 0) {
        return errno == EEXIST ? failWith(WinError::DirNotEmpty) : failWithErrno();
    }
    return true;
}

namespace {

// Where a directory about to be searched lies, free of links: below the directory that the
// search of its parent holds open when it is one of that one's entries, else as the kernel
// knows it. Empty when not known.
std::string realPathOfSearched(const std::string& path, const struct stat& st, int fd) {
    std::size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        if (auto parent =
                Searches::instance().holding(path.substr(0, slash), path.substr(slash + 1), st);
            parent && !parent->realPath.empty()) {
            return joinPosix(parent->realPath, path.substr(slash + 1));
        }
    }
    std::string link = "/proc/self/fd/" + std::to_string(fd);
    char buffer[PATH_MAX];
    ssize_t size = ::readlink(link.c_str(), buffer, sizeof(buffer) - 1);
    return size > 0 && buffer[0] == '/' ? std::string(buffer, static_cast<std::size_t>(size))
                                        : std::string();
}

}  // namespace

Handle findFirstFile(const std::wstring& pattern, FindData& data) {
    std::size_t separator = pattern.find_last_of(L"\\/");
    std::wstring directory;
    std::wstring name;
    if (separator != std::wstring::npos) {
        directory = pattern.substr(0, separator + 1);
        name = pattern.substr(separator + 1);
    } else if (hasDrive(pattern)) {
        directory = pattern.substr(0, 2);
        name = pattern.substr(2);
    } else {
        directory = L".";
        name = pattern;
    }
    if (name.empty()) {
        failWith(WinError::FileNotFound);
        return invalidHandle();
    }
    // The entries are looked at through the directory itself: one lookup of its path (as
    // written when it exists so), and each entry's from there.
    std::string posixDirectory;
    UniqueFd dir;
    if (writtenPosixPath(directory, posixDirectory)) {
        dir.reset(::open(posixDirectory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    if (!dir) {
        if (!windowsToPosix(directory, posixDirectory)) {
            return invalidHandle();
        }
        dir.reset(::open(posixDirectory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    struct stat dirStat;
    if (!dir || ::fstat(dir.get(), &dirStat) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            failWith(WinError::PathNotFound);
        } else {
            failWithErrno();
        }
        return invalidHandle();
    }
    std::wstring dosForm = dosPattern(name);
    std::vector<FindData> entries;
    // A drive root has no "." and ".." entries on Windows.
    if (!isDriveRoot(dirStat)) {
        struct stat parentStat;
        for (const wchar_t* dot : {L".", L".."}) {
            const struct stat* st = &dirStat;
            if (dot[1] == L'.') {
                if (::fstatat(dir.get(), "..", &parentStat, 0) != 0) {
                    continue;
                }
                st = &parentStat;
            }
            if (matchesPattern(dosForm, dot)) {
                entries.push_back(findDataOf(
                    dot, st == &dirStat ? posixDirectory : parentOf(posixDirectory), *st));
            }
        }
    }
    std::size_t dots = entries.size();
    auto open = std::make_shared<OpenDirectory>();
    open->stream.reset(::fdopendir(dir.get()));
    if (!open->stream) {
        failWithErrno();
        return invalidHandle();
    }
    dir.release();  // the stream owns it now
    open->path = posixDirectory;
    open->device = dirStat.st_dev;
    open->modified = dirStat.st_mtim;
    ::clock_gettime(CLOCK_REALTIME_COARSE, &open->listedAt);
    int dirFd = open->fd();
    UniqueDir& stream = open->stream;
    // NTFS hands out names in the order of its upper-case table: each name's key is made
    // once, and the entries sorted by it.
    std::vector<std::pair<std::wstring, FindData>> found;
    while (dirent* entry = ::readdir(stream.get())) {
        const char* entryName = entry->d_name;
        if (std::strcmp(entryName, ".") == 0 || std::strcmp(entryName, "..") == 0) {
            continue;
        }
        ListedEntry& listed = open->entries[entryName];
        listed.inode = entry->d_ino;
        std::wstring windowsName = windowsNameOf(entryName);
        if (!matchesPattern(dosForm, windowsName)) {
            continue;
        }
        struct stat st;
        if (::fstatat(dirFd, entryName, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;  // gone since the directory was read
        }
        std::wstring key = windowsName;
        for (auto& c : key) {
            c = upcase(c);
        }
        EntryPlace place{dirFd, entryName, &posixDirectory};
        auto names = S_ISLNK(st.st_mode) ? std::nullopt : entryXattrs(place);
        FindData data =
            findDataOf(std::move(windowsName), std::string(), st, place, names ? &*names : nullptr);
        listed = ListedEntry{st.st_ino, st.st_ctim, data.attributes,
                             !names || names->securityDescriptor};
        found.emplace_back(std::move(key), std::move(data));
        Faults::afterListing(posixDirectory, entryName);
    }
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    entries.reserve(dots + found.size());
    for (auto& [key, entry] : found) {
        entries.push_back(std::move(entry));
    }
    if (entries.empty()) {
        failWith(WinError::FileNotFound);
        return invalidHandle();
    }
    open->realPath = realPathOfSearched(posixDirectory, dirStat, open->fd());
    Searches::instance().add(posixDirectory, open);
    auto search = std::make_shared<FindObject>(std::move(entries), std::move(open));
    search->next(data);
    return registerHandle(std::move(search));
}

bool findNextFile(Handle find, FindData& data) {
    auto search = lookupHandle<FindObject>(find);
    if (!search) {
        return failWith(WinError::InvalidHandle);
    }
    return search->next(data) || failWith(WinError::NoMoreFiles);
}

namespace {

// An existing object opened without data rights (for its security, its attributes or a
// directory), the common case: the path as written is opened straight away, which costs one
// lookup when it exists as written, and the type is taken from the descriptor. Nothing when
// that does not settle it (a name to resolve case-insensitively, an object of another kind, a
// failure to report): the caller then goes the general way.
std::optional<Handle> openExistingAsWritten(const std::wstring& path, std::uint32_t access,
                                            std::uint32_t flagsAndAttributes) {
    std::string posix;
    if (!writtenPosixPath(path, posix)) {
        return std::nullopt;
    }
    bool linkItself = flagsAndAttributes & File::FlagOpenReparsePoint;
    bool backupSemantics = flagsAndAttributes & File::FlagBackupSemantics;
    int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | (linkItself ? O_NOFOLLOW : 0);
    UniqueFd fd(::open(posix.c_str(), flags));
    bool link = false;
    bool directory = false;
    struct stat st;
    if (!fd && linkItself && errno == ELOOP) {
        // A link opened itself: a descriptor of the link, which carries no data.
        fd.reset(::open(posix.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            return std::nullopt;
        }
        link = true;
        directory = isDirectory(posix);
    } else {
        if (!fd || ::fstat(fd.get(), &st) != 0) {
            return std::nullopt;
        }
        if (S_ISDIR(st.st_mode)) {
            if (!backupSemantics) {
                failWith(WinError::AccessDenied);
                return invalidHandle();
            }
            directory = true;
        } else if (!S_ISREG(st.st_mode)) {
            return std::nullopt;
        }
        // O_NONBLOCK only kept the open of a FIFO from waiting; the reads of a file opened for
        // its data must not see it.
        if (grantsRead(access)) {
            ::fcntl(fd.get(), F_SETFL, 0);
        }
    }
    std::size_t slash = posix.rfind('/');
    auto searched = Searches::instance().holding(parentOf(posix), posix.substr(slash + 1), st);
    auto object = std::make_shared<FileObject>(std::move(fd), posix, access, directory, link);
    object->searched = std::move(searched);
    if (!grantsRead(access)) {
        // The walk opens objects by the thousand for their security alone: what the open's
        // fstat saw answers the questions asked of such a handle, without a second call.
        object->setOpenedStat(st);
    }
    std::uint32_t granted = 0;
    if (!checkOpenAccess(posix, object.get(), linkItself, access, backupSemantics, granted)) {
        return invalidHandle();
    }
    object->setGrantedAccess(granted);
    Handle handle = registerHandle(std::move(object));
    setLastError(WinError::Success);
    return handle;
}

}  // namespace

Handle createFile(const std::wstring& path, std::uint32_t access, std::uint32_t /*shareMode*/,
                  std::uint32_t disposition, std::uint32_t flagsAndAttributes) {
    if (disposition < File::CreateNew || disposition > File::TruncateExisting) {
        failWith(WinError::InvalidParameter);
        return invalidHandle();
    }
    if (disposition == File::OpenExisting && !grantsWrite(access)) {
        if (auto handle = openExistingAsWritten(path, access, flagsAndAttributes)) {
            return *handle;
        }
    }
    std::string posix;
    if (!windowsToPosix(path, posix)) {
        return invalidHandle();
    }
    bool linkItself = flagsAndAttributes & File::FlagOpenReparsePoint;
    bool backupSemantics = flagsAndAttributes & File::FlagBackupSemantics;
    bool write = grantsWrite(access);
    bool appendOnly = (access & File::AppendData) &&
                      !(access & (File::WriteData | File::GenericWrite | File::GenericAll));
    int dataFlags = (write ? O_RDWR : O_RDONLY) | (appendOnly ? O_APPEND : 0) | O_CLOEXEC;
    bool truncate = disposition == File::CreateAlways || disposition == File::TruncateExisting;
    if (write || disposition != File::OpenExisting) {
        if (std::uint32_t fault = Faults::injected(Faults::Operation::CreateFile, posix)) {
            failWith(fault);
            return invalidHandle();
        }
    }

    // Twice at most: a file that appears between the look and the exclusive create is then
    // opened as an existing one.
    for (int attempt = 0; attempt < 2; ++attempt) {
        struct stat st;
        int found = linkItself ? ::lstat(posix.c_str(), &st) : ::stat(posix.c_str(), &st);
        UniqueFd fd;
        bool directory = false;
        bool link = false;
        std::uint32_t lastError = 0;
        std::uint32_t granted = creatorAccess(access);
        if (found == 0) {
            if (disposition == File::CreateNew) {
                failWith(WinError::FileExists);
                return invalidHandle();
            }
            // The object's DACL decides the open, before anything is truncated.
            if (!checkOpenAccess(posix, nullptr, linkItself, access, backupSemantics, granted)) {
                return invalidHandle();
            }
            lastError = disposition == File::OpenAlways || disposition == File::CreateAlways
                            ? WinError::AlreadyExists
                            : 0;
            if (S_ISLNK(st.st_mode)) {
                if (truncate) {
                    failWith(WinError::AccessDenied);
                    return invalidHandle();
                }
                link = true;
                directory = isDirectory(posix);
                fd.reset(::open(posix.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
            } else if (S_ISDIR(st.st_mode)) {
                if (!backupSemantics || truncate) {
                    failWith(WinError::AccessDenied);
                    return invalidHandle();
                }
                directory = true;
                fd.reset(::open(posix.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC |
                                                   (linkItself ? O_NOFOLLOW : 0)));
            } else if (!S_ISREG(st.st_mode)) {
                // A FIFO would block the open and a device would feed a read without end:
                // neither is a file of a Windows volume.
                failWith(WinError::NotSupported);
                return invalidHandle();
            } else {
                std::uint32_t attributes = attributesOf(posix, st);
                bool hiddenOrSystem = attributes & (FileAttribute::Hidden | FileAttribute::System);
                bool askedHiddenOrSystem =
                    flagsAndAttributes & (FileAttribute::Hidden | FileAttribute::System);
                if ((write || truncate) && isReadOnly(st)) {
                    failWith(WinError::AccessDenied);
                    return invalidHandle();
                }
                if (disposition == File::TruncateExisting && !write) {
                    failWith(WinError::InvalidParameter);
                    return invalidHandle();
                }
                // Overwriting keeps hidden and system files only when the caller says so.
                if (disposition == File::CreateAlways && hiddenOrSystem && !askedHiddenOrSystem) {
                    failWith(WinError::AccessDenied);
                    return invalidHandle();
                }
                fd.reset(::open(posix.c_str(), dataFlags | (truncate ? O_TRUNC : 0) |
                                                   (linkItself ? O_NOFOLLOW : 0)));
                if (fd && disposition == File::CreateAlways &&
                    !writeDosAttributes(posix, false,
                                        flagsAndAttributes | FileAttribute::Archive)) {
                    return invalidHandle();
                }
            }
            if (!fd) {
                failWithErrno();
                return invalidHandle();
            }
        } else if (errno == ENOENT) {
            if (disposition == File::OpenExisting || disposition == File::TruncateExisting) {
                failForPath(posix);
                return invalidHandle();
            }
            if (isDirectory(parentOf(posix)) && !mayCreateIn(posix, false, backupSemantics)) {
                return invalidHandle();
            }
            mode_t mode = (flagsAndAttributes & FileAttribute::ReadOnly) ? 0444 : 0666;
            fd.reset(::open(posix.c_str(), dataFlags | O_CREAT | O_EXCL, mode));
            if (!fd && errno == EEXIST) {
                struct stat link;
                if (::lstat(posix.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
                    failWith(WinError::FileNotFound);  // a link to nothing
                    return invalidHandle();
                }
                continue;
            }
            if (!fd) {
                errno == ENOENT ? failWith(WinError::PathNotFound) : failWithErrno();
                return invalidHandle();
            }
            if (!writeDosAttributes(posix, false, flagsAndAttributes | FileAttribute::Archive)) {
                std::uint32_t error = getLastError();
                fd.reset();
                ::unlink(posix.c_str());
                failWith(error);
                return invalidHandle();
            }
        } else {
            errno == ENOTDIR ? failWith(WinError::PathNotFound) : failWithErrno();
            return invalidHandle();
        }
        auto object = std::make_shared<FileObject>(std::move(fd), posix, access, directory, link);
        object->setGrantedAccess(granted);
        Handle handle = registerHandle(std::move(object));
        setLastError(lastError);
        return handle;
    }
    failWith(WinError::SharingViolation);
    return invalidHandle();
}

bool readFile(Handle file, void* buffer, std::uint32_t toRead, std::uint32_t* read) {
    if (read) {
        *read = 0;
    }
    auto object = dataFile(file, false);
    if (!object) {
        return false;
    }
    std::uint32_t done = 0;
    while (done < toRead) {
        ssize_t n = ::read(object->fd(), static_cast<char*>(buffer) + done, toRead - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return failWithErrno();
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::uint32_t>(n);
    }
    if (read) {
        *read = done;
    }
    return true;
}

bool writeFile(Handle file, const void* buffer, std::uint32_t toWrite, std::uint32_t* written) {
    if (written) {
        *written = 0;
    }
    auto object = dataFile(file, true);
    if (!object) {
        return false;
    }
    if (std::uint32_t fault = Faults::injected(Faults::Operation::WriteFile, object->path())) {
        return failWith(fault);
    }
    std::uint32_t done = 0;
    while (done < toWrite) {
        ssize_t n = ::write(object->fd(), static_cast<const char*>(buffer) + done, toWrite - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            if (written) {
                *written = done;
            }
            return failWithErrno();
        }
        done += static_cast<std::uint32_t>(n);
    }
    if (written) {
        *written = done;
    }
    return true;
}

bool setFilePointerEx(Handle file, std::int64_t distance, std::int64_t* newPosition,
                      std::uint32_t moveMethod) {
    auto object = fileObjectOf(file);
    if (!object) {
        return false;
    }
    int whence = moveMethod == File::Begin     ? SEEK_SET
                 : moveMethod == File::Current ? SEEK_CUR
                 : moveMethod == File::End     ? SEEK_END
                                               : -1;
    if (whence < 0) {
        return failWith(WinError::InvalidParameter);
    }
    off_t position = ::lseek(object->fd(), static_cast<off_t>(distance), whence);
    if (position < 0) {
        return errno == EINVAL ? failWith(errorNegativeSeek) : failWithErrno();
    }
    if (newPosition) {
        *newPosition = position;
    }
    return true;
}

bool getFileSizeEx(Handle file, std::int64_t& size) {
    auto object = fileObjectOf(file);
    if (!object) {
        return false;
    }
    struct stat st;
    if (::fstat(object->fd(), &st) != 0) {
        return failWithErrno();
    }
    size = S_ISREG(st.st_mode) ? st.st_size : 0;
    return true;
}

namespace {

// The entry of the search that the object was opened through, if the search's listing still
// describes it (same inode, same change time): the object is then one of the directory's
// entries and what the listing read of it is still true.
const ListedEntry* listedEntryOf(const FileObject& object, const struct stat& st) {
    if (!object.searched) {
        return nullptr;
    }
    const std::string& path = object.path();
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return nullptr;
    }
    return object.searched->unchanged(path.substr(slash + 1), st);
}

}  // namespace

bool getFileInformationByHandle(Handle file, ByHandleFileInformation& information) {
    auto object = fileObjectOf(file);
    if (!object) {
        return false;
    }
    if (!(object->grantedAccess() & File::ReadAttributes)) {
        return failWith(WinError::AccessDenied);
    }
    struct stat now;
    const struct stat* st = object->openedStat();
    if (!st) {
        if (::fstat(object->fd(), &now) != 0) {
            return failWithErrno();
        }
        st = &now;
    }
    std::uint32_t attributes = 0;
    if (object->isLinkItself()) {
        // An O_PATH descriptor reads no xattrs; a link has none of its own anyway.
        attributes = FileAttribute::ReparsePoint |
                     (object->isDirectory() ? FileAttribute::Directory : FileAttribute::Archive);
    } else if (const ListedEntry* listed = listedEntryOf(*object, *st)) {
        attributes = listed->attributes;  // what the search read of it, and nothing changed since
    } else {
        char value[256];
        ssize_t size = ::fgetxattr(object->fd(), dosAttributeXattr, value, sizeof(value) - 1);
        attributes = attributesOfStored(*st, parseDosAttributes(value, size));
    }
    information.attributes = attributes;
    information.creationTime = creationTimeOf(*st);
    information.lastAccessTime = fileTime(st->st_atim);
    information.lastWriteTime = fileTime(st->st_mtim);
    auto device = static_cast<std::uint64_t>(st->st_dev);
    information.volumeSerialNumber = static_cast<std::uint32_t>(device ^ (device >> 32));
    information.size = S_ISREG(st->st_mode) ? static_cast<std::uint64_t>(st->st_size) : 0;
    // NTFS gives a directory no second name; the POSIX count of a directory counts its
    // subdirectories' "..".
    information.numberOfLinks = S_ISDIR(st->st_mode) ? 1 : static_cast<std::uint32_t>(st->st_nlink);
    information.fileIndex = static_cast<std::uint64_t>(st->st_ino);
    return true;
}

bool flushFileBuffers(Handle file) {
    auto object = dataFile(file, true);
    if (!object) {
        return false;
    }
    if (std::uint32_t fault = Faults::injected(Faults::Operation::FlushFile, object->path())) {
        return failWith(fault);
    }
    return ::fsync(object->fd()) == 0 || failWithErrno();
}

bool setEndOfFile(Handle file) {
    auto object = dataFile(file, true);
    if (!object) {
        return false;
    }
    off_t position = ::lseek(object->fd(), 0, SEEK_CUR);
    if (position < 0 || ::ftruncate(object->fd(), position) != 0) {
        return failWithErrno();
    }
    return true;
}

bool setFileTime(Handle file, const std::uint64_t* /*creationTime*/,
                 const std::uint64_t* lastAccessTime, const std::uint64_t* lastWriteTime) {
    auto object = dataFile(file, true);
    if (!object) {
        return false;
    }
    auto asTimespec = [](const std::uint64_t* time) {
        constexpr std::uint64_t secondsFrom1601To1970 = 11644473600ull;
        if (!time) {
            return timespec{0, UTIME_OMIT};
        }
        std::uint64_t seconds = *time / 10000000ull;
        return timespec{static_cast<time_t>(seconds - secondsFrom1601To1970),
                        static_cast<long>(*time % 10000000ull * 100)};
    };
    const timespec times[2] = {asTimespec(lastAccessTime), asTimespec(lastWriteTime)};
    return ::futimens(object->fd(), times) == 0 || failWithErrno();
}

bool copyFile(const std::wstring& existing, const std::wstring& newFile, bool failIfExists) {
    std::string source;
    std::string target;
    if (!windowsToPosix(existing, source) || !windowsToPosix(newFile, target)) {
        return false;
    }
    struct stat sourceStat;
    if (::stat(source.c_str(), &sourceStat) != 0) {
        return failForPath(source);
    }
    if (S_ISDIR(sourceStat.st_mode)) {
        return failWith(WinError::AccessDenied);
    }
    if (!S_ISREG(sourceStat.st_mode)) {
        return failWith(WinError::NotSupported);  // a FIFO or a device, as createFile says
    }
    struct stat targetStat;
    bool targetExists = ::stat(target.c_str(), &targetStat) == 0;
    if (targetExists) {
        if (targetStat.st_dev == sourceStat.st_dev && targetStat.st_ino == sourceStat.st_ino) {
            return failWith(WinError::SharingViolation);
        }
        if (failIfExists) {
            return failWith(WinError::FileExists);
        }
        std::uint32_t attributes = attributesOf(target, targetStat);
        if (S_ISDIR(targetStat.st_mode) ||
            (attributes & (FileAttribute::ReadOnly | FileAttribute::Hidden))) {
            return failWith(WinError::AccessDenied);
        }
    }
    UniqueFd in(::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!in) {
        return failWithErrno();
    }
    UniqueFd out(::open(target.c_str(),
                        O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | (failIfExists ? O_EXCL : 0),
                        0666));
    if (!out) {
        if (errno == EEXIST) {
            return failWith(WinError::FileExists);
        }
        return errno == ENOENT ? failWith(WinError::PathNotFound) : failWithErrno();
    }
    auto abandon = [&]() {
        int error = errno;
        out.reset();
        if (!targetExists) {
            ::unlink(target.c_str());
        }
        errno = error;
        return failWithErrno();
    };
    std::vector<char> buffer(1 << 16);
    while (true) {
        ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return abandon();
        }
        if (n == 0) {
            break;
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t w =
                ::write(out.get(), buffer.data() + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR) {
                continue;
            }
            if (w < 0) {
                return abandon();
            }
            done += w;
        }
    }
    // The copy carries the source's attributes and last write time, as CopyFile does.
    char stored[256];
    ssize_t storedSize = ::fgetxattr(in.get(), dosAttributeXattr, stored, sizeof(stored));
    if (storedSize > 0) {
        ::fsetxattr(out.get(), dosAttributeXattr, stored, static_cast<std::size_t>(storedSize), 0);
    } else {
        ::fremovexattr(out.get(), dosAttributeXattr);
    }
    struct timespec times[2] = {sourceStat.st_atim, sourceStat.st_mtim};
    if (::futimens(out.get(), times) != 0 || ::fchmod(out.get(), sourceStat.st_mode & 07777) != 0) {
        return abandon();
    }
    return true;
}

namespace {

// Forces the directory entry of `path` to the disk: a rename is durable only then.
bool syncParent(const std::string& path) {
    UniqueFd parent(::open(parentOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return parent && ::fsync(parent.get()) == 0;
}

// Copies one xattr of `from` to `to`, or removes it from `to` when `from` has none.
bool copyXattr(const std::string& from, const std::string& to, const char* name) {
    std::vector<char> value(256);
    for (;;) {
        ssize_t size = ::lgetxattr(from.c_str(), name, value.data(), value.size());
        if (size >= 0) {
            return ::lsetxattr(to.c_str(), name, value.data(), static_cast<std::size_t>(size), 0) ==
                   0;
        }
        if (errno == ERANGE) {
            ssize_t needed = ::lgetxattr(from.c_str(), name, nullptr, 0);
            if (needed < 0) {
                return false;
            }
            value.resize(static_cast<std::size_t>(needed) + 1);
            continue;
        }
        if (errno == ENODATA) {
            return ::lremovexattr(to.c_str(), name) == 0 || errno == ENODATA;
        }
        return false;
    }
}

}  // namespace

bool moveFileEx(const std::wstring& existing, const std::wstring& newFile, std::uint32_t flags) {
    std::string source;
    std::string target;
    if (!windowsToPosix(existing, source) || !windowsToPosix(newFile, target)) {
        return false;
    }
    if (std::uint32_t fault = Faults::injected(Faults::Operation::MoveFile, target)) {
        return failWith(fault);
    }
    struct stat sourceStat;
    if (::lstat(source.c_str(), &sourceStat) != 0) {
        return failForPath(source);
    }
    struct stat targetStat;
    if (::lstat(target.c_str(), &targetStat) == 0) {
        if (targetStat.st_dev == sourceStat.st_dev && targetStat.st_ino == sourceStat.st_ino) {
            // The target names the source itself: at most the case of the name changes.
            auto newName = posixNameOf(lastWindowsComponent(newFile));
            if (!newName) {
                return failWith(WinError::InvalidName);
            }
            std::string renamed = joinPosix(parentOf(target), *newName);
            if (renamed != source && ::rename(source.c_str(), renamed.c_str()) != 0) {
                return failWithErrno();
            }
            return true;
        }
        if (!(flags & File::MoveFileReplaceExisting)) {
            return failWith(WinError::AlreadyExists);
        }
        if (S_ISDIR(targetStat.st_mode) || S_ISDIR(sourceStat.st_mode) || isReadOnly(targetStat)) {
            return failWith(WinError::AccessDenied);
        }
        if (::rename(source.c_str(), target.c_str()) != 0) {
            return failWithErrno();
        }
    } else {
        int result =
            ::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
        if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
            result = ::rename(source.c_str(), target.c_str());  // no RENAME_NOREPLACE here
        }
        if (result != 0) {
            if (errno == EEXIST) {
                return failWith(WinError::AlreadyExists);
            }
            return errno == ENOENT ? failWith(WinError::PathNotFound) : failWithErrno();
        }
    }
    if (S_ISDIR(sourceStat.st_mode)) {
        noteDirectoryMoved(target);  // what the moved subtree inherits has changed
    }
    if ((flags & File::MoveFileWriteThrough) && !syncParent(target)) {
        return failWithErrno();
    }
    return true;
}

// ReplaceFileW: the new version takes the old one's place and keeps what belongs to the place
// rather than to the content: the security descriptor, the DOS attributes, the mode and the
// owner. A save through it never resets hand-set security of the file it replaces.
bool replaceFile(const std::wstring& replaced, const std::wstring& replacement,
                 std::uint32_t flags) {
    std::string target;
    std::string source;
    if (!windowsToPosix(replaced, target) || !windowsToPosix(replacement, source)) {
        return false;
    }
    if (std::uint32_t fault = Faults::injected(Faults::Operation::ReplaceFile, target)) {
        return failWith(fault);
    }
    struct stat targetStat;
    if (::lstat(target.c_str(), &targetStat) != 0) {
        return failWithErrno();
    }
    struct stat sourceStat;
    if (::lstat(source.c_str(), &sourceStat) != 0) {
        return failWithErrno();
    }
    // A device, a pipe, a link or a folder under the name is not a file to replace: it stays.
    if (!S_ISREG(targetStat.st_mode) || !S_ISREG(sourceStat.st_mode)) {
        return failWith(WinError::UnableToRemoveReplaced);
    }
    // A read-only file is not replaced, as it is not deleted.
    if (isReadOnly(targetStat)) {
        return failWith(WinError::AccessDenied);
    }
    if (!copyXattr(target, source, SecurityDescriptorXattr) ||
        !copyXattr(target, source, dosAttributeXattr) ||
        ::chmod(source.c_str(), targetStat.st_mode & 07777) != 0) {
        return failWithErrno();
    }
    // Only a privileged process can give the file away; any other keeps its own ownership.
    if (::lchown(source.c_str(), targetStat.st_uid, targetStat.st_gid) != 0 && errno != EPERM) {
        return failWithErrno();
    }
    if (::rename(source.c_str(), target.c_str()) != 0) {
        return failWith(WinError::UnableToMoveReplacement);
    }
    if ((flags & ReplaceFileWriteThrough) && !syncParent(target)) {
        return failWithErrno();
    }
    return true;
}

bool deleteFile(const std::wstring& path) {
    std::string posix;
    if (!windowsToPosix(path, posix)) {
        return false;
    }
    struct stat st;
    if (::lstat(posix.c_str(), &st) != 0) {
        return failForPath(posix);
    }
    bool directoryLink = S_ISLNK(st.st_mode) && isDirectory(posix);
    if (S_ISDIR(st.st_mode) || directoryLink || isReadOnly(st)) {
        return failWith(WinError::AccessDenied);
    }
    return ::unlink(posix.c_str()) == 0 || failWithErrno();
}

bool getTempPath(std::wstring& path) {
    for (const wchar_t* name : {L"TMP", L"TEMP", L"USERPROFILE", L"windir"}) {
        std::wstring value;
        if (!getEnvironmentVariable(name, value)) {
            continue;
        }
        // A POSIX value (TMP=/tmp from the Linux side) is no Windows directory.
        bool windowsPath =
            (hasDrive(value) && value.size() > 2 && value[2] == L'\\') || isNtPrefixed(value);
        std::wstring full;
        if (windowsPath && getFullPathName(value, full)) {
            path = full.back() == L'\\' ? full : full + L"\\";
            return true;
        }
    }
    path = L"C:\\Windows\\";
    return true;
}

std::uint32_t getTempFileName(const std::wstring& dir, const std::wstring& prefix,
                              std::uint32_t unique, std::wstring& tempFileName) {
    std::wstring base = dir;
    if (base.empty() || (base.back() != L'\\' && base.back() != L'/')) {
        base += L'\\';
    }
    base += prefix.substr(0, 3);
    if (unique != 0) {
        tempFileName = base + hexNumber(unique & 0xFFFF) + L".tmp";
        return unique;
    }
    std::uint32_t attributes = getFileAttributes(dir);
    if (attributes == InvalidFileAttributes || !(attributes & FileAttribute::Directory)) {
        failWith(WinError::Directory);
        return 0;
    }
    std::uint32_t start = std::random_device{}() & 0xFFFF;
    for (std::uint32_t tried = 0; tried < 0xFFFF; ++tried) {
        std::uint32_t number = (start + tried) % 0xFFFF + 1;
        std::wstring candidate = base + hexNumber(number) + L".tmp";
        Handle file =
            createFile(candidate, File::GenericWrite, 0, File::CreateNew, FileAttribute::Normal);
        if (file != invalidHandle()) {
            closeHandle(file);
            tempFileName = candidate;
            setLastError(WinError::Success);
            return number;
        }
        std::uint32_t error = getLastError();
        if (error != WinError::FileExists && error != WinError::AlreadyExists &&
            error != WinError::AccessDenied) {
            return 0;
        }
    }
    failWith(WinError::FileExists);
    return 0;
}

bool getLongPathName(const std::wstring& path, std::wstring& longPath) {
    std::wstring prefix;
    std::wstring body = path;
    if (isNtPrefixed(path)) {
        prefix = path.substr(0, 4);
        body = path.substr(4);
        if (body.size() >= 4 && equalsNoCase(body.substr(0, 4), L"UNC\\")) {
            return failWith(WinError::BadNetpath);
        }
    } else if (path.size() >= 2 && (path[0] == L'\\' || path[0] == L'/') &&
               (path[1] == L'\\' || path[1] == L'/')) {
        return failWith(WinError::BadNetpath);
    }
    // The root as written, and the directory it stands for.
    std::wstring root;
    std::wstring start;
    if (hasDrive(body) && body.size() > 2 && (body[2] == L'\\' || body[2] == L'/')) {
        root = body.substr(0, 3);
        start = body.substr(0, 2) + L"\\";
    } else if (hasDrive(body)) {
        root = body.substr(0, 2);
        if (!getFullPathName(root, start)) {
            return false;
        }
    } else if (!body.empty() && (body[0] == L'\\' || body[0] == L'/')) {
        root = body.substr(0, 1);
        if (!getFullPathName(L"\\", start)) {
            return false;
        }
    } else if (!getCurrentDirectory(start)) {
        return false;
    }
    std::string directory;
    if (!windowsToPosix(prefix.empty() ? start : L"\\\\?\\" + start, directory)) {
        return false;
    }
    if (!isDirectory(directory)) {
        return failWith(WinError::PathNotFound);
    }
    // Walk the rest component by component, keeping the separators and dots as written; ".."
    // climbs lexically, as Windows resolves it.
    std::vector<std::string> climbed{directory};
    std::wstring result = prefix + root;
    std::size_t position = root.size();
    while (position < body.size()) {
        std::size_t end = body.find_first_of(L"\\/", position);
        if (end == std::wstring::npos) {
            end = body.size();
        }
        std::wstring part = body.substr(position, end - position);
        if (part == L"..") {
            if (climbed.size() > 1) {
                climbed.pop_back();
            }
            result += part;
        } else if (!part.empty() && part != L".") {
            bool last = body.find_first_not_of(L"\\/", end) == std::wstring::npos;
            auto name = posixNameOf(part);
            if (!name) {
                return failWith(WinError::InvalidName);
            }
            std::string candidate = joinPosix(climbed.back(), *name);
            struct stat st;
            std::string diskName;
            if (::lstat(candidate.c_str(), &st) == 0) {
                diskName = *name;
            } else {
                UniqueDir stream(::opendir(climbed.back().c_str()));
                while (stream && diskName.empty()) {
                    dirent* entry = ::readdir(stream.get());
                    if (!entry) {
                        break;
                    }
                    if (equalsNoCase(windowsNameOf(entry->d_name), windowsNameOf(*name))) {
                        diskName = entry->d_name;
                    }
                }
                if (diskName.empty()) {
                    return failWith(last ? WinError::FileNotFound : WinError::PathNotFound);
                }
            }
            climbed.push_back(joinPosix(climbed.back(), diskName));
            if (!last && !isDirectory(climbed.back())) {
                return failWith(WinError::PathNotFound);
            }
            result += windowsNameOf(diskName);
        } else {
            result += part;
        }
        std::size_t next = body.find_first_not_of(L"\\/", end);
        if (next == std::wstring::npos) {
            next = body.size();
        }
        result += body.substr(end, next - end);
        position = next;
    }
    longPath = result;
    return true;
}

bool getFullPathName(const std::wstring& path, std::wstring& fullPath) {
    std::wstring current;
    if (!getCurrentDirectory(current)) {
        return false;
    }
    return fullWindowsPath(path, current, fullPath);
}

bool getCurrentDirectory(std::wstring& directory) {
    return posixToWindows(currentPosixDirectory(), directory);
}

bool getFinalPathNameByHandle(Handle file, std::wstring& path) {
    auto object = fileObjectOf(file);
    if (!object) {
        return false;
    }
    // An entry of a directory being searched, opened as the search listed it, lies in that
    // directory under the name it was opened by. (A directory on the way that moves while
    // it is searched is seen at the next search.)
    const struct stat* opened = object->openedStat();
    if (opened && !object->isLinkItself() && listedEntryOf(*object, *opened) &&
        !object->searched->realPath.empty()) {
        const std::string& posix = object->path();
        std::wstring windowsPath;
        if (!realPosixToWindows(
                joinPosix(object->searched->realPath, posix.substr(posix.rfind('/') + 1)),
                windowsPath)) {
            return false;
        }
        path = L"\\\\?\\" + windowsPath;
        return true;
    }
    std::string link = "/proc/self/fd/" + std::to_string(object->fd());
    char buffer[PATH_MAX];
    ssize_t size = ::readlink(link.c_str(), buffer, sizeof(buffer) - 1);
    if (size < 0) {
        return failWithErrno();
    }
    std::string target(buffer, static_cast<std::size_t>(size));
    const std::string deleted = " (deleted)";
    if (target.size() > deleted.size() &&
        target.compare(target.size() - deleted.size(), deleted.size(), deleted) == 0) {
        target.resize(target.size() - deleted.size());
    }
    // The kernel's path of an open object is free of links and dots already.
    std::wstring windowsPath;
    if (!realPosixToWindows(target, windowsPath)) {
        return false;
    }
    path = L"\\\\?\\" + windowsPath;
    return true;
}

}  // namespace Platform
