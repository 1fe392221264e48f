#include "disksecurity/checker_errors.h"

#include "runtime/exceptions.h"

namespace DiskSecurity {

std::wstring oneLine(std::wstring text) {
    for (wchar_t& c : text) {
        if (c == L'\t' || c == L'\r' || c == L'\n') {
            c = L' ';
        }
    }
    while (!text.empty() && text.back() == L' ') {
        text.pop_back();
    }
    return text;
}

CaughtError errorCategory(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const VAccessDeniedException& e) {
        return {ErrorCategory::AccessDenied, renderException(e)};
    } catch (const VFileNotFoundException& e) {
        return {ErrorCategory::NotFound, renderException(e)};
    } catch (const VPathNotFoundException& e) {
        return {ErrorCategory::NotFound, renderException(e)};
    } catch (const VSharingViolationException& e) {
        return {ErrorCategory::SharingViolation, renderException(e)};
    } catch (const vexception& e) {
        return {ErrorCategory::Other, renderException(e)};
    } catch (const RunTime::InvalidPathException& e) {
        return {ErrorCategory::InvalidPath, standardExceptionText(e)};
    } catch (const RunTime::PathNotAllowedException& e) {
        return {ErrorCategory::PathNotAllowed, standardExceptionText(e)};
    } catch (const RunTime::AccessDeniedException& e) {
        return {ErrorCategory::AccessDenied, standardExceptionText(e)};
    } catch (const RunTime::PathNotFoundException& e) {
        return {ErrorCategory::NotFound, standardExceptionText(e)};
    } catch (const RunTime::AlreadyExistsException& e) {
        return {ErrorCategory::AlreadyExists, standardExceptionText(e)};
    } catch (const RunTime::SharingViolationException& e) {
        return {ErrorCategory::SharingViolation, standardExceptionText(e)};
    } catch (const RunTime::DirectoryNotEmptyException& e) {
        return {ErrorCategory::DirectoryNotEmpty, standardExceptionText(e)};
    } catch (const std::exception& e) {
        return {ErrorCategory::Other, standardExceptionText(e)};
    }
}

}  // namespace DiskSecurity
