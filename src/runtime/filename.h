// Path names: the one place that says how paths are normalised, compared, combined, cut and
// made long, how a file's existence is tested, how directories are created and enumerated
// and where private temporary files go. Paths are wide Windows paths that may exceed
// MAX_PATH and may carry the "\\?\" or "\??\" prefix. Failures raise vexception (through
// throwOsError) with the operation's name as the call site.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/filesystem.h"
#include "platform/system.h"
#include "platform/unique.h"
#include "runtime/held_directory.h"

// The relation of path a to path b (comparePaths).
enum PathRelation {
    PathEqual = 0,    // the same components
    PathBelow = 1,    // b is a proper ancestor of a
    PathAbove = 2,    // a is a proper ancestor of b
    PathLess = 3,     // the paths diverge and a orders first
    PathGreater = 4,  // the paths diverge and a orders last
};

// The path without a leading "\\?\" or "\??\" (compared case-sensitively); "\\.\" stays.
std::wstring stripLongPrefix(const std::wstring& path);
// The same as a pointer into `path`.
const wchar_t* stripLongPrefix(const wchar_t* path);

// "\\?\" + the normalised path for a drive path ("C:" becomes "\\?\C:\"); any other path
// (relative, UNC, already prefixed) unchanged.
std::wstring toLongPath(const std::wstring& path);

// Slashes to backslashes, empty and "." components dropped, ".." taking the previous
// component (never climbing above the first, and kept when there is nothing to take); one
// leading and one trailing backslash kept when there were any; a "\\?\" or "\\.\" prefix
// kept in front.
std::wstring normalizePath(const std::wstring& path);

// Component-wise comparison after stripping the long prefix; '/' and '\' both separate.
// Components order by length first, then case-insensitively: C:\zz orders before C:\aaa.
PathRelation comparePaths(const std::wstring& a, const std::wstring& b);

// The components of a path between '\\' and '/', empty ones (doubled, leading or trailing
// separators) left out.
std::vector<std::wstring> splitPathComponents(std::wstring_view path);
// The same, as views into `path`.
std::vector<std::wstring_view> pathComponentViews(std::wstring_view path);

// The path with one trailing backslash (an empty path becomes "\").
std::wstring withTrailingBackslash(const std::wstring& path);
// The text after the last backslash, one trailing backslash ignored (C:\a\b\ gives b).
std::wstring lastComponent(const std::wstring& path);
// Every leading / trailing '\' and '/' removed.
std::wstring trimLeadingSeparators(const std::wstring& path);
std::wstring trimTrailingSeparators(const std::wstring& path);

// Each component in its long form on disk: the path rebuilt part by part, every growing
// prefix replaced by its VFileName::longFileName. A leading "\\" (UNC) stays in front.
// With `keepMissingRest`, the first part that does not exist ends the conversion and the rest
// is appended as written (a folder still to be created keeps its place); otherwise a missing
// part fails as longFileName does.
std::wstring longPathOfEachPart(const std::wstring& path, bool keepMissingRest = false);

// PathFindExtensionW, PathFindFileNameW, PathRemoveExtensionW, PathUnquoteSpacesW.
std::wstring fileExtension(const std::wstring& path);
std::wstring fileName(const std::wstring& path);
std::wstring withoutExtension(const std::wstring& path);
std::wstring unquoted(const std::wstring& path);

// Whether the file or directory exists (GetFileAttributesW on the long form). False for
// ERROR_FILE_NOT_FOUND and ERROR_PATH_NOT_FOUND; any other failure raises "retrieves
// attributes for file or directory <path>". The second form also gives the attributes.
bool fileExist(const std::wstring& path);
bool fileExist(const std::wstring& path, std::uint32_t& attributes);

namespace VFileName {

// `name` (leading separators ignored) joined to `dir`: PathAllocCombine on Windows 8 and
// later, PathCombineW or a plain join before.
std::wstring combine(const std::wstring& dir, const std::wstring& name);
// PathCanonicalizeW.
std::wstring canonicalize(const std::wstring& path);
// The parent directory of the normalised path: PathCchRemoveFileSpec on Windows 8 and later,
// PathRemoveFileSpecW (or a cut at the last backslash from MAX_PATH on) before.
std::wstring removeFileSpec(const std::wstring& path);
// PathStripToRootW of the path: its drive or share root.
std::wstring root(const std::wstring& path);
// GetLongPathNameW.
std::wstring longFileName(const std::wstring& path);
// ExpandEnvironmentStringsW.
std::wstring expandEnvironmentStrings(const std::wstring& text);

// Replaces the operating-system version that picks the Windows 8 or the older method of
// combine and removeFileSpec; std::nullopt goes back to the real version. For tests.
void setOsVersionForTesting(std::optional<Platform::OsVersion> version);

}  // namespace VFileName

