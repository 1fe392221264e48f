// Path names: the string rules of normalisation, comparison, combination and cutting (with
// both the Windows 8 and the older method), and the operations that touch the disk.
#include "runtime/filename.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/text.h"
#include "platform/types.h"
#include "runtime/exceptions.h"
#include "support/corpus.h"
#include "support/errors.h"
#include "support/temp_host.h"

namespace {

namespace fs = std::filesystem;
using Platform::toUtf8;
using TestSupport::osErrorOf;

constexpr Platform::OsVersion windows7{6, 1, 7601};
constexpr Platform::OsVersion windows10{10, 0, 19045};

// Runs a test under a chosen operating-system version.
class OsVersion {
public:
    explicit OsVersion(Platform::OsVersion version) { VFileName::setOsVersionForTesting(version); }
    ~OsVersion() { VFileName::setOsVersionForTesting(std::nullopt); }
};

using TestSupport::expectCorpus;

TEST(NormalizePath, Table) {
    expectCorpus("normalize_path", [](const std::wstring& input) { return normalizePath(input); });
}

TEST(ComparePaths, ComponentsOrderByLengthThenCaseInsensitively) {
    struct CompareCase {
        const wchar_t* a;
        const wchar_t* b;
        PathRelation expected;
    };
    const std::vector<CompareCase> cases = {
        {LR"(C:\a\b)", LR"(C:\A)", PathBelow},
        {LR"(C:\a)", LR"(C:\a\b)", PathAbove},
        {LR"(\\?\C:\a)", LR"(C:\a\)", PathEqual},
        {LR"(\??\C:\x)", LR"(c:\X)", PathEqual},
        {L"C:/a//b/", LR"(c:\A\B)", PathEqual},
        {LR"(C:\b)", LR"(C:\aa)", PathLess},
        {LR"(C:\zz)", LR"(C:\aaa)", PathLess},
        {LR"(C:\aaa)", LR"(C:\zz)", PathGreater},
        {LR"(C:\ab)", LR"(C:\AC)", PathLess},
        {LR"(C:\a_)", LR"(C:\aa)", PathLess},  // letters fold to lower case, '_' < 'a'
        {LR"(D:\a)", LR"(C:\a\b)", PathGreater},
        {L"", LR"(C:\)", PathAbove},
        {L"", L"", PathEqual},
        // Paths written alike for a while differ inside a component or a run of separators.
        {LR"(C:\web\site\abc)", LR"(C:\web\site\ab)", PathGreater},
        {LR"(C:\web\ab\x)", LR"(C:\web\abc)", PathLess},
        {LR"(C:\web\aB\x)", LR"(C:\web\ab)", PathBelow},
        {LR"(C:\web\\x)", LR"(C:\web\x\y)", PathAbove},
        {LR"(C:\Web\SITE\a)", LR"(c:\web\site\a)", PathEqual},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(comparePaths(c.a, c.b), c.expected) << toUtf8(c.a) << " vs " << toUtf8(c.b);
    }
    std::vector<std::wstring> sorted = {LR"(C:\aaa)", LR"(C:\zz\b)", LR"(C:\zz)", LR"(C:\b)"};
    std::sort(sorted.begin(), sorted.end(), [](const std::wstring& a, const std::wstring& b) {
        PathRelation relation = comparePaths(a, b);
        return relation == PathLess || relation == PathAbove;
    });
    EXPECT_EQ(sorted,
              (std::vector<std::wstring>{LR"(C:\b)", LR"(C:\zz)", LR"(C:\zz\b)", LR"(C:\aaa)"}));
}

TEST(PathStrings, PrefixesSeparatorsAndComponents) {
    expectCorpus("to_long_path", [](const std::wstring& input) { return toLongPath(input); });
    expectCorpus("strip_long_prefix",
                 [](const std::wstring& input) { return stripLongPrefix(input); });
    const wchar_t* text = LR"(\\?\C:\x)";
    EXPECT_EQ(stripLongPrefix(text), text + 4);

    expectCorpus("last_component", [](const std::wstring& input) { return lastComponent(input); });
    EXPECT_EQ(withTrailingBackslash(L""), LR"(\)");
    EXPECT_EQ(withTrailingBackslash(LR"(C:\a)"), LR"(C:\a\)");
    EXPECT_EQ(withTrailingBackslash(LR"(C:\a\)"), LR"(C:\a\)");
    EXPECT_EQ(trimLeadingSeparators(LR"(\\/a/b\\)"), LR"(a/b\\)");
    EXPECT_EQ(trimTrailingSeparators(LR"(\\/a/b\\/)"), LR"(\\/a/b)");
    EXPECT_EQ(trimTrailingSeparators(LR"(\/\)"), L"");

    EXPECT_EQ(fileExtension(LR"(C:\a.d\b.xml)"), L".xml");
    EXPECT_EQ(fileName(LR"(C:\a\b.xml)"), L"b.xml");
    EXPECT_EQ(withoutExtension(LR"(C:\a\b.xml)"), LR"(C:\a\b)");
    EXPECT_EQ(unquoted(L"\"C:\\Program Files\""), LR"(C:\Program Files)");
}

TEST(VFileNameCombine, BothMethods) {
    std::wstring longDir = LR"(C:\)" + std::wstring(270, L'a');
    struct CombineCase {
        std::wstring dir;
        std::wstring name;
        std::wstring windows8;
        std::wstring older;
    };
    const std::vector<CombineCase> cases = {
        {LR"(C:\a\)", LR"(\b)", LR"(C:\a\b)", LR"(C:\a\b)"},
        {LR"(C:\)", L"a", LR"(C:\a)", LR"(C:\a)"},
        {L"C:", L"a", LR"(C:\a)", LR"(C:\a)"},
        {LR"(C:\a)", LR"(..\b)", LR"(C:\b)", LR"(C:\b)"},
        {LR"(C:\a)", LR"(D:\x)", LR"(D:\x)", LR"(D:\x)"},
        {L"rel", L"x", LR"(rel\x)", LR"(rel\x)"},
        // The long-path functions drop the prefix; PathCombineW keeps it.
        {LR"(\\?\C:\a)", L"b", LR"(C:\a\b)", LR"(\\?\C:\a\b)"},
        // Over MAX_PATH both give the plain joined and normalised path.
        {longDir, LR"(b\..\c)", longDir + LR"(\c)", longDir + LR"(\c)"},
        {LR"(\\?\)" + longDir + LR"(\)", L"x", longDir + LR"(\x)", longDir + LR"(\x)"},
    };
    for (const auto& c : cases) {
        {
            OsVersion os(windows10);
            EXPECT_EQ(VFileName::combine(c.dir, c.name), c.windows8)
                << toUtf8(c.dir) << " + " << toUtf8(c.name);
        }
        {
            OsVersion os(windows7);
            EXPECT_EQ(VFileName::combine(c.dir, c.name), c.older)
                << toUtf8(c.dir) << " + " << toUtf8(c.name);
        }
    }
}

TEST(VFileNameCombine, OlderMethodFailsWhereTheSeparatorReachesMaxPath) {
    // 253 + 6 characters choose PathCombineW, whose result would need 260.
    std::wstring dir = LR"(C:\)" + std::wstring(250, L'a');
    OsVersion os(windows7);
    vosexception e = osErrorOf([&] { VFileName::combine(dir, LR"(b\..\c)"); });
    EXPECT_EQ(e.errorCode(), Platform::WinError::FilenameExcedRange);
    EXPECT_NE(e.message().find(L"PathCombine failed for dir " + dir + LR"( and fileName b\..\c)"),
              std::wstring::npos);
    EXPECT_EQ(e.frames().at(0).function, "VFileName::combine");
    OsVersion newer(windows10);
    EXPECT_EQ(VFileName::combine(dir, LR"(b\..\c)"), dir + LR"(\c)");
}

TEST(VFileNameRemoveFileSpec, BothMethods) {
    std::wstring longDir = LR"(C:\)" + std::wstring(300, L'a');
    struct RemoveCase {
        std::wstring path;
        std::wstring windows8;
        std::wstring older;
    };
    const std::vector<RemoveCase> cases = {
        {LR"(C:\a\b)", LR"(C:\a)", LR"(C:\a)"},
        {LR"(C:\a)", LR"(C:\)", LR"(C:\)"},
        {LR"(C:\)", LR"(C:\)", LR"(C:\)"},
        {L"C:/a/./b/", LR"(C:\a\b)", LR"(C:\a\b)"},
        {L"rel", L"", L""},
        {LR"(\\?\C:\a)", LR"(C:\)", LR"(\\?\C:\)"},
        {longDir + LR"(\x)", longDir, longDir},
        {longDir, LR"(C:\)", LR"(C:\)"},
    };
    for (const auto& c : cases) {
        {
            OsVersion os(windows10);
            EXPECT_EQ(VFileName::removeFileSpec(c.path), c.windows8) << toUtf8(c.path);
        }
        {
            OsVersion os(windows7);
            EXPECT_EQ(VFileName::removeFileSpec(c.path), c.older) << toUtf8(c.path);
        }
    }
}

TEST(VFileName, CanonicalizeAndRootRaiseWithTheirNames) {
    EXPECT_EQ(VFileName::canonicalize(LR"(C:\a\.\b\..\c)"), LR"(C:\a\c)");
    // Past MAX_PATH as the long-path functions take it, up to what they take.
    std::wstring deep = LR"(C:\)" + std::wstring(300, L'a');
    EXPECT_EQ(VFileName::canonicalize(deep + LR"(\.\b\..\c)"), deep + LR"(\c)");
    std::wstring tooLong = LR"(C:\)" + std::wstring(33000, L'a');
    vosexception canonical = osErrorOf([&] { VFileName::canonicalize(tooLong); });
    EXPECT_EQ(canonical.errorCode(), Platform::WinError::FilenameExcedRange);
    EXPECT_NE(canonical.message().find(L"PathAllocCanonicalize failed for path " + tooLong),
              std::wstring::npos);
    ASSERT_EQ(canonical.frames().size(), 1u);
    EXPECT_EQ(canonical.frames()[0].function, "VFileName::canonicalize");

    EXPECT_EQ(VFileName::root(LR"(C:\a\b)"), LR"(C:\)");
    EXPECT_EQ(VFileName::root(LR"(\\srv\share\x)"), LR"(\\srv\share)");
    vosexception root = osErrorOf([] { VFileName::root(L"relative"); });
    EXPECT_NE(root.message().find(L"PathStripToRoot failed for fileName=relative"),
              std::wstring::npos);
    EXPECT_EQ(root.frames()[0].function, "VFileName::root");
}

TEST(VGUID, TextFormOfUuidToString) {
    Platform::Guid bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i == 15 ? 0xAB : i);
    }
    EXPECT_EQ(VGUID(bytes).toString(), L"03020100-0504-0706-0809-0a0b0c0d0eab");
    std::wstring created = VGUID::create().toString();
    EXPECT_EQ(created.size(), 36u);
    EXPECT_EQ(created, Platform::toLower(created));
}

