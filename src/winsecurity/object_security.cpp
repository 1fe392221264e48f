#include "winsecurity/object_security.h"

#include <algorithm>
#include <vector>

#include "platform/account_lookup.h"
#include "platform/dtyp/access_mask.h"
#include "platform/dtyp/ace.h"
#include "platform/dtyp/security_descriptor.h"
#include "platform/filesystem.h"
#include "runtime/exceptions.h"
#include "runtime/filename.h"

namespace WinSecurity {
namespace {

namespace Dtyp = Platform::Dtyp;
namespace WinError = Platform::WinError;
namespace SecurityInformation = Platform::SecurityInformation;

const wchar_t takeOwnershipPrivilege[] = L"SeTakeOwnershipPrivilege";

std::wstring shown(const std::wstring& path) {
    return stripLongPrefix(path);
}

// The DACL inside a self-relative descriptor, if it has one that checks out where it lies.
const std::uint8_t* daclInPlace(const std::vector<std::uint8_t>& descriptor) {
    constexpr std::size_t header = 20;
    if (descriptor.size() < header || descriptor[0] != Dtyp::SecurityDescriptorRevision) {
        return nullptr;
    }
    auto control = static_cast<std::uint16_t>(descriptor[2] | descriptor[3] << 8);
    std::size_t offset = descriptor[16] | descriptor[17] << 8 | descriptor[18] << 16 |
                         static_cast<std::size_t>(descriptor[19]) << 24;
    constexpr std::size_t aclHeader = 8;
    if (!(control & Dtyp::Control::DaclPresent) || offset < header ||
        offset > descriptor.size() - aclHeader) {
        return nullptr;
    }
    const std::uint8_t* acl = descriptor.data() + offset;
    std::size_t size = acl[2] | acl[3] << 8;
    return size <= descriptor.size() - offset && Dtyp::isValidAcl(acl) ? acl : nullptr;
}

// The DACL of a descriptor that GetSecurityInfo returned, as a VAcl. A walk reads one per
// object: a DACL that checks out in place is taken as it lies, any other descriptor decoded.
VAcl daclOf(const std::vector<std::uint8_t>& descriptor, const std::wstring& failure,
            const char* function) {
    if (const std::uint8_t* acl = daclInPlace(descriptor)) {
        return VAcl(acl);
    }
    auto sd = Dtyp::decodeSecurityDescriptor(descriptor);
    if (!sd) {
        throwOsError(failure, sd.error(), VSITE(function));
    }
    if (!sd->dacl) {
        // No DACL grants everyone everything; the ACE that says so keeps the comparisons of
        // the engine working on ACEs alone.
        VAcl everyone;
        everyone.addAces(
            {VAce::create(Dtyp::AceType::AccessAllowed,
                          Dtyp::AceFlag::ObjectInherit | Dtyp::AceFlag::ContainerInherit,
                          Dtyp::Access::GenericAll, VSID::everyone().data())});
        return everyone;
    }
    auto bytes = Dtyp::encodeAcl(*sd->dacl);
    if (!bytes) {
        throwOsError(failure, bytes.error(), VSITE(function));
    }
    return VAcl(bytes->data());
}

// The token that speaks for this thread: its own when it impersonates, else the process's.
Platform::UniqueHandle openCurrentToken(std::uint32_t access, const char* function) {
    Platform::Handle token = nullptr;
    if (Platform::openThreadToken(access, true, &token)) {
        return Platform::UniqueHandle(token);
    }
    if (std::uint32_t error = Platform::getLastError(); error != Platform::ErrorNoToken) {
        throwOsError(L"Unable to open a thread token", error, VSITE(function));
    }
    if (!Platform::openProcessToken(access, &token)) {
        throwOsError(L"Unable to open a process token", Platform::getLastError(), VSITE(function));
    }
    return Platform::UniqueHandle(token);
}

// The LUID of a privilege; a name the system does not know raises `message` with the name in it.
Platform::Luid privilegeLuid(const std::wstring& privilege, const wchar_t* message,
                             const char* function) {
    Platform::Luid luid;
    if (!Platform::lookupPrivilegeValue(std::wstring(), privilege, luid)) {
        throwOsError(formatString(message, privilege), Platform::getLastError(), VSITE(function));
    }
    return luid;
}

std::vector<std::uint8_t> tokenOwner(const char* function) {
    Platform::UniqueHandle token = openCurrentToken(Platform::TokenAccess::Read, function);
    std::vector<std::uint8_t> owner;
    if (!Platform::getTokenOwner(token.get(), owner)) {
        throwOsError(L"Unable to get token information", Platform::getLastError(), VSITE(function));
    }
    return owner;
}

void setObjectDacl(Platform::Handle handle, std::uint32_t objectType, const VAcl& acl,
                   std::uint32_t protection, const char* function) {
    VAcl clean = withoutUnmappedAces(acl);
    std::uint32_t error =
        Platform::setSecurityInfo(handle, objectType, protection | SecurityInformation::Dacl,
                                  nullptr, nullptr, clean.get(), nullptr);
    if (error != 0) {
        throwOsError(withHostDetail(L"Unable to set the object security info", error), error,
                     VSITE(function));
    }
}

}  // namespace

namespace {

// READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES, and for a directory FILE_LIST_DIRECTORY while
// `list`: FILE_READ_ATTRIBUTES for what the handle is (its links, whether it is a reparse
// point), which NTFS grants to whoever may list the parent; the listing for the walk below it.
std::uint32_t securityAccess(bool list) {
    return Platform::File::ReadControl | Platform::File::WriteDac |
           Platform::File::ReadAttributes | (list ? Platform::File::ReadData : 0);
}

// Opens with `open(access)` for security and, a directory, for its listing too; without the
// listing when only that is refused (the walk then says that the listing is refused).
template <typename Open>
Platform::UniqueHandle openSecurityHandle(const std::wstring& path, bool isDirectory, Open open) {
    Platform::UniqueHandle handle(open(securityAccess(isDirectory)));
    if (!handle && isDirectory && Platform::getLastError() == WinError::AccessDenied) {
        handle.reset(open(securityAccess(false)));
    }
    if (!handle) {
        std::uint32_t error = Platform::getLastError();
        throwOsError(
            withHostDetail(formatString(L"Unable to open the object (%s)", shown(path)), error),
            error, VSITE("WinSecurity::openForSecurity"));
    }
    return handle;
}

}  // namespace

Platform::UniqueHandle openForSecurity(const std::wstring& path, bool isDirectory,
                                       bool knownDirectory) {
    if (isDirectory && !knownDirectory) {
        std::uint32_t attributes = Platform::getFileAttributes(path);
        if (attributes != Platform::InvalidFileAttributes &&
            !(attributes & Platform::FileAttribute::Directory)) {
            throwOsError(formatString(L"Path (%s) is a file", shown(path)), WinError::Directory,
                         VSITE("WinSecurity::openForSecurity"));
        }
    }
    std::uint32_t flags =
        isDirectory ? Platform::File::FlagBackupSemantics | Platform::File::FlagOpenReparsePoint
                    : 0;
    return openSecurityHandle(path, isDirectory, [&](std::uint32_t access) {
        return Platform::createFile(path, access,
                                    Platform::File::ShareRead | Platform::File::ShareWrite,
                                    Platform::File::OpenExisting, flags);
    });
}

Platform::UniqueHandle openChildForSecurity(Platform::Handle directory, const std::wstring& name,
                                            bool isDirectory, const std::wstring& path) {
    std::uint32_t flags = isDirectory ? Platform::File::FlagBackupSemantics : 0;
    return openSecurityHandle(path, isDirectory, [&](std::uint32_t access) {
        return Platform::createFileAt(directory, name, access,
                                      Platform::File::ShareRead | Platform::File::ShareWrite,
                                      Platform::File::OpenExisting, flags);
    });
}

Platform::UniqueHandle openDirectoryToList(Platform::Handle directory, const std::wstring& name,
                                           const std::wstring& path) {
    try {
        Platform::UniqueHandle handle = directory
                                            ? openChildForSecurity(directory, name, true, path)
                                            : openForSecurity(path, true, true);
        Platform::ByHandleFileInformation object;
        if (Platform::getFileInformationByHandle(handle.get(), object) &&
            !(object.attributes & Platform::FileAttribute::ReparsePoint) &&
            (object.attributes & Platform::FileAttribute::Directory)) {
            return handle;
        }
    } catch (const vexception&) {
    }
    return Platform::UniqueHandle();
}

Platform::UniqueHandle openToTakeOver(Platform::Handle directory, const std::wstring& name,
                                      const std::wstring& path, bool isDirectory,
                                      bool checkFinalPath) {
    std::uint32_t access = Platform::File::WriteOwner | Platform::File::ReadAttributes;
    std::uint32_t share = Platform::File::ShareRead | Platform::File::ShareWrite;
    std::uint32_t flags = Platform::File::FlagBackupSemantics | Platform::File::FlagOpenReparsePoint;
    Platform::UniqueHandle handle(
        directory ? Platform::createFileAt(directory, name, access, share,
                                           Platform::File::OpenExisting, flags)
                  : Platform::createFile(path, access, share, Platform::File::OpenExisting,
                                         flags));
    Platform::ByHandleFileInformation object;
    if (!handle || !Platform::getFileInformationByHandle(handle.get(), object) ||
        (object.attributes & Platform::FileAttribute::ReparsePoint) ||
        ((object.attributes & Platform::FileAttribute::Directory) != 0) != isDirectory ||
        (!isDirectory && object.numberOfLinks > 1)) {
        return Platform::UniqueHandle();
    }
    // Reached by its path: a folder on the way swapped for a link leads elsewhere.
    std::wstring real;
    if (checkFinalPath && !directory &&
        (!Platform::getFinalPathNameByHandle(handle.get(), real) ||
         comparePaths(real, path) != PathEqual)) {
        return Platform::UniqueHandle();
    }
    return handle;
}

std::wstring getFileNameFromHandle(Platform::Handle handle) {
    std::wstring path;
    if (!Platform::getFinalPathNameByHandle(handle, path)) {
        throwOsError(L"getFileNameFromHandle()", Platform::getLastError(),
                     VSITE("WinSecurity::getFileNameFromHandle"));
    }
    return stripLongPrefix(path);
}

VAcl getObjectDacl(Platform::Handle handle, std::uint32_t objectType) {
    return daclOfDescriptor(getObjectDescriptor(handle, SecurityInformation::Dacl, objectType));
}

std::vector<std::uint8_t> getObjectDescriptor(Platform::Handle handle, std::uint32_t information,
                                              std::uint32_t objectType) {
    std::vector<std::uint8_t> descriptor;
    if (std::uint32_t error =
            Platform::getSecurityInfo(handle, objectType, information, descriptor)) {
        throwOsError(withHostDetail(L"Unable to get the object security info", error), error,
                     VSITE("WinSecurity::getObjectDacl"));
    }
    return descriptor;
}

VAcl daclOfDescriptor(const std::vector<std::uint8_t>& descriptor) {
    return daclOf(descriptor, L"Unable to get the object security info",
                  "WinSecurity::getObjectDacl");
}

VAcl getNamedObjectDacl(const std::wstring& path, std::uint32_t objectType) {
    std::wstring failure =
        formatString(L"Unable to get the object (%s) security info", shown(path));
    std::vector<std::uint8_t> descriptor;
    if (std::uint32_t error = Platform::getNamedSecurityInfo(
            path, objectType, SecurityInformation::Dacl, descriptor)) {
        throwOsError(withHostDetail(failure, error), error,
                     VSITE("WinSecurity::getNamedObjectDacl"));
    }
    return daclOf(descriptor, failure, "WinSecurity::getNamedObjectDacl");
}

VAcl getParentDacl(const std::wstring& path) {
    std::wstring parent = VFileName::removeFileSpec(path);
    if (comparePaths(parent, path) == PathEqual) {
        // "C:\dir\" names C:\dir, whose parent is one step further up; a root stays itself.
        parent = VFileName::removeFileSpec(trimTrailingSeparators(path));
    }
    if (parent.empty() || comparePaths(parent, path) == PathEqual) {
        return VAcl();
    }
    return getNamedObjectDacl(parent, Platform::SeFileObject);
}

namespace {
thread_local MappedAccountsScope* innermostScope = nullptr;
}  // namespace

MappedAccountsScope::MappedAccountsScope() : innermost_(innermostScope, this) {}

MappedAccountsScope* MappedAccountsScope::current() {
    return innermostScope;
}

bool MappedAccountsScope::knows(const VSID& sid) const {
    return std::find(mapped_.begin(), mapped_.end(), sid) != mapped_.end();
}

void MappedAccountsScope::remember(const VSID& sid) {
    if (!knows(sid)) {
        mapped_.push_back(sid);
    }
}

bool MappedAccountsScope::knowsAll(const VAcl& acl) const {
    return acl.get() && acl.buffer() == lastKnownAcl_;
}

void MappedAccountsScope::rememberAll(const VAcl& acl) {
    lastKnownAcl_ = acl.buffer();
}

VAcl withoutUnmappedAces(const VAcl& acl) {
    MappedAccountsScope* scope = MappedAccountsScope::current();
    if (scope && scope->knowsAll(acl)) {
        return acl;
    }
    VAcl clean = acl;
    bool removed = false;
    int index = 0;
    while (index < clean.aceCount()) {
        VSID sid = clean.aceAt(index).sid();
        if (scope && scope->knows(sid)) {
            ++index;
            continue;
        }
        // Only ERROR_NONE_MAPPED matters here: any other refusal still means the SID names an
        // account.
        Platform::AccountLookup account;
        if (!Platform::lookupAccountSid(std::wstring(), sid.sid(), account) &&
            Platform::getLastError() == WinError::NoneMapped) {
            clean.deleteAce(index);
            removed = true;
            continue;
        }
        if (scope) {
            scope->remember(sid);
        }
        ++index;
    }
    if (scope && !removed) {
        scope->rememberAll(acl);
    }
    return clean;
}

void setObjectDaclInherited(Platform::Handle handle, std::uint32_t objectType, const VAcl& acl) {
    setObjectDacl(handle, objectType, acl, SecurityInformation::UnprotectedDacl,
                  "WinSecurity::setObjectDaclInherited");
}

void setObjectDaclProtected(Platform::Handle handle, std::uint32_t objectType, const VAcl& acl) {
    setObjectDacl(handle, objectType, acl, SecurityInformation::ProtectedDacl,
                  "WinSecurity::setObjectDaclProtected");
}

void setNamedObjectDacl(const std::wstring& path, std::uint32_t objectType, const VAcl& acl) {
    VAcl clean = withoutUnmappedAces(acl);
    auto write = [&] {
        return Platform::setNamedSecurityInfo(
            path, objectType, SecurityInformation::ProtectedDacl | SecurityInformation::Dacl,
            nullptr, nullptr, clean.get(), nullptr);
    };
    std::uint32_t error = write();
    if (error == WinError::AccessDenied) {
        // The owner may always rewrite the DACL, so becoming the owner opens the way.
        takeOwnership(path, objectType);
        error = write();
    }
    if (error != 0) {
        throwOsError(
            withHostDetail(
                formatString(L"Unable to set the object (%s) security info", shown(path)), error),
            error, VSITE("WinSecurity::setNamedObjectDacl"));
    }
}

void takeOwnership(const std::wstring& path, std::uint32_t objectType) {
    if (hasPrivilege(takeOwnershipPrivilege)) {
        enablePrivilege(takeOwnershipPrivilege);
    }
    std::vector<std::uint8_t> owner = tokenOwner("WinSecurity::takeOwnership");
    if (std::uint32_t error =
            Platform::setNamedSecurityInfo(path, objectType, SecurityInformation::Owner,
                                           owner.data(), nullptr, nullptr, nullptr)) {
        throwOsError(formatString(L"Unable to set the object (%s) owner", shown(path)), error,
                     VSITE("WinSecurity::takeOwnership"));
    }
}

void takeOwnership(Platform::Handle handle, const std::wstring& path) {
    std::vector<std::uint8_t> owner = tokenOwner("WinSecurity::takeOwnership");
    std::vector<std::uint8_t> current;
    if (Platform::getSecurityInfo(handle, Platform::SeFileObject, SecurityInformation::Owner,
                                  current) == 0) {
        auto descriptor = Platform::Dtyp::decodeSecurityDescriptor(current);
        if (descriptor && descriptor->owner && descriptor->owner->toBytes() == owner) {
            return;  // already the owner: nothing to write
        }
    }
    if (std::uint32_t error =
            Platform::setSecurityInfo(handle, Platform::SeFileObject, SecurityInformation::Owner,
                                      owner.data(), nullptr, nullptr, nullptr)) {
        throwOsError(formatString(L"Unable to set the object (%s) owner", shown(path)), error,
                     VSITE("WinSecurity::takeOwnership"));
    }
}

namespace {

void enableHeldPrivileges(std::initializer_list<const wchar_t*> privileges) {
    for (const wchar_t* privilege : privileges) {
        if (hasPrivilege(privilege)) {
            enablePrivilege(privilege);
        }
    }
}

}  // namespace

void enableOwnershipPrivileges() {
    enableHeldPrivileges({L"SeBackupPrivilege", L"SeRestorePrivilege", takeOwnershipPrivilege});
}

void enableTakeOverPrivileges() {
    enableHeldPrivileges({takeOwnershipPrivilege, L"SeRestorePrivilege"});
}

bool hasPrivilege(const std::wstring& privilege) {
    Platform::Luid luid =
        privilegeLuid(privilege, L"The privilege (%s) is not found", "WinSecurity::hasPrivilege");
    Platform::UniqueHandle token =
        openCurrentToken(Platform::TokenAccess::Query, "WinSecurity::hasPrivilege");
    std::vector<Platform::LuidAndAttributes> privileges;
    if (!Platform::getTokenPrivileges(token.get(), privileges)) {
        throwOsError(L"Unable to get token privileges", Platform::getLastError(),
                     VSITE("WinSecurity::hasPrivilege"));
    }
    return std::any_of(privileges.begin(), privileges.end(),
                       [&](const Platform::LuidAndAttributes& held) { return held.luid == luid; });
}

void enablePrivilege(const std::wstring& privilege) {
    Platform::Luid luid =
        privilegeLuid(privilege, L"Unable to find privilege (%s)", "WinSecurity::enablePrivilege");
    Platform::UniqueHandle token =
        openCurrentToken(Platform::TokenAccess::AdjustPrivileges, "WinSecurity::enablePrivilege");
    // AdjustTokenPrivileges succeeds even when the token lacks the privilege; only the last
    // error (ERROR_NOT_ALL_ASSIGNED) tells.
    bool adjusted = Platform::adjustTokenPrivileges(
        token.get(), {Platform::LuidAndAttributes{luid, Platform::SePrivilegeEnabled}});
    std::uint32_t error = Platform::getLastError();
    if (!adjusted || error != 0) {
        throwOsError(formatString(L"Unable to adjust privilege (%s)", privilege), error,
                     VSITE("WinSecurity::enablePrivilege"));
    }
}

void grantFullControlToSelf(const std::wstring& path, std::uint32_t objectType,
                            std::uint32_t accessMask) {
    takeOwnership(path, objectType);
    std::vector<std::uint8_t> owner = tokenOwner("WinSecurity::grantFullControlToSelf");
    std::vector<std::uint8_t> system = VSID::system();
    constexpr std::uint8_t inherit = Dtyp::AceFlag::ObjectInherit | Dtyp::AceFlag::ContainerInherit;
    VAcl granted = VAcl::ofTwoAces(
        VAce::create(Dtyp::AceType::AccessAllowed, inherit, accessMask, owner.data()),
        VAce::create(Dtyp::AceType::AccessAllowed, inherit, accessMask, system.data()));
    VAcl current = getNamedObjectDacl(path, objectType);
    setNamedObjectDacl(path, objectType, VAcl::merge(granted, current));
}

}  // namespace WinSecurity
