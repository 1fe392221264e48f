#include "runtime/log.h"

#include "platform/eventlog.h"
#include "platform/filesystem.h"
#include "platform/pathapi.h"
#include "platform/system.h"
#include "platform/text.h"
#include "runtime/config.h"
#include "runtime/exclusive_task.h"
#include "runtime/registry.h"

namespace {

constexpr const wchar_t* eventLogName = L"Tarno";
constexpr const wchar_t* eventLogKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog";
constexpr const wchar_t* registrationMutex = L"{F485C63C-FF60-4c1a-A4BF-A3958C9F3D32}";
constexpr const wchar_t* logName = L"debug";
constexpr int defaultView = 0;
constexpr int view32 = configKeyView;

struct LogFile {
    bool enabled = true;
    std::wstring directory;
    std::wstring mutex;
};

// The settings of the log file `name`, read anew for each message.
LogFile logFileSettings(const std::wstring& name, std::uint32_t enabledDefault) {
    LogFile file;
    std::uint32_t enabled = enabledDefault;
    registry::lookup(Platform::hkeyLocalMachine(), configKey, L"log_" + name + L"_enabled", enabled,
                     view32);
    file.enabled = enabled != 0;
    if (!file.enabled) {
        return file;
    }
    std::wstring root;
    registry::lookup(Platform::hkeyLocalMachine(), configKey, L"PRODUCT_ROOT_D", root,
                     Platform::Reg::RegSz, view32);
    file.directory =
        root.empty() || root.back() != L'\\' ? root + L"\\admin\\logs" : root + L"admin\\logs";
    file.mutex = L"tarnolog_" + name + L"_mutex";
    return file;
}

std::wstring fileNameFor(const std::wstring& directory, const std::wstring& name) {
    Platform::SystemTime t = Platform::getLocalTime();
    return directory + L"\\tarnolog_" + name +
           formatString(L"%04d%02d%02d", t.year, t.month, t.day) + L".log";
}

std::string utf16le(const std::wstring& text) {
    std::u16string units = Platform::toUtf16(text);
    std::string bytes;
    bytes.reserve(units.size() * 2);
    for (char16_t u : units) {
        bytes += static_cast<char>(u & 0xFF);
        bytes += static_cast<char>(u >> 8);
    }
    return bytes;
}

bool writeAll(Platform::Handle file, const std::string& bytes) {
    std::uint32_t written = 0;
    return Platform::writeFile(file, bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                               &written) &&
           written == bytes.size();
}

}  // namespace

LogManager& LogManager::instance() {
    static LogManager manager;  // thread-safe one-time initialisation
    return manager;
}

LogManager::LogManager() {
    bool debug = false;
    try {
        debug = isDebugOn();
    } catch (...) {
    }
    for (int level = LogInfo; level <= LogCrash; ++level) {
        switches_.console[level] = level >= LogResult;
        switches_.eventLog[level] = level >= LogError || debug;
    }
}

LogManager::~LogManager() = default;

const wchar_t* LogManager::levelName(std::int32_t level) {
    static constexpr const wchar_t* names[] = {L"Info",  L"Warning",    L"Result",
                                               L"Error", L"Unexpected", L"Crash"};
    return level >= 0 && level <= LogCrash ? names[level] : L"Unknown level";
}

void LogManager::addListener(std::shared_ptr<ILogListener> listener) {
    std::lock_guard guard(lock_);
    listeners_.push_back(std::move(listener));
}

void LogManager::logText(std::int32_t level, const std::wstring& text) noexcept {
    try {
        _dispatch(level, text, nullptr);
    } catch (...) {
    }
}

void LogManager::log(std::int32_t level, const vexception& e) {
    _dispatch(level, renderException(e), &e);
}

void LogManager::_dispatch(std::int32_t level, const std::wstring& text, const vexception* e) {
    _writeFile(level, text);
    bool known = level >= 0 && level <= LogCrash;
    if (known && switches_.eventLog[level]) {
        _writeEventLog(level, text);
    }
    if (known && switches_.console[level]) {
        _writeConsole(text);
    }
    std::vector<std::shared_ptr<ILogListener>> listeners;
    {
        std::lock_guard guard(lock_);
        listeners = listeners_;
    }
    for (const auto& listener : listeners) {
        if (e) {
            listener->onException(level, *e);
        } else {
            listener->onMessage(level, text);
        }
    }
}

std::wstring LogManager::debugLogFileName() {
    LogFile settings = logFileSettings(logName, 1);
    return settings.enabled ? fileNameFor(settings.directory, logName) : std::wstring();
}