class FileNameOnHostTest : public ::testing::Test {
protected:
    TestSupport::TempHost host;
    fs::path driveC = fs::canonical(host.driveC());
};

TEST_F(FileNameOnHostTest, FileExistTellsMissingFromFailing) {
    std::uint32_t attributes = 0;
    EXPECT_TRUE(fileExist(LR"(C:\Windows)", attributes));
    EXPECT_EQ(attributes, Platform::FileAttribute::Directory);
    EXPECT_FALSE(fileExist(LR"(C:\nothere)"));
    EXPECT_FALSE(fileExist(LR"(C:\nothere\deeper)"));
    vosexception invalid = osErrorOf([] { fileExist(LR"(C:\a|b)"); });
    EXPECT_EQ(invalid.errorCode(), Platform::WinError::InvalidName);
    EXPECT_NE(invalid.message().find(LR"(retrieves attributes for file or directory C:\a|b)"),
              std::wstring::npos);
}

TEST_F(FileNameOnHostTest, CreateDirectoryMakesEveryLevel) {
    VDirectory::createDirectory(LR"(C:\one\TWO\three\)");
    EXPECT_TRUE(fs::is_directory(driveC / "one/TWO/three"));
    VDirectory::createDirectory(LR"(c:\ONE\two)");  // exists already, in any case
    VDirectory::createDirectory(LR"(C:\one\two\four)");
    EXPECT_TRUE(fs::is_directory(driveC / "one/TWO/four"));
    std::wstring deep = LR"(C:\deep)";
    for (int i = 0; i < 30; ++i) {
        deep += LR"(\level-)" + std::to_wstring(i);
    }
    VDirectory::createDirectory(deep);  // longer than MAX_PATH
    EXPECT_TRUE(fileExist(deep));

    try {
        VDirectory::createDirectory(L"");
        ADD_FAILURE() << "no exception";
    } catch (const vexception& e) {
        EXPECT_EQ(e.message(), L"Unable to create directory with wrong name");
        EXPECT_EQ(e.frames().at(0).function, "VDirectory::createDirectory");
    }
    TestSupport::writeFile(driveC / "blocker", "");
    // The file in the way is the level that cannot be made.
    vosexception blocked = osErrorOf([] { VDirectory::createDirectory(LR"(C:\blocker\x)"); });
    EXPECT_EQ(blocked.errorCode(), Platform::WinError::AlreadyExists);
    EXPECT_NE(blocked.message().find(LR"(CreateDirectory(C:\blocker))"), std::wstring::npos);
    EXPECT_EQ(blocked.frames().at(0).function, "makeDir");
    vosexception noDrive = osErrorOf([] { VDirectory::createDirectory(LR"(Q:\x)"); });
    EXPECT_EQ(noDrive.errorCode(), Platform::WinError::PathNotFound);
}

