// Where security metadata lives, as functions of paths alone: no file is touched and no
// configuration is read, so each caller says which root and which base it counts from.
//
// Metadata of a webspace W lives inside it, in the hidden directory ".tarno":
//   W itself          BASE\W\.tarno\.Security
//   web user U of W   BASE\W\.tarno\.Web.U.Security  (the user's directory is W\web_users\U)
//   a directory P     P\.Security
// where BASE is the directory of all webspaces (HTTPD_VHOSTS_D).
#pragma once

#include <string>
#include <string_view>

#include "runtime/exceptions.h"

namespace Tavrel {

// A full path that does not lie below the manager's root.
class RootCorrelationException : public vexception {
public:
    using vexception::vexception;
};

// Raises a vexception naming `parameter` unless `value` is one plain path component: not empty,
// no '\', '/' or ':', and no trailing '.' or blank (which Windows drops, so that "..", "." or
// "name." would reach another directory than the one named). Names that become directories
// below the root of all webspaces pass through here before any file is touched.
void requirePlainName(const std::wstring& parameter, const std::wstring& value);
// The same for a relative path: every component between separators is a plain name.
void requireRelativePath(const std::wstring& parameter, const std::wstring& value);

namespace MetadataPaths {

// BASE\W\.tarno\.Security, or BASE\.Security for an empty W.
std::wstring domainMetadataFile(const std::wstring& webspace, const std::wstring& base);
// BASE\W\.tarno\.Web.U.Security.
std::wstring webUserMetadataFile(const std::wstring& webspace, const std::wstring& webUser,
                                 const std::wstring& base);
// P\.Security.
std::wstring pathMetadataFile(const std::wstring& directory);

// The part of `fullPath` below `root`, components joined by '\' ("" for the root itself); with
// `firstComponentOnly` only its first component. "." and ".." are resolved first. Raises
// RootCorrelationException for a path that is not the root or below it.
std::wstring getRootRelativePath(const std::wstring& fullPath, const std::wstring& root,
                                 bool firstComponentOnly);
// The metadata file that governs the path `relative` below `root` (getRootRelativePath's
// answer): root's own ".Security" for "", a web user's file below `base` for W\web_users\U\...
// (letter case of "web_users" ignored), else the file of webspace W below `base`.
std::wstring metadataFileFor(std::wstring_view relative, const std::wstring& root,
                             const std::wstring& base);
// What of `relative` metadataFileFor depends on: "" for the root, W\web_users\U for a path in
// a web user's directory, else W. metadataFileFor gives the same for it as for `relative`.
std::wstring metadataOwner(std::wstring_view relative);
// The directory that entries with the sub path `subPath` cover: root\W\web_users\U for a path
// in a web user's directory, else root\W; empty for a sub path without components.
std::wstring scopeOfSubPath(const std::wstring& subPath, const std::wstring& root);

// Whether `component` is the directory of a webspace's web users, in any letter case.
bool isWebUsers(std::wstring_view component);
// Whether `directory` is the panel's metadata directory as the panel writes its name: all its
// files are the tool's own, and it is kept hidden. A ".Tarno" is somebody else's.
bool isMetadataDirectory(const std::wstring& directory);
// Whether `directory` names the metadata directory in any letter case: the file system finds
// ".tarno" under every one of them, so each must be checked for links.
bool namesMetadataDirectory(const std::wstring& directory);

}  // namespace MetadataPaths
}  // namespace Tavrel
