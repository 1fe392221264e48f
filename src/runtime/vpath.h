// The path of an object as the tool carries it: made once where a path enters (the command
// line, a metadata entry, the configuration), normalised then and never again, and extended by
// the names a listing returns. It holds the long form that the seam takes ("\\?\C:\a\b"); the
// form shown to a person (no prefix) is a view into it, and comparisons are comparePaths' own:
// component by component, letter case ignored.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/filename.h"

class VPath {
public:
    VPath() = default;

    // `entered` as written: '/' taken as '\', empty and "." components dropped, ".." taking the
    // component before it (never the drive or the share; kept in front of a relative path),
    // trailing separators dropped. A drive path gets the "\\?\" prefix ("C:" is "\\?\C:\"); a
    // "\\?\" or "\??\" in front is taken as that prefix. A UNC, rooted or relative path is kept
    // without one, as the seam takes it.
    explicit VPath(std::wstring_view entered);

    bool empty() const { return long_.empty(); }
    // The form the seam takes.
    const std::wstring& longForm() const { return long_; }
    const wchar_t* c_str() const { return long_.c_str(); }
    // The form logs, reports, journals and callbacks show: the long form without its prefix.
    std::wstring_view shown() const { return std::wstring_view(long_).substr(prefix_); }
    std::wstring shownText() const { return std::wstring(shown()); }
    // The last component ("" for a drive or share root, or the empty path).
    std::wstring_view name() const;

    // The path of `name` in this directory. `name` is one component as a listing returns it
    // (no separator, not "." or ".."): it is appended as it is.
    VPath child(std::wstring_view name) const;
    // The directory holding this path; a root is its own parent.
    VPath parent() const;

    // The same as child(), in place, for a walk that extends one path level by level: the
    // length to give cutTo to come back.
    std::size_t extend(std::wstring_view name);
    void cutTo(std::size_t length) { long_.resize(length); }

    // comparePaths of the two paths.
    PathRelation compare(const VPath& other) const { return comparePaths(long_, other.long_); }
    bool operator==(const VPath& other) const { return compare(other) == PathEqual; }
    // Whether this path is `root` or lies below it.
    bool isAtOrBelow(const VPath& root) const;
    // The components of this path below `root`, joined by '\' as this path writes them ("" for
    // `root` itself); nothing when the path is not at or below `root`.
    std::optional<std::wstring_view> below(const VPath& root) const;

private:
    std::wstring long_;
    std::size_t prefix_ = 0;  // the length of the "\\?\" in front (0 or 4)
    std::size_t root_ = 0;    // the length of the part no ".." takes and parent() keeps
};