namespace VDirectory {

// Creates the directory with all missing parents; an existing directory is left alone.
// Raises "Unable to create directory with wrong name" for an empty path and the
// operating-system error "CreateDirectory(<path>)" when a level cannot be created.
void createDirectory(const std::wstring& path);

// Opens the directory `path` for as long as the handle lives and checks that it is reached
// without a link: its final path must be `path` itself. On Windows the handle (no delete
// sharing) keeps the directory from being renamed or removed meanwhile. An invalid handle
// when `path` is missing, a file, or reached through a link or another reparse point.
Platform::UniqueHandle openInPlace(const std::wstring& path);

// Creates `path` and its missing parents, one component at a time from `anchor` (the directory
// a run is confined to; made itself, one name below its parent, when `path` is or lies below it
// and it is missing), each level reached from the one above it and held (HeldDirectory). False,
// with a warning naming the component, when a link, another reparse point or a file stands in
// the way, or `path` is not at or below `anchor`: then nothing more is created. Raises the
// operating-system error "CreateDirectory(<path>)" when a level cannot be created.
bool createDirectoryBelow(const std::wstring& anchor, const std::wstring& path);

}  // namespace VDirectory

// Enumerates the entries matching a pattern (a directory combined with a wildcard such as
// "*.*"), "." and ".." included. The search handle closes with the finder.
class VFileFinder {
public:
    // One entry: its name and attributes.
    struct Result {
        std::wstring name;
        std::uint32_t attributes = 0;
    };

    VFileFinder() = default;

    // Starts the search. False when nothing matches or the directory does not exist; any
    // other failure raises "FindFirstFile(<pattern>)".
    bool first(const std::wstring& pattern);
    // The next entry; false at the end. Other failures raise "FindNextFile".
    bool next();
    // The same, handing out the entry found.
    bool first(const std::wstring& pattern, Result& result);
    bool next(Result& result);

    const std::wstring& name() const { return data_.fileName; }
    std::uint32_t attributes() const { return data_.attributes; }
    bool isDirectory() const { return data_.attributes & Platform::FileAttribute::Directory; }
    const Platform::FindData& data() const { return data_; }

private:
    Platform::UniqueFindHandle handle_;
    Platform::FindData data_;
};

// Lists the directory held by a handle batch by batch (GetFileInformationByHandleEx): names
// and kinds, "." and ".." included; callers skip what they do not want.
class VDirectoryListing {
public:
    explicit VDirectoryListing(Platform::Handle directory) : directory_(directory) {}

    // The next batch of entries; false after the last. A failure raises
    // "GetFileInformationByHandleEx(<path>)", `path` being the directory's as shown.
    bool next(std::vector<Platform::DirectoryEntry>& entries, const std::wstring& path);

private:
    Platform::Handle directory_;
    bool restart_ = true;
};

// A GUID value and its text form.
class VGUID {
public:
    explicit VGUID(const Platform::Guid& bytes) : bytes_(bytes) {}
    // A new random GUID (UuidCreate); raises the operating-system error "UuidCreate".
    static VGUID create();

    // The UuidToStringW form: "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx", lower case, no braces.
    std::wstring toString() const;
    const Platform::Guid& bytes() const { return bytes_; }

private:
    Platform::Guid bytes_;
};

// Creates an empty temporary file in PRODUCT_ROOT_D\PrivateTemp (created when missing) and
// returns its name; the system's temporary directory is used when that directory cannot be.
std::wstring privateTempFileName();
// PRODUCT_ROOT_D\PrivateTemp, whether it exists or not; raises the registry's error when the
// configuration names no product root.
std::wstring privateTempDirectory();
// Whether `name` has the form of privateTempFileName's files: GetTempFileName's three
// characters of the prefix (a GUID's text), one to four hexadecimal digits and ".tmp".
bool isPrivateTempFileName(const std::wstring& name);

// Now, and the start of this process, as FILETIMEs (100 ns units since 1601, UTC).
std::uint64_t currentFileTime();
std::uint64_t processStartTime();
// Now as "YYYYMMDDThhmmss.mmmZ" (UTC): names that carry it sort by time.
std::wstring utcTimeStamp();

// Removes the files of `directory` that match the wildcard `pattern`, that `isOurs` accepts
// and that were last written before this process started: what runs killed before they could
// clean up left there (a run still going wrote its file later, or keeps it younger). Only
// directories that are the tool's own may be given: a user's folder can hold any name.
// Failures are only logged.
void removeStaleFiles(const HeldDirectory& directory, const std::wstring& pattern,
                      bool (*isOurs)(const std::wstring& name));
// The same over privateTempDirectory() for privateTempFileName's names; nothing without a
// configured product root (the system's temporary directory is not the tool's own).
void removeStalePrivateTemporaries();

// Everything from the position of the open file to its end; a failed read raises the
// operating-system error with `failure` as its text, at the call site `function`.
std::string readToEnd(Platform::Handle file, const std::wstring& failure, const char* function);

// The processes that hold `path` open, for an error that could not replace it: "NAME (PID)"
// each, separated by ", "; empty when none is known.
std::wstring processesHolding(const std::wstring& path);
