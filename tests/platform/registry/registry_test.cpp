// The emulated registry behind the Win32-shaped seam: views, names, value types, the buffer
// protocol, the regedit file it lives in, and writers that must not lose each other's updates.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/posix/registry/regfile.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "support/process.h"
#include "support/temp_host.h"

namespace {

using namespace Platform;
namespace E = Platform::WinError;

std::vector<std::uint8_t> sz(const std::wstring& text) {
    std::vector<std::uint8_t> data;
    for (char16_t unit : toUtf16(text)) {
        data.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        data.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    data.insert(data.end(), {0, 0});
    return data;
}

std::vector<std::uint8_t> dword(std::uint32_t n) {
    return {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
            static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 24)};
}

std::string utf16File(const std::string& utf8) {
    std::string bytes = "\xFF\xFE";
    for (char16_t unit : toUtf16(fromUtf8(utf8))) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

class Registry : public ::testing::Test {
protected:
    UniqueRegKey open(const std::wstring& path, std::uint32_t sam = Reg::KeyAllAccess) {
        RegKey key = nullptr;
        std::uint32_t error = regOpenKeyEx(hkeyLocalMachine(), path, 0, sam, &key);
        EXPECT_EQ(error, 0u) << toUtf8(path);
        return UniqueRegKey(key);
    }
    std::uint32_t tryOpen(const std::wstring& path, std::uint32_t sam = Reg::KeyRead) {
        RegKey key = nullptr;
        std::uint32_t error = regOpenKeyEx(hkeyLocalMachine(), path, 0, sam, &key);
        UniqueRegKey closer(key);
        return error;
    }
    UniqueRegKey create(const std::wstring& path, std::uint32_t sam = Reg::KeyAllAccess,
                        std::uint32_t* disposition = nullptr) {
        RegKey key = nullptr;
        EXPECT_EQ(regCreateKeyEx(hkeyLocalMachine(), path, 0, sam, &key, disposition), 0u)
            << toUtf8(path);
        return UniqueRegKey(key);
    }
    void set(RegKey key, const std::wstring& name, std::uint32_t type,
             const std::vector<std::uint8_t>& data) {
        ASSERT_EQ(
            regSetValueEx(key, name, type, data.data(), static_cast<std::uint32_t>(data.size())),
            0u);
    }
    // The value's type and data, or the error code in `error`.
    std::vector<std::uint8_t> query(RegKey key, const std::wstring& name,
                                    std::uint32_t* type = nullptr, std::uint32_t* error = nullptr) {
        std::vector<std::uint8_t> data(4096);
        auto size = static_cast<std::uint32_t>(data.size());
        std::uint32_t result = regQueryValueEx(key, name, type, data.data(), &size);
        if (error) {
            *error = result;
        } else {
            EXPECT_EQ(result, 0u) << toUtf8(name);
        }
        data.resize(result == 0 ? size : 0);
        return data;
    }
    std::vector<std::wstring> subKeys(RegKey key) {
        std::vector<std::wstring> names;
        std::wstring name;
        std::uint32_t error = 0;
        for (std::uint32_t i = 0; (error = regEnumKeyEx(key, i, name)) == 0; ++i) {
            names.push_back(name);
        }
        EXPECT_EQ(error, WinError::NoMoreItems);
        return names;
    }
    std::string registryText() const { return host.read("system.reg"); }
    void writeRegistry(const std::string& text) {
        TestSupport::writeFile(host.dir() / "system.reg", text);
    }

    TestSupport::TempHost host;
};

TEST_F(Registry, ThirtyTwoBitViewOfSoftwareIsWow6432Node) {
    // The host's default configuration key lives in the 32-bit half, as the panel writes it.
    auto config = open(L"SOFTWARE\\Tarno\\Zel Config\\Config", Reg::KeyRead | Reg::KeyWow64_32Key);
    EXPECT_EQ(query(config.get(), L"PRODUCT_ROOT_D"), sz(L"C:\\Program Files (x86)\\Tarno"));
    EXPECT_EQ(tryOpen(L"SOFTWARE\\Tarno\\Zel Config\\Config", Reg::KeyRead | Reg::KeyWow64_64Key),
              E::FileNotFound);
    EXPECT_EQ(tryOpen(L"SOFTWARE\\Tarno\\Zel Config\\Config"), E::FileNotFound);

    // Writes through the 32-bit view land in WOW6432Node; a path that names it already is not
    // redirected twice; SYSTEM is shared by both views.
    auto written = create(L"software\\Vendor\\App", Reg::KeyAllAccess | Reg::KeyWow64_32Key);
    set(written.get(), L"v", Reg::RegDword, dword(32));
    auto seen = open(L"SOFTWARE\\WOW6432Node\\Vendor\\App", Reg::KeyRead | Reg::KeyWow64_64Key);
    EXPECT_EQ(query(seen.get(), L"v"), dword(32));
    EXPECT_EQ(tryOpen(L"SOFTWARE\\Vendor\\App"), E::FileNotFound);
    EXPECT_EQ(tryOpen(L"SOFTWARE\\WOW6432Node\\Vendor\\App", Reg::KeyRead | Reg::KeyWow64_32Key),
              0u);
    EXPECT_EQ(tryOpen(L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application",
                      Reg::KeyRead | Reg::KeyWow64_32Key),
              0u);

    // A key opened under the 32-bit SOFTWARE handle stays in that half.
    auto software = open(L"SOFTWARE", Reg::KeyRead | Reg::KeyWow64_32Key);
    RegKey child = nullptr;
    EXPECT_EQ(regOpenKeyEx(software.get(), L"Vendor\\App", 0, Reg::KeyRead, &child), 0u);
    UniqueRegKey childOwner(child);
    EXPECT_EQ(regOpenKeyEx(hkeyLocalMachine(), L"SOFTWARE", 0,
                           Reg::KeyRead | Reg::KeyWow64_32Key | Reg::KeyWow64_64Key, &child),
              E::InvalidParameter);
}

TEST_F(Registry, NamesAreCaseInsensitiveAndKeepTheirCase) {
    std::uint32_t disposition = 0;
    auto key = create(L"SOFTWARE\\MixedCase\\Sub", Reg::KeyAllAccess, &disposition);
    EXPECT_EQ(disposition, Reg::RegCreatedNewKey);
    create(L"software\\MIXEDCASE\\sub", Reg::KeyAllAccess, &disposition);
    EXPECT_EQ(disposition, Reg::RegOpenedExistingKey);

    set(key.get(), L"Value", Reg::RegDword, dword(1));
    set(key.get(), L"VALUE", Reg::RegDword, dword(2));
    EXPECT_EQ(query(key.get(), L"value"), dword(2));
    std::uint32_t count = 0;
    ASSERT_EQ(regQueryInfoKey(key.get(), nullptr, nullptr, &count, nullptr, nullptr), 0u);
    EXPECT_EQ(count, 1u);
    std::wstring name;
    ASSERT_EQ(regEnumValue(key.get(), 0, name, nullptr, nullptr), 0u);
    EXPECT_EQ(name, L"Value");

    auto software = open(L"SOFTWARE");
    auto names = subKeys(software.get());
    EXPECT_NE(std::find(names.begin(), names.end(), L"MixedCase"), names.end());
    // Non-ASCII names fold by the Unicode simple case mapping, as NTFS and the registry do.
    create(L"SOFTWARE\\Ärger");
    EXPECT_EQ(tryOpen(L"SOFTWARE\\äRGER"), 0u);
}

TEST_F(Registry, KeyNamesTheFileCannotHoldAreRefusedAndTheRestRoundTrip) {
    std::string before = registryText();
    for (const wchar_t* name : {L"SOFTWARE\\x]\n\"PRODUCT_ROOT_D\"=\"C:\\\\evil\"",
                                L"SOFTWARE\\cr\rx", L"SOFTWARE\\ctl\x01", L"SOFTWARE\\del\x7f"}) {
        RegKey key = nullptr;
        EXPECT_EQ(regCreateKeyEx(hkeyLocalMachine(), name, 0, Reg::KeyAllAccess, &key, nullptr),
                  WinError::InvalidParameter)
            << toUtf8(name);
        UniqueRegKey closer(key);
    }
    EXPECT_EQ(registryText(), before);
    // What a regedit line can hold comes back from the file, read by another process.
    auto key = create(L"SOFTWARE\\a]b[c] \"d\"");
    set(key.get(), L"v", Reg::RegSz, {'x', 0, 0, 0});
    auto got =
        TestSupport::runProgram("tavrel-host", {"reg", "get", "HKLM\\SOFTWARE\\a]b[c] \"d\"", "v"});
    EXPECT_EQ(got.out, "x\n") << got.err;
}

TEST_F(Registry, EveryTypeSurvivesTheFile) {
    std::vector<std::uint8_t> longBinary;
    for (int i = 0; i < 200; ++i) {
        longBinary.push_back(static_cast<std::uint8_t>(i * 7));
    }
    std::vector<std::uint8_t> multi = sz(L"first");
    auto second = sz(L"zweite Zeile ü");
    multi.insert(multi.end(), second.begin(), second.end());
    multi.insert(multi.end(), {0, 0});
    struct Case {
        std::wstring name;
        std::uint32_t type;
        std::vector<std::uint8_t> data;
    };
    const std::vector<Case> cases = {
        {L"", Reg::RegSz, sz(L"the default value")},
        {L"plain", Reg::RegSz, sz(L"C:\\Program Files (x86)\\Tarno")},
        {L"quote \"and\" \\backslash", Reg::RegSz, sz(L"say \"hi\"\\ ")},
        {L"lines", Reg::RegSz, sz(L"one\r\ntwo\n")},
        {L"unicode €", Reg::RegSz, sz(L"Grüße 日本 \U0001F600")},
        {L"empty", Reg::RegSz, sz(L"")},
        {L"no terminator", Reg::RegSz, {'a', 0, 'b', 0}},
        {L"embedded nul", Reg::RegSz, {'a', 0, 0, 0, 'b', 0, 0, 0}},
        {L"expand", Reg::RegExpandSz, sz(L"%SystemRoot%\\Temp")},
        {L"dword", Reg::RegDword, dword(0xDEADBEEF)},
        {L"short dword", Reg::RegDword, {1, 2}},
        {L"multi", Reg::RegMultiSz, multi},
        {L"binary", Reg::RegBinary, longBinary},
        {L"empty binary", Reg::RegBinary, {}},
        {L"none", Reg::RegNone, {1}},
        {L"qword", Reg::RegQword, {1, 2, 3, 4, 5, 6, 7, 8}},
    };
    {
        auto key = create(L"SOFTWARE\\Types");
        for (const Case& c : cases) {
            set(key.get(), c.name, c.type, c.data);
        }
    }
    // Another writer's copy of the same text: forces a fresh parse of the file.
    std::string text = registryText();
    writeRegistry(text + "\n");
    auto key = open(L"SOFTWARE\\Types", Reg::KeyRead);
    for (const Case& c : cases) {
        std::uint32_t type = 0;
        EXPECT_EQ(query(key.get(), c.name, &type), c.data) << toUtf8(c.name);
        EXPECT_EQ(type, c.type) << toUtf8(c.name);
    }
    // Written as regedit writes them.
    EXPECT_NE(text.find("\"dword\"=dword:deadbeef\n"), std::string::npos) << text;
    EXPECT_NE(text.find("@=\"the default value\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"quote \\\"and\\\" \\\\backslash\"=\"say \\\"hi\\\"\\\\ \"\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\"short dword\"=hex(4):01,02\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"no terminator\"=hex(1):61,00,62,00\n"), std::string::npos) << text;
}

TEST_F(Registry, QueryValueFollowsTheWin32BufferProtocol) {
    auto key = create(L"SOFTWARE\\Buffers");
    set(key.get(), L"text", Reg::RegSz, sz(L"abc"));  // 8 bytes with the NUL

    std::uint32_t type = 0, size = 0;
    EXPECT_EQ(regQueryValueEx(key.get(), L"text", &type, nullptr, &size), 0u);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(type, Reg::RegSz);

    std::uint8_t small[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    size = sizeof(small);
    type = 0;
    EXPECT_EQ(regQueryValueEx(key.get(), L"text", &type, small, &size), E::MoreData);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(type, Reg::RegSz) << "the type is known even when the data does not fit";

    std::uint8_t exact[8] = {};
    size = sizeof(exact);
    EXPECT_EQ(regQueryValueEx(key.get(), L"text", nullptr, exact, &size), 0u);
    EXPECT_EQ(std::vector<std::uint8_t>(exact, exact + 8), sz(L"abc"));

    EXPECT_EQ(regQueryValueEx(key.get(), L"text", nullptr, exact, nullptr), E::InvalidParameter);
    EXPECT_EQ(regQueryValueEx(key.get(), L"text", &type, nullptr, nullptr), 0u);
    size = sizeof(exact);
    EXPECT_EQ(regQueryValueEx(key.get(), L"missing", nullptr, exact, &size), E::FileNotFound);
    EXPECT_EQ(regQueryValueEx(key.get(), L"", nullptr, exact, &size), E::FileNotFound)
        << "a key without a default value";

    // The rights of the handle decide, as on Windows.
    auto writeOnly = open(L"SOFTWARE\\Buffers", Reg::KeySetValue);
    EXPECT_EQ(regQueryValueEx(writeOnly.get(), L"text", &type, nullptr, &size), E::AccessDenied);
    auto readOnly = open(L"SOFTWARE\\Buffers", Reg::KeyRead);
    EXPECT_EQ(regSetValueEx(readOnly.get(), L"x", Reg::RegDword, dword(1).data(), 4),
              E::AccessDenied);
    EXPECT_EQ(regSetValueEx(key.get(), L"x", Reg::RegBinary, nullptr, 4), E::InvalidParameter);
}

TEST_F(Registry, EnumerationAndKeyInformation) {
    auto key = create(L"SOFTWARE\\Enum");
    for (const wchar_t* sub : {L"beta", L"Alpha", L"gamma\\deep", L"ALPHA2"}) {
        create(std::wstring(L"SOFTWARE\\Enum\\") + sub);
    }
    set(key.get(), L"z", Reg::RegDword, dword(1));
    set(key.get(), L"longer name", Reg::RegSz, sz(L"0123456789"));
    set(key.get(), L"a", Reg::RegDword, dword(2));

    // Subkeys come sorted without regard to case, as Windows keeps them; values in the
    // order they were written.
    EXPECT_EQ(subKeys(key.get()),
              (std::vector<std::wstring>{L"Alpha", L"ALPHA2", L"beta", L"gamma"}));
    std::vector<std::wstring> values;
    std::wstring name;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
    for (std::uint32_t i = 0; regEnumValue(key.get(), i, name, &type, &data) == 0; ++i) {
        values.push_back(name);
    }
    EXPECT_EQ(values, (std::vector<std::wstring>{L"z", L"longer name", L"a"}));
    EXPECT_EQ(regEnumValue(key.get(), 3, name, nullptr, nullptr), WinError::NoMoreItems);

    std::uint32_t subKeyCount = 0, maxSubKey = 0, valueCount = 0, maxName = 0, maxData = 0;
    ASSERT_EQ(regQueryInfoKey(key.get(), &subKeyCount, &maxSubKey, &valueCount, &maxName, &maxData),
              0u);
    EXPECT_EQ(subKeyCount, 4u);
    EXPECT_EQ(maxSubKey, 6u);  // "ALPHA2"
    EXPECT_EQ(valueCount, 3u);
    EXPECT_EQ(maxName, 11u);  // "longer name"
    EXPECT_EQ(maxData, 22u);  // ten characters and the NUL, in UTF-16

    auto noEnum = open(L"SOFTWARE\\Enum", Reg::KeyQueryValue);
    EXPECT_EQ(regEnumKeyEx(noEnum.get(), 0, name), E::AccessDenied);
}

TEST_F(Registry, DeletingKeysAndValues) {
    create(L"SOFTWARE\\Del\\Parent\\Child");
    EXPECT_EQ(regDeleteKeyEx(hkeyLocalMachine(), L"SOFTWARE\\Del\\Parent", Reg::KeyWow64_64Key),
              E::AccessDenied)
        << "a key with subkeys";
    EXPECT_EQ(regDeleteKeyEx(hkeyLocalMachine(), L"SOFTWARE\\Del\\Parent\\Child", 0), 0u);
    EXPECT_EQ(tryOpen(L"SOFTWARE\\Del\\Parent\\Child"), E::FileNotFound);
    // The parent was created on the way and never written on its own; it still exists.
    EXPECT_EQ(tryOpen(L"SOFTWARE\\Del\\Parent"), 0u);
    EXPECT_EQ(regDeleteKeyEx(hkeyLocalMachine(), L"SOFTWARE\\Del\\Parent\\Child", 0),
              E::FileNotFound);

    // In the 32-bit view the delete goes to WOW6432Node.
    create(L"SOFTWARE\\WOW6432Node\\Del32");
    EXPECT_EQ(regDeleteKeyEx(hkeyLocalMachine(), L"SOFTWARE\\Del32", Reg::KeyWow64_32Key), 0u);
    EXPECT_EQ(tryOpen(L"SOFTWARE\\WOW6432Node\\Del32"), E::FileNotFound);

    auto key = open(L"SOFTWARE\\Del\\Parent");
    create(L"SOFTWARE\\Del\\Parent\\A\\B");
    set(key.get(), L"v", Reg::RegDword, dword(1));
    EXPECT_EQ(regDeleteValue(key.get(), L"V"), 0u);
    EXPECT_EQ(regDeleteValue(key.get(), L"v"), E::FileNotFound);

    EXPECT_EQ(regDeleteTree(hkeyLocalMachine(), L"SOFTWARE\\Del"), 0u);
    EXPECT_EQ(tryOpen(L"SOFTWARE\\Del"), E::FileNotFound);
    // A handle to a key that is gone answers ERROR_KEY_DELETED.
    std::uint32_t size = 0;
    EXPECT_EQ(regQueryValueEx(key.get(), L"v", nullptr, nullptr, &size), E::KeyDeleted);
    EXPECT_EQ(regSetValueEx(key.get(), L"v", Reg::RegDword, dword(1).data(), 4), E::KeyDeleted);
}

TEST_F(Registry, HandlesAndRoots) {
    RegKey key = nullptr;
    auto hkeyCurrentUser =
        reinterpret_cast<RegKey>(static_cast<std::intptr_t>(static_cast<std::int32_t>(0x80000001)));
    EXPECT_EQ(regOpenKeyEx(hkeyCurrentUser, L"Software", 0, Reg::KeyRead, &key), E::FileNotFound);
    EXPECT_EQ(regOpenKeyEx(reinterpret_cast<RegKey>(0x1234), L"x", 0, Reg::KeyRead, &key),
              E::InvalidHandle);
    EXPECT_EQ(regOpenKeyEx(hkeyLocalMachine(), L"\\SOFTWARE", 0, Reg::KeyRead, &key),
              E::BadPathname);

    ASSERT_EQ(regOpenKeyEx(hkeyLocalMachine(), L"SOFTWARE\\Microsoft\\", 0, Reg::KeyRead, &key),
              0u);
    EXPECT_EQ(regCloseKey(key), 0u);
    EXPECT_EQ(regCloseKey(key), E::InvalidHandle);
    EXPECT_EQ(regCloseKey(hkeyLocalMachine()), 0u);
    EXPECT_EQ(regDisableReflectionKey(hkeyLocalMachine()), 0u);
    EXPECT_EQ(regDisableReflectionKey(key), E::InvalidHandle);
}

TEST_F(Registry, ReadsHandWrittenRegeditText) {
    // As regedit writes it on Windows (CRLF), with a comment, a continued hex line, an
    // expandable string and a multi-string, and Wine's \n escape.
    writeRegistry(
        "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
        "\r\n"
        "; written by hand\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Hand\\Written]\r\n"
        "@=\"default\"\r\n"
        "\"Path\"=\"C:\\\\Program Files\\\\\"\r\n"
        "\"Quoted\"=\"a \\\"b\\\" c\"\r\n"
        "\"Lines\"=\"1\\n2\"\r\n"
        "\"Count\"=dword:0000000A\r\n"
        "\"Short\"=dword:7\r\n"
        "\"Test\"=hex(2):25,00,53,00,79,00,73,00,74,00,65,00,6d,00,52,00,6f,00,6f,00,74,\\\r\n"
        "  00,25,00,00,00\r\n"
        "\"List\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
        "\"Blob\" = hex:de,ad,\r\n"
        "\r\n"
        "[HKLM\\SYSTEM\\Other]\r\n");
    auto key = open(L"SOFTWARE\\Hand\\Written", Reg::KeyRead);
    EXPECT_EQ(query(key.get(), L""), sz(L"default"));
    EXPECT_EQ(query(key.get(), L"path"), sz(L"C:\\Program Files\\"));
    EXPECT_EQ(query(key.get(), L"Quoted"), sz(L"a \"b\" c"));
    EXPECT_EQ(query(key.get(), L"Lines"), sz(L"1\n2"));
    EXPECT_EQ(query(key.get(), L"Count"), dword(10));
    EXPECT_EQ(query(key.get(), L"Short"), dword(7));
    std::uint32_t type = 0;
    EXPECT_EQ(query(key.get(), L"Test", &type), sz(L"%SystemRoot%"));
    EXPECT_EQ(type, Reg::RegExpandSz);
    EXPECT_EQ(query(key.get(), L"List", &type),
              (std::vector<std::uint8_t>{'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}));
    EXPECT_EQ(type, Reg::RegMultiSz);
    EXPECT_EQ(query(key.get(), L"Blob", &type), (std::vector<std::uint8_t>{0xde, 0xad}));
    EXPECT_EQ(type, Reg::RegBinary);
    EXPECT_EQ(tryOpen(L"SYSTEM\\Other"), 0u);
    EXPECT_EQ(tryOpen(L"SOFTWARE\\Hand"), 0u) << "a parent exists through its descendants";
}

TEST_F(Registry, WritesHexAsRegeditWrapsIt) {
    Posix::RegFileSection section;
    section.path = L"SOFTWARE\\X";
    section.values.push_back({L"Test", false, Reg::RegExpandSz, sz(L"%SystemRoot%")});
    EXPECT_EQ(Posix::formatRegFile({section}),
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n"
              "\"Test\"=hex(2):25,00,53,00,79,00,73,00,74,00,65,00,6d,00,52,00,6f,00,6f,00,74,\\\n"
              "  00,25,00,00,00\n\n");
}

TEST_F(Registry, MalformedTextIsRejectedWithItsLine) {
    const std::string header = "Windows Registry Editor Version 5.00\n";
    struct Case {
        std::string text;
        std::size_t line;
    };
    const std::vector<Case> cases = {
        {"", 0},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n", 1},
        {header + "\"v\"=dword:1\n", 2},                                   // value before a key
        {header + "[HKEY_CURRENT_USER\\A]\n", 2},                          // not emulated
        {header + "[HKEY_LOCAL_MACHINE\\A\n", 2},                          // no ]
        {header + "[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"C:\\temp\"\n", 3},     // \t is no escape
        {header + "[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"open\n", 3},           // unterminated
        {header + "[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"x\" y\n", 3},          // text after it
        {header + "[HKEY_LOCAL_MACHINE\\A]\n\"v\"=dword:123456789\n", 3},  // nine digits
        {header + "[HKEY_LOCAL_MACHINE\\A]\n\"v\"=dword:xyz\n", 3},
        {header + "[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex:1,234\n", 3},
        {header + "[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex(zz):00\n", 3},
        {header + "[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex:00,\\\n", 3},        // continued past the end
        {header + "[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex:00,\\\n  zz\n", 3},  // found on the next line
        {header + "[HKEY_LOCAL_MACHINE\\A]\n\"v\"\n", 3},                  // no =
        {header + "[HKEY_LOCAL_MACHINE\\A]\n\"v\"=str:x\n", 3},
        {header + "[HKEY_LOCAL_MACHINE\\A]\nv=1\n", 3},
        {"\xFE\xFF\0W", 0},  // big-endian
    };
    for (const Case& c : cases) {
        std::vector<Posix::RegFileSection> sections;
        Posix::RegFileError error;
        EXPECT_FALSE(Posix::parseRegFile(c.text, sections, error)) << c.text;
        EXPECT_EQ(error.line, c.line) << c.text << " -> " << error.text();
        EXPECT_FALSE(error.reason.empty());
    }
}

TEST_F(Registry, CorruptFileFailsEveryCallAndIsLeftAlone) {
    const std::string corrupt =
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ok]\n"
        "\"broken=1\n";
    writeRegistry(corrupt);
    RegKey key = nullptr;
    EXPECT_EQ(regOpenKeyEx(hkeyLocalMachine(), L"SOFTWARE\\Ok", 0, Reg::KeyRead, &key),
              E::RegistryCorrupt);
    EXPECT_EQ(
        regCreateKeyEx(hkeyLocalMachine(), L"SOFTWARE\\New", 0, Reg::KeyAllAccess, &key, nullptr),
        E::RegistryCorrupt);
    std::string detail;
    EXPECT_EQ(
        Posix::importRegistryText("Windows Registry Editor Version 5.00\n[HKLM\\A]\n", detail),
        E::RegistryCorrupt);
    EXPECT_EQ(Posix::checkRegistryFile(detail), E::RegistryCorrupt);
    EXPECT_NE(detail.find("line 4"), std::string::npos) << detail;
    EXPECT_EQ(registryText(), corrupt);

    // Mending the file by hand brings the registry back.
    writeRegistry("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ok]\n");
    EXPECT_EQ(tryOpen(L"SOFTWARE\\Ok"), 0u);
}

TEST_F(Registry, ImportsUtf16WithDeletions) {
    create(L"SOFTWARE\\Imp\\Old\\Deep");
    auto key = create(L"SOFTWARE\\Imp\\Keep");
    set(key.get(), L"gone", Reg::RegDword, dword(1));
    set(key.get(), L"stays", Reg::RegDword, dword(2));
    std::string detail;
    ASSERT_EQ(
        Posix::importRegistryText(utf16File("Windows Registry Editor Version 5.00\r\n\r\n"
                                            "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Imp\\Old]\r\n\r\n"
                                            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Imp\\Keep]\r\n"
                                            "\"gone\"=-\r\n"
                                            "\"neu\"=\"größer\"\r\n"),
                                  detail),
        0u)
        << detail;
    EXPECT_EQ(tryOpen(L"SOFTWARE\\Imp\\Old"), E::FileNotFound);
    std::uint32_t error = 0;
    query(key.get(), L"gone", nullptr, &error);
    EXPECT_EQ(error, E::FileNotFound);
    EXPECT_EQ(query(key.get(), L"stays"), dword(2));
    EXPECT_EQ(query(key.get(), L"neu"), sz(L"größer"));

    // A file that does not parse changes nothing.
    std::string before = registryText();
    EXPECT_EQ(Posix::importRegistryText("Windows Registry Editor Version 5.00\n"
                                        "[-HKEY_LOCAL_MACHINE\\SOFTWARE]\n"
                                        "[HKEY_LOCAL_MACHINE\\X]\n\"bad\n",
                                        detail),
              E::InvalidData);
    EXPECT_NE(detail.find("line 4"), std::string::npos) << detail;
    EXPECT_EQ(registryText(), before);
}

TEST_F(Registry, ExportImportsBackAndFileOrderIsKept) {
    auto key = create(L"SOFTWARE\\Exp\\B");
    set(key.get(), L"s", Reg::RegSz, sz(L"x\"y"));
    create(L"SOFTWARE\\Exp\\a\\c");
    std::string exported;
    ASSERT_EQ(Posix::exportRegistry(L"software\\exp", exported), 0u);
    EXPECT_EQ(exported,
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Exp]\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Exp\\a]\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Exp\\a\\c]\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Exp\\B]\n"
              "\"s\"=\"x\\\"y\"\n\n");
    ASSERT_EQ(regDeleteTree(hkeyLocalMachine(), L"SOFTWARE\\Exp"), 0u);
    std::string detail;
    ASSERT_EQ(Posix::importRegistryText(exported, detail), 0u) << detail;
    std::string again;
    ASSERT_EQ(Posix::exportRegistry(L"SOFTWARE\\Exp", again), 0u);
    EXPECT_EQ(again, exported);
    EXPECT_EQ(Posix::exportRegistry(L"SOFTWARE\\Nothing", again), E::FileNotFound);

    // A change to an existing key rewrites it in place: the file keeps its order and new keys
    // go to the end.
    auto computer = open(L"SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName");
    set(computer.get(), L"ComputerName", Reg::RegSz, sz(L"RENAMED"));
    create(L"SOFTWARE\\Aardvark");
    std::string text = registryText();
    std::size_t first =
        text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion]");
    std::size_t renamed = text.find("ComputerName\\ComputerName]\n\"ComputerName\"=\"RENAMED\"\n");
    std::size_t next = text.find(
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application]");
    std::size_t added = text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Aardvark]");
    EXPECT_EQ(first, text.find('['));
    EXPECT_LT(first, renamed);
    EXPECT_LT(renamed, next);
    EXPECT_LT(next, added);
    EXPECT_NE(added, std::string::npos) << text;
}

