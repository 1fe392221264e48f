// What the tests of the security template engine share: one emulated host for the whole test
// program (the well-known account table and the local domain name are built once per process,
// so every test must see the same account domain), local accounts made with tavrel-host, files
// on drive C: and a recorder of log lines.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/text.h"
#include "runtime/log.h"
#include "support/process.h"
#include "support/temp_host.h"

namespace DiskSecurityTest {

inline TestSupport::TempHost& sharedHost() {
    static TestSupport::TempHost host;
    return host;
}

inline std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

// Runs tavrel-host on the shared host; the test fails when it does.
inline std::string hostTool(const std::vector<std::string>& args) {
    sharedHost();
    TestSupport::ProcessResult result = TestSupport::runProgram("tavrel-host", args);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return trimmed(result.out);
}

// Creates a local user (once per process) and returns its SID string.
inline std::wstring addAccount(const std::string& name) {
    static std::map<std::string, std::wstring> created;
    auto found = created.find(name);
    if (found == created.end()) {
        found = created.emplace(name, Platform::fromUtf8(hostTool({"account", "add", name}))).first;
    }
    return found->second;
}

// Writes `content` to `relative` below drive C: and returns its Windows path.
inline std::wstring writeOnC(const std::string& relative, const std::string& content) {
    std::filesystem::path file = sharedHost().driveC() / relative;
    std::filesystem::create_directories(file.parent_path());
    TestSupport::writeFile(file, content);
    std::string windows = "C:\\" + relative;
    for (char& c : windows) {
        if (c == '/') {
            c = '\\';
        }
    }
    return Platform::fromUtf8(windows);
}

// Collects the log lines of a test; registered once, emptied by clear().
class LogRecorder : public ILogListener {
public:
    static LogRecorder& instance() {
        static std::shared_ptr<LogRecorder> recorder = [] {
            auto created = std::make_shared<LogRecorder>();
            LogManager::instance().addListener(created);
            return created;
        }();
        return *recorder;
    }

    void onMessage(std::int32_t level, const std::wstring& text) override {
        std::lock_guard guard(lock_);
        lines_.push_back({level, text});
    }
    void onException(std::int32_t level, const vexception& e) override {
        onMessage(level, renderException(e));
    }

    void clear() {
        std::lock_guard guard(lock_);
        lines_.clear();
    }
    // The lines of `level` that contain `text`.
    std::vector<std::wstring> find(std::int32_t level, const std::wstring& text) {
        std::lock_guard guard(lock_);
        std::vector<std::wstring> found;
        for (const auto& [lineLevel, line] : lines_) {
            if (lineLevel == level && line.find(text) != std::wstring::npos) {
                found.push_back(line);
            }
        }
        return found;
    }

private:
    std::mutex lock_;
    std::vector<std::pair<std::int32_t, std::wstring>> lines_;
};

}  // namespace DiskSecurityTest