TEST_F(FileNameOnHostTest, FinderEnumeratesAndReportsNoMatch) {
    std::vector<std::wstring> names;
    VFileFinder finder;
    for (bool more = finder.first(VFileName::combine(LR"(C:\Windows)", L"*.*")); more;
         more = finder.next()) {
        names.push_back(finder.name() + (finder.isDirectory() ? L"\\" : L""));
    }
    EXPECT_EQ(names,
              (std::vector<std::wstring>{LR"(.\)", LR"(..\)", LR"(System32\)", LR"(Temp\)"}));

    TestSupport::writeFile(driveC / "Windows/Temp/a.xml", "");
    VFileFinder::Result result;
    ASSERT_TRUE(finder.first(LR"(C:\Windows\Temp\*.xml)", result));
    EXPECT_EQ(result.name, L"a.xml");
    EXPECT_EQ(result.attributes, Platform::FileAttribute::Archive);
    EXPECT_FALSE(finder.next(result));

    EXPECT_FALSE(finder.first(LR"(C:\Windows\Temp\*.none)"));
    EXPECT_FALSE(finder.first(LR"(C:\nothere\*.*)"));
    vosexception invalid = osErrorOf([&] { finder.first(LR"(\\server\share\*)"); });
    EXPECT_EQ(invalid.errorCode(), Platform::WinError::BadNetpath);
    EXPECT_NE(invalid.message().find(LR"(FindFirstFile(\\server\share\*))"), std::wstring::npos);
}

