#include "platform/seh.h"

#include <execinfo.h>
#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/filesystem/pathmap.h"
#include "platform/posix/host/errors.h"
#include "platform/posix/host/seam_count.h"
#include "platform/system.h"
#include "platform/text.h"

namespace Platform {
namespace {

constexpr int faultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
constexpr int maxFrames = 64;

struct FaultState {
    SeTranslator translator = nullptr;
    sigjmp_buf* landing = nullptr;  // innermost guardedCall of this thread
    std::uint32_t code = 0;
    int signal = 0;
    void* frames[maxFrames] = {};
    int frameCount = 0;
    bool faulted = false;
};

thread_local FaultState state;

std::uint32_t codeOf(int signal, const siginfo_t* info) {
    switch (signal) {
        case SIGSEGV:
            return ExceptionAccessViolation;
        case SIGBUS:
            return ExceptionInPageError;
        case SIGILL:
            return info && (info->si_code == ILL_PRVOPC || info->si_code == ILL_PRVREG)
                       ? ExceptionPrivInstruction
                       : ExceptionIllegalInstruction;
        case SIGFPE:
            switch (info ? info->si_code : 0) {
                case FPE_INTOVF:
                    return ExceptionIntOverflow;
                case FPE_FLTDIV:
                    return ExceptionFltDivideByZero;
                case FPE_FLTOVF:
                    return ExceptionFltOverflow;
                case FPE_FLTUND:
                    return ExceptionFltUnderflow;
                case FPE_FLTRES:
                    return ExceptionFltInexactResult;
                case FPE_FLTINV:
                    return ExceptionFltInvalidOperation;
                default:
                    return ExceptionIntDivideByZero;
            }
        default:
            return ExceptionAccessViolation;
    }
}

void onFault(int signal, siginfo_t* info, void*) {
    FaultState& s = state;
    if (!s.translator || !s.landing) {
        // Not under a translator: let the fault kill the process the ordinary way.
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        sigaction(signal, &fallback, nullptr);
        raise(signal);
        return;
    }
    s.code = codeOf(signal, info);
    s.signal = signal;
    s.frameCount = backtrace(s.frames, maxFrames);
    s.faulted = true;
    siglongjmp(*s.landing, 1);
}

void installHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        // backtrace() loads its unwinder on first use, which must not happen inside a handler.
        void* warmUp[1];
        backtrace(warmUp, 1);
        struct sigaction action {};
        action.sa_sigaction = onFault;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        for (int sig : faultSignals) {
            sigaction(sig, &action, nullptr);
        }
    });
    // A stack overflow can only be reported from a stack of its own.
    thread_local std::vector<char> alternateStack;
    if (alternateStack.empty()) {
        alternateStack.resize(64 * 1024);
        stack_t stack{};
        stack.ss_sp = alternateStack.data();
        stack.ss_size = alternateStack.size();
        sigaltstack(&stack, nullptr);
    }
}

}  // namespace

SeTranslator setSeTranslator(SeTranslator translator) {
    if (translator) {
        installHandlers();
    }
    SeTranslator previous = state.translator;
    state.translator = translator;
    return previous;
}

int guardedCall(const std::function<int()>& body) {
    sigjmp_buf landing;
    sigjmp_buf* outer = state.landing;
    if (sigsetjmp(landing, 1) != 0) {
        // Back from a fault: the frames between here and the fault are gone. Hand the code to
        // the translator here, on a sound stack, so that what it throws unwinds normally.
        state.landing = outer;
        SeTranslator translator = state.translator;
        std::uint32_t code = state.code;
        if (translator) {
            translator(code);
        }
        state.faulted = false;
        return 1;
    }
    state.landing = &landing;
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
    TAVREL_SEAM_CALL("MiniDumpWriteDump");
    if (!state.faulted) {
        return Posix::failWith(WinError::InvalidParameter);
    }
    std::string path;
    if (!Posix::windowsToPosix(fileName, path)) {
        return false;
    }
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return Posix::failWithErrno();
    }
    char header[160];
    int n = std::snprintf(header, sizeof(header),
                          "Structured exception 0x%08x (signal %d: %s) in process %u thread %u\n"
                          "Backtrace of the faulting thread:\n",
                          state.code, state.signal, strsignal(state.signal), getCurrentProcessId(),
                          getCurrentThreadId());
    bool ok = n > 0 && ::write(fd, header, static_cast<std::size_t>(n)) == n;
    backtrace_symbols_fd(state.frames, state.frameCount, fd);
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    return ok ? true : Posix::failWithErrno();
}

}  // namespace Platform
