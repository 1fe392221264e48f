// Where the emulated host keeps each object's security descriptor, and the descriptor a reader
// sees. Each object keeps its own part of its security descriptor in the xattr user.tavrel.sd
// (owner, group, the DACL's control flags and explicit ACEs, as a self-relative
// SECURITY_DESCRIPTOR of MS-DTYP 2.4.6); what it inherits is computed on every read from its
// parent's effective DACL (MS-DTYP 2.5.3.4), so a DACL written on a directory reaches the whole
// unprotected subtree at once, as SetSecurityInfo's propagation does on Windows.
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
#include "platform/posix/security/descriptor_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>

#include "platform/dtyp/inheritance.h"
#include "platform/posix/faults/faults.h"
#include "platform/posix/filesystem/filehandle.h"
#include "platform/posix/filesystem/pathmap.h"
#include "platform/posix/filesystem/posix_path.h"
#include "platform/posix/host/errors.h"
#include "platform/posix/host/unique_fd.h"
#include "platform/posix/security/object_security.h"
#include "platform/text.h"

namespace Platform::Posix {

// What a directory being searched passes on to its entries, with the store's count of
// forgettings when it was found: its entries ask for it one after the other, and it holds until
// this process forgets a directory (a directory's descriptor written here or, through the
// change log, by another process, or a directory moved).
struct SearchedSecurity {
    ObjectSecurity::Inheritable dacl;
    std::uint64_t forgotten;
};

}  // namespace Platform::Posix

