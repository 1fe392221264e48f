// The directory searches of the emulated host (FindFirstFile): the entries that match, listed
// once through the directory held open, in the order of NTFS's upper-case table. What the
// listing read of each entry answers the later calls on it while nothing changed (see
// OpenDirectory), so that a walk's opens cost no second look.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "platform/posix/faults/faults.h"
#include "platform/posix/filesystem/filehandle.h"
#include "platform/posix/filesystem/filesystem_internal.h"
#include "platform/posix/filesystem/pathmap.h"
#include "platform/posix/filesystem/pattern.h"
#include "platform/posix/filesystem/posix_path.h"
#include "platform/posix/host/errors.h"
#include "platform/posix/host/handles.h"
#include "platform/posix/host/seam_count.h"
#include "platform/posix/host/unique_fd.h"
#include "platform/posix/security/object_security.h"
#include "platform/text.h"

namespace Platform {
namespace {

using namespace Posix;

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

FindData findDataWith(std::wstring name, const struct stat& st, std::uint32_t attributes) {
    FindData data;
    data.attributes = attributes;
    data.fileName = std::move(name);
    data.size = S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
    data.creationTime = creationTimeOf(st);
    data.lastAccessTime = fileTime(st.st_atim);
    data.lastWriteTime = fileTime(st.st_mtim);
    return data;
}

FindData findDataOf(std::wstring name, const std::string& path, const struct stat& st,
                    const EntryPlace& place = {}, const EntryXattrs* names = nullptr) {
    return findDataWith(std::move(name), st, attributesOf(path, st, place, names));
}

// A directory about to be searched as the still open search of its parent listed it, as the
// object `st` describes: that search (null when there is none) and the directory's name in it.
struct ListedIn {
    std::shared_ptr<const OpenDirectory> parent;
    std::string name;
};

ListedIn listingOf(const std::string& path, const struct stat& st) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) {
        return {};
    }
    ListedIn listing{nullptr, path.substr(slash + 1)};
    listing.parent = Searches::instance().holding(path.substr(0, slash), listing.name, st);
    return listing;
}

// Its attributes as that listing read them, while its change time (which a change of its DOS
// attributes moves) says they still hold.
std::optional<std::uint32_t> listedAttributes(const ListedIn& listing, const struct stat& st) {
    const ListedEntry* listed =
        listing.parent ? listing.parent->unchanged(listing.name, st) : nullptr;
    return listed ? std::optional(listed->attributes) : std::nullopt;
}

// Where it lies, free of links: below the directory that the search of its parent holds open,
// else as the kernel knows it. Empty when not known.
SharedPath realPathOfSearched(const ListedIn& listing, int fd) {
    if (listing.parent && !listing.parent->realPath.empty()) {
        return SharedPath(listing.parent->realPath, listing.name);
    }
    std::string link = "/proc/self/fd/" + std::to_string(fd);
    char buffer[PATH_MAX];
    ssize_t size = ::readlink(link.c_str(), buffer, sizeof(buffer) - 1);
    return size > 0 && buffer[0] == '/' ? std::string(buffer, static_cast<std::size_t>(size))
                                        : std::string();
}

// The directory part of a search pattern and the name pattern; false (ERROR_FILE_NOT_FOUND)
// when there is no name.
bool splitPattern(const std::wstring& pattern, std::wstring& directory, std::wstring& name) {
    std::size_t separator = pattern.find_last_of(L"\\/");
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
    return !name.empty() || failWith(WinError::FileNotFound);
}

