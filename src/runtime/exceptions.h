// The error model: `vexception` with its chain of call-site records, the operating-system
// family `vosexception` chosen by Win32 error code, the structured-exception carrier
// `cwrpexception`, the COM error builder and the `RunTime` family of the file routines.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/format.h"

// One record of an exception's chain: what was being done, where, at which source line.
struct CallSite {
    std::wstring text;
    std::string function;
    std::int32_t line = 0;
};

// A record with no text at the current source line.
#define VSITE(function) (::CallSite{std::wstring(), (function), __LINE__})
// A record with a text at the current source line.
#define VSITE_TEXT(text, function) (::CallSite{(text), (function), __LINE__})

class vexception {
public:
    explicit vexception(std::wstring message);
    vexception(std::wstring message, CallSite site);
    vexception(const vexception&) = default;
    vexception& operator=(const vexception&) = default;
    virtual ~vexception();

    const std::wstring& message() const { return message_; }
    const std::vector<CallSite>& frames() const { return frames_; }

    // Appends an outer record; returns the same exception so a handler can add and rethrow.
    vexception& add(CallSite site);

protected:
    std::wstring message_;
    std::vector<CallSite> frames_;
};

class vosexception : public vexception {
public:
    // The message is the system text of `errorCode`, " (Error code N)" and " at " + context.
    vosexception(std::uint32_t errorCode, const std::wstring& context, CallSite site);
    std::uint32_t errorCode() const { return errorCode_; }

    // The system text for `errorCode` (or "Unknown error") followed by the suffix.
    static std::wstring osMessage(std::uint32_t errorCode, const std::wstring& context);

private:
    std::uint32_t errorCode_;
};

#define TAVREL_OS_EXCEPTION(name)         \
    class name : public vosexception {    \
    public:                               \
        using vosexception::vosexception; \
    };
TAVREL_OS_EXCEPTION(VFileNotFoundException)
TAVREL_OS_EXCEPTION(VPathNotFoundException)
TAVREL_OS_EXCEPTION(VAccessDeniedException)
TAVREL_OS_EXCEPTION(VOutOfMemoryException)
TAVREL_OS_EXCEPTION(VSharingViolationException)
TAVREL_OS_EXCEPTION(VEOFException)
TAVREL_OS_EXCEPTION(VFileExistsException)
TAVREL_OS_EXCEPTION(VInsufficientBufferException)
TAVREL_OS_EXCEPTION(VAlreadyExistsException)
TAVREL_OS_EXCEPTION(VServiceDoesNotExistException)
TAVREL_OS_EXCEPTION(VServiceMarkedForDeleteException)
TAVREL_OS_EXCEPTION(VServiceAlreadyExistsException)
TAVREL_OS_EXCEPTION(VPasswordTooShortException)
#undef TAVREL_OS_EXCEPTION

class ArgumentException : public vexception {
public:
    using vexception::vexception;
};

// Raises the vosexception subclass chosen by `errorCode`. Never returns.
[[noreturn]] void throwOsError(const std::wstring& context, std::uint32_t errorCode, CallSite site);

// `context` followed by ": " and what the host said about the failure just reported with
// `errorCode` (Platform::getLastErrorDetail), when it said anything: the emulated host names a
// damaged file and its line there.
std::wstring withHostDetail(std::wstring context, std::uint32_t errorCode);

// A structured exception (hardware fault) caught by the translator.
class cwrpexception {
public:
    explicit cwrpexception(std::uint32_t code) : code_(code) {}
    std::uint32_t code() const { return code_; }
    // "C structured exception: 0x" + the code in lower-case hex.
    std::wstring text() const;

private:
    std::uint32_t code_;
};

// The COM error (_com_error) as the handlers see it. COM exists only on Windows; on other
// platforms nothing raises it, but the handlers and the builder are the same.
class ComError {
public:
    ComError(std::int32_t hresult, std::wstring description = {}, bool interop = false)
        : hresult_(hresult), description_(std::move(description)), interop_(interop) {}
    std::int32_t hresult() const { return hresult_; }
    const std::wstring& description() const { return description_; }
    // True when the error info is a managed exception (answers for _Exception).
    bool isInterop() const { return interop_; }
    // The standard message text of the HRESULT (_com_error::ErrorMessage).
    std::wstring errorMessage() const;

private:
    std::int32_t hresult_;
    std::wstring description_;
    bool interop_;
};

// A vexception built from a COM error: message, " (COM Error %08X" or " (COM Interop Error
// %08X", ", Description: " + description when there is one, ")\n   at " + text; one record
// with an empty text.
vexception vexceptionFromComError(const ComError& error, const std::wstring& text,
                                  const char* function, std::int32_t line);

// The message and, for each record, "\n   at " + text + "(" + function + " line " + n + ")".
std::wstring renderException(const vexception& e);

// The wide text of a standard exception ("Unknown exception" when it has none).
std::wstring standardExceptionText(const std::exception& e);

namespace RunTime {

#define TAVREL_RUNTIME_EXCEPTION(name)           \
    class name : public std::runtime_error {     \
    public:                                      \
        using std::runtime_error::runtime_error; \
    };
TAVREL_RUNTIME_EXCEPTION(AccessDeniedException)
TAVREL_RUNTIME_EXCEPTION(AlreadyExistsException)
TAVREL_RUNTIME_EXCEPTION(DirectoryNotEmptyException)
TAVREL_RUNTIME_EXCEPTION(InvalidHandleException)
TAVREL_RUNTIME_EXCEPTION(InvalidPathException)
TAVREL_RUNTIME_EXCEPTION(NoneMappedException)
TAVREL_RUNTIME_EXCEPTION(PathNotFoundException)
TAVREL_RUNTIME_EXCEPTION(SharingViolationException)
TAVREL_RUNTIME_EXCEPTION(PathNotAllowedException)
#undef TAVREL_RUNTIME_EXCEPTION

// Raises the class chosen by `errorCode` with "text: (code) system text", or a plain
// std::runtime_error with the text alone when the code is 0. Never returns.
[[noreturn]] void throwErrorText(const std::wstring& text, std::uint32_t errorCode);

template <typename... Args>
[[noreturn]] void throwError(std::wstring_view format, std::uint32_t errorCode,
                             const Args&... args) {
    throwErrorText(RunTime::formatString(format, args...), errorCode);
}

}  // namespace RunTime
