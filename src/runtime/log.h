// The process-wide logger: the daily UTF-16LE debug log file, the "Tarno" event log, standard
// output and registered listeners, each chosen by the message's level and the Debug setting.
// Logging never throws to its caller (except a listener's failure in the exception form).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/unique.h"
#include "runtime/exceptions.h"

enum LogLevel : std::int32_t {
    LogInfo = 0,
    LogWarning = 1,
    LogResult = 2,
    LogError = 3,
    LogUnexpected = 4,
    LogCrash = 5,
};

class ILogListener {
public:
    virtual ~ILogListener() = default;
    virtual void onMessage(std::int32_t level, const std::wstring& text) = 0;
    virtual void onException(std::int32_t level, const vexception& e) = 0;
};

class LogManager {
public:
    static LogManager& instance();
    ~LogManager();

    // Formats and logs; a formatting failure drops the message. Never throws.
    template <typename... Args>
    void log(std::int32_t level, std::wstring_view format, const Args&... args) noexcept {
        try {
            logText(level, RunTime::formatString(format, args...));
        } catch (...) {
        }
    }
    // Logs a finished text. Never throws.
    void logText(std::int32_t level, const std::wstring& text) noexcept;
    // Logs the rendered exception; listeners receive the exception itself, and what a listener
    // throws reaches the caller.
    void log(std::int32_t level, const vexception& e);

    void addListener(std::shared_ptr<ILogListener> listener);

    // "Info", "Warning", "Result", "Error", "Unexpected", "Crash", else "Unknown level".
    static const wchar_t* levelName(std::int32_t level);

    // The debug log file of today (Windows path), as the file writer names it; empty when the
    // file output is disabled.
    static std::wstring debugLogFileName();

private:
    LogManager();
    void _dispatch(std::int32_t level, const std::wstring& text, const vexception* e);
    void _writeFile(std::int32_t level, const std::wstring& text) noexcept;
    bool _writeEventLog(std::int32_t level, const std::wstring& text) noexcept;
    void _writeConsole(const std::wstring& text) noexcept;
    Platform::Handle _getEventLog();

    struct Switches {
        bool console[6] = {};
        bool eventLog[6] = {};
        bool consoleLineWritten = false;
    };

    std::wstring name_;
    Switches switches_;
    std::mutex lock_;
    std::vector<std::shared_ptr<ILogListener>> listeners_;
    Platform::UniqueEventSource eventSource_;
};