// The directory to search, open, with its POSIX path and its stat. The entries are looked at
// through the directory itself: one lookup of its path (as written when it exists so), and
// each entry's from there. Empty with the last error set when it cannot be opened.
UniqueFd openSearched(const std::wstring& directory, std::string& posixDirectory,
                      struct stat& dirStat) {
    UniqueFd dir;
    if (writtenPosixPath(directory, posixDirectory)) {
        dir.reset(::open(posixDirectory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    if (!dir) {
        if (!windowsToPosix(directory, posixDirectory)) {
            return UniqueFd();
        }
        dir.reset(::open(posixDirectory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    if (!dir || ::fstat(dir.get(), &dirStat) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            failWith(WinError::PathNotFound);
        } else {
            failWithErrno();
        }
        return UniqueFd();
    }
    // NTFS lists a directory only to a caller granted FILE_LIST_DIRECTORY on it; a search is
    // opened without backup semantics, so no privilege stands in for the grant.
    std::uint32_t granted = 0;
    if (!checkOpenAccess(posixDirectory, nullptr, false, File::ReadData, false, granted)) {
        return UniqueFd();
    }
    return dir;
}

// The "." and ".." entries that match, which a drive root does not have on Windows.
void addDotEntries(int dir, const struct stat& dirStat, const std::string& posixDirectory,
                   const ListedIn& listing, const std::wstring& dosForm,
                   std::vector<FindData>& entries) {
    if (isDriveRoot(dirStat)) {
        return;
    }
    struct stat parentStat;
    for (const wchar_t* dot : {L".", L".."}) {
        bool parent = dot[1] == L'.';
        if (!matchesPattern(dosForm, dot) ||
            (parent && ::fstatat(dir, "..", &parentStat, 0) != 0)) {
            continue;
        }
        if (auto listed = parent ? std::nullopt : listedAttributes(listing, dirStat)) {
            entries.push_back(findDataWith(dot, dirStat, *listed));
            continue;
        }
        // Their DOS attributes are read through the directory held open, not by path again.
        EntryPlace place{dir, parent ? ".." : "."};
        entries.push_back(findDataOf(dot, parent ? parentOf(posixDirectory) : posixDirectory,
                                     parent ? parentStat : dirStat, place));
    }
}

// A name's key in the order NTFS lists a directory: its upper-case table's form.
std::wstring ntfsKey(std::wstring key) {
    for (auto& c : key) {
        c = upcase(c);
    }
    return key;
}

// The values of (key, value) pairs in the order of their keys.
template <typename Value>
void appendInKeyOrder(std::vector<std::pair<std::wstring, Value>>& found,
                      std::vector<Value>& out) {
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    out.reserve(out.size() + found.size());
    for (auto& [key, value] : found) {
        out.push_back(std::move(value));
    }
}

// Calls `each` for every entry of the directory open at `fd`, read straight from the
// descriptor: a directory stream would first ask the descriptor's flags and stat it again.
template <typename Each>
void forEachEntry(int fd, Each&& each) {
    alignas(dirent64) char buffer[32768];
    for (;;) {
        ssize_t size = ::getdents64(fd, buffer, sizeof(buffer));
        if (size <= 0) {
            return;  // the end, or a directory removed while it was read
        }
        for (ssize_t at = 0; at < size;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
            at += entry->d_reclen;
            each(*entry);
        }
    }
}

// Reads the directory's entries into `open` and appends those that match to `entries`. NTFS
// hands out names in the order of its upper-case table: each name's key is made once, and the
// entries sorted by it.
void listEntries(OpenDirectory& open, const std::wstring& dosForm, std::vector<FindData>& entries) {
    int dirFd = open.fd();
    const std::string posixDirectory = open.path.str();
    std::vector<std::pair<std::wstring, FindData>> found;
    forEachEntry(dirFd, [&](const dirent64& entry) {
        const char* entryName = entry.d_name;
        if (std::strcmp(entryName, ".") == 0 || std::strcmp(entryName, "..") == 0) {
            return;
        }
        ListedEntry& listed = open.entries[entryName];
        listed.inode = entry.d_ino;
        std::wstring windowsName = windowsNameOf(entryName);
        if (!matchesPattern(dosForm, windowsName)) {
            return;
        }
        struct stat st;
        if (::fstatat(dirFd, entryName, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            return;  // gone since the directory was read
        }
        std::wstring key = ntfsKey(windowsName);
        EntryPlace place{dirFd, entryName, &posixDirectory};
        auto names = S_ISLNK(st.st_mode) ? std::nullopt : entryXattrs(place);
        FindData data =
            findDataOf(std::move(windowsName), std::string(), st, place, names ? &*names : nullptr);
        listed = ListedEntry{st.st_ino, st.st_ctim, data.attributes,
                             !names || names->securityDescriptor};
        found.emplace_back(std::move(key), std::move(data));
        Faults::afterListing(posixDirectory, entryName);
    });
    appendInKeyOrder(found, entries);
}

}  // namespace

namespace Posix {

std::shared_ptr<const OpenDirectory> searchHolding(const std::string& path, const std::string& name,
                                                   const struct stat& st) {
    return Searches::instance().holding(path, name, st);
}

}  // namespace Posix

Handle findFirstFile(const std::wstring& pattern, FindData& data) {
    TAVREL_SEAM_CALL("FindFirstFileW");
    std::wstring directory;
    std::wstring name;
    if (!splitPattern(pattern, directory, name)) {
        return invalidHandle();
    }
    std::string posixDirectory;
    struct stat dirStat;
    UniqueFd dir = openSearched(directory, posixDirectory, dirStat);
    if (!dir) {
        return invalidHandle();
    }
    std::wstring dosForm = dosPattern(name);
    std::vector<FindData> entries;
    ListedIn listing = listingOf(posixDirectory, dirStat);
    addDotEntries(dir.get(), dirStat, posixDirectory, listing, dosForm, entries);
    auto open = std::make_shared<OpenDirectory>();
    open->directory = std::move(dir);
    open->path = posixDirectory;
    open->device = dirStat.st_dev;
    open->modified = dirStat.st_mtim;
    ::clock_gettime(CLOCK_REALTIME_COARSE, &open->listedAt);
    listEntries(*open, dosForm, entries);
    if (entries.empty()) {
        failWith(WinError::FileNotFound);
        return invalidHandle();
    }
    open->realPath = realPathOfSearched(listing, open->fd());
    Searches::instance().add(posixDirectory, open);
    auto search = std::make_shared<FindObject>(std::move(entries), std::move(open));
    search->next(data);
    return registerHandle(std::move(search));
}

namespace {

// What a directory entry is, by the type the listing gave it: a link is a reparse point, and a
// directory too when it leads to one, as Windows shows a directory symbolic link.
std::uint32_t kindOf(int directory, const dirent64& entry) {
    unsigned char type = entry.d_type;
    struct stat st;
    if (type == DT_UNKNOWN && ::fstatat(directory, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
    }
    if (type == DT_DIR) {
        return FileAttribute::Directory;
    }
    if (type == DT_LNK) {
        bool toDirectory = ::fstatat(directory, entry.d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
        return FileAttribute::ReparsePoint | (toDirectory ? FileAttribute::Directory : 0);
    }
    return 0;
}

// Reads the whole directory held by `file` in the order NTFS lists it.
bool readListing(FileObject& file) {
    int fd = file.fd();
    struct stat st;
    // A first listing reads from the start of a descriptor nothing has read yet, and what its
    // open saw serves: an entry made since then moved the modification time, so that what
    // the listing passes on counts as changed, never the other way round.
    if (!file.listingBegun && file.statAtOpen()) {
        st = *file.statAtOpen();
    } else if (::lseek(fd, 0, SEEK_SET) != 0 || ::fstat(fd, &st) != 0) {
        return failWithErrno();
    }
    std::vector<std::pair<std::wstring, DirectoryEntry>> found;
    if (!isDriveRoot(st)) {
        found.push_back({L".", {FileAttribute::Directory, L"."}});
        found.push_back({L"..", {FileAttribute::Directory, L".."}});
    }
    std::string path = Faults::active() ? file.path() : std::string();
    forEachEntry(fd, [&](const dirent64& entry) {
        if (std::strcmp(entry.d_name, ".") == 0 || std::strcmp(entry.d_name, "..") == 0) {
            return;
        }
        DirectoryEntry listed{kindOf(fd, entry), windowsNameOf(entry.d_name)};
        std::wstring key = ntfsKey(listed.fileName);
        found.emplace_back(std::move(key), std::move(listed));
        Faults::afterListing(path, entry.d_name);
    });
    file.listing.clear();
    appendInKeyOrder(found, file.listing);
    file.listed = 0;
    // What the entries opened through the handle inherit is found from the directory held.
    auto open = std::make_shared<OpenDirectory>();
    open->directory = file.descriptorForListing();
    if (!open->directory) {
        return failWithErrno();
    }
    if (file.realPath().empty()) {
        file.setRealPath(realPathOfSearched(ListedIn{}, fd));
    }
    open->path = file.realPath().empty() ? file.sharedPath() : file.realPath();
    open->realPath = file.realPath();
    open->device = st.st_dev;
    open->modified = st.st_mtim;
    ::clock_gettime(CLOCK_REALTIME_COARSE, &open->listedAt);
    file.listedDirectory = std::move(open);
    return true;
}

}  // namespace

std::uint32_t getDirectoryEntries(Handle directory, bool restart,
                                  std::vector<DirectoryEntry>& entries) {
    TAVREL_SEAM_CALL("GetFileInformationByHandleEx(directory)");
    entries.clear();
    auto file = lookupHandle<FileObject>(directory);
    if (!file) {
        return WinError::InvalidHandle;
    }
    if (!file->isDirectory() || file->isLinkItself()) {
        return WinError::InvalidParameter;
    }
    if (!(file->grantedAccess() & File::ReadData)) {
        return WinError::AccessDenied;
    }
    if (restart || !file->listingBegun) {
        if (!readListing(*file)) {
            return getLastError();
        }
        file->listingBegun = true;
    }
    // As many as a call of Windows with a buffer of 64 KiB would return, at most.
    constexpr std::size_t batch = 512;
    std::size_t end = std::min(file->listing.size(), file->listed + batch);
    for (; file->listed < end; ++file->listed) {
        entries.push_back(std::move(file->listing[file->listed]));
    }
    if (file->listed == file->listing.size()) {
        // All handed out: freed, and a next call ends the listing.
        std::vector<DirectoryEntry>().swap(file->listing);
        file->listed = 0;
    }
    return entries.empty() ? WinError::NoMoreFiles : WinError::Success;
}

bool findNextFile(Handle find, FindData& data) {
    TAVREL_SEAM_CALL("FindNextFileW");
    auto search = lookupHandle<FindObject>(find);
    if (!search) {
        return failWith(WinError::InvalidHandle);
    }
    return search->next(data) || failWith(WinError::NoMoreFiles);
}

bool findClose(Handle handle) {
    TAVREL_SEAM_CALL("FindClose");
    return unregisterHandle<FindObject>(handle);
}

}  // namespace Platform
