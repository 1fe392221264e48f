// The path string functions of shlwapi and of the long-path API set
// ("api-ms-win-core-path-l1-1-0.dll"): pure functions over strings, each with the results the
// Windows function gives, including its treatment of roots, prefixes and odd input. Only
// backslashes separate components, as in the API. Functions that return BOOL or HRESULT there
// do so here; the BOOL ones set the thread's last error when they fail.
#pragma once

#include <cstdint>
#include <string>

namespace Platform {

// MAX_PATH, the classic path limit, and PATHCCH_MAX_CCH, the limit of the long-path functions.
constexpr std::size_t MaxPath = 260;
constexpr std::size_t PathCchMaxCch = 0x8000;

// PATHCCH_ALLOW_LONG_PATHS: a result over MAX_PATH is allowed and a drive path that long
// gets the "\\?\" prefix.
constexpr std::uint32_t PathCchAllowLongPaths = 0x01;

// HRESULTs of the long-path functions.
constexpr std::int32_t SOk = 0;
constexpr std::int32_t SFalse = 1;
constexpr std::int32_t EInvalidArg = static_cast<std::int32_t>(0x80070057);
// HRESULT_FROM_WIN32.
constexpr std::int32_t hresultFromWin32(std::uint32_t code) {
    return code == 0 ? 0 : static_cast<std::int32_t>((code & 0xFFFF) | 0x80070000u);
}

// PathCanonicalizeW: "." and ".." components removed (".." never climbs above the root), a
// bare drive "X:" completed to "X:\", an empty path made "\". Fails for a path of MAX_PATH
// characters or more.
bool pathCanonicalize(const std::wstring& path, std::wstring& canonical);

// PathStripToRootW: cuts the path to its root (X:\, X:, \, \\server\share, \\?\X:\,
// \\?\UNC\server\share, \\?\Volume{...}\). False, with an empty path, when there is none.
bool pathStripToRoot(std::wstring& path);

// PathAllocCombine: `more` appended to `path` (or `more` alone when fully qualified, or on
// the root of `path` when it begins with one backslash), then canonicalized as
// PathAllocCanonicalize does; "\\?\" prefixes are dropped and, with PathCchAllowLongPaths,
// put back on a drive path longer than MAX_PATH.
std::int32_t pathAllocCombine(const std::wstring& path, const std::wstring& more,
                              std::uint32_t flags, std::wstring& combined);

// PathAllocCanonicalize: the canonicalization step of pathAllocCombine on its own.
std::int32_t pathAllocCanonicalize(const std::wstring& path, std::uint32_t flags,
                                   std::wstring& canonical);

// PathCchRemoveFileSpec: the last component removed, the root kept. S_OK when something was
// removed, S_FALSE when the path is a root or empty.
std::int32_t pathCchRemoveFileSpec(std::wstring& path);

// PathCombineW: `dir` and `file` joined and canonicalized; `file` alone when it is absolute,
// on the root of `dir` when it begins with one backslash. Fails when the result would reach
// MAX_PATH characters.
bool pathCombine(const std::wstring& dir, const std::wstring& file, std::wstring& combined);

// PathRemoveFileSpecW: the last component and its backslash removed, the root kept. True when
// something was removed.
bool pathRemoveFileSpec(std::wstring& path);

// PathFindExtensionW: the extension with its dot, or an empty string when there is none.
std::wstring pathFindExtension(const std::wstring& path);
// PathFindFileNameW: the text after the last separator (a trailing one does not count).
std::wstring pathFindFileName(const std::wstring& path);
// PathRemoveExtensionW.
void pathRemoveExtension(std::wstring& path);
// PathUnquoteSpacesW: the outer double quotes removed; true when there were any.
bool pathUnquoteSpaces(std::wstring& path);

}  // namespace Platform
