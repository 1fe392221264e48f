#include <gtest/gtest.h>

#include "runtime/log.h"
#include "support/temp_host.h"

namespace {

class Recorder : public ILogListener {
public:
    void onMessage(std::int32_t level, const std::wstring& text) override {
        messages.emplace_back(level, text);
        if (throwing) {
            throw std::runtime_error("listener failed");
        }
    }
    void onException(std::int32_t level, const vexception& e) override {
        exceptions.emplace_back(level, e.message());
        if (throwing) {
            throw std::runtime_error("listener failed");
        }
    }
    std::vector<std::pair<std::int32_t, std::wstring>> messages;
    std::vector<std::pair<std::int32_t, std::wstring>> exceptions;
    bool throwing = false;
};

TEST(LogManager, ListenersSeeMessagesAndExceptions) {
    TestSupport::TempHost host;
    auto recorder = std::make_shared<Recorder>();
    LogManager& log = LogManager::instance();
    log.addListener(recorder);

    testing::internal::CaptureStdout();
    log.log(LogInfo, L"first %d", 1);
    log.log(LogWarning, L"%s", L"second");
    log.log(LogInfo, L"%d", L"not a number");  // a formatting failure drops the message
    log.log(LogResult, L"result");
    log.log(LogError, vexception(L"boom", CallSite{L"", "f", 3}));

    // A failing listener never reaches the caller of the format form, but does reach the
    // caller of the exception form.
    recorder->throwing = true;
    EXPECT_NO_THROW(log.log(LogInfo, L"ignored failure"));
    EXPECT_THROW(log.log(LogError, vexception(L"again")), std::runtime_error);
    recorder->throwing = false;
    std::string printed = testing::internal::GetCapturedStdout();

    using Message = std::pair<std::int32_t, std::wstring>;
    EXPECT_EQ(recorder->messages, (std::vector<Message>{{LogInfo, L"first 1"},
                                                        {LogWarning, L"second"},
                                                        {LogResult, L"result"},
                                                        {LogInfo, L"ignored failure"}}));
    EXPECT_EQ(recorder->exceptions,
              (std::vector<Message>{{LogError, L"boom"}, {LogError, L"again"}}));
    // Result and above reach standard output, separated by one newline, none at the end.
    EXPECT_NE(printed.find("result\nboom\n   at (f line 3)\nagain"), std::string::npos) << printed;
    EXPECT_NE(printed.back(), '\n');
    EXPECT_EQ(printed.find("first"), std::string::npos);
}

TEST(LogManager, LevelNames) {
    EXPECT_STREQ(LogManager::levelName(LogInfo), L"Info");
    EXPECT_STREQ(LogManager::levelName(LogResult), L"Result");
    EXPECT_STREQ(LogManager::levelName(LogCrash), L"Crash");
    EXPECT_STREQ(LogManager::levelName(6), L"Unknown level");
    EXPECT_STREQ(LogManager::levelName(-1), L"Unknown level");
}

}  // namespace
