// The NTFS security store of the emulated host. Each object keeps its own part of its security
// descriptor in the xattr user.tavrel.sd (owner, group, the DACL's control flags and explicit
// ACEs, as a self-relative SECURITY_DESCRIPTOR of MS-DTYP 2.4.6); what it inherits is computed
// on every read from its parent's effective DACL (MS-DTYP 2.5.3.4), so a DACL written on a
// directory reaches the whole unprotected subtree at once, as SetSecurityInfo's propagation
// does on Windows.
//
// - No xattr: the descriptor of an object created under its parent (owner Administrators,
//   group SYSTEM, unprotected, no explicit ACE), or on a drive root (the directory a
//   dosdevices link points to, and "/") the DACL of a fresh Windows C:\. Nothing above a drive
//   root is inherited. Writing the default removes the xattr: most objects carry none.
// - Equal descriptors are equal bytes (header, owner, group, DACL, revision 2 unless an ACE
//   type needs more) and a write that changes nothing writes nothing, so that xattr blocks
//   are shared and never rewritten for nothing.
// - Symbolic links cannot carry user.* xattrs on Linux. A link's descriptor is therefore always
//   the default one of an object of its directory; writing a descriptor that equals it
//   succeeds, any other fails with ERROR_NOT_SUPPORTED (50).
// - Handle-based reads and writes use the handle's descriptor (fgetxattr/fsetxattr), never the
//   path again; the rights were checked when the handle was opened (createFile).
// - By-name calls check the caller's rights at call time, with backup intent: an enabled
//   SeBackupPrivilege lets them read and an enabled SeRestorePrivilege lets them write any
//   descriptor, as SetNamedSecurityInfoW does for a backup operator.
// - SACLs are not kept: asking for one is ERROR_PRIVILEGE_NOT_HELD (1314), as for a token
//   without SeSecurityPrivilege, which no token here holds.
//
// Reading an object's DACL needs its parent's effective DACL, and that one its parent's: the
// effective DACLs of directories are cached by device and inode, each entry checked against
// the directory's times and the entry of the parent it was computed from (see Store). A
// descriptor write to a directory (by any process of the host) or a directory move is
// published in `<host>/security.changes`, and each process forgets that directory and what
// lies below it, nothing else. A handle keeps what its open read until any descriptor of the
// host is written.
#include "platform/posix/security/object_security.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "platform/dtyp/access_check.h"
#include "platform/dtyp/inheritance.h"
#include "platform/dtyp/security_descriptor.h"
#include "platform/posix/accounts/token.h"
#include "platform/posix/faults/faults.h"
#include "platform/posix/filesystem/filehandle.h"
#include "platform/posix/filesystem/pathmap.h"
#include "platform/posix/host/errors.h"
#include "platform/posix/host/host.h"
#include "platform/posix/host/unique_fd.h"
#include "platform/security.h"
#include "platform/text.h"

namespace Platform {
namespace {

namespace fs = std::filesystem;
using namespace Dtyp;
using Posix::failWith;
using Posix::winErrorFromErrno;

constexpr std::uint32_t ErrorFileCorrupt = 1392;
constexpr std::uint32_t ErrorPrivilegeNotHeld = 1314;

// Rights that an open gets without the object's DACL saying so: SYNCHRONIZE guards nothing of
// a file's, and FILE_READ_ATTRIBUTES and DELETE may come from the parent's FILE_LIST_DIRECTORY
// and FILE_DELETE_CHILD, which this host does not look at.
constexpr std::uint32_t UncheckedRights =
    Access::Synchronize | Access::FileReadAttributes | Access::Delete;

constexpr std::uint32_t ObjectParts =
    SecurityInformation::Owner | SecurityInformation::Group | SecurityInformation::Dacl;
constexpr std::uint32_t SaclParts = SecurityInformation::Sacl | SecurityInformation::ProtectedSacl |
                                    SecurityInformation::UnprotectedSacl;

// The descriptor of an object without the xattr.
SecurityDescriptor defaultDescriptor(bool driveRoot) {
    SecurityDescriptor sd;
    sd.owner = WellKnownSid::builtinAdministrators();
    sd.group = WellKnownSid::localSystem();
    sd.control = Control::DaclPresent | Control::DaclAutoInherited;
    Acl dacl;
    if (driveRoot) {
        // A fresh Windows C:\: administrators and SYSTEM full control, users read and
        // execute, the creator of anything below full control of it; all inheritable.
        sd.control |= Control::DaclProtected;
        const std::uint8_t inherit = AceFlag::ObjectInherit | AceFlag::ContainerInherit;
        auto allow = [&](std::uint8_t flags, std::uint32_t mask, Sid sid) {
            Ace ace;
            ace.flags = flags;
            ace.mask = mask;
            ace.sid = std::move(sid);
            dacl.aces.push_back(std::move(ace));
        };
        allow(inherit, Access::FileAllAccess, WellKnownSid::builtinAdministrators());
        allow(inherit, Access::FileAllAccess, WellKnownSid::localSystem());
        allow(inherit, Access::FileGenericRead | Access::FileExecute, WellKnownSid::builtinUsers());
        allow(inherit | AceFlag::InheritOnly, Access::GenericAll, WellKnownSid::creatorOwner());
    }
    sd.setDacl(std::move(dacl));
    return sd;
}

// An object whose descriptor is read or written.
struct Object {
    std::string path;  // how it was reached; for a link itself, the link's path
    int fd = -1;       // the handle's descriptor; -1 when reached by name
    bool container = false;
    bool link = false;  // a symbolic link itself: no xattr of its own
    bool root = false;  // a drive root (or "/"): inherits nothing
    // The directory being searched that it was opened in, if any: its parent, as long as
    // that directory's entries did not change since they were read.
    std::shared_ptr<const Posix::OpenDirectory> searched;
    // Whether its xattr is known to be absent: the search it was opened through saw none, and
    // its change time (which every xattr write moves) has not moved since.
    bool knownDefault = false;
};

// What the xattr holds: the bytes, if any, and the stored descriptor (the default without).
struct Stored {
    bool present = false;
    std::vector<std::uint8_t> bytes;
    SecurityDescriptor sd;
};

std::string parentOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? std::string("/") : path.substr(0, slash);
}

// A directory by identity: what the cache and the change log know it by, so that every path
// leading to it (through links, or after a rename) finds the same entry.
struct DirKey {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const DirKey&) const = default;
    static DirKey of(const struct stat& st) { return {st.st_dev, st.st_ino}; }
};
struct DirKeyHash {
    std::size_t operator()(const DirKey& key) const {
        return std::hash<std::uint64_t>()(static_cast<std::uint64_t>(key.inode) * 31 +
                                          static_cast<std::uint64_t>(key.device));
    }
};

