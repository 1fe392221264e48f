// The process log on Windows: the configuration read from the 32-bit view of the registry,
// the daily UTF-16LE file under the panel's logs folder, and the event log beside it.
#include <gtest/gtest.h>

#include "platform/filesystem.h"
#include "platform/text.h"
#include "runtime/log.h"
#include "windows/support/win_support.h"

namespace {
using namespace Platform;

TEST(WinLog, ErrorsReachTheDailyFileAsUtf16) {
    TestSupport::ScratchDir scratch;
    TestSupport::ConfigValue root(L"PRODUCT_ROOT_D", scratch.path());
    ASSERT_TRUE(createDirectory(scratch / L"admin"));
    ASSERT_TRUE(createDirectory(scratch / L"admin\\logs"));

    LogManager::instance().logText(LogError, L"first \u00e9rror");
    LogManager::instance().logText(LogError, L"second");
    const std::wstring file = LogManager::debugLogFileName();
    EXPECT_EQ(file.rfind(scratch / L"admin\\logs\\tarnolog_debug", 0), 0u)
        << testing::PrintToString(file);

    std::string bytes = TestSupport::readBytes(file);
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");  // one byte order mark, at the start only
    std::u16string units(reinterpret_cast<const char16_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
    std::wstring text = fromUtf16(units);
    EXPECT_NE(text.find(L"Error: first \u00e9rror\r\n"), std::wstring::npos) << testing::PrintToString(text);
    EXPECT_NE(text.find(L"Error: second\r\n"), std::wstring::npos);
    EXPECT_EQ(text.find(L'\xFEFF'), std::wstring::npos);
}

}  // namespace