void LogManager::_writeFile(std::int32_t level, const std::wstring& text) noexcept {
    try {
        if (!isDebugOn() && level < LogError) {
            return;
        }
        LogFile settings = logFileSettings(logName, 1);
        if (!settings.enabled) {
            return;
        }
        ExclusiveTask lock;
        lock.Initialize(settings.mutex, Platform::Infinite);
        std::wstring fileName = fileNameFor(settings.directory, logName);
        Platform::UniqueHandle file(Platform::createFile(
            fileName, Platform::File::GenericRead | Platform::File::GenericWrite,
            Platform::File::ShareRead | Platform::File::ShareWrite, Platform::File::OpenAlways,
            Platform::FileAttribute::Normal));
        if (!file) {
            throwOsError(L"open log file " + fileName, Platform::getLastError(),
                         VSITE("LogManager::writeFile"));
        }
        std::int64_t end = 0;
        if (!Platform::setFilePointerEx(file.get(), 0, &end, Platform::File::End)) {
            throwOsError(L"seek log file " + fileName, Platform::getLastError(),
                         VSITE("LogManager::writeFile"));
        }
        Platform::SystemTime t = Platform::getLocalTime();
        std::wstring line =
            formatString(L"%04d%s%02d%s%02d %02d:%02d:%02d.%03d", t.year, L"/", t.month, L"/",
                         t.day, t.hour, t.minute, t.second, t.milliseconds);
        line += formatString(L" %d %d %s: ", Platform::getCurrentProcessId(),
                             Platform::getCurrentThreadId(), levelName(level));
        line += text;
        line += L"\r\n";
        std::string bytes = end == 0 ? std::string("\xFF\xFE") + utf16le(line) : utf16le(line);
        writeAll(file.get(), bytes);
    } catch (...) {
        // A log that cannot be written must not disturb the run.
    }
}

Platform::Handle LogManager::_getEventLog() {
    std::lock_guard guard(lock_);
    if (eventSource_) {
        return eventSource_.get();
    }
    std::wstring source = Platform::pathFindFileName(Platform::getModuleFileName());
    ExclusiveTask registration;
    registration.Initialize(registrationMutex, Platform::Infinite);

    const auto root = Platform::hkeyLocalMachine();
    std::wstring logKey = std::wstring(eventLogKey) + L"\\" + eventLogName;
    if (!registry::keyExists(root, logKey, defaultView)) {
        registry::Key key;
        registry::create(root, logKey, key, Platform::Reg::KeyAllAccess);
        registry::set(key, L"MaxSize", std::uint32_t{0x800000});
        registry::set(key, L"Retention", std::uint32_t{0});
    }
    std::wstring registered = source;
    if (registry::keyExists(
            root, L"System\\CurrentControlSet\\Services\\EventLog\\Application\\" + source,
            defaultView)) {
        registered = std::wstring(eventLogName) + L":  " + source;
    }
    {
        registry::Key key;
        registry::create(root,
                         L"System\\CurrentControlSet\\Services\\EventLog\\" +
                             std::wstring(eventLogName) + L"\\" + registered,
                         key, Platform::Reg::KeyAllAccess);
        registry::set(key, L"TypesSupported", std::uint32_t{7});
        std::wstring messageFile;
        registry::lookup(root, configKey, L"TarnoService", messageFile, Platform::Reg::RegSz,
                         view32);
        registry::set(key, L"EventMessageFile", messageFile);
    }
    eventSource_.reset(Platform::registerEventSource(L"", registered));
    if (!eventSource_) {
        throwOsError(L"RegisterEventSource", Platform::getLastError(),
                     CallSite{std::wstring(), "LogManager::getEventLog", 448});
    }
    return eventSource_.get();
}

bool LogManager::_writeEventLog(std::int32_t level, const std::wstring& text) noexcept {
    try {
        Platform::Handle source = _getEventLog();
        std::uint16_t type = level == LogInfo      ? Platform::EventlogInformationType
                             : level == LogWarning ? Platform::EventlogWarningType
                             : level == LogResult  ? Platform::EventlogSuccess
                                                   : Platform::EventlogErrorType;
        std::wstring module = Platform::getModuleFileName().substr(0, 260);
        if (!Platform::reportEvent(source, type, 0, 1, {text, module})) {
            std::lock_guard guard(lock_);
            eventSource_.reset();  // register again for the next message
            return false;
        }
        return true;
    } catch (...) {
        return false;
    }
}

void LogManager::_writeConsole(const std::wstring& text) noexcept {
    try {
        std::string bytes = Platform::toUtf8(text);
        {
            std::lock_guard guard(lock_);
            if (switches_.consoleLineWritten) {
                bytes.insert(0, "\n");
            }
            switches_.consoleLineWritten = true;
        }
        Platform::writeStdout(bytes);
    } catch (...) {
    }
}
