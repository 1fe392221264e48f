#include "runtime/exceptions.h"

#include "platform/system.h"
#include "platform/text.h"
#include "platform/types.h"

namespace {
// LANG_NEUTRAL, SUBLANG_DEFAULT: the user's default language.
constexpr std::uint32_t neutralLanguage = 1024;

// FormatMessageW's text for `code` without its trailing line break.
bool systemText(std::uint32_t code, std::wstring& text) {
    if (!Platform::formatSystemMessage(code, neutralLanguage, text)) {
        return false;
    }
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n')) {
        text.pop_back();
    }
    return true;
}

}  // namespace

vexception::vexception(std::wstring message) : message_(std::move(message)) {}

vexception::vexception(std::wstring message, CallSite site) : message_(std::move(message)) {
    frames_.push_back(std::move(site));
}

vexception::~vexception() = default;

vexception& vexception::add(CallSite site) {
    frames_.push_back(std::move(site));
    return *this;
}

std::wstring vosexception::osMessage(std::uint32_t errorCode, const std::wstring& context) {
    std::wstring suffix = formatString(L" (Error code %lu)", errorCode);
    if (!context.empty()) {
        suffix += L" at ";
        suffix += context;
    }
    std::wstring text;
    if (!systemText(errorCode, text)) {
        return L"Unknown error" + suffix;
    }
    return text + suffix;
}

vosexception::vosexception(std::uint32_t errorCode, const std::wstring& context, CallSite site)
    : vexception(osMessage(errorCode, context), std::move(site)), errorCode_(errorCode) {}

std::wstring withHostDetail(std::wstring context, std::uint32_t errorCode) {
    // Only the words given with this very code: an older failure's do not belong here.
    if (Platform::getLastError() == errorCode) {
        std::wstring detail = Platform::getLastErrorDetail();
        if (!detail.empty()) {
            context += L": ";
            context += detail;
        }
    }
    return context;
}

void throwOsError(const std::wstring& context, std::uint32_t errorCode, CallSite site) {
    namespace E = Platform::WinError;
    switch (errorCode) {
        case E::FileNotFound:
            throw VFileNotFoundException(errorCode, context, std::move(site));
        case E::PathNotFound:
            throw VPathNotFoundException(errorCode, context, std::move(site));
        case E::AccessDenied:
            throw VAccessDeniedException(errorCode, context, std::move(site));
        case E::OutOfMemory:
            throw VOutOfMemoryException(errorCode, context, std::move(site));
        case E::SharingViolation:
            throw VSharingViolationException(errorCode, context, std::move(site));
        case E::HandleEof:
            throw VEOFException(errorCode, context, std::move(site));
        case E::FileExists:
            throw VFileExistsException(errorCode, context, std::move(site));
        case E::InsufficientBuffer:
            throw VInsufficientBufferException(errorCode, context, std::move(site));
        case E::AlreadyExists:
            throw VAlreadyExistsException(errorCode, context, std::move(site));
        case E::ServiceDoesNotExist:
            throw VServiceDoesNotExistException(errorCode, context, std::move(site));
        case E::ServiceMarkedForDelete:
            throw VServiceMarkedForDeleteException(errorCode, context, std::move(site));
        case E::ServiceExists:
            throw VServiceAlreadyExistsException(errorCode, context, std::move(site));
        case E::PasswordTooShort:
            throw VPasswordTooShortException(errorCode, context, std::move(site));
        default:
            throw vosexception(errorCode, context, std::move(site));
    }
}

std::wstring cwrpexception::text() const {
    return formatString(L"C structured exception: 0x%x", code_);
}

std::wstring ComError::errorMessage() const {
    // _com_error::ErrorMessage: the system text of the HRESULT, or a generic text for an
    // HRESULT the system does not describe.
    std::wstring text;
    auto code = static_cast<std::uint32_t>(hresult_);
    std::uint32_t lookup = (code & 0xFFFF0000u) == 0x80070000u ? (code & 0xFFFFu) : code;
    if (systemText(lookup, text)) {
        return text;
    }
    return formatString(L"Unknown error 0x%0lX", code);
}

vexception vexceptionFromComError(const ComError& error, const std::wstring& text,
                                  const char* function, std::int32_t line) {
    std::wstring message = error.errorMessage();
    message += formatString(error.isInterop() ? L" (COM Interop Error %08X" : L" (COM Error %08X",
                            static_cast<std::uint32_t>(error.hresult()));
    if (!error.description().empty()) {
        message += L", Description: ";
        message += error.description();
    }
    message += L")\n   at ";
    message += text;
    return vexception(std::move(message), CallSite{std::wstring(), function, line});
}

std::wstring renderException(const vexception& e) {
    std::wstring text = e.message();
    for (const auto& site : e.frames()) {
        text += L"\n   at ";
        text += site.text;
        text += L"(";
        text += Platform::fromAnsi(site.function);
        text += L" line ";
        text += std::to_wstring(site.line);
        text += L")";
    }
    return text;
}

std::wstring standardExceptionText(const std::exception& e) {
    const char* what = e.what();
    if (!what || !*what) {
        return L"Unknown exception";
    }
    return Platform::fromAnsi(what);
}

namespace RunTime {

void throwErrorText(const std::wstring& text, std::uint32_t errorCode) {
    if (errorCode == 0) {
        throw std::runtime_error(Platform::toAnsi(text));
    }
    std::wstring system;
    systemText(errorCode, system);
    std::string what = Platform::toAnsi(formatString(L"%s: (%d) %s", text, errorCode, system));
    switch (errorCode) {
        case 2:
        case 3:
            throw PathNotFoundException(what);
        case 5:
            throw AccessDeniedException(what);
        case 6:
            throw InvalidHandleException(what);
        case 15:
        case 26:
        case 34:
        case 123:
        case 161:
        case 267:
            throw InvalidPathException(what);
        case 32:
        case 33:
        case 36:
            throw SharingViolationException(what);
        case 80:
        case 183:
            throw AlreadyExistsException(what);
        case 145:
            throw DirectoryNotEmptyException(what);
        case 1332:
            throw NoneMappedException(what);
        default:
            throw std::runtime_error(what);
    }
}

}  // namespace RunTime
