// The registry layer and the configuration read through it: views, type checks, failure texts,
// the cached debug switches and the panel parameters.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/text.h"
#include "runtime/config.h"
#include "runtime/exceptions.h"
#include "runtime/registry.h"
#include "support/temp_host.h"

namespace {

const Platform::RegKey hklm = Platform::hkeyLocalMachine();
const std::wstring config = L"SOFTWARE\\Tarno\\Zel Config\\Config";

class RegistryLayer : public ::testing::Test {
protected:
    // The configuration key as the panel writes it: in the 32-bit view.
    registry::Key configKeyForWriting() {
        registry::Key key;
        registry::create(hklm, config, key, registry::KeyAllAccess | registry::KeyWow64_32Key);
        return key;
    }
    void setConfig(const std::wstring& name, std::uint32_t value) {
        registry::set(configKeyForWriting(), name, value);
    }
    void setConfig(const std::wstring& name, const std::wstring& value) {
        registry::set(configKeyForWriting(), name, value);
    }
    void setRaw(const std::wstring& name, std::uint32_t type,
                const std::vector<std::uint8_t>& data) {
        ASSERT_EQ(Platform::regSetValueEx(configKeyForWriting().get(), name, type, data.data(),
                                          static_cast<std::uint32_t>(data.size())),
                  0u);
    }
    void removeConfig(const std::wstring& name) {
        Platform::regDeleteValue(configKeyForWriting().get(), name);
    }

