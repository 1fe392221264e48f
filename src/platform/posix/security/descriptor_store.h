// The security descriptors of the host's objects as stored in their xattrs, and as a reader
// sees them with what they inherit (descriptor_store.cpp). POSIX only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dtyp/result.h"
#include "platform/dtyp/security_descriptor.h"
#include "platform/posix/filesystem/posix_path.h"
#include "platform/posix/security/dacl_cache.h"

namespace Platform::Posix {
class FileObject;
struct OpenDirectory;
}  // namespace Platform::Posix

namespace Platform::Posix::ObjectSecurity {

// The descriptor of an object without the xattr: on a drive root, that of a fresh C:\.
const Dtyp::SecurityDescriptor& defaultDescriptor(bool driveRoot);

// An object whose descriptor is read or written.
struct Object {
    SharedPath path;  // how it was reached; for a link itself, the link's path
    int fd = -1;       // the handle's descriptor; -1 when reached by name
    bool container = false;
    bool link = false;  // a symbolic link itself: no xattr of its own
    bool root = false;  // a drive root (or "/"): inherits nothing
    // The directory being searched that it was opened in, if any: its parent, as long as
    // that directory's entries did not change since they were read.
    std::shared_ptr<const OpenDirectory> searched;
    // Whether its xattr is known to be absent: the search it was opened through saw none, and
    // its change time (which every xattr write moves) has not moved since.
    bool knownDefault = false;
    // What the open of the handle saw of it (its device and inode stay the descriptor's).
    const struct stat* opened = nullptr;
    // The same for any handle whose open looked, for its device and inode alone.
    const struct stat* identity = nullptr;
};

// What the xattr holds: the bytes, if any, and the stored descriptor (the default without).
struct Stored {
    bool present = false;
    std::vector<std::uint8_t> bytes;
    Dtyp::SecurityDescriptor sd;
};

// What the object's xattr holds; ERROR_FILE_CORRUPT naming the object when it does not decode.
Dtyp::Result<Stored> readStored(const Object& object);

// The descriptor as a reader sees it: the stored one with the inherited ACEs appended.
Dtyp::Result<Dtyp::SecurityDescriptor> effective(Store& store, const Object& object,
                                                 const Stored& stored);

// The object a POSIX path names: what it points to, or the link itself when asked.
Dtyp::Result<Object> objectAt(Store& store, const std::string& posixPath, bool linkItself);
// The object a Windows path names, told missing as Windows tells it.
Dtyp::Result<Object> objectByName(Store& store, const std::wstring& name);
// The object behind a handle: its own xattr through the descriptor, what it inherits from
// the directory it was opened in.
Dtyp::Result<Object> objectOfHandle(Store& store, const FileObject& file);

// Stores `next` as the object's descriptor in place of `stored`; nothing when that is what is
// stored. A written directory is forgotten by every process of the host. `now`, if given,
// receives what the xattr holds after a call that succeeded.
std::uint32_t writeDescriptor(Store& store, const Object& object, const Stored& stored,
                              const Dtyp::SecurityDescriptor& next,
                              std::optional<Stored>* now = nullptr);

}  // namespace Platform::Posix::ObjectSecurity
