// What the units of the emulated host's file system share (filesystem.cpp, dos_attributes.cpp,
// directory_search.cpp, create_file.cpp). POSIX only.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/filesystem.h"
#include "platform/posix/filesystem/filehandle.h"

namespace Platform::Posix {

// Where the DOS attributes are kept: the form Wine and Samba read.
constexpr const char* dosAttributeXattr = "user.DOSATTRIB";

// An entry of a directory being read: its descriptor and the name in it, and the path for
// kernels without getxattrat.
struct EntryPlace {
    int dir = -1;
    const char* name = nullptr;
    const std::string* dirPath = nullptr;  // the directory's path, when `path` is not given

    std::string pathOr(const std::string& path) const;
};

// Which of the host's xattrs an entry of a directory being read carries, asked in one call
// (listxattrat(2), Linux 6.13); nothing when that cannot be asked.
struct EntryXattrs {
    bool dosAttributes = false;
    bool securityDescriptor = false;
};
std::optional<EntryXattrs> entryXattrs(const EntryPlace& place);

// The attributes the xattr value of `size` bytes in `value` (room for one more) holds.
std::optional<std::uint32_t> parseDosAttributes(char* value, ssize_t size);
// Writes the stored attributes, or removes the xattr when they are the default of the type
// (archive for a file, nothing for a directory), so that a plain object carries no xattr.
bool writeDosAttributes(const std::string& path, bool directory, std::uint32_t attributes);
// The attributes of an object that is no link, from what its xattr holds.
std::uint32_t attributesOfStored(const struct stat& st, std::optional<std::uint32_t> stored);
// The attributes of the object at `path` (or at `place`) that `st` describes; with `names`,
// the xattr is read only when the entry has one.
std::uint32_t attributesOf(const std::string& path, const struct stat& st,
                           const EntryPlace& place = {}, const EntryXattrs* names = nullptr);
bool isReadOnly(const struct stat& st);

// A time as a FILETIME, and the creation time that POSIX does not keep.
std::uint64_t fileTime(const struct timespec& time);
std::uint64_t creationTimeOf(const struct stat& st);

bool isDirectory(const std::string& path);
// Windows tells a missing file (ERROR_FILE_NOT_FOUND) from a missing directory on the way
// (ERROR_PATH_NOT_FOUND); POSIX says ENOENT for both. False with the last error from errno.
bool failForPath(const std::string& path);
// The host path of the Windows `path` and what lstat(2) says of the object there; false with
// the last error set where the path maps to nothing or names nothing.
bool lstatWindowsPath(const std::wstring& path, std::string& posix, struct stat& st);

// ReplaceFileW on POSIX paths: `source` takes the place of the regular file `target`, which
// must exist, with its security descriptor, DOS attributes, mode and owner.
bool replacePosixFile(const std::string& target, const std::string& source, std::uint32_t flags);

// The handle of an existing object just opened, `st` what its descriptor says of it: held
// against delete as its share mode asks, its access checked through it (the invalid handle,
// the last error set, when refused), and registered.
Handle registerOpened(std::shared_ptr<FileObject> object, const struct stat& st,
                      std::uint32_t access, std::uint32_t shareMode, bool linkItself,
                      bool backupSemantics);

bool grantsRead(std::uint32_t access);
bool grantsWrite(std::uint32_t access);
bool hasDrive(std::wstring_view path);

// The entry of the search that the object was opened through, if the search's listing still
// describes it (same inode, same change time): the object is then one of the directory's
// entries and what the listing read of it is still true.
const ListedEntry* listedEntryOf(const FileObject& object, const struct stat& st);

// The search of the directory `path` whose listing holds `name` as the object `st` describes,
// if one is in progress.
std::shared_ptr<const OpenDirectory> searchHolding(const std::string& path, const std::string& name,
                                                   const struct stat& st);

}  // namespace Platform::Posix
