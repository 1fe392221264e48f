// Outcomes of the security-data functions. They are pure: a failure is returned as the Win32
// error code that the matching Win32 call would leave as the thread's last error, and the seam
// above decides whether to set it. Parsers add a description of where the input went wrong.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "platform/types.h"

namespace Platform::Dtyp {

// Success, or the Win32 error code of a call that yields nothing else.
struct Status {
    std::uint32_t error = WinError::Success;

    bool ok() const { return error == WinError::Success; }
    explicit operator bool() const { return ok(); }
};

// A failure: the Win32 error code and a sentence saying what was wrong and where.
struct Failure {
    std::uint32_t error = WinError::InvalidParameter;
    std::wstring message;
};

// A value, or the failure that prevented it.
template <typename T>
class Result {
public:
    Result(T value) : value_(std::move(value)) {}
    Result(Failure failure) : failure_(std::move(failure)) {}

    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }

    const T& value() const& { return *value_; }
    T& value() & { return *value_; }
    T&& value() && { return std::move(*value_); }
    const T& operator*() const& { return *value_; }
    T& operator*() & { return *value_; }
    const T* operator->() const { return &*value_; }
    T* operator->() { return &*value_; }

    // Meaningful only when !ok().
    std::uint32_t error() const { return failure_.error; }
    const std::wstring& message() const { return failure_.message; }
    const Failure& failure() const { return failure_; }

private:
    std::optional<T> value_;
    Failure failure_{WinError::Success, {}};
};

}  // namespace Platform::Dtyp