TEST_F(FileNameOnHostTest, LongNamesTakeTheCaseOnDisk) {
    EXPECT_EQ(VFileName::longFileName(LR"(C:\WINDOWS\system32)"), LR"(C:\Windows\System32)");
    EXPECT_EQ(longPathOfEachPart(LR"(\\?\c:\program files (x86)\TARNO\ETC\)"),
              LR"(c:\Program Files (x86)\Tarno\etc)");
    vosexception missing = osErrorOf([] { VFileName::longFileName(LR"(C:\nothere)"); });
    EXPECT_EQ(missing.errorCode(), Platform::WinError::FileNotFound);
    EXPECT_NE(missing.message().find(LR"(GetLongPathName('C:\nothere'))"), std::wstring::npos);
    EXPECT_EQ(missing.frames().at(0).function, "VFileName::longFileName");

    EXPECT_EQ(VFileName::expandEnvironmentStrings(LR"(%SystemRoot%\x)"), LR"(C:\Windows\x)");
}

TEST_F(FileNameOnHostTest, PrivateTempFilesGoBelowTheProductRoot) {
    std::wstring name = privateTempFileName();
    std::wstring directory = LR"(C:\Program Files (x86)\Tarno\PrivateTemp\)";
    ASSERT_EQ(name.rfind(directory, 0), 0u) << toUtf8(name);
    std::wstring file = name.substr(directory.size());
    // Three characters of the prefix, one to four hexadecimal digits, ".tmp".
    EXPECT_GE(file.size(), 8u);
    EXPECT_LE(file.size(), 11u);
    EXPECT_EQ(file.substr(file.size() - 4), L".tmp");
    // The prefix is the start of a GUID's text, the number upper-case hexadecimal.
    EXPECT_EQ(file.substr(0, 3).find_first_not_of(L"0123456789abcdef"), std::wstring::npos)
        << toUtf8(file);
    EXPECT_EQ(file.substr(3, file.size() - 7).find_first_not_of(L"0123456789ABCDEF"),
              std::wstring::npos)
        << toUtf8(file);
    EXPECT_TRUE(
        fs::is_regular_file(driveC / "Program Files (x86)/Tarno/PrivateTemp" / toUtf8(file)));
    EXPECT_NE(privateTempFileName(), name);

    // Without PRODUCT_ROOT_D the system's temporary directory serves.
    Platform::RegKey key = nullptr;
    ASSERT_EQ(
        Platform::regOpenKeyEx(Platform::hkeyLocalMachine(), LR"(SOFTWARE\Tarno\Zel Config\Config)",
                               0, Platform::Reg::KeySetValue | Platform::Reg::KeyWow64_32Key, &key),
        0u);
    Platform::UniqueRegKey owner(key);
    ASSERT_EQ(Platform::regDeleteValue(key, L"PRODUCT_ROOT_D"), 0u);
    std::wstring fallback = privateTempFileName();
    EXPECT_TRUE(Platform::equalsNoCase(fallback.substr(0, 16), LR"(C:\Windows\Temp\)"))
        << toUtf8(fallback);
    EXPECT_TRUE(fileExist(fallback));
}

}  // namespace