// The directories whose descriptor was written, told to every process of the host through
// `<host>/security.changes`: a count of all descriptor writes, the sequence number of the
// last directory change, and a ring of the last directories changed. A process more than a
// ring behind, or one that finds a slot overwritten while it reads, forgets everything
// instead; a writer publishes after its write, so a reader never keeps what predates it.
class ChangeLog {
public:
    static constexpr std::uint64_t Slots = 1024;

    explicit ChangeLog(const fs::path& file) {
        Posix::UniqueFd fd(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        struct stat st;
        if (!fd || ::fstat(fd.get(), &st) != 0) {
            return;
        }
        // Two processes extending a new file at once both make it zeros. The blocks are
        // allocated, not left sparse: a mapped page without one would kill the process with
        // SIGBUS on a full disk, where allocating fails here and the host goes without the log.
        if (::posix_fallocate(fd.get(), 0, sizeof(Shared)) != 0) {
            return;
        }
        void* p = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
        if (p != MAP_FAILED) {
            shared_ = static_cast<Shared*>(p);
            fd_ = std::move(fd);
        }
    }
    ~ChangeLog() {
        if (shared_) {
            ::munmap(shared_, sizeof(Shared));
        }
    }
    ChangeLog(const ChangeLog&) = delete;
    ChangeLog& operator=(const ChangeLog&) = delete;

    bool usable() const { return shared_ != nullptr; }
    // Whether the mapping still lies within the file: a page that another process cut off
    // the end would kill this one with SIGBUS when touched, and a file removed or replaced
    // no longer reaches the other processes.
    bool intact() const {
        struct stat st;
        return ::fstat(fd_.get(), &st) == 0 && st.st_size >= static_cast<off_t>(sizeof(Shared)) &&
               st.st_nlink > 0;
    }
    std::uint64_t writes() const { return atomic(shared_->writes).load(); }
    std::uint64_t head() const { return atomic(shared_->head).load(); }

    void noteWrite() { atomic(shared_->writes).fetch_add(1); }
    void publish(const DirKey& key) {
        std::uint64_t sequence = atomic(shared_->head).fetch_add(1) + 1;
        Slot& slot = shared_->slots[sequence % Slots];
        atomic(slot.sequence).store(0);
        atomic(slot.device).store(static_cast<std::uint64_t>(key.device));
        atomic(slot.inode).store(static_cast<std::uint64_t>(key.inode));
        atomic(slot.sequence).store(sequence);
        noteWrite();
    }
    // The directory changed as `sequence` (1-based), if the ring still holds it whole.
    std::optional<DirKey> at(std::uint64_t sequence) const {
        Slot& slot = shared_->slots[sequence % Slots];
        if (atomic(slot.sequence).load() != sequence) {
            return std::nullopt;
        }
        DirKey key{static_cast<dev_t>(atomic(slot.device).load()),
                   static_cast<ino_t>(atomic(slot.inode).load())};
        if (atomic(slot.sequence).load() != sequence) {
            return std::nullopt;
        }
        return key;
    }

private:
    struct Slot {
        std::uint64_t sequence;
        std::uint64_t device;
        std::uint64_t inode;
    };
    struct Shared {
        std::uint64_t writes;
        std::uint64_t head;
        Slot slots[Slots];
    };
    static std::atomic_ref<std::uint64_t> atomic(std::uint64_t& value) {
        return std::atomic_ref<std::uint64_t>(value);
    }

    Shared* shared_ = nullptr;
    Posix::UniqueFd fd_;
};

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
using Inheritable = std::shared_ptr<const std::optional<Acl>>;

// A directory's inheritable DACL with the serial number of the cache entry that holds it;
// 0 when it is not cached.
struct Passed {
    Inheritable dacl;
    std::uint64_t serial = 0;
};

// The store's state for the current host; every call of this file holds its lock throughout.
//
// The effective DACLs of directories are cached by the directory's identity. An entry is
// used only while the directory's times match (its own xattr written by anyone changes its
// change time) and, for a directory that inherits, while the entry of its parent it was
// computed from is still there: writing a directory's descriptor removes that directory's
// entry in every process (through the change log), and with it the validity of everything
// below, and nothing else. The cache keeps the directories used last.
class Store {
public:
    static Store& instance() {
        static Store store;
        return store;
    }
    std::mutex& lock() { return lock_; }

    // Follows the host of the moment (TAVREL_HOST may change between calls, in tests) and
    // drops what another process or a changed drive mapping made stale. `onHandle`: a call on
    // a handle (or an open), which the walk makes by the thousand.
    bool refresh(bool onHandle = false) {
        std::shared_ptr<const fs::path> host;
        try {
            host = Posix::currentHost();
        } catch (const std::exception&) {
            return failWith(WinError::PathNotFound);
        }
        bool hostChanged = host != host_;
        // A log cut short or removed under this process is opened and made whole again, and
        // everything cached forgotten, for what it said is gone. Only a damaged host has such
        // a log: a call by name looks every time, a call on a handle once in a while.
        if (hostChanged || (log_->usable() && logCheckDue(onHandle) && !log_->intact())) {
            log_ = std::make_unique<ChangeLog>(*host / "security.changes");
            seen_ = log_->usable() ? log_->head() : 0;
            forgetAll();
        }
        if (hostChanged) {
            host_ = host;
            struct stat st;
            rootKey_ = ::stat("/", &st) == 0 ? DirKey::of(st) : DirKey{};
        }
        if (log_->usable()) {
            std::uint64_t head = log_->head();
            if (head - seen_ > ChangeLog::Slots) {
                forgetAll();
            } else {
                for (std::uint64_t sequence = seen_ + 1; sequence <= head; ++sequence) {
                    if (auto key = log_->at(sequence)) {
                        forget(*key);
                    } else {
                        forgetAll();
                        break;
                    }
                }
            }
            seen_ = head;
        }
        // Every call that names an object translated its path just before, which looked at
        // dosdevices; a call on a handle goes by the drives its open saw.
        drives_ = hostChanged ? Posix::currentDrives() : Posix::latestDrives();
        if (drives_->version != drivesVersion_) {
            drivesVersion_ = drives_->version;
            forgetAll();
        }
        return true;
    }

