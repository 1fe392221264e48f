// What the commands read besides their parameters, and what they show while they walk.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "manager/security_manager.h"

// The items of a list file ("--web-users", "--pathes-file"): the file read whole, converted
// from the ANSI code page (UTF-8 on the emulated host) and split at every carriage return and
// line feed; empty items are dropped, the others kept as they are. An unreadable file, or one
// holding a NUL character, raises an error naming it.
std::vector<std::wstring> readListFile(const std::wstring& path);

// The names of a comma-separated template list; empty names are dropped, none is trimmed.
std::vector<std::wstring> splitTemplateList(const std::wstring& list);

// One updating line on standard error while a walk goes (objects checked, wrong, written,
// failed, time), and a summary line when an apply step ends; only when standard error is a
// console, so that nothing changes for scripts, standard output or the log.
class ConsoleProgress : public Tavrel::IProgress {
public:
    explicit ConsoleProgress(Tavrel::SecurityManager& manager);
    ~ConsoleProgress() override;
    ConsoleProgress(const ConsoleProgress&) = delete;
    ConsoleProgress& operator=(const ConsoleProgress&) = delete;

    void onProgress(const VPath& path, const DiskSecurity::CheckerCounts& counts,
                    bool done) override;

    // The text of one line, without the carriage return, for the path as shown.
    static std::wstring line(std::wstring_view path, const DiskSecurity::CheckerCounts& counts,
                             double seconds, bool done);

private:
    Tavrel::SecurityManager& manager_;
    bool active_ = false;
    bool started_ = false;
    std::chrono::steady_clock::time_point start_;
    std::size_t shown_ = 0;  // the length of the line on screen
};
