// The name patterns of FindFirstFile (pattern.cpp): pure functions.
#pragma once

#include <string>

namespace Platform::Posix {

// The form the file system matches: the DOS wildcards that FindFirstFile hands over
// (FsRtlIsNameInExpression) in place of '?', '*' and '.' where they stand for them.
std::wstring dosPattern(const std::wstring& pattern);

// Whether `name` matches a pattern in that form, case-insensitively.
bool matchesPattern(const std::wstring& dosForm, const std::wstring& name);

}  // namespace Platform::Posix
