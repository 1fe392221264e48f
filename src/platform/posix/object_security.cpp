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
// effective DACLs of directories are cached by path, each entry checked against the
// directory's device, inode and change time. Descriptor writes to directories (by any process
// of the host) and directory moves bump a counter shared through `<host>/security.generation`,
// which empties every process's cache.
#include "platform/posix/object_security.h"

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
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "platform/dtyp/access_check.h"
#include "platform/dtyp/inheritance.h"
#include "platform/dtyp/security_descriptor.h"
#include "platform/posix/errors.h"
#include "platform/posix/filehandle.h"
#include "platform/posix/host.h"
#include "platform/posix/pathmap.h"
#include "platform/posix/token.h"
#include "platform/posix/unique_fd.h"
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
    std::string path;  // its real path; for a link itself, the link's (real parent + name)
    int fd = -1;       // the handle's descriptor; -1 when reached by name
    bool container = false;
    bool link = false;  // a symbolic link itself: no xattr of its own
    bool root = false;  // a drive root (or "/"): inherits nothing
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

std::optional<std::string> realPath(const std::string& path) {
    char buffer[PATH_MAX];
    if (!::realpath(path.c_str(), buffer)) {
        return std::nullopt;
    }
    return std::string(buffer);
}

// The counter that tells every process of the host that cached directory DACLs are stale.
class SharedGeneration {
public:
    explicit SharedGeneration(const fs::path& file) {
        Posix::UniqueFd fd(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        struct stat st;
        if (!fd || ::fstat(fd.get(), &st) != 0) {
            return;
        }
        // Two processes extending a new file at once both make it 8 zero bytes.
        if (st.st_size < 8 && ::ftruncate(fd.get(), 8) != 0) {
            return;
        }
        void* p = ::mmap(nullptr, 8, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
        if (p != MAP_FAILED) {
            counter_ = static_cast<std::uint64_t*>(p);
        }
    }
    ~SharedGeneration() {
        if (counter_) {
            ::munmap(counter_, 8);
        }
    }
    SharedGeneration(const SharedGeneration&) = delete;
    SharedGeneration& operator=(const SharedGeneration&) = delete;

    bool usable() const { return counter_ != nullptr; }
    std::uint64_t load() const { return std::atomic_ref<std::uint64_t>(*counter_).load(); }
    void bump() { std::atomic_ref<std::uint64_t>(*counter_).fetch_add(1); }

private:
    std::uint64_t* counter_ = nullptr;
};

struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    timespec changed{};
    timespec modified{};

    static FileStamp of(const struct stat& st) {
        return {st.st_dev, st.st_ino, st.st_ctim, st.st_mtim};
    }
    bool operator==(const FileStamp& o) const {
        return device == o.device && inode == o.inode && changed.tv_sec == o.changed.tv_sec &&
               changed.tv_nsec == o.changed.tv_nsec && modified.tv_sec == o.modified.tv_sec &&
               modified.tv_nsec == o.modified.tv_nsec;
    }
};

// What a directory passes on: its effective DACL, or nothing (a NULL DACL or none).
using Inheritable = std::shared_ptr<const std::optional<Acl>>;

// The store's state for the current host; every call of this file holds its lock throughout.
class Store {
public:
    static Store& instance() {
        static Store store;
        return store;
    }
    std::mutex& lock() { return lock_; }

    // Follows the host of the moment (TAVREL_HOST may change between calls, in tests) and
    // drops what another process or a changed drive mapping made stale.
    bool refresh() {
        fs::path host;
        try {
            host = Posix::ensureHost();
        } catch (const std::exception&) {
            return failWith(WinError::PathNotFound);
        }
        if (host != host_) {
            host_ = host;
            generation_ = std::make_unique<SharedGeneration>(host / "security.generation");
            seen_ = generation_->usable() ? generation_->load() : 0;
            dirs_.clear();
            rootsStamp_.reset();
        }
        if (generation_->usable() && generation_->load() != seen_) {
            seen_ = generation_->load();
            dirs_.clear();
        }
        refreshDriveRoots();
        return true;
    }

