// The objects behind file and directory handles of the emulated host. A handle keeps the
// descriptor it was opened with, so that everything done through the handle later (reading
// and writing the security descriptor with fgetxattr/fsetxattr) acts on the opened object and
// not on whatever the path names by then.
#pragma once

#include <dirent.h>

#include <sys/stat.h>

#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/posix/host/handles.h"
#include "platform/filesystem.h"
#include "platform/posix/filesystem/posix_path.h"
#include "platform/posix/host/unique_fd.h"
#include "platform/types.h"
#include "platform/unique.h"

namespace Platform::Posix {

// An open directory stream.
struct DirTraits {
    using Type = DIR*;
    static Type empty() { return nullptr; }
    static bool valid(Type dir) { return dir != nullptr; }
    static void close(Type dir) { ::closedir(dir); }
};
using UniqueDir = UniqueResource<DirTraits>;

// What the security store read through a handle, and what a searched directory passes on
// to its entries (object_security.cpp).
struct HandleSecurity;
struct SearchedSecurity;

// One entry as the search listed it: its inode, its change time, its attributes and whether it
// may carry a security descriptor (false only when the listing saw that it carries none).
struct ListedEntry {
    ino_t inode = 0;
    timespec changed{};
    std::uint32_t attributes = 0;
    bool securityStored = true;
};

// A directory held open while it is searched, with each entry the search saw: an object opened
// by a path through it is known to be one of its entries, so that what the object inherits is
// found from here and not by walking the path of the directory again, its final path is the
// directory's and its name, and what the listing read of it need not be read again while its
// change time says that nothing changed.
struct OpenDirectory {
    UniqueFd directory;
    SharedPath path;      // the POSIX path it was searched by
    SharedPath realPath;  // where it lay when the search began, free of links
    dev_t device = 0;
    timespec modified{};  // when its entries were read
    timespec listedAt{};  // the clock when they were read
    std::unordered_map<std::string, ListedEntry> entries;
    // Kept by the security store, under its lock.
    mutable std::shared_ptr<SearchedSecurity> security;

    int fd() const { return directory.get(); }
    // The listed entry `name` if it is still the object `st` describes, unchanged since the
    // listing read it (its change time older than the clock's tick then).
    const ListedEntry* unchanged(const std::string& name, const struct stat& st) const;
};

// The directories this process holds open without delete sharing. Windows lets nobody rename or
// remove such a directory while it is held (ERROR_SHARING_VIOLATION), and a Wine prefix's
// server refuses it to every Wine process; the emulated host refuses it to this process's own
// calls, and cannot to other programs.
void holdAgainstDelete(dev_t device, ino_t inode);
void releaseAgainstDelete(dev_t device, ino_t inode);
bool heldAgainstDelete(const struct stat& st);
// rename(2) of `from` to `to` unless `from` is a directory held against delete (false with
// ERROR_SHARING_VIOLATION).
bool renameUnlessHeld(const std::string& from, const std::string& to);

class FileObject : public HandleObject {
public:
    FileObject(UniqueFd fd, SharedPath path, std::uint32_t access, bool directory, bool linkItself)
        : fd_(std::move(fd)),
          path_(std::move(path)),
          access_(access),
          directory_(directory),
          linkItself_(linkItself) {}
    ~FileObject() override {
        if (heldAgainstDelete_) {
            releaseAgainstDelete(heldDevice_, heldInode_);
        }
    }
    FileObject(const FileObject&) = delete;
    FileObject& operator=(const FileObject&) = delete;

    // A directory opened without FILE_SHARE_DELETE: held against rename and removal while the
    // handle is open.
    void holdUnlessShared(std::uint32_t shareMode, const struct stat& st) {
        if (directory_ && !linkItself_ && !(shareMode & File::ShareDelete) && !heldAgainstDelete_) {
            holdAgainstDelete(st.st_dev, st.st_ino);
            heldDevice_ = st.st_dev;
            heldInode_ = st.st_ino;
            heldAgainstDelete_ = true;
        }
    }

