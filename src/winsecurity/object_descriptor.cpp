#include "winsecurity/object_descriptor.h"

#include <vector>

#include "platform/dtyp/acl.h"
#include "platform/dtyp/sddl.h"
#include "platform/filesystem.h"
#include "platform/security.h"
#include "runtime/exceptions.h"
#include "runtime/filename.h"
#include "winsecurity/object_security.h"

namespace WinSecurity {
namespace {

namespace Dtyp = Platform::Dtyp;
namespace Info = Platform::SecurityInformation;

constexpr std::uint32_t wholeDescriptor = Info::Owner | Info::Group | Info::Dacl;

}  // namespace

std::vector<std::uint8_t> getWholeDescriptor(Platform::Handle handle) {
    std::vector<std::uint8_t> bytes;
    if (std::uint32_t error =
            Platform::getSecurityInfo(handle, Platform::SeFileObject, wholeDescriptor, bytes)) {
        throwOsError(withHostDetail(L"Unable to get the object security info", error), error,
                     VSITE("WinSecurity::getObjectSddl"));
    }
    return bytes;
}

std::wstring sddlOfDescriptor(std::span<const std::uint8_t> descriptor) {
    auto sd = Dtyp::decodeSecurityDescriptor(descriptor);
    if (!sd) {
        throwOsError(L"Unable to get the object security info", sd.error(),
                     VSITE("WinSecurity::getObjectSddl"));
    }
    return Dtyp::toSddl(*sd, nullptr, Dtyp::SddlPart::Owner | Dtyp::SddlPart::Group |
                                          Dtyp::SddlPart::Dacl);
}

std::wstring getObjectSddl(Platform::Handle handle) {
    return sddlOfDescriptor(getWholeDescriptor(handle));
}

Dtyp::SecurityDescriptor wholeDescriptorFromSddl(const std::wstring& sddl) {
    auto sd = Dtyp::fromSddl(sddl);
    if (!sd) {
        throw vexception(formatString(L"The descriptor '%s' does not parse: %s", sddl,
                                      sd.message()),
                         VSITE("WinSecurity::wholeDescriptorFromSddl"));
    }
    if (!sd->owner || !sd->group || !sd->hasDacl() || sd->hasSacl()) {
        throw vexception(formatString(L"The descriptor '%s' is not an owner, a group and a DACL",
                                      sddl),
                         VSITE("WinSecurity::wholeDescriptorFromSddl"));
    }
    return std::move(sd).value();
}

void setObjectDescriptor(Platform::Handle handle, const Dtyp::SecurityDescriptor& sd) {
    std::vector<std::uint8_t> owner = sd.owner->toBytes();
    std::vector<std::uint8_t> group = sd.group->toBytes();
    std::vector<std::uint8_t> dacl;
    if (sd.dacl) {
        auto encoded = Dtyp::encodeAcl(*sd.dacl);
        if (!encoded) {
            throwOsError(L"Unable to set the object security info", encoded.error(),
                         VSITE("WinSecurity::setObjectDescriptor"));
        }
        dacl = std::move(encoded).value();
    }
    std::uint32_t protection =
        sd.isDaclProtected() ? Info::ProtectedDacl : Info::UnprotectedDacl;
    std::uint32_t error = Platform::setSecurityInfo(
        handle, Platform::SeFileObject, wholeDescriptor | protection, owner.data(), group.data(),
        sd.dacl ? dacl.data() : nullptr, nullptr);
    if (error != 0) {
        throwOsError(withHostDetail(L"Unable to set the object security info", error), error,
                     VSITE("WinSecurity::setObjectDescriptor"));
    }
}

Platform::UniqueHandle openForDescriptorWrite(const std::wstring& path) {
    Platform::UniqueHandle handle(Platform::createFile(
        path,
        Platform::File::ReadControl | Platform::File::WriteDac | Platform::File::WriteOwner |
            Platform::File::ReadAttributes,
        Platform::File::ShareRead | Platform::File::ShareWrite, Platform::File::OpenExisting,
        Platform::File::FlagBackupSemantics));
    if (!handle) {
        std::uint32_t error = Platform::getLastError();
        throwOsError(withHostDetail(formatString(L"Unable to open the object (%s)",
                                                 stripLongPrefix(path)),
                                    error),
                     error, VSITE("WinSecurity::openForDescriptorWrite"));
    }
    // Links are followed by the open: an object that is not where its path says lies elsewhere.
    std::wstring real = getFileNameFromHandle(handle.get());
    if (comparePaths(path, real) != PathEqual) {
        throw vexception(formatString(L"The path %s points to another path %s; links are not "
                                      L"allowed",
                                      stripLongPrefix(path), real),
                         VSITE("WinSecurity::openForDescriptorWrite"));
    }
    Platform::ByHandleFileInformation object;
    if (!Platform::getFileInformationByHandle(handle.get(), object)) {
        std::uint32_t error = Platform::getLastError();
        throwOsError(formatString(L"Unable to get the information of the object (%s)",
                                  stripLongPrefix(path)),
                     error, VSITE("WinSecurity::openForDescriptorWrite"));
    }
    // A file has one descriptor for all its names: written through this one, it would change
    // a file that may be anyone's under another name. The checker refuses it the same way.
    if (!(object.attributes & Platform::FileAttribute::Directory) && object.numberOfLinks > 1) {
        throw vexception(formatString(L"Cannot apply security to path %s, because it has %u hard "
                                      L"links. Hard links are not allowed.",
                                      stripLongPrefix(path), object.numberOfLinks),
                         VSITE("WinSecurity::openForDescriptorWrite"));
    }
    return handle;
}

}  // namespace WinSecurity