    bool isRoot(const std::string& realPath) const {
        if (realPath == "/") {
            return true;
        }
        for (const auto& root : roots_) {
            if (root == realPath) {
                return true;
            }
        }
        return false;
    }

    // The cached inheritable DACL of a directory, if still valid for `stamp`.
    Inheritable cached(const std::string& dir, const FileStamp& stamp) const {
        auto it = dirs_.find(dir);
        return it != dirs_.end() && it->second.stamp == stamp ? it->second.dacl : nullptr;
    }
    void remember(const std::string& dir, const FileStamp& stamp, Inheritable dacl) {
        if (!generation_ || !generation_->usable()) {
            return;  // without the shared counter another process's write would go unseen
        }
        // A walk needs the chain of directories above where it is; a bound keeps a walk over
        // a huge tree from holding every directory it passed.
        if (dirs_.size() >= MaxCachedDirectories) {
            dirs_.clear();
        }
        dirs_[dir] = Entry{stamp, std::move(dacl)};
    }
    // A directory's descriptor changed or directories moved: this process forgets at once,
    // the others at their next call.
    void invalidate() {
        dirs_.clear();
        if (generation_ && generation_->usable()) {
            generation_->bump();
            seen_ = generation_->load();
        }
    }

private:
    struct Entry {
        FileStamp stamp;
        Inheritable dacl;
    };
    static constexpr std::size_t MaxCachedDirectories = 8192;

    void refreshDriveRoots() {
        std::string dosdevices = (host_ / "dosdevices").string();
        struct stat st;
        if (::stat(dosdevices.c_str(), &st) != 0) {
            roots_.clear();
            rootsStamp_.reset();
            return;
        }
        // A link changed within the clock tick of the last look keeps the directory's times:
        // a young directory is read again each time.
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        bool settled = now.tv_sec - st.st_mtim.tv_sec > 1 && now.tv_sec - st.st_ctim.tv_sec > 1;
        if (rootsStamp_ && *rootsStamp_ == FileStamp::of(st) && settled) {
            return;
        }
        std::vector<std::string> roots;
        Posix::UniqueDir dir(::opendir(dosdevices.c_str()));
        while (dir) {
            dirent* entry = ::readdir(dir.get());
            if (!entry) {
                break;
            }
            std::string name = entry->d_name;
            if (name.size() == 2 && name[1] == ':') {
                if (auto target = realPath(dosdevices + "/" + name)) {
                    roots.push_back(*target);
                }
            }
        }
        if (roots != roots_) {
            roots_ = std::move(roots);
            dirs_.clear();
        }
        rootsStamp_ = FileStamp::of(st);
    }