    // The open descriptor. For a link opened itself (FlagOpenReparsePoint) it is an O_PATH
    // descriptor, which has no data and no extended attributes. Once the directory is listed,
    // its listing owns the descriptor, so that the entries opened through the handle find
    // their parent by it even after the handle is closed.
    int fd() const { return fd_ ? fd_.get() : listedDirectory ? listedDirectory->fd() : -1; }
    // The descriptor for a listing of its own to own: handed over at the first listing, a
    // duplicate at the next (the first may still serve entries opened through the handle).
    UniqueFd descriptorForListing();
    // The POSIX path the object was opened by (made whole at each call).
    std::string path() const { return path_.str(); }
    const SharedPath& sharedPath() const { return path_; }
    // The access mask asked for at the open.
    std::uint32_t access() const { return access_; }
    // The rights the open's access check granted (generic rights mapped), which the security
    // calls on the handle require.
    std::uint32_t grantedAccess() const { return granted_; }
    void setGrantedAccess(std::uint32_t granted) { granted_ = granted; }
    bool isDirectory() const { return directory_; }
    bool isLinkItself() const { return linkItself_; }
    // What the open learnt of the object from its descriptor, when it looked (null when not),
    // as the answer to later questions: kept for the handles that read no data, which the walk
    // opens by the thousand.
    const struct stat* openedStat() const { return statKnown_ && statAnswers_ ? &opened_ : nullptr; }
    // The same for any handle whose open looked: its device, inode and kind are the
    // descriptor's for good; its times only say what held at the open.
    const struct stat* statAtOpen() const { return statKnown_ ? &opened_ : nullptr; }
    void setOpenedStat(const struct stat& st, bool answers) {
        opened_ = st;
        statKnown_ = true;
        statAnswers_ = answers;
    }
    // An entry of the directory was made, moved or removed through the handle: its times are
    // no longer what the open saw.
    void entriesChanged() { statAnswers_ = false; }

    // Kept by the security store between calls on the handle, under the store's lock; whether
    // it read the object's descriptor before (what the open's look saw is then out of date).
    std::shared_ptr<HandleSecurity> security;
    bool securityRead = false;
    // The directory being searched that the object was opened in, if it was.
    std::shared_ptr<const OpenDirectory> searched;
    // A directory listed through the handle (getDirectoryEntries): its entries, read and
    // ordered when the listing began, and how many were handed out; and the directory as its
    // entries opened through the handle see it (what it passes on to them).
    std::vector<DirectoryEntry> listing;
    std::size_t listed = 0;
    bool listingBegun = false;
    std::shared_ptr<const OpenDirectory> listedDirectory;

    // Where a directory lay when it was opened, free of links (empty: not known yet).
    const SharedPath& realPath() const { return pathIsReal_ ? path_ : realPath_; }
    void setRealPath(SharedPath path) { realPath_ = std::move(path); }
    // The path it was opened by is free of links: a walk deep down holds one copy of it.
    void markPathReal() { pathIsReal_ = true; }

private:
    UniqueFd fd_;
    SharedPath path_;
    std::uint32_t access_;
    std::uint32_t granted_ = 0;
    bool directory_;
    bool linkItself_;
    struct stat opened_ {};
    bool statKnown_ = false;
    bool statAnswers_ = false;
    SharedPath realPath_;
    bool pathIsReal_ = false;
    bool heldAgainstDelete_ = false;
    dev_t heldDevice_ = 0;
    ino_t heldInode_ = 0;
};

inline const ListedEntry* OpenDirectory::unchanged(const std::string& name,
                                                   const struct stat& st) const {
    auto it = entries.find(name);
    if (it == entries.end() || it->second.inode != st.st_ino || device != st.st_dev ||
        it->second.changed.tv_sec != st.st_ctim.tv_sec ||
        it->second.changed.tv_nsec != st.st_ctim.tv_nsec) {
        return nullptr;
    }
    // A change within the same tick as the listing would keep the change time.
    constexpr std::int64_t tick = 20000000;
    std::int64_t age = (listedAt.tv_sec - st.st_ctim.tv_sec) * 1000000000LL +
                       (listedAt.tv_nsec - st.st_ctim.tv_nsec);
    return age >= tick ? &it->second : nullptr;
}

// The file object behind a handle, or null (last error ERROR_INVALID_HANDLE) when the handle
// is not an open file or directory.
std::shared_ptr<FileObject> fileObjectOf(Handle handle);

// The descriptor behind a file or directory handle, -1 (last error ERROR_INVALID_HANDLE) when
// there is none. Valid while the handle stays open.
int fileDescriptorOf(Handle handle);

}  // namespace Platform::Posix
