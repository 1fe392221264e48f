// Structured exceptions: hardware faults raised while a translator is installed are handed to
// the translator as their Windows exception code, and the translator's C++ exception leaves
// the guarded call (_set_se_translator). On POSIX the faults are the fatal signals SIGSEGV,
// SIGBUS, SIGFPE and SIGILL.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace Platform {

using SeTranslator = void (*)(std::uint32_t code);

// Installs the calling thread's translator; returns the previous one (null: none).
SeTranslator setSeTranslator(SeTranslator translator);

// Runs `body`. A structured exception raised inside it while this thread has a translator is
// passed to the translator, whose exception propagates out of guardedCall. Without a translator
// the fault takes its default course (the process dies).
int guardedCall(const std::function<int()>& body);

// Windows exception codes.
constexpr std::uint32_t ExceptionAccessViolation = 0xC0000005;
constexpr std::uint32_t ExceptionInPageError = 0xC0000006;
constexpr std::uint32_t ExceptionIllegalInstruction = 0xC000001D;
constexpr std::uint32_t ExceptionFltDivideByZero = 0xC000008E;
constexpr std::uint32_t ExceptionFltInexactResult = 0xC000008F;
constexpr std::uint32_t ExceptionFltInvalidOperation = 0xC0000090;
constexpr std::uint32_t ExceptionFltOverflow = 0xC0000091;
constexpr std::uint32_t ExceptionFltUnderflow = 0xC0000093;
constexpr std::uint32_t ExceptionIntDivideByZero = 0xC0000094;
constexpr std::uint32_t ExceptionIntOverflow = 0xC0000095;
constexpr std::uint32_t ExceptionPrivInstruction = 0xC0000096;
constexpr std::uint32_t ExceptionHeapCorruption = 0xC0000374;

// Writes a dump of the fault being translated on this thread to `fileName` (a Windows path):
// a minidump on Windows, a readable backtrace of the faulting thread here. False with the last
// error set when the file cannot be written or no fault is being translated.
bool writeCrashDump(const std::wstring& fileName);

}  // namespace Platform
