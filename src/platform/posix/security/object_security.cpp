// The NTFS security store of the emulated host: the *SecurityInfo calls and the access check of
// an open. Each object keeps its own part of its descriptor in an xattr and inherits the rest
// on every read (descriptor_store.cpp); the directories' effective DACLs are cached
// (dacl_cache.cpp) and the processes of a host tell each other of writes (change_log.cpp).
//
// - Handle-based reads and writes use the handle's descriptor (fgetxattr/fsetxattr), never the
//   path again; the rights were checked when the handle was opened (createFile).
// - By-name calls check the caller's rights at call time, with backup intent: an enabled
//   SeBackupPrivilege lets them read and an enabled SeRestorePrivilege lets them write any
//   descriptor, as SetNamedSecurityInfoW does for a backup operator.
// - SACLs are not kept: asking for one is ERROR_PRIVILEGE_NOT_HELD (1314), as for a token
//   without SeSecurityPrivilege, which no token here holds.
//
// A handle keeps what its open read until any descriptor of the host is written.
#include "platform/posix/security/object_security.h"

#include <sys/stat.h>

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/dtyp/access_check.h"
#include "platform/dtyp/security_descriptor.h"
#include "platform/posix/accounts/token.h"
#include "platform/posix/filesystem/filehandle.h"
#include "platform/posix/host/errors.h"
#include "platform/posix/host/seam_count.h"
#include "platform/posix/security/dacl_cache.h"
#include "platform/posix/security/descriptor_store.h"
#include "platform/security.h"
#include "platform/text.h"