TEST_F(Registry, ChangesByAnotherWriterAreSeen) {
    auto key = create(L"SOFTWARE\\Seen");
    set(key.get(), L"n", Reg::RegDword, dword(1));
    for (std::uint32_t n = 2; n < 6; ++n) {
        // Edited in place, at once, at the same size: what an editor or another program does.
        std::string text = registryText();
        std::size_t at = text.find("\"n\"=dword:");
        ASSERT_NE(at, std::string::npos);
        text.replace(at, 18, "\"n\"=dword:0000000" + std::to_string(n));
        writeRegistry(text);
        EXPECT_EQ(query(key.get(), L"n"), dword(n));
    }
}

TEST_F(Registry, ConcurrentWritersInOneProcessLoseNothing) {
    constexpr int threads = 4;
    constexpr int perThread = 25;
    create(L"SOFTWARE\\Race");
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t] {
            for (int i = 0; i < perThread; ++i) {
                RegKey key = nullptr;
                ASSERT_EQ(
                    regOpenKeyEx(hkeyLocalMachine(), L"SOFTWARE\\Race", 0, Reg::KeySetValue, &key),
                    0u);
                UniqueRegKey owner(key);
                auto data = dword(static_cast<std::uint32_t>(i));
                ASSERT_EQ(regSetValueEx(key, L"t" + std::to_wstring(t) + L"_" + std::to_wstring(i),
                                        Reg::RegDword, data.data(), 4),
                          0u);
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    auto key = open(L"SOFTWARE\\Race", Reg::KeyRead);
    std::uint32_t count = 0;
    ASSERT_EQ(regQueryInfoKey(key.get(), nullptr, nullptr, &count, nullptr, nullptr), 0u);
    EXPECT_EQ(count, static_cast<std::uint32_t>(threads * perThread));
}

TEST_F(Registry, ConcurrentWriterProcessesLoseNothing) {
    // Each process reads, changes and rewrites the whole file; without the lock one of two
    // overlapping writers would drop the other's value.
    constexpr int processes = 3;
    constexpr int perProcess = 8;
    std::vector<std::thread> runners;
    std::vector<int> failures(processes, 0);
    for (int p = 0; p < processes; ++p) {
        runners.emplace_back([p, &failures] {
            for (int i = 0; i < perProcess; ++i) {
                auto r = TestSupport::runProgram(
                    "tavrel-host", {"reg", "set", "HKLM\\SOFTWARE\\ProcRace",
                                    "p" + std::to_string(p) + "_" + std::to_string(i), "REG_DWORD",
                                    std::to_string(i)});
                failures[static_cast<std::size_t>(p)] += r.exitCode != 0;
            }
        });
    }
    for (auto& runner : runners) {
        runner.join();
    }
    EXPECT_EQ(failures, std::vector<int>(processes, 0));
    auto key = open(L"SOFTWARE\\ProcRace", Reg::KeyRead);
    std::uint32_t count = 0;
    ASSERT_EQ(regQueryInfoKey(key.get(), nullptr, nullptr, &count, nullptr, nullptr), 0u);
    EXPECT_EQ(count, static_cast<std::uint32_t>(processes * perProcess));
}

}  // namespace