    bool isRoot(const struct stat& directory) const {
        DirKey key = DirKey::of(directory);
        if (key == rootKey_) {
            return true;
        }
        for (const auto& drive : drives_->drives) {
            if (drive.device == key.device && drive.inode == key.inode) {
                return true;
            }
        }
        return false;
    }

    // The cached inheritable DACL of a directory, if still valid for `stamp`.
    Passed cached(const FileStamp& stamp) {
        auto it = dirs_.find(stamp.key);
        if (it == dirs_.end()) {
            return {};
        }
        if (!(it->second.stamp == stamp)) {
            // Written or moved behind the log's back: gone, and what was computed from it.
            forget(stamp.key);
            return {};
        }
        Entry& entry = it->second;
        if (entry.checkedAt != forgotten_) {
            // Something was forgotten since the last look: the chain up to where the DACL
            // stops inheriting must still be the one it was computed from.
            const Entry* link = &entry;
            while (link->inherits) {
                auto parent = dirs_.find(link->parent);
                if (parent == dirs_.end() || parent->second.serial != link->parentSerial) {
                    order_.erase(entry.position);
                    dirs_.erase(it);
                    return {};
                }
                link = &parent->second;
            }
            entry.checkedAt = forgotten_;
        }
        order_.splice(order_.begin(), order_, entry.position);
        return {entry.dacl, entry.serial};
    }

    // Remembers a directory's inheritable DACL; `parent` and `parentSerial` name the entry it
    // was computed from when it inherits.
    std::uint64_t remember(const FileStamp& stamp, Inheritable dacl, bool inherits,
                           const DirKey& parent, std::uint64_t parentSerial) {
        if (!log_ || !log_->usable() || (inherits && parentSerial == 0)) {
            return 0;  // without the log another process's write would go unseen
        }
        // A directory changed within the file system's clock tick could change again, or be
        // replaced by one with the same inode number, without its times telling.
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
        std::int64_t age = (now.tv_sec - stamp.changed.tv_sec) * 1000000000LL +
                           (now.tv_nsec - stamp.changed.tv_nsec);
        if (age < SettledNanoseconds) {
            return 0;
        }
        if (dirs_.count(stamp.key)) {
            forget(stamp.key);
        }
        // A walk needs the chain of directories above where it is; a bound keeps a walk over
        // a huge tree from holding every directory it passed.
        while (dirs_.size() >= bound_) {
            dirs_.erase(order_.back());
            order_.pop_back();
        }
        order_.push_front(stamp.key);
        std::uint64_t serial = ++serials_;
        dirs_.emplace(stamp.key, Entry{stamp, std::move(dacl), inherits, parent, parentSerial,
                                       serial, forgotten_, order_.begin()});
        return serial;
    }

    // A directory's descriptor changed, or it moved: this process forgets it (and so what
    // lies below) at once, the others at their next call.
    void invalidate(const DirKey& key) {
        forget(key);
        if (log_ && log_->usable()) {
            log_->publish(key);
            seen_ = log_->head() > seen_ + 1 ? seen_ : log_->head();
        }
    }
    // Any descriptor was written: what handles read before is stale.
    void noteWrite() {
        if (log_ && log_->usable()) {
            log_->noteWrite();
        }
    }

    // A stamp for what handles keep: it changes with every descriptor write of the host and
    // whenever this process forgets a directory.
    std::pair<std::uint64_t, std::uint64_t> epoch() const {
        return {log_ && log_->usable() ? log_->writes() : 0, forgotten_};
    }
    // Whether handles may keep what they read at all (the log tells them of writes).
    bool shared() const { return log_ && log_->usable(); }

    std::size_t cachedDirectories() const { return dirs_.size(); }
    void setBound(std::size_t bound) {
        bound_ = bound ? bound : MaxCachedDirectories;
        while (dirs_.size() > bound_) {
            dirs_.erase(order_.back());
            order_.pop_back();
        }
    }

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
    bool logCheckDue(bool onHandle) {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
        std::int64_t at = now.tv_sec * 1000000000LL + now.tv_nsec;
        if (onHandle && at - logCheckedAt_ < LogCheckNanoseconds) {
            return false;
        }
        logCheckedAt_ = at;
        return true;
    }

    void forget(const DirKey& key) {
        if (auto it = dirs_.find(key); it != dirs_.end()) {
            order_.erase(it->second.position);
            dirs_.erase(it);
        }
        ++forgotten_;
    }
    void forgetAll() {
        dirs_.clear();
        order_.clear();
        ++forgotten_;
    }