namespace Platform {
namespace {

using namespace Dtyp;
using namespace Posix::ObjectSecurity;
using Posix::failWith;

// Rights that an open gets without the object's DACL saying so: SYNCHRONIZE guards nothing of
// a file's, and FILE_READ_ATTRIBUTES and DELETE may come from the parent's FILE_LIST_DIRECTORY
// and FILE_DELETE_CHILD, which this host does not look at.
constexpr std::uint32_t UncheckedRights =
    Access::Synchronize | Access::FileReadAttributes | Access::Delete;

constexpr std::uint32_t ObjectParts =
    SecurityInformation::Owner | SecurityInformation::Group | SecurityInformation::Dacl;
constexpr std::uint32_t SaclParts = SecurityInformation::Sacl | SecurityInformation::ProtectedSacl |
                                    SecurityInformation::UnprotectedSacl;

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

// Writes what `change` makes of the stored descriptor; nothing when that is what is stored.
std::uint32_t commit(Store& store, const Object& object, const Stored& stored,
                     const Change& change) {
    return writeDescriptor(store, object, stored, applied(stored.sd, change));
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
        return WinError::FileCorrupt;
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
    if (failure.error == WinError::FileCorrupt) {
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

// What the store read through a handle, kept for the next call on the same handle while it
// still holds (Store::stillHolds): the open's access check, the final path and the read of the
// DACL then cost one xattr read together, and a write whose handle read the descriptor before
// this process wrote other objects reads it no more.
struct HandleSecurity {
    Loaded loaded;
    Store::ReadStamp stamp;
};

}  // namespace Posix

namespace {

// What a call on the handle needs of the object: all of its descriptor as read, or only what
// its xattr holds (a write, which replaces parts of it).
enum class Need { Effective, StoredOnly };

Result<const Loaded*> loadHandle(Store& store, Posix::FileObject& file,
                                 Need need = Need::Effective) {
    if (file.security && store.stillHolds(file.security->stamp, need == Need::Effective)) {
        return &file.security->loaded;
    }
    file.security.reset();
    Store::ReadStamp stamp = store.stampRead(file.isLinkItself() ? nullptr : file.statAtOpen());
    auto loaded = load(store, objectOfHandle(store, file));
    file.securityRead = true;
    if (!loaded) {
        return loaded.failure();
    }
    file.security = std::make_shared<Posix::HandleSecurity>(
        Posix::HandleSecurity{std::move(loaded).value(), stamp});
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

// What a handle wrote is what its object's xattr holds until another write: a folder whose
// children inherit what was just written is not read again.
void keepWritten(Store& store, Posix::FileObject& file, Object object, Stored stored) {
    file.security.reset();
    if (!store.shared()) {
        return;
    }
    Store::ReadStamp stamp = store.stampRead(file.isLinkItself() ? nullptr : file.statAtOpen());
    object.knownDefault = false;  // what the search saw is no longer what is there
    auto sd = effective(store, object, stored);
    if (!sd) {
        return;
    }
    file.security = std::make_shared<Posix::HandleSecurity>(Posix::HandleSecurity{
        Loaded{std::move(object), std::move(stored), std::move(sd).value()}, stamp});
}

// The checks of the arguments that every call of the *SecurityInfo family makes first.
std::uint32_t checkRequest(std::uint32_t objectType, std::uint32_t securityInformation) {
    if (objectType != SeFileObject) {
        return WinError::InvalidParameter;
    }
    return (securityInformation & SaclParts) ? WinError::PrivilegeNotHeld : WinError::Success;
}

std::uint32_t output(const SecurityDescriptor& sd, std::uint32_t information,
                     std::vector<std::uint8_t>& descriptor) {
    // A walk reads the descriptors of siblings, mostly alike: the last answer is kept.
    static thread_local std::optional<std::pair<std::uint32_t, SecurityDescriptor>> lastAsked;
    static thread_local std::vector<std::uint8_t> lastAnswer;
    if (lastAsked && lastAsked->first == information && lastAsked->second == sd) {
        descriptor = lastAnswer;
        return WinError::Success;
    }
    auto bytes = partsOf(sd, information);
    if (!bytes) {
        return bytes.error();
    }
    descriptor = std::move(bytes).value();
    lastAsked.emplace(information, sd);
    lastAnswer = descriptor;
    return WinError::Success;
}

// What SetSecurityInfo and SetNamedSecurityInfo ask for, once the arguments passed the checks
// that every call of the family makes first.
std::uint32_t readRequest(std::uint32_t objectType, std::uint32_t securityInformation,
                          const std::uint8_t* owner, const std::uint8_t* group,
                          const std::uint8_t* dacl, Change& change) {
    if (std::uint32_t error = checkRequest(objectType, securityInformation)) {
        return error;
    }
    return readChange(securityInformation, owner, group, dacl, change);
}

// The opening of every call into the store: the store of the current host, locked for the
// whole call and caught up with what other processes wrote and with the drive links.
// `onHandle`: a call on a handle (or an open), which looks at the change log's file less often.
class StoreCall {
public:
    explicit StoreCall(bool onHandle)
        : store_(Store::instance()), guard_(store_.lock()), ready_(store_.refresh(onHandle)) {}
    // False with the last error set when the host is not there.
    explicit operator bool() const { return ready_; }
    Store& store() { return store_; }

private:
    Store& store_;
    std::lock_guard<std::mutex> guard_;
    bool ready_;
};

// What the store holds for the handle's object, read under the store's lock: null with
// `error` set when the host is not there or the read failed (reported).
const Loaded* loadedForHandle(StoreCall& call, Posix::FileObject& file, std::uint32_t& error,
                              Need need = Need::Effective) {
    if (!call) {
        error = getLastError();
        return nullptr;
    }
    auto loaded = loadHandle(call.store(), file, need);
    if (!loaded) {
        error = reportFailure(loaded.failure());
        return nullptr;
    }
    return *loaded;
}

// The prologue of a call by name: the caller's token, then the store locked and caught up,
// then the object the name leads to, loaded. error() is the first of them that failed.
class ByNameCall {
public:
    explicit ByNameCall(const std::wstring& objectName) {
        if ((error_ = currentToken(token_)) != 0) {
            return;
        }
        call_.emplace(false);
        if (!*call_) {
            error_ = getLastError();
            return;
        }
        loaded_.emplace(load(store(), objectByName(store(), objectName)));
    }
    std::uint32_t error() const { return error_; }
    const Token& token() const { return token_; }
    Store& store() { return call_->store(); }
    Result<Loaded>& loaded() { return *loaded_; }

private:
    Token token_;
    std::optional<StoreCall> call_;
    std::optional<Result<Loaded>> loaded_;
    std::uint32_t error_ = 0;
};

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
    StoreCall call(file != nullptr);
    if (!call) {
        return false;
    }
    std::optional<Loaded> byName;
    const SecurityDescriptor* sd = nullptr;
    if (file) {
        auto loaded = loadHandle(call.store(), *file);
        if (!loaded) {
            reportFailure(loaded.failure());
            return false;
        }
        sd = &(*loaded)->effective;
    } else {
        auto loaded = load(call.store(), objectAt(call.store(), posixPath, linkItself));
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
    StoreCall call(false);
    return call.store().cachedDirectories();
}

void boundSecurityCache(std::size_t directories) {
    Store& store = Store::instance();
    std::lock_guard guard(store.lock());
    store.setBound(directories);
}

void noteDirectoryMoved(const std::string& posixPath) {
    StoreCall call(false);
    struct stat st;
    if (call && ::stat(posixPath.c_str(), &st) == 0) {
        call.store().invalidate(DirKey::of(st));
    }
}

}  // namespace Posix

std::uint32_t getSecurityInfo(Handle handle, std::uint32_t objectType,
                              std::uint32_t securityInformation,
                              std::vector<std::uint8_t>& descriptor) {
    TAVREL_SEAM_CALL("GetSecurityInfo");
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
    StoreCall call(true);
    std::uint32_t error = 0;
    const Loaded* loaded = loadedForHandle(call, *file, error);
    return loaded ? output(loaded->effective, securityInformation, descriptor) : error;
}

std::uint32_t getNamedSecurityInfo(const std::wstring& objectName, std::uint32_t objectType,
                                   std::uint32_t securityInformation,
                                   std::vector<std::uint8_t>& descriptor) {
    TAVREL_SEAM_CALL("GetNamedSecurityInfoW");
    if (std::uint32_t error = checkRequest(objectType, securityInformation)) {
        return error;
    }
    ByNameCall call(objectName);
    if (call.error()) {
        return call.error();
    }
    auto& loaded = call.loaded();
    if (!loaded) {
        return reportFailure(loaded.failure());
    }
    if ((securityInformation & ObjectParts) &&
        !accessCheck(loaded->effective, call.token(), Access::ReadControl, true).allowed()) {
        return WinError::AccessDenied;
    }
    return output(loaded->effective, securityInformation, descriptor);
}

std::uint32_t setSecurityInfo(Handle handle, std::uint32_t objectType,
                              std::uint32_t securityInformation, const std::uint8_t* owner,
                              const std::uint8_t* group, const std::uint8_t* dacl,
                              const std::uint8_t* /*sacl*/) {
    TAVREL_SEAM_CALL("SetSecurityInfo");
    Change change;
    if (std::uint32_t error =
            readRequest(objectType, securityInformation, owner, group, dacl, change)) {
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
    StoreCall call(true);
    std::uint32_t error = 0;
    const Loaded* loaded = loadedForHandle(call, *file, error, Need::StoredOnly);
    if (!loaded) {
        return error;
    }
    std::optional<Stored> now;
    Object object = loaded->object;
    error = writeDescriptor(call.store(), object, loaded->stored,
                            applied(loaded->stored.sd, change), &now);
    if (error == WinError::Success && now) {
        keepWritten(call.store(), *file, std::move(object), std::move(*now));
    }
    return error;
}

std::uint32_t setNamedSecurityInfo(const std::wstring& objectName, std::uint32_t objectType,
                                   std::uint32_t securityInformation, const std::uint8_t* owner,
                                   const std::uint8_t* group, const std::uint8_t* dacl,
                                   const std::uint8_t* /*sacl*/) {
    TAVREL_SEAM_CALL("SetNamedSecurityInfoW");
    Change change;
    if (std::uint32_t error =
            readRequest(objectType, securityInformation, owner, group, dacl, change)) {
        return error;
    }
    ByNameCall call(objectName);
    if (call.error()) {
        return call.error();
    }
    auto& loaded = call.loaded();
    if (!loaded && loaded.error() == WinError::FileCorrupt) {
        return replaceCorrupt(call.store(), objectName, change, call.token());
    }
    if (!loaded) {
        return reportFailure(loaded.failure());
    }
    // A by-name call has no handle whose open checked the rights: they are checked now,
    // against the descriptor as it is.
    const Token& token = call.token();
    if (!accessCheck(loaded->effective, token, rightsFor(securityInformation), true).allowed()) {
        return WinError::AccessDenied;
    }
    if (std::uint32_t error = checkChange(change, token)) {
        return error;
    }
    return commit(call.store(), loaded->object, loaded->stored, change);
}

}  // namespace Platform