    std::mutex lock_;
    fs::path host_;
    std::unique_ptr<SharedGeneration> generation_;
    std::uint64_t seen_ = 0;
    std::vector<std::string> roots_;
    std::optional<FileStamp> rootsStamp_;
    std::unordered_map<std::string, Entry> dirs_;
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

Result<Stored> readStored(const Object& object) {
    Stored stored;
    stored.sd = defaultDescriptor(object.root);
    if (object.link) {
        return stored;
    }
    const char* name = Posix::SecurityDescriptorXattr;
    for (int attempt = 0; attempt < 4; ++attempt) {
        ssize_t size = object.fd >= 0 ? ::fgetxattr(object.fd, name, nullptr, 0)
                                      : ::lgetxattr(object.path.c_str(), name, nullptr, 0);
        if (size >= 0) {
            stored.bytes.resize(static_cast<std::size_t>(size));
            size = object.fd >= 0
                       ? ::fgetxattr(object.fd, name, stored.bytes.data(), stored.bytes.size())
                       : ::lgetxattr(object.path.c_str(), name, stored.bytes.data(),
                                     stored.bytes.size());
        }
        if (size < 0 && errno == ERANGE) {
            continue;  // it grew between the two calls
        }
        if (size < 0 && (errno == ENODATA || errno == ENOTSUP)) {
            // No descriptor, or a file system without xattrs, where all is default.
            return stored;
        }
        if (size < 0) {
            return Failure{winErrorFromErrno(errno),
                           L"cannot read the security descriptor of " + fromUtf8(object.path)};
        }
        stored.bytes.resize(static_cast<std::size_t>(size));
        auto sd = decodeSecurityDescriptor(stored.bytes);
        if (!sd) {
            return Failure{ErrorFileCorrupt, L"the security descriptor of " +
                                                 fromUtf8(object.path) + L" is corrupt: " +
                                                 sd.message()};
        }
        stored.present = true;
        stored.sd = std::move(sd).value();
        return stored;
    }
    return Failure{WinError::InternalError,
                   L"the security descriptor of " + fromUtf8(object.path) + L" keeps changing"};
}

Result<Inheritable> inheritableOf(Store& store, const std::string& dir);

// The descriptor as a reader sees it: the stored one with the inherited ACEs appended.
Result<SecurityDescriptor> effective(Store& store, const Object& object, const Stored& stored) {
    SecurityDescriptor sd = stored.sd;
    if (!sd.hasDacl() || !sd.dacl || sd.isDaclProtected() || object.root) {
        return sd;
    }
    auto parent = inheritableOf(store, parentOf(object.path));
    if (!parent) {
        return parent.failure();
    }
    const std::optional<Acl>& parentDacl = **parent;
    sd.dacl = effectiveDacl(*sd.dacl, false, parentDacl ? &*parentDacl : nullptr, object.container,
                            sd.owner.value_or(WellKnownSid::builtinAdministrators()),
                            sd.group.value_or(WellKnownSid::localSystem()));
    return sd;
}

Result<Inheritable> inheritableOf(Store& store, const std::string& dir) {
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        // A parent gone (the object was deleted or moved while open) gives nothing.
        return Inheritable(std::make_shared<const std::optional<Acl>>());
    }
    FileStamp stamp = FileStamp::of(st);
    if (Inheritable hit = store.cached(dir, stamp)) {
        return hit;
    }
    Object object{dir, -1, true, false, store.isRoot(dir)};
    auto stored = readStored(object);
    if (!stored) {
        return stored.failure();
    }
    auto sd = effective(store, object, *stored);
    if (!sd) {
        return sd.failure();
    }
    auto dacl = std::make_shared<const std::optional<Acl>>(sd->hasDacl() ? sd->dacl : std::nullopt);
    // Stamped with what lstat saw before the read: a change since then misses the next time.
    store.remember(dir, stamp, dacl);
    return Inheritable(std::move(dacl));
}

// The object a POSIX path names: what it points to, or the link itself when asked.
Result<Object> objectAt(Store& store, const std::string& posixPath, bool linkItself) {
    struct stat st;
    if (::lstat(posixPath.c_str(), &st) != 0) {
        return Failure{winErrorFromErrno(errno), fromUtf8(posixPath)};
    }
    if (linkItself && S_ISLNK(st.st_mode)) {
        auto parent = realPath(parentOf(posixPath));
        if (!parent) {
            return Failure{winErrorFromErrno(errno), fromUtf8(posixPath)};
        }
        std::string name = posixPath.substr(posixPath.rfind('/') + 1);
        struct stat target;
        bool directory = ::stat(posixPath.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
        return Object{*parent == "/" ? "/" + name : *parent + "/" + name, -1, directory, true,
                      false};
    }
    auto real = realPath(posixPath);
    if (!real || ::lstat(real->c_str(), &st) != 0) {
        return Failure{winErrorFromErrno(errno), fromUtf8(posixPath)};
    }
    bool directory = S_ISDIR(st.st_mode);
    return Object{*real, -1, directory, false, directory && store.isRoot(*real)};
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

Result<Object> objectOfHandle(Store& store, const Posix::FileObject& file) {
    // The object's path now, which follows renames: what it inherits is decided by where it
    // is, while its own xattr is reached through the descriptor.
    std::string link = "/proc/self/fd/" + std::to_string(file.fd());
    char buffer[PATH_MAX];
    ssize_t size = ::readlink(link.c_str(), buffer, sizeof(buffer) - 1);
    if (size < 0) {
        return Failure{winErrorFromErrno(errno), L"handle"};
    }
    std::string path(buffer, static_cast<std::size_t>(size));
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() &&
        path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0) {
        path.resize(path.size() - deleted.size());
    }
    bool link_ = file.isLinkItself();
    return Object{path, link_ ? -1 : file.fd(), file.isDirectory(), link_,
                  !link_ && file.isDirectory() && store.isRoot(path)};
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
                   : ::lsetxattr(object.path.c_str(), name, bytes.data(), bytes.size(), 0);
    };
    int result = set();
    if (result != 0 && errno == EACCES) {
        // user.* xattrs follow the write permission of the file; a read-only file (the DOS
        // attribute lives in the mode) still takes a descriptor on Windows, so its owner lends
        // itself the write bit for the moment.
        struct stat st;
        bool got =
            object.fd >= 0 ? ::fstat(object.fd, &st) == 0 : ::lstat(object.path.c_str(), &st) == 0;
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
    if (next == defaultDescriptor(object.root)) {
        if (!stored.present) {
            return WinError::Success;
        }
        int result = object.fd >= 0
                         ? ::fremovexattr(object.fd, Posix::SecurityDescriptorXattr)
                         : ::lremovexattr(object.path.c_str(), Posix::SecurityDescriptorXattr);
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
    if (object.container) {
        store.invalidate();
    }
    return WinError::Success;
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
    return Posix::processToken(token) ? WinError::Success : getLastError();
}

// What every security call knows of its object once found.
struct Loaded {
    Object object;
    Stored stored;
    SecurityDescriptor effective;
};

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

bool checkOpenAccess(const std::string& posixPath, bool linkItself, std::uint32_t desired,
                     bool backupSemantics, std::uint32_t& granted) {
    bool maximum = (desired & Access::MaximumAllowed) != 0;
    std::uint32_t wanted = mapGenericMask(desired & ~Access::MaximumAllowed);
    std::uint32_t checked = wanted & ~UncheckedRights;
    if (!maximum && checked == 0) {
        granted = wanted;
        return true;
    }
    Token token;
    if (!processToken(token)) {
        return false;
    }
    Store& store = Store::instance();
    std::lock_guard guard(store.lock());
    if (!store.refresh()) {
        return false;
    }
    auto loaded = load(store, objectAt(store, posixPath, linkItself));
    if (!loaded) {
        return failWith(loaded.error());
    }
    AccessResult result =
        accessCheck(loaded->effective, token, checked | (maximum ? Access::MaximumAllowed : 0),
                    backupSemantics);
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

void noteDirectoryMoved() {
    Store& store = Store::instance();
    std::lock_guard guard(store.lock());
    if (store.refresh()) {
        store.invalidate();
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
    if (!store.refresh()) {
        return getLastError();
    }
    auto loaded = load(store, objectOfHandle(store, *file));
    if (!loaded) {
        return loaded.error();
    }
    return output(loaded->effective, securityInformation, descriptor);
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
        return loaded.error();
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
    if (!store.refresh()) {
        return getLastError();
    }
    auto object = objectOfHandle(store, *file);
    if (!object) {
        return object.error();
    }
    auto stored = readStored(*object);
    if (!stored) {
        return stored.error();
    }
    return commit(store, *object, *stored, change);
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
    if (!loaded) {
        return loaded.error();
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