namespace {

// tavrel-host reg: the user's view of the same registry.
class RegCommand : public Registry {
protected:
    TestSupport::ProcessResult reg(const std::vector<std::string>& args) {
        std::vector<std::string> all{"reg"};
        all.insert(all.end(), args.begin(), args.end());
        return TestSupport::runProgram("tavrel-host", all);
    }
    void regOk(const std::vector<std::string>& args) {
        auto r = reg(args);
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }
};

TEST_F(RegCommand, SetAndGetEachType) {
    const std::string key = "HKLM\\SOFTWARE\\Cmd";
    struct Case {
        const char* type;
        const char* data;
        const char* printed;
    };
    const std::vector<Case> cases = {
        {"REG_SZ", "C:\\Program Files\\ü", "C:\\Program Files\\ü\n"},
        {"REG_EXPAND_SZ", "%SystemRoot%\\x", "%SystemRoot%\\x\n"},
        {"REG_DWORD", "0x10", "16\n"},
        {"REG_DWORD", "4294967295", "4294967295\n"},
        {"REG_MULTI_SZ", "one\\0two words\\0three", "one\ntwo words\nthree\n"},
        {"REG_BINARY", "0a0B ff", "0a0bff\n"},
    };
    for (const Case& c : cases) {
        regOk({"set", key, "v", c.type, c.data});
        auto r = reg({"get", key, "v"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, c.printed) << c.type;
    }
    regOk({"set", key, "", "REG_SZ", "default"});
    auto all = reg({"get", "HKEY_LOCAL_MACHINE\\software\\cmd"});
    EXPECT_EQ(all.out, "v = REG_BINARY 0a0bff\n(Default) = REG_SZ default\n");

    // The seam reads what the tool wrote.
    auto opened = open(L"SOFTWARE\\Cmd", Reg::KeyRead);
    EXPECT_EQ(query(opened.get(), L""), sz(L"default"));
}

TEST_F(RegCommand, KeysAreTakenLiterally) {
    regOk({"set", "HKLM\\SOFTWARE\\WOW6432Node\\Tarno\\Zel Config\\Config", "Debug", "REG_DWORD",
           "1"});
    auto config = open(L"SOFTWARE\\Tarno\\Zel Config\\Config", Reg::KeyRead | Reg::KeyWow64_32Key);
    EXPECT_EQ(query(config.get(), L"Debug"), dword(1));
    regOk({"set", "HKLM\\SOFTWARE\\Tarno\\Zel Config\\Config", "Debug", "REG_DWORD", "0"});
    EXPECT_EQ(query(config.get(), L"Debug"), dword(1)) << "the 64-bit key is another key";
}

TEST_F(RegCommand, DeleteImportExport) {
    regOk({"set", "HKLM\\SOFTWARE\\Gone\\Deep", "v", "REG_DWORD", "1"});
    regOk({"set", "HKLM\\SOFTWARE\\Gone", "w", "REG_DWORD", "2"});
    regOk({"del", "HKLM\\SOFTWARE\\Gone", "w"});
    EXPECT_EQ(reg({"get", "HKLM\\SOFTWARE\\Gone"}).out, "");
    regOk({"del", "HKLM\\SOFTWARE\\Gone"});
    EXPECT_EQ(tryOpen(L"SOFTWARE\\Gone"), E::FileNotFound);

    TestSupport::TempDir dir;
    TestSupport::writeFile(dir.path() / "in.reg",
                           utf16File("Windows Registry Editor Version 5.00\r\n\r\n"
                                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Imported]\r\n"
                                     "\"n\"=dword:00000003\r\n"));
    regOk({"import", (dir.path() / "in.reg").string()});
    auto exported = reg({"export", "HKLM\\SOFTWARE\\Imported"});
    EXPECT_EQ(exported.out,
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Imported]\n"
              "\"n\"=dword:00000003\n\n");
    auto everything = reg({"export"});
    EXPECT_NE(everything.out.find(
                  "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System]"),
              std::string::npos);
}

