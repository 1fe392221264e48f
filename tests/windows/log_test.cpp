// The process log on Windows: the configuration read from the 32-bit view of the registry,
// the daily UTF-16LE file under the panel's logs folder, and the event log beside it.
#include <gtest/gtest.h>

#include "platform/filesystem.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/unique.h"
#include "runtime/config.h"
#include "runtime/log.h"
#include "windows/support/win_support.h"

namespace {
using namespace Platform;

// Sets the panel's root (PRODUCT_ROOT_D) for the time of a test, removing it afterwards.
class PanelRoot {
public:
    explicit PanelRoot(const std::wstring& root) {
        RegKey raw = nullptr;
        EXPECT_EQ(regCreateKeyEx(hkeyLocalMachine(), configKey, 0,
                                 Reg::KeyAllAccess | Reg::KeyWow64_32Key, &raw, nullptr),
                  WinError::Success);
        key_.reset(raw);
        std::u16string units = toUtf16(root);
        units.push_back(0);
        regSetValueEx(key_.get(), L"PRODUCT_ROOT_D", Reg::RegSz,
                      reinterpret_cast<const std::uint8_t*>(units.data()),
                      static_cast<std::uint32_t>(units.size() * 2));
    }
    ~PanelRoot() { regDeleteValue(key_.get(), L"PRODUCT_ROOT_D"); }

private:
    UniqueRegKey key_;
};

TEST(WinLog, ErrorsReachTheDailyFileAsUtf16) {
    TestSupport::ScratchDir scratch;
    PanelRoot root(scratch.path());
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
