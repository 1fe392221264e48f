// What goes wrong in a walk, as the checker and its callers tell it apart: the category of an
// error by the exception caught, and the two exceptions that end a run.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace DiskSecurity {

// What went wrong, by the exception caught (errorCategory). There is no category 7.
enum class ErrorCategory : std::int32_t {
    InvalidPath = 1,
    PathNotAllowed = 2,
    AccessDenied = 3,
    NotFound = 4,
    AlreadyExists = 5,
    SharingViolation = 6,
    DirectoryNotEmpty = 8,
    Other = 9,
};

// The category and text of the exception being handled (inside a catch block) or of `error`.
struct CaughtError {
    ErrorCategory category = ErrorCategory::Other;
    std::wstring text;
};
CaughtError errorCategory(std::exception_ptr error);

// Thrown to end a run; every level of the walk lets it pass. The caller catches it.
class AbortException {};

// Thrown to end a run with an error that no per-object handling may swallow (a descriptor
// that could not be journaled must not be written); every level of the walk lets it pass and
// the caller rethrows `cause`.
class StopRunException {
public:
    explicit StopRunException(std::exception_ptr cause) : cause(std::move(cause)) {}
    std::exception_ptr cause;
};

// What an error says on one line (an audit line is one line and its fields are tab-separated).
std::wstring oneLine(std::wstring text);

}  // namespace DiskSecurity
