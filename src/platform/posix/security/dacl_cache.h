// The cache of the directories' effective DACLs, with the state of the security store for the
// current host (dacl_cache.cpp). POSIX only.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>

#include "platform/dtyp/acl.h"
#include "platform/posix/filesystem/pathmap.h"
#include "platform/posix/security/change_log.h"

namespace Platform::Posix::ObjectSecurity {

// A directory's identity and times: an entry of the cache holds while they are the same.
struct FileStamp {
    DirKey key;
    timespec changed{};
    timespec modified{};

    static FileStamp of(const struct stat& st) { return {DirKey::of(st), st.st_ctim, st.st_mtim}; }
    bool operator==(const FileStamp& o) const {
        return key == o.key && changed.tv_sec == o.changed.tv_sec &&
               changed.tv_nsec == o.changed.tv_nsec && modified.tv_sec == o.modified.tv_sec &&
               modified.tv_nsec == o.modified.tv_nsec;
    }
};

// What a directory passes on: its effective DACL, or nothing (a NULL DACL or none).
using Inheritable = std::shared_ptr<const std::optional<Dtyp::Acl>>;

// A directory's inheritable DACL with the serial number of the cache entry that holds it;
// 0 when it is not cached.
struct Passed {
    Inheritable dacl;
    std::uint64_t serial = 0;
};

// The store's state for the current host; every call into the store holds its lock throughout.
//
// The effective DACLs of directories are cached by the directory's identity. An entry is
// used only while the directory's times match (its own xattr written by anyone changes its
// change time) and, for a directory that inherits, while the entry of its parent it was
// computed from is still there: writing a directory's descriptor removes that directory's
// entry in every process (through the change log), and with it the validity of everything
// below, and nothing else. The cache keeps the directories used last.
class Store {
public:
    static Store& instance();
    std::mutex& lock() { return lock_; }

    // Follows the host of the moment (TAVREL_HOST may change between calls, in tests) and
    // drops what another process or a changed drive mapping made stale. `onHandle`: a call on
    // a handle (or an open), which the walk makes by the thousand. False with the last error
    // when there is no host.
    bool refresh(bool onHandle = false);

    // Whether a directory is a drive root (or "/"), which inherits nothing.
    bool isRoot(const struct stat& directory) const;

    // The cached inheritable DACL of a directory, if still valid for `stamp`.
    Passed cached(const FileStamp& stamp);
    // Remembers a directory's inheritable DACL; `parent` and `parentSerial` name the entry it
    // was computed from when it inherits.
    std::uint64_t remember(const FileStamp& stamp, Inheritable dacl, bool inherits,
                           const DirKey& parent, std::uint64_t parentSerial);

    // A directory's descriptor changed, or it moved: this process forgets it (and so what
    // lies below) at once, the others at their next call.
    void invalidate(const DirKey& key);
    // A descriptor was written by this process: `object` the stat of what was written (its
    // device and inode), null when not known, which makes every handle's read stale.
    void noteWrite(const struct stat* object);

    // What a handle's read depended on, to tell later whether it still holds.
    struct ReadStamp {
        std::uint64_t foreignWrites = 0;  // other processes' writes, as the log counts them
        std::uint64_t forgotten = 0;      // directories this process forgot
        std::uint64_t ownWrites = 0;      // this process's writes
        std::uint64_t untracked = 0;      // own writes whose object was not recorded
        std::optional<DirKey> object;
    };
    ReadStamp stampRead(const struct stat* object) const;
    // Whether a read made at `stamp` still holds: the object's own descriptor, and with
    // `inherited` what it inherits too. Another process's write makes every read stale, and
    // this process's writes the reads of what they wrote (a directory's write also forgets
    // the directory, which what lies below inherits from).
    bool stillHolds(const ReadStamp& stamp, bool inherited) const;
    // Changes whenever this process forgets a directory.
    std::uint64_t forgotten() const { return forgotten_; }
    // Whether handles may keep what they read at all (the log tells them of writes).
    bool shared() const { return log_ && log_->usable(); }

    std::size_t cachedDirectories() const { return dirs_.size(); }
    void setBound(std::size_t bound);

private:
    struct Entry {
        FileStamp stamp;
        Inheritable dacl;
        bool inherits;
        DirKey parent;
        std::uint64_t parentSerial;
        std::uint64_t serial;
        std::uint64_t checkedAt;
        std::list<DirKey>::iterator position;
    };
    static constexpr std::size_t MaxCachedDirectories = 8192;
    static constexpr std::int64_t SettledNanoseconds = 20000000;
    static constexpr std::int64_t LogCheckNanoseconds = 100000000;

    // Whether to look at the log's file now: on every call by name, and on calls on handles
    // once per interval (a clock read that costs no system call).
    bool logCheckDue(bool onHandle);
    void forget(const DirKey& key);
    void forgetAll();

    std::mutex lock_;
    std::shared_ptr<const std::filesystem::path> host_;
    std::unique_ptr<ChangeLog> log_;
    std::uint64_t seen_ = 0;
    std::int64_t logCheckedAt_ = 0;
    DirKey rootKey_;
    std::shared_ptr<const DriveMap> drives_ = std::make_shared<const DriveMap>();
    std::uint64_t drivesVersion_ = 0;
    std::unordered_map<DirKey, Entry, DirKeyHash> dirs_;
    std::list<DirKey> order_;  // most recently used first
    std::uint64_t serials_ = 0;
    std::uint64_t forgotten_ = 0;
    std::size_t bound_ = MaxCachedDirectories;
    // This process's writes: how many the log counted, how many in all, the last one to each
    // object written (a bounded record: dropping it counts as an untracked write).
    static constexpr std::size_t MaxTrackedWrites = 4096;
    std::uint64_t ownLogged_ = 0;
    std::uint64_t ownWrites_ = 0;
    std::uint64_t untracked_ = 0;
    std::unordered_map<DirKey, std::uint64_t, DirKeyHash> lastOwnWrite_;
};

}  // namespace Platform::Posix::ObjectSecurity
