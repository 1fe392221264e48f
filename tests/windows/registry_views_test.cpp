// The registry seam on the real registry: raw value bytes round trip, the buffer protocol,
// the 32-bit and 64-bit views of SOFTWARE, and enumeration.
#include <gtest/gtest.h>

#include "platform/registry.h"
#include "platform/system.h"
#include "platform/unique.h"

namespace {
using namespace Platform;

// A key of its own below HKLM\SOFTWARE in one view, deleted with its content afterwards.
class ScratchKey {
public:
    explicit ScratchKey(std::uint32_t view) : view_(view) {
        Guid guid{};
        uuidCreate(guid);
        name_ = L"SOFTWARE\\TavrelTest-" + std::to_wstring(guid[0] | guid[1] << 8 | guid[2] << 16);
        RegKey raw = nullptr;
        EXPECT_EQ(regCreateKeyEx(hkeyLocalMachine(), name_, Reg::RegOptionNonVolatile,
                                 Reg::KeyAllAccess | view_, &raw, nullptr),
                  WinError::Success);
        key_.reset(raw);
    }
    ~ScratchKey() {
        regDeleteTree(key_.get(), L"");
        key_.reset();
        regDeleteKeyEx(hkeyLocalMachine(), name_, view_);
    }
    RegKey get() const { return key_.get(); }
    const std::wstring& name() const { return name_; }

private:
    std::uint32_t view_;
    std::wstring name_;
    UniqueRegKey key_;
};

std::vector<std::uint8_t> utf16z(const std::u16string& text) {
    std::vector<std::uint8_t> bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

TEST(WinRegistry, ValuesKeepTheirTypeAndBytes) {
    struct Case {
        const wchar_t* name;
        std::uint32_t type;
        std::vector<std::uint8_t> bytes;
    };
    std::vector<std::uint8_t> multi = utf16z(u"a");
    std::vector<std::uint8_t> second = utf16z(u"b\u00e9");
    multi.insert(multi.end(), second.begin(), second.end());
    multi.insert(multi.end(), {0, 0});
    const Case cases[] = {
        {L"", Reg::RegSz, utf16z(u"default value")},
        {L"sz", Reg::RegSz, utf16z(u"C:\\Program Files\\\u00e9\u4e2d")},
        {L"expand", Reg::RegExpandSz, utf16z(u"%SystemRoot%\\x")},
        {L"multi", Reg::RegMultiSz, multi},
        {L"dword", Reg::RegDword, {0x78, 0x56, 0x34, 0x12}},
        {L"qword", Reg::RegQword, {1, 2, 3, 4, 5, 6, 7, 8}},
        {L"binary", Reg::RegBinary, {0, 0xFF, 0x10}},
        {L"empty", Reg::RegBinary, {}},
    };
    ScratchKey key(Reg::KeyWow64_64Key);
    for (const auto& c : cases) {
        ASSERT_EQ(regSetValueEx(key.get(), c.name, c.type, c.bytes.data(),
                                static_cast<std::uint32_t>(c.bytes.size())),
                  WinError::Success)
            << c.name;
        std::uint32_t type = 0;
        std::uint32_t size = 0;
        ASSERT_EQ(regQueryValueEx(key.get(), c.name, &type, nullptr, &size), WinError::Success);
        EXPECT_EQ(type, c.type) << c.name;
        std::vector<std::uint8_t> data(size);
        ASSERT_EQ(regQueryValueEx(key.get(), c.name, &type, data.data(), &size),
                  WinError::Success);
        EXPECT_EQ(data, c.bytes) << c.name;
    }
}

TEST(WinRegistry, SmallBufferGivesMoreDataAndTheSize) {
    ScratchKey key(Reg::KeyWow64_64Key);
    std::vector<std::uint8_t> value = utf16z(u"twelve chars");
    regSetValueEx(key.get(), L"v", Reg::RegSz, value.data(), static_cast<std::uint32_t>(value.size()));
    std::uint8_t small[4];
    std::uint32_t size = sizeof(small);
    std::uint32_t type = 0;
    EXPECT_EQ(regQueryValueEx(key.get(), L"v", &type, small, &size), WinError::MoreData);
    EXPECT_EQ(size, value.size());
    EXPECT_EQ(type, Reg::RegSz);
    EXPECT_EQ(regQueryValueEx(key.get(), L"missing", &type, nullptr, &size), WinError::FileNotFound);
}

TEST(WinRegistry, ThirtyTwoBitViewIsSeparateFromSixtyFourBitView) {
    ScratchKey key(Reg::KeyWow64_32Key);
    RegKey raw = nullptr;
    EXPECT_EQ(regOpenKeyEx(hkeyLocalMachine(), key.name(), 0, Reg::KeyRead | Reg::KeyWow64_64Key, &raw),
              WinError::FileNotFound);
    ASSERT_EQ(regOpenKeyEx(hkeyLocalMachine(), key.name(), 0, Reg::KeyRead | Reg::KeyWow64_32Key, &raw),
              WinError::Success);
    UniqueRegKey opened(raw);
    std::uint32_t subKeys = 7;
    EXPECT_EQ(regQueryInfoKey(opened.get(), &subKeys, nullptr, nullptr, nullptr, nullptr),
              WinError::Success);
    EXPECT_EQ(subKeys, 0u);
}

TEST(WinRegistry, EnumeratesSubkeysAlphabeticallyAndEndsWithNoMoreItems) {
    ScratchKey key(Reg::KeyWow64_64Key);
    for (const wchar_t* name : {L"beta", L"Alpha", L"gamma"}) {
        RegKey raw = nullptr;
        ASSERT_EQ(regCreateKeyEx(key.get(), name, 0, Reg::KeyAllAccess, &raw, nullptr), WinError::Success);
        UniqueRegKey created(raw);
    }
    std::vector<std::wstring> names;
    std::wstring name;
    std::uint32_t status = 0;
    for (std::uint32_t i = 0; (status = regEnumKeyEx(key.get(), i, name)) == WinError::Success; ++i) {
        names.push_back(name);
    }
    EXPECT_EQ(status, WinError::NoMoreItems);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"Alpha", L"beta", L"gamma"}));
    EXPECT_EQ(regDeleteKeyEx(key.get(), L"missing", Reg::KeyWow64_64Key), WinError::FileNotFound);
}

}  // namespace