    std::mutex lock_;
    std::shared_ptr<const fs::path> host_;
    std::unique_ptr<ChangeLog> log_;
    std::uint64_t seen_ = 0;
    std::int64_t logCheckedAt_ = 0;
    DirKey rootKey_;
    std::shared_ptr<const Posix::DriveMap> drives_ = std::make_shared<const Posix::DriveMap>();
    std::uint64_t drivesVersion_ = 0;
    std::unordered_map<DirKey, Entry, DirKeyHash> dirs_;
    std::list<DirKey> order_;  // most recently used first
    std::uint64_t serials_ = 0;
    std::uint64_t forgotten_ = 0;
    std::size_t bound_ = MaxCachedDirectories;
};

// The Windows code of a failed xattr write: the file system's refusals of the value as such
// get codes that say so.
std::uint32_t xattrWriteError(int error) {
    switch (error) {
        case E2BIG:
        case ENOSPC:
        case EDQUOT:
            return WinError::DiskFull;
        case ENOTSUP:
            return WinError::NotSupported;
        case EROFS:
            return WinError::WriteProtect;
        default:
            return winErrorFromErrno(error);
    }
}

// Room for every descriptor of a usual size: one read gets it; a larger one is asked for its
// size first.
constexpr std::size_t UsualDescriptorSize = 1024;

Result<Stored> readStored(const Object& object) {
    Stored stored;
    stored.sd = defaultDescriptor(object.root);
    if (object.link || object.knownDefault) {
        return stored;
    }
    const char* name = Posix::SecurityDescriptorXattr;
    auto get = [&](void* buffer, std::size_t size) {
        // By name the object is what the path leads to: a link there is followed.
        if (object.fd < 0) {
            return ::getxattr(object.path.c_str(), name, buffer, size);
        }
        ssize_t result = ::fgetxattr(object.fd, name, buffer, size);
        if (result < 0 && errno == EBADF) {
            // A directory that may be passed but not read is held by an O_PATH descriptor,
            // whose xattrs only its /proc link reaches.
            std::string link = "/proc/self/fd/" + std::to_string(object.fd);
            result = ::getxattr(link.c_str(), name, buffer, size);
        }
        return result;
    };
    std::uint8_t usual[UsualDescriptorSize];
    ssize_t size = get(usual, sizeof(usual));
    if (size >= 0) {
        stored.bytes.assign(usual, usual + size);
    }
    for (int attempt = 0; attempt < 4 && size < 0 && errno == ERANGE; ++attempt) {
        size = get(nullptr, 0);
        if (size >= 0) {
            stored.bytes.resize(static_cast<std::size_t>(size));
            size = get(stored.bytes.data(), stored.bytes.size());
        }
    }
    if (size < 0 && (errno == ENODATA || errno == ENOTSUP)) {
        // No descriptor, or a file system without xattrs, where all is default.
        return stored;
    }
    if (size < 0 && errno == ERANGE) {
        return Failure{WinError::InternalError,
                       L"the security descriptor of " + fromUtf8(object.path) + L" keeps changing"};
    }
    if (size < 0) {
        return Failure{winErrorFromErrno(errno),
                       L"cannot read the security descriptor of " + fromUtf8(object.path)};
    }
    stored.bytes.resize(static_cast<std::size_t>(size));
    auto sd = decodeSecurityDescriptor(stored.bytes);
    if (!sd) {
        std::wstring shown;
        if (!Posix::realPosixToWindows(object.path, shown)) {
            shown = fromUtf8(object.path);
        }
        return Failure{ErrorFileCorrupt,
                       L"the security descriptor of " + shown + L" is corrupt: " + sd.message()};
    }
    stored.present = true;
    stored.sd = std::move(sd).value();
    return stored;
}

bool inheritsFrom(const SecurityDescriptor& sd, bool root) {
    return sd.hasDacl() && sd.dacl && !sd.isDaclProtected() && !root;
}

// The stored DACL with what it inherits from `parent` appended.
SecurityDescriptor withInherited(const SecurityDescriptor& stored, bool container,
                                 const Inheritable& parent) {
    SecurityDescriptor sd = stored;
    const std::optional<Acl>& parentDacl = *parent;
    sd.dacl = effectiveDacl(*sd.dacl, false, parentDacl ? &*parentDacl : nullptr, container,
                            sd.owner.value_or(WellKnownSid::builtinAdministrators()),
                            sd.group.value_or(WellKnownSid::localSystem()));
    return sd;
}

// A directory to read the descriptor of, or only to pass through when it may not be read.
int openDirectory(int at, const char* path) {
    int fd = ::openat(at, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd >= 0 || errno != EACCES ? fd : ::openat(at, path, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

Inheritable nothingPassed() {
    static Inheritable none = std::make_shared<const std::optional<Acl>>();
    return none;
}

// What the directory open at `fd` (described by `st`) passes on, through the cache; its
// parent is reached through "..", so that links and renames on the way do not matter.
Result<Passed> passedBy(Store& store, int fd, const struct stat& st, const std::string& path,
                        int depth) {
    FileStamp stamp = FileStamp::of(st);
    if (Passed hit = store.cached(stamp); hit.dacl) {
        return hit;
    }
    bool root = store.isRoot(st) || depth > 4096;
    auto stored = readStored(Object{path, fd, true, false, root});
    if (!stored) {
        return stored.failure();
    }
    SecurityDescriptor sd = std::move(stored->sd);
    DirKey parentKey;
    std::uint64_t parentSerial = 0;
    bool inherits = inheritsFrom(sd, root);
    if (inherits) {
        Posix::UniqueFd parent(openDirectory(fd, ".."));
        struct stat parentStat;
        if (!parent || ::fstat(parent.get(), &parentStat) != 0) {
            return Failure{winErrorFromErrno(errno), fromUtf8(path) + L"\\.."};
        }
        auto passed = passedBy(store, parent.get(), parentStat, path + "/..", depth + 1);
        if (!passed) {
            return passed.failure();
        }
        parentKey = DirKey::of(parentStat);
        parentSerial = passed->serial;
        sd = withInherited(sd, true, passed->dacl);
    }
    auto dacl = std::make_shared<const std::optional<Acl>>(sd.hasDacl() ? sd.dacl : std::nullopt);
    // Stamped with what fstat saw before the read: a change since then misses the next time.
    std::uint64_t serial = store.remember(stamp, dacl, inherits, parentKey, parentSerial);
    return Passed{std::move(dacl), serial};
}

// What the directory at `dir` passes on: one stat when it is cached.
Result<Inheritable> inheritableOf(Store& store, const std::string& dir) {
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        // A parent gone (the object was deleted or moved while open) gives nothing.
        return nothingPassed();
    }
    if (Passed hit = store.cached(FileStamp::of(st)); hit.dacl) {
        return hit.dacl;
    }
    Posix::UniqueFd fd(openDirectory(AT_FDCWD, dir.c_str()));
    if (!fd || ::fstat(fd.get(), &st) != 0) {
        return nothingPassed();  // gone since the stat
    }
    auto passed = passedBy(store, fd.get(), st, dir, 0);
    if (!passed) {
        return passed.failure();
    }
    return passed->dacl;
}

}  // namespace

namespace Posix {

// What a directory being searched passes on to its entries, with the store's count of
// forgettings when it was found: its entries ask for it one after the other, and it holds until
// this process forgets a directory (a directory's descriptor written here or, through the
// change log, by another process, or a directory moved).
struct SearchedSecurity {
    Inheritable dacl;
    std::uint64_t forgotten;
};

}  // namespace Posix

namespace {

// What the directory being searched passes on, or null when its entries changed since they
// were read (the object may no longer be one of them).
Result<Inheritable> passedBySearched(Store& store, const Posix::OpenDirectory& searched) {
    if (searched.security && searched.security->forgotten == store.epoch().second) {
        return searched.security->dacl;
    }
    struct stat st;
    if (::fstat(searched.fd(), &st) != 0 || st.st_mtim.tv_sec != searched.modified.tv_sec ||
        st.st_mtim.tv_nsec != searched.modified.tv_nsec) {
        return Inheritable();
    }
    auto passed = passedBy(store, searched.fd(), st, searched.path, 0);
    if (!passed) {
        return passed.failure();
    }
    if (store.shared()) {
        searched.security = std::make_shared<Posix::SearchedSecurity>(
            Posix::SearchedSecurity{passed->dacl, store.epoch().second});
    }
    return passed->dacl;
}

// The descriptor as a reader sees it: the stored one with the inherited ACEs appended.
Result<SecurityDescriptor> effective(Store& store, const Object& object, const Stored& stored) {
    if (!inheritsFrom(stored.sd, object.root)) {
        return stored.sd;
    }
    if (object.searched) {
        auto passed = passedBySearched(store, *object.searched);
        if (!passed) {
            return passed.failure();
        }
        if (*passed) {
            return withInherited(stored.sd, object.container, *passed);
        }
    }
    auto parent = inheritableOf(store, parentOf(object.path));
    if (!parent) {
        return parent.failure();
    }
    return withInherited(stored.sd, object.container, *parent);
}

// The object a POSIX path names: what it points to, or the link itself when asked.
Result<Object> objectAt(Store& store, const std::string& posixPath, bool linkItself) {
    struct stat st;
    if (::lstat(posixPath.c_str(), &st) != 0) {
        return Failure{winErrorFromErrno(errno), fromUtf8(posixPath)};
    }
    if (S_ISLNK(st.st_mode) && linkItself) {
        struct stat target;
        bool directory = ::stat(posixPath.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
        return Object{posixPath, -1, directory, true, false};
    }
    if (S_ISLNK(st.st_mode) && ::stat(posixPath.c_str(), &st) != 0) {
        return Failure{winErrorFromErrno(errno), fromUtf8(posixPath)};
    }
    bool directory = S_ISDIR(st.st_mode);
    return Object{posixPath, -1, directory, false, directory && store.isRoot(st)};
}

Result<Object> objectByName(Store& store, const std::wstring& name) {
    std::string posix;
    if (!Posix::windowsToPosix(name, posix)) {
        return Failure{getLastError(), name};
    }
    auto object = objectAt(store, posix, false);
    if (!object && object.error() == WinError::FileNotFound) {
        // As Windows tells a missing object from a missing directory on the way.
        struct stat st;
        bool parentThere = ::stat(parentOf(posix).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        return Failure{parentThere ? WinError::FileNotFound : WinError::PathNotFound, name};
    }
    return object;
}

// The object behind a handle: its own xattr through the descriptor, what it inherits from
// the directory it was opened in.
Result<Object> objectOfHandle(Store& store, const Posix::FileObject& file) {
    bool link = file.isLinkItself();
    bool root = false;
    if (!link && file.isDirectory()) {
        struct stat st;
        if (::fstat(file.fd(), &st) != 0) {
            return Failure{winErrorFromErrno(errno), L"handle"};
        }
        root = store.isRoot(st);
    }
    Object object{file.path(), link ? -1 : file.fd(), file.isDirectory(), link,
                  root,        file.searched};
    const struct stat* opened = file.openedStat();
    if (file.searched && opened && !link && !file.securityRead) {
        const std::string& path = file.path();
        const Posix::ListedEntry* listed =
            file.searched->unchanged(path.substr(path.rfind('/') + 1), *opened);
        object.knownDefault = listed && !listed->securityStored;
    }
    return object;
}

// The parts of `sd` that `information` asks for.
Result<std::vector<std::uint8_t>> partsOf(const SecurityDescriptor& sd, std::uint32_t information) {
    SecurityDescriptor out;
    if (information & SecurityInformation::Owner) {
        out.owner = sd.owner;
    }
    if (information & SecurityInformation::Group) {
        out.group = sd.group;
    }
    if (information & SecurityInformation::Dacl) {
        out.control = sd.control &
                      (Control::DaclPresent | Control::DaclProtected | Control::DaclAutoInherited);
        out.dacl = sd.dacl;
    }
    return encodeSecurityDescriptor(out);
}

// What a SetSecurityInfo call asks for, read from the caller's buffers.
struct Change {
    std::uint32_t information = 0;
    std::optional<Sid> owner;
    std::optional<Sid> group;
    std::optional<Acl> dacl;  // nothing with the DACL bit: a NULL DACL
};

std::uint32_t readChange(std::uint32_t information, const std::uint8_t* owner,
                         const std::uint8_t* group, const std::uint8_t* dacl, Change& change) {
    change.information = information;
    if ((information & SecurityInformation::ProtectedDacl) &&
        (information & SecurityInformation::UnprotectedDacl)) {
        return WinError::InvalidParameter;
    }
    auto sidAt = [](const std::uint8_t* bytes, std::optional<Sid>& sid) {
        if (!bytes) {
            return WinError::InvalidParameter;
        }
        if (!isValidSid(bytes)) {
            return WinError::InvalidSid;
        }
        auto parsed = Sid::fromBytes({bytes, getLengthSid(bytes)});
        if (!parsed) {
            return WinError::InvalidSid;
        }
        sid = *parsed;
        return WinError::Success;
    };
    if (information & SecurityInformation::Owner) {
        if (std::uint32_t error = sidAt(owner, change.owner)) {
            return error;
        }
    }
    if (information & SecurityInformation::Group) {
        if (std::uint32_t error = sidAt(group, change.group)) {
            return error;
        }
    }
    if ((information & SecurityInformation::Dacl) && dacl) {
        // The ACL header says how long the ACL is (AclSize, bytes 2 and 3).
        std::size_t size = static_cast<std::size_t>(dacl[2] | (dacl[3] << 8));
        auto acl = decodeAcl({dacl, size});
        if (!acl) {
            return WinError::InvalidAcl;
        }
        change.dacl = std::move(acl).value();
    }
    return WinError::Success;
}

// The stored descriptor after `change`.
SecurityDescriptor applied(const SecurityDescriptor& current, const Change& change) {
    SecurityDescriptor next = current;
    if (change.information & SecurityInformation::Owner) {
        next.owner = change.owner;
    }
    if (change.information & SecurityInformation::Group) {
        next.group = change.group;
    }
    if (change.information & SecurityInformation::Dacl) {
        bool protect = (change.information & SecurityInformation::ProtectedDacl) ? true
                       : (change.information & SecurityInformation::UnprotectedDacl)
                           ? false
                           : current.isDaclProtected();
        // SetSecurityInfo writes auto-inherited descriptors: the inherited part is the
        // parent's business and comes again from there.
        next.control = Control::DaclPresent | Control::DaclAutoInherited |
                       (protect ? Control::DaclProtected : 0);
        if (!change.dacl) {
            next.dacl.reset();
        } else {
            Acl acl;  // revision 2 unless an ACE type needs more: equal DACLs, equal bytes
            for (Ace ace : change.dacl->aces) {
                if (ace.flags & AceFlag::Inherited) {
                    if (!protect) {
                        continue;  // recomputed from the parent on every read
                    }
                    // A protected DACL keeps what it inherited as its own ACEs.
                    ace.flags &= static_cast<std::uint8_t>(~AceFlag::Inherited);
                }
                acl.aces.push_back(std::move(ace));
            }
            next.dacl = std::move(acl);
        }
    }
    return next;
}

// The owner a token may set: itself, or Administrators when it is a member (the group that
// Windows marks SE_GROUP_OWNER); anyone with SeRestorePrivilege enabled.
bool mayOwn(const Token& token, const Sid& owner) {
    return token.privilegeEnabled(Privilege::Restore) || owner == token.user ||
           (owner == WellKnownSid::builtinAdministrators() && token.hasSid(owner));
}

int setXattr(const Object& object, const std::vector<std::uint8_t>& bytes) {
    const char* name = Posix::SecurityDescriptorXattr;
    auto set = [&] {
        return object.fd >= 0
                   ? ::fsetxattr(object.fd, name, bytes.data(), bytes.size(), 0)
                   : ::setxattr(object.path.c_str(), name, bytes.data(), bytes.size(), 0);
    };
    int result = set();
    if (result != 0 && errno == EACCES) {
        // user.* xattrs follow the write permission of the file; a read-only file (the DOS
        // attribute lives in the mode) still takes a descriptor on Windows, so its owner lends
        // itself the write bit for the moment.
        struct stat st;
        bool got =
            object.fd >= 0 ? ::fstat(object.fd, &st) == 0 : ::stat(object.path.c_str(), &st) == 0;
        if (got && st.st_uid == ::geteuid() && !(st.st_mode & S_IWUSR) && !S_ISLNK(st.st_mode)) {
            auto chmodTo = [&](mode_t mode) {
                return object.fd >= 0 ? ::fchmod(object.fd, mode)
                                      : ::chmod(object.path.c_str(), mode);
            };
            if (chmodTo((st.st_mode & 07777) | S_IWUSR) == 0) {
                result = set();
                int error = errno;
                chmodTo(st.st_mode & 07777);
                errno = error;
            }
        }
    }
    return result;
}

// Writes what `change` makes of the stored descriptor; nothing when that is what is stored.
std::uint32_t commit(Store& store, const Object& object, const Stored& stored,
                     const Change& change) {
    SecurityDescriptor next = applied(stored.sd, change);
    if (object.link) {
        return next == stored.sd ? WinError::Success : WinError::NotSupported;
    }
    auto bytes = encodeSecurityDescriptor(next);
    if (!bytes) {
        return bytes.error();
    }
    if (std::uint32_t fault =
            Posix::Faults::injected(Posix::Faults::Operation::SetSecurity, object.path)) {
        return fault;
    }
    if (next == defaultDescriptor(object.root)) {
        if (!stored.present) {
            return WinError::Success;
        }
        int result = object.fd >= 0
                         ? ::fremovexattr(object.fd, Posix::SecurityDescriptorXattr)
                         : ::removexattr(object.path.c_str(), Posix::SecurityDescriptorXattr);
        if (result != 0 && errno != ENODATA) {
            return xattrWriteError(errno);
        }
    } else {
        if (stored.present && *bytes == stored.bytes) {
            return WinError::Success;
        }
        // setxattr replaces the value whole or not at all: a refusal leaves the old one.
        if (setXattr(object, *bytes) != 0) {
            return xattrWriteError(errno);
        }
    }
    store.noteWrite();
    if (object.container) {
        struct stat st;
        bool known =
            object.fd >= 0 ? ::fstat(object.fd, &st) == 0 : ::stat(object.path.c_str(), &st) == 0;
        if (known) {
            store.invalidate(DirKey::of(st));
        }
    }
    return WinError::Success;
}

std::uint32_t checkChange(const Change& change, const Token& token);

// A descriptor that cannot be read, the object's own or an ancestor's that it inherits from,
// is no ground for an access check. What repairs it is a write of owner, group and DACL whole,
// by SYSTEM or with the restore privilege, which needs nothing of what was there; anything
// less still fails as corrupt.
std::uint32_t replaceCorrupt(Store& store, const std::wstring& name, const Change& change,
                             const Token& token) {
    constexpr std::uint32_t whole =
        SecurityInformation::Owner | SecurityInformation::Group | SecurityInformation::Dacl;
    bool mayRepair =
        token.user == WellKnownSid::localSystem() || token.privilegeEnabled(Privilege::Restore);
    if ((change.information & whole) != whole || !mayRepair) {
        return ErrorFileCorrupt;
    }
    auto object = objectByName(store, name);
    if (!object) {
        return object.error();
    }
    Stored stored;
    stored.sd = defaultDescriptor(object->root);
    stored.present = true;  // whatever is there goes, even for the default descriptor
    if (auto readable = readStored(*object)) {
        stored = std::move(readable).value();
    }
    if (std::uint32_t error = checkChange(change, token)) {
        return error;
    }
    return commit(store, *object, stored, change);
}

// SetSecurityInfo's checks that do not depend on how the object was reached.
std::uint32_t checkChange(const Change& change, const Token& token) {
    if ((change.information & SecurityInformation::Owner) && !mayOwn(token, *change.owner)) {
        return WinError::InvalidOwner;
    }
    return WinError::Success;
}

std::uint32_t rightsFor(std::uint32_t information) {
    std::uint32_t rights = 0;
    if (information & SecurityInformation::Dacl) {
        rights |= Access::WriteDac;
    }
    if (information & (SecurityInformation::Owner | SecurityInformation::Group)) {
        rights |= Access::WriteOwner;
    }
    return rights;
}

std::shared_ptr<Posix::FileObject> lookupHandleOf(Handle handle) {
    return Posix::lookupHandle<Posix::FileObject>(handle);
}

std::uint32_t currentToken(Token& token) {
    auto current = Posix::currentToken();
    if (!current) {
        return getLastError();
    }
    token = *current;
    return WinError::Success;
}

// What every security call knows of its object once found.
struct Loaded {
    Object object;
    Stored stored;
    SecurityDescriptor effective;
};

// The code of a failed call, with the host's words on it where they name more than the code
// does: a corrupt descriptor is named, which may be an ancestor's.
std::uint32_t reportFailure(const Failure& failure) {
    if (failure.error == ErrorFileCorrupt) {
        Posix::setLastErrorWithDetail(failure.error, failure.message);
    } else {
        setLastError(failure.error);
    }
    return failure.error;
}

Result<Loaded> load(Store& store, Result<Object> object) {
    if (!object) {
        return object.failure();
    }
    auto stored = readStored(*object);
    if (!stored) {
        return stored.failure();
    }
    auto sd = effective(store, *object, *stored);
    if (!sd) {
        return sd.failure();
    }
    return Loaded{std::move(object).value(), std::move(stored).value(), std::move(sd).value()};
}

}  // namespace

namespace Posix {

// What the store read through a handle, kept for the next call on the same handle while no
// descriptor of the host was written and this process forgot nothing: the open's access
// check, the final path and the read of the DACL then cost one xattr read together.
struct HandleSecurity {
    Loaded loaded;
    std::pair<std::uint64_t, std::uint64_t> epoch;
};

}  // namespace Posix

namespace {

Result<const Loaded*> loadHandle(Store& store, Posix::FileObject& file) {
    auto epoch = store.epoch();
    if (file.security && file.security->epoch == epoch) {
        return &file.security->loaded;
    }
    file.security.reset();
    auto loaded = load(store, objectOfHandle(store, file));
    file.securityRead = true;
    if (!loaded) {
        return loaded.failure();
    }
    file.security = std::make_shared<Posix::HandleSecurity>(
        Posix::HandleSecurity{std::move(loaded).value(), epoch});
    const Loaded* kept = &file.security->loaded;
    if (!store.shared()) {
        // Without the log nothing would tell the handle of another process's write.
        static thread_local Loaded last;
        last = std::move(file.security->loaded);
        file.security.reset();
        kept = &last;
    }
    return kept;
}

// The checks of the arguments that every call of the *SecurityInfo family makes first.
std::uint32_t checkRequest(std::uint32_t objectType, std::uint32_t securityInformation) {
    if (objectType != SeFileObject) {
        return WinError::InvalidParameter;
    }
    return (securityInformation & SaclParts) ? ErrorPrivilegeNotHeld : WinError::Success;
}

std::uint32_t output(const SecurityDescriptor& sd, std::uint32_t information,
                     std::vector<std::uint8_t>& descriptor) {
    auto bytes = partsOf(sd, information);
    if (!bytes) {
        return bytes.error();
    }
    descriptor = std::move(bytes).value();
    return WinError::Success;
}

}  // namespace

namespace Posix {

bool checkOpenAccess(const std::string& posixPath, FileObject* file, bool linkItself,
                     std::uint32_t desired, bool backupSemantics, std::uint32_t& granted) {
    bool maximum = (desired & Access::MaximumAllowed) != 0;
    std::uint32_t wanted = mapGenericMask(desired & ~Access::MaximumAllowed);
    std::uint32_t checked = wanted & ~UncheckedRights;
    if (!maximum && checked == 0) {
        granted = wanted;
        return true;
    }
    auto token = currentToken();
    if (!token) {
        return false;
    }
    Store& store = Store::instance();
    std::lock_guard guard(store.lock());
    if (!store.refresh(file != nullptr)) {
        return false;
    }
    std::optional<Loaded> byName;
    const SecurityDescriptor* sd = nullptr;
    if (file) {
        auto loaded = loadHandle(store, *file);
        if (!loaded) {
            reportFailure(loaded.failure());
            return false;
        }
        sd = &(*loaded)->effective;
    } else {
        auto loaded = load(store, objectAt(store, posixPath, linkItself));
        if (!loaded) {
            reportFailure(loaded.failure());
            return false;
        }
        byName = std::move(loaded).value();
        sd = &byName->effective;
    }
    AccessResult result =
        accessCheck(*sd, *token, checked | (maximum ? Access::MaximumAllowed : 0), backupSemantics);
    if (!result.allowed()) {
        return failWith(WinError::AccessDenied);
    }
    granted = result.granted | (wanted & UncheckedRights);
    return true;
}

std::uint32_t creatorAccess(std::uint32_t desired) {
    std::uint32_t wanted = mapGenericMask(desired & ~Access::MaximumAllowed);
    return (desired & Access::MaximumAllowed) ? wanted | Access::FileAllAccess : wanted;
}

std::size_t cachedSecurityDirectories() {
    Store& store = Store::instance();
    std::lock_guard guard(store.lock());
    store.refresh();
    return store.cachedDirectories();
}

void boundSecurityCache(std::size_t directories) {
    Store& store = Store::instance();
    std::lock_guard guard(store.lock());
    store.setBound(directories);
}

void noteDirectoryMoved(const std::string& posixPath) {
    Store& store = Store::instance();
    std::lock_guard guard(store.lock());
    struct stat st;
    if (store.refresh() && ::stat(posixPath.c_str(), &st) == 0) {
        store.invalidate(DirKey::of(st));
    }
}

}  // namespace Posix

std::uint32_t getSecurityInfo(Handle handle, std::uint32_t objectType,
                              std::uint32_t securityInformation,
                              std::vector<std::uint8_t>& descriptor) {
    if (std::uint32_t error = checkRequest(objectType, securityInformation)) {
        return error;
    }
    auto file = lookupHandleOf(handle);
    if (!file) {
        return WinError::InvalidHandle;
    }
    if ((securityInformation & ObjectParts) && !(file->grantedAccess() & Access::ReadControl)) {
        return WinError::AccessDenied;
    }
    Store& store = Store::instance();
    std::lock_guard guard(store.lock());
    if (!store.refresh(true)) {
        return getLastError();
    }
    auto loaded = loadHandle(store, *file);
    if (!loaded) {
        return reportFailure(loaded.failure());
    }
    return output((*loaded)->effective, securityInformation, descriptor);
}

std::uint32_t getNamedSecurityInfo(const std::wstring& objectName, std::uint32_t objectType,
                                   std::uint32_t securityInformation,
                                   std::vector<std::uint8_t>& descriptor) {
    if (std::uint32_t error = checkRequest(objectType, securityInformation)) {
        return error;
    }
    Token token;
    if (std::uint32_t error = currentToken(token)) {
        return error;
    }
    Store& store = Store::instance();
    std::lock_guard guard(store.lock());
    if (!store.refresh()) {
        return getLastError();
    }
    auto loaded = load(store, objectByName(store, objectName));
    if (!loaded) {
        return reportFailure(loaded.failure());
    }
    if ((securityInformation & ObjectParts) &&
        !accessCheck(loaded->effective, token, Access::ReadControl, true).allowed()) {
        return WinError::AccessDenied;
    }
    return output(loaded->effective, securityInformation, descriptor);
}

std::uint32_t setSecurityInfo(Handle handle, std::uint32_t objectType,
                              std::uint32_t securityInformation, const std::uint8_t* owner,
                              const std::uint8_t* group, const std::uint8_t* dacl,
                              const std::uint8_t* /*sacl*/) {
    Change change;
    if (std::uint32_t error = checkRequest(objectType, securityInformation)) {
        return error;
    }
    if (std::uint32_t error = readChange(securityInformation, owner, group, dacl, change)) {
        return error;
    }
    auto file = lookupHandleOf(handle);
    if (!file) {
        return WinError::InvalidHandle;
    }
    // The rights were checked when the handle was opened.
    std::uint32_t rights = rightsFor(securityInformation);
    if ((file->grantedAccess() & rights) != rights) {
        return WinError::AccessDenied;
    }
    Token token;
    if (std::uint32_t error = currentToken(token)) {
        return error;
    }
    if (std::uint32_t error = checkChange(change, token)) {
        return error;
    }
    Store& store = Store::instance();
    std::lock_guard guard(store.lock());
    if (!store.refresh(true)) {
        return getLastError();
    }
    auto loaded = loadHandle(store, *file);
    if (!loaded) {
        return reportFailure(loaded.failure());
    }
    return commit(store, (*loaded)->object, (*loaded)->stored, change);
}

std::uint32_t setNamedSecurityInfo(const std::wstring& objectName, std::uint32_t objectType,
                                   std::uint32_t securityInformation, const std::uint8_t* owner,
                                   const std::uint8_t* group, const std::uint8_t* dacl,
                                   const std::uint8_t* /*sacl*/) {
    Change change;
    if (std::uint32_t error = checkRequest(objectType, securityInformation)) {
        return error;
    }
    if (std::uint32_t error = readChange(securityInformation, owner, group, dacl, change)) {
        return error;
    }
    Token token;
    if (std::uint32_t error = currentToken(token)) {
        return error;
    }
    Store& store = Store::instance();
    std::lock_guard guard(store.lock());
    if (!store.refresh()) {
        return getLastError();
    }
    auto loaded = load(store, objectByName(store, objectName));
    if (!loaded && loaded.error() == ErrorFileCorrupt) {
        return replaceCorrupt(store, objectName, change, token);
    }
    if (!loaded) {
        return reportFailure(loaded.failure());
    }
    // A by-name call has no handle whose open checked the rights: they are checked now,
    // against the descriptor as it is.
    if (!accessCheck(loaded->effective, token, rightsFor(securityInformation), true).allowed()) {
        return WinError::AccessDenied;
    }
    if (std::uint32_t error = checkChange(change, token)) {
        return error;
    }
    return commit(store, loaded->object, loaded->stored, change);
}

}  // namespace Platform