    TestSupport::TempHost host;
};

std::vector<std::uint8_t> utf16z(const std::wstring& text) {
    std::vector<std::uint8_t> data;
    for (wchar_t c : text) {
        data.push_back(static_cast<std::uint8_t>(c & 0xFF));
        data.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    data.insert(data.end(), {0, 0});
    return data;
}

TEST_F(RegistryLayer, StringLookupReadsBothStringTypesAndExpands) {
    setRaw(L"Plain", registry::RegSz, utf16z(L"C:\\Plain"));
    setRaw(L"Expandable", registry::RegExpandSz, utf16z(L"%SystemRoot%\\Temp"));
    std::wstring value;
    EXPECT_EQ(registry::lookup(hklm, config, L"Expandable", value, registry::RegSz, 1), 0u);
    EXPECT_EQ(value, L"C:\\Windows\\Temp");
    EXPECT_EQ(registry::lookup(hklm, config, L"Plain", value, registry::RegExpandSz, 1), 0u);
    EXPECT_EQ(value, L"C:\\Plain");
    EXPECT_EQ(registry::getstr(hklm, config, L"PRODUCT_ROOT_D", 1),
              L"C:\\Program Files (x86)\\Tarno");

    // On an open key too, and through get.
    registry::Key key;
    registry::open(hklm, config, key, registry::KeyQueryValue | registry::KeyWow64_32Key);
    EXPECT_EQ(registry::lookup(key, L"Expandable", value), 0u);
    EXPECT_EQ(value, L"C:\\Windows\\Temp");
    registry::get(key, L"Plain", value);
    EXPECT_EQ(value, L"C:\\Plain");
}

TEST_F(RegistryLayer, WrongTypeOrSizeAlwaysRaises) {
    setConfig(L"CrashDumpsMaxCount", L"10");
    std::uint32_t count = 7;
    try {
        registry::lookup(hklm, config, L"CrashDumpsMaxCount", count, 1);
        FAIL() << "a string read as a DWORD";
    } catch (const vexception& e) {
        EXPECT_EQ(e.message(),
                  L"RegQueryValueEx invalid type of 'SOFTWARE\\Tarno\\Zel "
                  L"Config\\Config\\CrashDumpsMaxCount'");
        ASSERT_EQ(e.frames().size(), 1u);
        EXPECT_EQ(e.frames()[0].function, "registry::lookup");
    }
    EXPECT_EQ(count, 7u);

    setRaw(L"Short", registry::RegDword, {1, 0});
    try {
        registry::lookup(hklm, config, L"Short", count, 1);
        FAIL() << "a two-byte DWORD";
    } catch (const vexception& e) {
        EXPECT_EQ(e.message(),
                  L"RegQueryValueEx invalid size of 'SOFTWARE\\Tarno\\Zel Config\\Config\\Short'");
    }

    setConfig(L"Number", 5u);
    std::wstring text = L"unchanged";
    EXPECT_THROW(registry::lookup(hklm, config, L"Number", text, registry::RegSz, 1), vexception);
    EXPECT_EQ(text, L"unchanged");

    registry::Key key;
    registry::open(hklm, config, key, registry::KeyRead | registry::KeyWow64_32Key);
    try {
        registry::get(key, L"CrashDumpsMaxCount", count);
        FAIL();
    } catch (const vexception& e) {
        EXPECT_EQ(e.message(), L"Type mismatch valueName=CrashDumpsMaxCount");
    }
    try {
        registry::get(key, L"Short", count);
        FAIL();
    } catch (const vexception& e) {
        EXPECT_EQ(e.message(), L"size mismatch valueName=Short");
    }
    try {
        registry::get(key, L"Number", text);
        FAIL();
    } catch (const vexception& e) {
        EXPECT_EQ(e.message(), L"Type mismatch valueName=Number");
    }
}

TEST_F(RegistryLayer, ViewsDecideWhichHalfIsRead) {
    // A value only in the 64-bit key is not seen by the configuration reads (view 1).
    registry::Key only64;
    registry::create(hklm, config, only64, registry::KeyAllAccess | registry::KeyWow64_64Key);
    registry::set(only64, L"Only64", 64u);
    std::uint32_t value = 0;
    EXPECT_EQ(registry::lookup(hklm, config, L"Only64", value, 1),
              Platform::WinError::FileNotFound);
    EXPECT_EQ(value, 0u);
    for (int view : {2, 3}) {
        EXPECT_EQ(registry::lookup(hklm, config, L"Only64", value, view), 0u);
        EXPECT_EQ(value, 64u);
    }
    // The default view of this 64-bit process is the 64-bit one.
    EXPECT_TRUE(registry::keyExists(hklm, config, 0));
    EXPECT_TRUE(registry::keyExists(hklm, L"SOFTWARE\\WOW6432Node\\Tarno\\Zel Config\\Config", 0));
    EXPECT_FALSE(registry::keyExists(hklm, L"SOFTWARE\\Nobody", 1));
}

TEST_F(RegistryLayer, FailuresCarryTheirCallSites) {
    try {
        registry::getstr(hklm, config, L"Missing", 1);
        FAIL();
    } catch (const VFileNotFoundException& e) {
        EXPECT_EQ(e.errorCode(), 2u);
        const std::wstring suffix =
            L" (Error code 2) at lookup subKey=SOFTWARE\\Tarno\\Zel Config\\Config value=Missing";
        ASSERT_GE(e.message().size(), suffix.size());
        EXPECT_EQ(e.message().substr(e.message().size() - suffix.size()), suffix);
        ASSERT_EQ(e.frames().size(), 1u);
        EXPECT_EQ(e.frames()[0].function, "registry::getstr");
    }
    registry::Key key;
    try {
        registry::open(hklm, L"SOFTWARE\\Nobody", key, registry::KeyRead);
        FAIL();
    } catch (const vosexception& e) {
        EXPECT_EQ(e.errorCode(), 2u);
        EXPECT_NE(e.message().find(L" at RegOpenKeyEx subKey=SOFTWARE\\Nobody"),
                  std::wstring::npos);
        EXPECT_EQ(e.frames()[0].function, "registry::open");
    }
    registry::open(hklm, config, key, registry::KeyQueryValue | registry::KeyWow64_32Key);
    try {
        registry::set(key, L"x", 1u);
        FAIL() << "the key was opened for reading only";
    } catch (const VAccessDeniedException& e) {
        EXPECT_NE(e.message().find(L" at RegSetValueEx valueName=x"), std::wstring::npos);
    }
    try {
        std::uint32_t value = 0;
        registry::get(key, L"Missing", value);
        FAIL();
    } catch (const VFileNotFoundException& e) {
        EXPECT_NE(e.message().find(L" at RegQueryValueEx valueName=Missing"), std::wstring::npos);
    }
    try {
        registry::create(hklm, L"\\Bad", key, registry::KeyAllAccess);
        FAIL();
    } catch (const vosexception& e) {
        EXPECT_NE(e.message().find(L" at RegCreateKeyEx subKey=\\Bad"), std::wstring::npos);
    }
    try {
        Wow64RegRedirection redirection(reinterpret_cast<Platform::RegKey>(0x4321));
        FAIL();
    } catch (const vosexception& e) {
        EXPECT_EQ(e.errorCode(), Platform::WinError::InvalidHandle);
        EXPECT_NE(e.message().find(L"Unable to change registry reflection key mode"),
                  std::wstring::npos);
        EXPECT_EQ(e.frames()[0].function, "Wow64RegRedirection::Wow64RegRedirection");
    }
    Wow64RegRedirection fine(key.get());
}

TEST_F(RegistryLayer, SetWritesStringsWithTheirTerminator) {
    registry::Key key;
    registry::create(hklm, L"SOFTWARE\\Layer", key, registry::KeyAllAccess);
    registry::set(key, L"text", std::wstring(L"abc"));
    std::uint32_t type = 0, size = 0;
    ASSERT_EQ(Platform::regQueryValueEx(key.get(), L"text", &type, nullptr, &size), 0u);
    EXPECT_EQ(type, registry::RegSz);
    EXPECT_EQ(size, 8u);
    std::wstring text;
    registry::get(key, L"text", text);
    EXPECT_EQ(text, L"abc");
    registry::set(key, L"number", 0xFFFFFFFFu);
    std::uint32_t number = 0;
    registry::get(key, L"number", number);
    EXPECT_EQ(number, 0xFFFFFFFFu);
}

// The switches are process-wide; each case starts them afresh as a new process would.
class DebugSwitches : public RegistryLayer {
protected:
    void SetUp() override { resetDebugSwitchesForTesting(); }
    void TearDown() override { resetDebugSwitchesForTesting(); }
};

TEST_F(DebugSwitches, SecurityDebuggingNeedsBothValues) {
    struct Case {
        std::uint32_t securitySettings;
        std::uint32_t debug;
        bool on;
    };
    for (const Case& c :
         {Case{1, 0, false}, Case{0, 1, false}, Case{1, 1, true}, Case{5, 2, true}}) {
        resetDebugSwitchesForTesting();
        setConfig(L"DebugSecuritySettings", c.securitySettings);
        setConfig(L"Debug", c.debug);
        EXPECT_EQ(isSecurityDebugOn(), c.on) << c.securitySettings << "/" << c.debug;
    }
    resetDebugSwitchesForTesting();
    removeConfig(L"DebugSecuritySettings");
    removeConfig(L"Debug");
    EXPECT_FALSE(isSecurityDebugOn()) << "absent values leave the switch off";
}

TEST_F(DebugSwitches, TurnsOnByTheSixteenthQueryAfterAChange) {
    setConfig(L"Debug", 1u);
    setConfig(L"DebugSecuritySettings", 0u);
    EXPECT_FALSE(isSecurityDebugOn());  // first query: read
    setConfig(L"DebugSecuritySettings", 1u);
    for (int query = 1; query < 16; ++query) {
        EXPECT_FALSE(isSecurityDebugOn()) << "query " << query << " is answered from the cache";
    }
    EXPECT_TRUE(isSecurityDebugOn()) << "the sixteenth query after the change reads again";
}

TEST_F(DebugSwitches, DebugIsAskedOnlyWhenSecuritySettingsAreOn) {
    setConfig(L"DebugSecuritySettings", 0u);
    setConfig(L"Debug", 1u);
    EXPECT_FALSE(isSecurityDebugOn());
    setConfig(L"Debug", 0u);
    // Had the query above read Debug (1), this one would come from the cache.
    EXPECT_FALSE(isDebugOn());
}

TEST_F(DebugSwitches, UnreadableValueKeepsTheCachedOne) {
    setConfig(L"Debug", 1u);
    EXPECT_TRUE(isDebugOn());
    removeConfig(L"Debug");
    for (int query = 0; query < 16; ++query) {
        EXPECT_TRUE(isDebugOn());
    }
    setConfig(L"Debug", L"not a number");
    for (int query = 0; query < 16; ++query) {
        EXPECT_TRUE(isDebugOn());
    }
    setConfig(L"Debug", 0u);
    for (int query = 0; query < 16; ++query) {
        isDebugOn();
    }
    EXPECT_FALSE(isDebugOn());
}

TEST_F(RegistryLayer, PanelParameters) {
    setConfig(L"HTTPD_VHOSTS_D", L"C:\\Sites\\");
    EXPECT_EQ(panelParameter(L"HTTPD_VHOSTS_D"), L"C:\\Sites");
    setConfig(L"HTTPD_VHOSTS_D", L"D:\\Other\\\\");
    EXPECT_EQ(panelParameter(L"HTTPD_VHOSTS_D"), L"D:\\Other") << "asked at every use";

    // Asked once per process: a later change is not seen.
    std::wstring productRoot = panelParameter(L"PRODUCT_ROOT_D");
    EXPECT_FALSE(productRoot.empty());
    setConfig(L"PRODUCT_ROOT_D", L"E:\\Moved");
    EXPECT_EQ(panelParameter(L"PRODUCT_ROOT_D"), productRoot);

    removeConfig(L"HTTPD_VHOSTS_D");
    try {
        panelParameter(L"HTTPD_VHOSTS_D");
        FAIL();
    } catch (const vexception& e) {
        bool found = false;
        for (const CallSite& site : e.frames()) {
            found |= site.text == L"getString(HTTPD_VHOSTS_D)" &&
                     site.function == "TarnoSrvClient::getString";
        }
        EXPECT_TRUE(found) << Platform::toUtf8(renderException(e));
    }
}

}  // namespace
