// What the manager tests share: a fresh host per test, the companion tool to shape it, the
// POSIX side of its C: paths, and the warnings the manager logs.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "accounts/user_information.h"
#include "platform/text.h"
#include "runtime/log.h"
#include "support/process.h"
#include "support/temp_host.h"

namespace ManagerTests {

// Collects the Warning lines of the process log; listeners stay for the process.
class WarningRecorder : public ILogListener {
public:
    static WarningRecorder& instance() {
        static auto recorder = [] {
            auto created = std::make_shared<WarningRecorder>();
            LogManager::instance().addListener(created);
            return created;
        }();
        return *recorder;
    }
    void onMessage(std::int32_t level, const std::wstring& text) override {
        std::lock_guard guard(lock_);
        if (level == LogWarning) {
            warnings_.push_back(text);
        }
    }
    void onException(std::int32_t, const vexception&) override {}
    std::vector<std::wstring> take() {
        std::lock_guard guard(lock_);
        return std::exchange(warnings_, {});
    }

private:
    std::mutex lock_;
    std::vector<std::wstring> warnings_;
};

class ManagerTest : public ::testing::Test {
protected:
    ManagerTest() { WarningRecorder::instance().take(); }

    // tavrel-host's output without the final newline.
    std::string hostTool(const std::vector<std::string>& args) {
        auto r = TestSupport::runProgram("tavrel-host", args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return r.out.substr(0, r.out.find_last_not_of('\n') + 1);
    }
    void setVhostsRoot(const std::string& winPath) {
        hostTool({"reg", "set", "HKLM\\SOFTWARE\\WOW6432Node\\Tarno\\Zel Config\\Config",
                  "HTTPD_VHOSTS_D", "REG_SZ", winPath});
    }
    // The POSIX path of a C: path of the host.
    std::filesystem::path onDisk(const std::wstring& winPath) const {
        std::string rest = Platform::toUtf8(winPath.substr(3));
        std::replace(rest.begin(), rest.end(), '\\', '/');
        return host.driveC() / rest;
    }
    std::vector<std::wstring> warnings() { return WarningRecorder::instance().take(); }

    TestSupport::TempHost host;
    std::shared_ptr<IUserInformation> accounts = std::make_shared<LocalUserInformation>();
};

}  // namespace ManagerTests