namespace Platform::Posix::ObjectSecurity {

using namespace Dtyp;

namespace {

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

int setXattr(const Object& object, const std::vector<std::uint8_t>& bytes) {
    const char* name = Posix::SecurityDescriptorXattr;
    auto set = [&] {
        return object.fd >= 0
                   ? ::fsetxattr(object.fd, name, bytes.data(), bytes.size(), 0)
                   : ::setxattr(object.path.str().c_str(), name, bytes.data(), bytes.size(), 0);
    };
    int result = set();
    if (result != 0 && errno == EACCES) {
        // user.* xattrs follow the write permission of the file; a read-only file (the DOS
        // attribute lives in the mode) still takes a descriptor on Windows, so its owner lends
        // itself the write bit for the moment.
        struct stat st;
        bool got =
            object.fd >= 0 ? ::fstat(object.fd, &st) == 0 : ::stat(object.path.str().c_str(), &st) == 0;
        if (got && st.st_uid == ::geteuid() && !(st.st_mode & S_IWUSR) && !S_ISLNK(st.st_mode)) {
            auto chmodTo = [&](mode_t mode) {
                return object.fd >= 0 ? ::fchmod(object.fd, mode)
                                      : ::chmod(object.path.str().c_str(), mode);
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

// Room for every descriptor of a usual size: one read gets it; a larger one is asked for its
// size first.
constexpr std::size_t UsualDescriptorSize = 1024;

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

SecurityDescriptor makeDefaultDescriptor(bool driveRoot) {
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

}  // namespace

// The descriptor of an object without the xattr, made once.
const SecurityDescriptor& defaultDescriptor(bool driveRoot) {
    static const SecurityDescriptor plain = makeDefaultDescriptor(false);
    static const SecurityDescriptor root = makeDefaultDescriptor(true);
    return driveRoot ? root : plain;
}

namespace {

// Decodes stored bytes. Equal descriptors are stored as equal bytes, and the objects of a
// folder mostly carry the same: the last one decoded is kept.
Result<SecurityDescriptor> decodeStored(const std::vector<std::uint8_t>& bytes) {
    static thread_local std::vector<std::uint8_t> lastBytes;
    static thread_local SecurityDescriptor lastDecoded;
    if (!lastBytes.empty() && bytes == lastBytes) {
        return lastDecoded;
    }
    auto sd = decodeSecurityDescriptor(bytes);
    if (sd) {
        lastBytes = bytes;
        lastDecoded = *sd;
    }
    return sd;
}

}  // namespace

Result<Stored> readStored(const Object& object) {
    Stored stored;
    if (object.link || object.knownDefault) {
        stored.sd = defaultDescriptor(object.root);
        return stored;
    }
    const char* name = Posix::SecurityDescriptorXattr;
    auto get = [&](void* buffer, std::size_t size) {
        // By name the object is what the path leads to: a link there is followed.
        if (object.fd < 0) {
            return ::getxattr(object.path.str().c_str(), name, buffer, size);
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
        stored.sd = defaultDescriptor(object.root);
        return stored;
    }
    if (size < 0 && errno == ERANGE) {
        return Failure{WinError::InternalError,
                       L"the security descriptor of " + fromUtf8(object.path.str()) + L" keeps changing"};
    }
    if (size < 0) {
        return Failure{winErrorFromErrno(errno),
                       L"cannot read the security descriptor of " + fromUtf8(object.path.str())};
    }
    stored.bytes.resize(static_cast<std::size_t>(size));
    auto sd = decodeStored(stored.bytes);
    if (!sd) {
        std::wstring shown;
        if (!Posix::realPosixToWindows(object.path.str(), shown)) {
            shown = fromUtf8(object.path.str());
        }
        return Failure{WinError::FileCorrupt,
                       L"the security descriptor of " + shown + L" is corrupt: " + sd.message()};
    }
    stored.present = true;
    stored.sd = std::move(sd).value();
    return stored;
}

namespace {

// What the directory open at `fd` (described by `st`) passes on, through the cache; its
// parent is reached through "..", so that links and renames on the way do not matter.
Result<Passed> passedBy(Store& store, int fd, const struct stat& st, const SharedPath& path,
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
            return Failure{winErrorFromErrno(errno), fromUtf8(path.str()) + L"\\.."};
        }
        auto passed = passedBy(store, parent.get(), parentStat, SharedPath(path, ".."), depth + 1);
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

// What the directory being searched passes on, or null when its entries changed since they
// were read (the object may no longer be one of them).
Result<Inheritable> passedBySearched(Store& store, const Posix::OpenDirectory& searched) {
    if (searched.security && searched.security->forgotten == store.forgotten()) {
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
            Posix::SearchedSecurity{passed->dacl, store.forgotten()});
    }
    return passed->dacl;
}

}  // namespace

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
    auto parent = inheritableOf(store, parentOf(object.path.str()));
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
    const struct stat* opened = file.openedStat();
    if (!link && file.isDirectory()) {
        // Whether it is a root is the descriptor's device and inode, which never change.
        const struct stat* identity = file.statAtOpen();
        struct stat st;
        if (!identity && ::fstat(file.fd(), &st) != 0) {
            return Failure{winErrorFromErrno(errno), L"handle"};
        }
        root = store.isRoot(identity ? *identity : st);
    }
    Object object{file.sharedPath(), link ? -1 : file.fd(), file.isDirectory(), link,
                  root,              file.searched};
    object.opened = link ? nullptr : opened;
    object.identity = link ? nullptr : file.statAtOpen();
    if (file.searched && opened && !link && !file.securityRead) {
        const Posix::ListedEntry* listed =
            file.searched->unchanged(std::string(file.sharedPath().name()), *opened);
        object.knownDefault = listed && !listed->securityStored;
    }
    return object;
}

std::uint32_t writeDescriptor(Store& store, const Object& object, const Stored& stored,
                              const SecurityDescriptor& next, std::optional<Stored>* now) {
    if (object.link) {
        if (now) {
            now->emplace(stored);
        }
        return next == stored.sd ? WinError::Success : WinError::NotSupported;
    }
    // A walk writes equal descriptors on object after object: the last encoding is kept.
    static thread_local std::optional<std::pair<SecurityDescriptor, std::vector<std::uint8_t>>>
        lastEncoded;
    if (!lastEncoded || !(lastEncoded->first == next)) {
        auto encoded = encodeSecurityDescriptor(next);
        if (!encoded) {
            return encoded.error();
        }
        lastEncoded.emplace(next, std::move(encoded).value());
    }
    const std::vector<std::uint8_t>* bytes = &lastEncoded->second;
    if (std::uint32_t fault =
            Posix::Faults::injected(Posix::Faults::Operation::SetSecurity, object.path)) {
        return fault;
    }
    if (next == defaultDescriptor(object.root)) {
        if (now) {
            now->emplace(Stored{false, {}, defaultDescriptor(object.root)});
        }
        if (!stored.present) {
            return WinError::Success;
        }
        int result = object.fd >= 0
                         ? ::fremovexattr(object.fd, Posix::SecurityDescriptorXattr)
                         : ::removexattr(object.path.str().c_str(), Posix::SecurityDescriptorXattr);
        if (result != 0 && errno != ENODATA) {
            return xattrWriteError(errno);
        }
    } else {
        if (now) {
            if (auto sd = decodeStored(*bytes)) {
                now->emplace(Stored{true, *bytes, std::move(sd).value()});
            }
        }
        if (stored.present && *bytes == stored.bytes) {
            return WinError::Success;
        }
        // setxattr replaces the value whole or not at all: a refusal leaves the old one.
        if (setXattr(object, *bytes) != 0) {
            return xattrWriteError(errno);
        }
    }
    store.noteWrite(object.identity);
    if (object.container) {
        struct stat st;
        const struct stat* known = object.identity;
        if (!known &&
            (object.fd >= 0 ? ::fstat(object.fd, &st) : ::stat(object.path.str().c_str(), &st)) == 0) {
            known = &st;
        }
        if (known) {
            store.invalidate(DirKey::of(*known));
        }
    }
    return WinError::Success;
}

}  // namespace Platform::Posix::ObjectSecurity
