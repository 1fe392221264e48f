// Structured exceptions without compiler support for __try: a vectored handler notices a
// hardware fault on a thread that has a translator inside guardedCall, keeps the exception
// record and context for the minidump, and resumes the thread in a landing that jumps back to
// guardedCall's frame. There, on a sound stack, the translator runs and its C++ exception
// unwinds as usual. The frames between the call and the fault are abandoned, as a longjmp
// would abandon them.
#include "platform/win32/host/win32.h"

#include "platform/seh.h"

#include <dbghelp.h>

#include <mutex>

#include "platform/unique.h"

namespace Platform {
namespace {

struct FaultState {
    SeTranslator translator = nullptr;
    void** landing = nullptr;  // __builtin_setjmp buffer of the innermost guardedCall
    std::uint32_t code = 0;
    EXCEPTION_RECORD record{};
    CONTEXT context{};
    bool faulted = false;
};

thread_local FaultState state;

bool isHardwareFault(DWORD code) {
    switch (code) {
        case EXCEPTION_ACCESS_VIOLATION:
        case EXCEPTION_IN_PAGE_ERROR:
        case EXCEPTION_ILLEGAL_INSTRUCTION:
        case EXCEPTION_PRIV_INSTRUCTION:
        case EXCEPTION_INT_DIVIDE_BY_ZERO:
        case EXCEPTION_INT_OVERFLOW:
        case EXCEPTION_FLT_DIVIDE_BY_ZERO:
        case EXCEPTION_FLT_INEXACT_RESULT:
        case EXCEPTION_FLT_INVALID_OPERATION:
        case EXCEPTION_FLT_OVERFLOW:
        case EXCEPTION_FLT_UNDERFLOW:
        case STATUS_HEAP_CORRUPTION:
            return true;
        // A stack overflow has no stack left to land on: it takes its default course.
        default:
            return false;
    }
}

// Where a faulting thread resumes: straight back into guardedCall.
[[noreturn]] void landAfterFault() {
    __builtin_longjmp(state.landing, 1);
}

LONG CALLBACK onException(EXCEPTION_POINTERS* info) {
    FaultState& s = state;
    DWORD code = info->ExceptionRecord->ExceptionCode;
    if (!s.translator || !s.landing || !isHardwareFault(code)) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    s.code = code;
    s.record = *info->ExceptionRecord;
    s.record.ExceptionRecord = nullptr;
    s.context = *info->ContextRecord;
    s.faulted = true;
    // Resume in the landing on an aligned part of the faulting stack below the faulting
    // frame, as if it had been called there; the landing only jumps, so a page is plenty.
    CONTEXT* c = info->ContextRecord;
    c->Rsp = ((c->Rsp - 4096) & ~static_cast<DWORD64>(15)) - 8;
    c->Rip = reinterpret_cast<DWORD64>(&landAfterFault);
    return EXCEPTION_CONTINUE_EXECUTION;
}

void installHandler() {
    static std::once_flag once;
    std::call_once(once, [] { ::AddVectoredExceptionHandler(1, onException); });
}

}  // namespace

SeTranslator setSeTranslator(SeTranslator translator) {
    if (translator) {
        installHandler();
    }
    SeTranslator previous = state.translator;
    state.translator = translator;
    return previous;
}

int guardedCall(const std::function<int()>& body) {
    void* landing[5] = {};
    void** outer = state.landing;
    if (__builtin_setjmp(landing) != 0) {
        state.landing = outer;
        // The fault is over once the translator is done, whether it returns or throws.
        struct Done {
            ~Done() { state.faulted = false; }
        } done;
        SeTranslator translator = state.translator;
        if (translator) {
            translator(state.code);
        }
        return 1;
    }
    state.landing = landing;
    try {
        int result = body();
        state.landing = outer;
        return result;
    } catch (...) {
        state.landing = outer;
        throw;
    }
}

bool writeCrashDump(const std::wstring& fileName) {
    if (!state.faulted) {
        return Win32::failWith(ERROR_INVALID_PARAMETER);
    }
    UniqueHandle file(::CreateFileW(Win32::longPath(fileName).c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return false;
    }
    EXCEPTION_POINTERS pointers{&state.record, &state.context};
    MINIDUMP_EXCEPTION_INFORMATION exception{};
    exception.ThreadId = ::GetCurrentThreadId();
    exception.ExceptionPointers = &pointers;
    exception.ClientPointers = FALSE;
    if (!::MiniDumpWriteDump(::GetCurrentProcess(), ::GetCurrentProcessId(), file.get(),
                             static_cast<MINIDUMP_TYPE>(MiniDumpNormal | MiniDumpWithThreadInfo),
                             &exception, nullptr, nullptr)) {
        return false;
    }
    return ::FlushFileBuffers(file.get()) != FALSE;
}

}  // namespace Platform