TEST_F(RegCommand, MistakesAreNamed) {
    struct Case {
        std::vector<std::string> args;
        const char* named;
    };
    const std::vector<Case> cases = {
        {{"get", "HKLM\\SOFTWARE\\Nope"}, "HKLM\\SOFTWARE\\Nope"},
        {{"get", "HKLM\\SOFTWARE\\Microsoft", "Nope"}, "'Nope'"},
        {{"get", "HKCU\\Software"}, "HKCU\\Software"},
        {{"set", "HKLM\\SOFTWARE\\X", "v", "REG_DWORD", "12x"}, "12x"},
        {{"set", "HKLM\\SOFTWARE\\X", "v", "REG_DWORD", "4294967296"}, "4294967296"},
        {{"set", "HKLM\\SOFTWARE\\X", "v", "REG_QWORD", "1"}, "REG_QWORD"},
        {{"set", "HKLM\\SOFTWARE\\X", "v", "REG_BINARY", "abc"}, "abc"},
        {{"set", "HKLM\\SOFTWARE\\X", "v"}, "set"},
        {{"del", "HKLM\\SOFTWARE\\Nope"}, "HKLM\\SOFTWARE\\Nope"},
        {{"import", "/nonexistent/file.reg"}, "/nonexistent/file.reg"},
        {{"export", "HKLM\\SOFTWARE\\Nope"}, "HKLM\\SOFTWARE\\Nope"},
        {{"frobnicate"}, "frobnicate"},
    };
    for (const Case& c : cases) {
        auto r = reg(c.args);
        EXPECT_EQ(r.exitCode, 1) << c.named;
        EXPECT_NE(r.err.find(c.named), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(tryOpen(L"SOFTWARE\\X"), E::FileNotFound) << "a refused set writes nothing";
}

}  // namespace
