// The path string functions against what the Windows functions return for the same input.
#include "platform/pathapi.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/text.h"
#include "platform/types.h"
#include "support/corpus.h"

namespace {

using Platform::SFalse;
using Platform::SOk;

// Two paths joined, and the path that results.
struct CombineCase {
    const wchar_t* first;
    const wchar_t* second;
    const wchar_t* expected;
};

struct ResultCase {
    const wchar_t* input;
    const wchar_t* expected;
    std::int32_t result;
};

std::string show(const std::wstring& text) {
    return Platform::toUtf8(text);
}

std::string show(const CombineCase& c) {
    return show(c.first) + " + " + show(c.second);
}

// Runs a function that writes its path to `out` over the cases: it succeeds, and writes the
// expected path.
template <typename CaseType, typename Function>
void expectWritten(const std::vector<CaseType>& cases, Function function) {
    for (const auto& c : cases) {
        SCOPED_TRACE(show(c));
        std::wstring out;
        EXPECT_TRUE(function(c, out));
        EXPECT_EQ(out, c.expected);
    }
}

// Runs a function that changes its path in place over the cases: what it returns (a flag
// returns 1 or 0) and the path it leaves.
template <typename Function>
void expectInPlace(const std::vector<ResultCase>& cases, Function function) {
    for (const auto& c : cases) {
        std::wstring path = c.input;
        EXPECT_EQ(static_cast<std::int32_t>(function(path)), c.result) << show(c.input);
        EXPECT_EQ(path, c.expected) << show(c.input);
    }
}

TEST(PathAllocCanonicalize, ResolvesDotsAsWindowsDoes) {
    TestSupport::expectCorpus("path_alloc_canonicalize", [](const std::wstring& input) {
        std::wstring out;
        EXPECT_EQ(Platform::pathAllocCanonicalize(input, 0, out), SOk);
        return out;
    });
}

TEST(PathAllocCanonicalize, LongPathsNeedTheFlagAndGetThePrefix) {
    std::wstring longDrivePath = LR"(C:\)" + std::wstring(258, L'a');  // 261 characters
    std::wstring out;
    EXPECT_EQ(Platform::pathAllocCanonicalize(longDrivePath, 0, out),
              Platform::hresultFromWin32(Platform::WinError::FilenameExcedRange));
    EXPECT_EQ(static_cast<std::uint32_t>(
                  Platform::hresultFromWin32(Platform::WinError::FilenameExcedRange)),
              0x800700CEu);
    ASSERT_EQ(Platform::pathAllocCanonicalize(longDrivePath, Platform::PathCchAllowLongPaths, out),
              SOk);
    EXPECT_EQ(out, LR"(\\?\)" + longDrivePath);
    // A result that shrinks below MAX_PATH loses the prefix again.
    std::wstring shrinking = LR"(\\?\C:\x\..\)" + std::wstring(250, L'b');
    ASSERT_EQ(Platform::pathAllocCanonicalize(shrinking, Platform::PathCchAllowLongPaths, out),
              SOk);
    EXPECT_EQ(out, LR"(C:\)" + std::wstring(250, L'b'));
    // Only drive paths get the prefix.
    std::wstring longRooted = LR"(\)" + std::wstring(300, L'c');
    ASSERT_EQ(Platform::pathAllocCanonicalize(longRooted, Platform::PathCchAllowLongPaths, out),
              SOk);
    EXPECT_EQ(out, longRooted);
}

TEST(PathAllocCombine, JoinsRootsAndQualifiedNames) {
    const std::vector<CombineCase> cases = {
        {LR"(C:\)", L"a", LR"(C:\a)"},
        {LR"(C:\b)", LR"(..\a)", LR"(C:\a)"},
        {L"C:", L"a", LR"(C:\a)"},
        {LR"(C:\)", L"..", LR"(C:\)"},
        {LR"(C:\a)", L"", LR"(C:\a)"},
        {LR"(\\192.168.1.1\test)", L"..", LR"(\\192.168.1.1)"},
        {LR"(\\?\C:\)", L"a", LR"(C:\a)"},
        {LR"(\\?\C:)", L"a", LR"(C:\a)"},
        {LR"(\\?\UNC\)", L"a", LR"(\\a)"},
        {LR"(C:a\b)", LR"(\1)", LR"(C:\1)"},
        {LR"(C:\a\b)", LR"(\1)", LR"(C:\1)"},
        {LR"(\\a\b\c)", LR"(\1)", LR"(\\a\b\1)"},
        {LR"(\\?\UNC\a)", LR"(\1)", LR"(\\a\1)"},
        {LR"(C:\a\b)", LR"(\)", LR"(C:\)"},
        {LR"(X:\)", L"C:", LR"(C:\)"},
        {LR"(X:\)", LR"(\\?\C:\a)", LR"(C:\a)"},
        {LR"(X:\)", LR"(\\?\UNC)", LR"(\\?\UNC)"},
        {LR"(X:\)", LR"(\\a)", LR"(\\a)"},
        {LR"(C:\a)", LR"(.\b)", LR"(C:\a\b)"},
        {L"", L"", LR"(\)"},
        {L"a", L"b", LR"(a\b)"},
    };
    expectWritten(cases, [](const CombineCase& c, std::wstring& out) {
        return Platform::pathAllocCombine(c.first, c.second, 0, out) == SOk;
    });
}

TEST(PathCchRemoveFileSpec, KeepsTheRootAndTellsWhetherItCut) {
    const std::vector<ResultCase> cases = {
        {L"", L"", SFalse},
        {L"a", L"", SOk},
        {LR"(a\b)", L"a", SOk},
        {LR"(\)", LR"(\)", SFalse},
        {LR"(\a)", LR"(\)", SOk},
        {LR"(\\)", LR"(\\)", SFalse},
        {LR"(\\a)", LR"(\\a)", SFalse},
        {LR"(\\a\)", LR"(\\a)", SOk},
        {LR"(\\a\b)", LR"(\\a\b)", SFalse},
        {LR"(\\a\b\c)", LR"(\\a\b)", SOk},
        {LR"(\\\\\\)", LR"(\\\\)", SOk},
        {L"C:", L"C:", SFalse},
        {L"C:a", L"C:", SOk},
        {LR"(C:\a\\b)", LR"(C:\a)", SOk},
        {LR"(C:\)", LR"(C:\)", SFalse},
        {LR"(C:\a)", LR"(C:\)", SOk},
        {LR"(C:\a\)", LR"(C:\a)", SOk},
        {LR"(\\?\)", LR"(\\?)", SOk},
        {LR"(\\?\C:\)", LR"(\\?\C:\)", SFalse},
        {LR"(\\?\C:\a)", LR"(\\?\C:\)", SOk},
        {LR"(\\?\C:\a\b)", LR"(\\?\C:\a)", SOk},
        {LR"(\\?\UNC\a)", LR"(\\?\UNC\a)", SFalse},
        {LR"(\\?\UNC\a\b\c)", LR"(\\?\UNC\a\b)", SOk},
        {LR"(\\?\Volume{e51a1864-6f2d-4019-b73d-f4e60e600c26}\a)",
         LR"(\\?\Volume{e51a1864-6f2d-4019-b73d-f4e60e600c26}\)", SOk},
    };
    expectInPlace(cases, [](std::wstring& path) { return Platform::pathCchRemoveFileSpec(path); });
}

TEST(PathStripToRoot, CutsToDriveShareOrPrefixRoot) {
    const std::vector<ResultCase> cases = {
        {LR"(Q:\)", LR"(Q:\)", 1},
        {L"Q:/", L"Q:", 1},
        {LR"(Q:\\test1)", LR"(Q:\)", 1},
        {LR"(Q:\test1\test2)", LR"(Q:\)", 1},
        {L"test", L"", 0},
        {L"|:", L"", 0},
        {LR"(\\?\Q:\a)", LR"(\\?\Q:\)", 1},
        {LR"(\\.\Q:\)", LR"(\\.\Q:)", 1},
        {LR"(\\?\aa)", L"", 0},
        {LR"(\\?)", L"", 0},
        {LR"(\a\b)", LR"(\)", 1},
        {LR"(\\a\b\c)", LR"(\\a\b)", 1},
        {LR"(\\a\\b)", LR"(\\a)", 1},
        {LR"(\\?\UNC\a\b\c)", LR"(\\?\UNC\a\b)", 1},
        {LR"(\??\Q:\)", LR"(\)", 1},
    };
    expectInPlace(cases, [](std::wstring& path) { return Platform::pathStripToRoot(path); });
}

TEST(PathRemoveFileSpec, CutsTheLastComponent) {
    const std::vector<ResultCase> cases = {
        {LR"(Q:\)", LR"(Q:\)", 0},
        {L"Q:/", L"Q:", 1},
        {L"Q:", L"Q:", 0},
        {LR"(Q:\\)", LR"(Q:\)", 1},
        {LR"(Q:\test1\test2)", LR"(Q:\test1)", 1},
        {LR"(Q:\test1\\\test2)", LR"(Q:\test1\)", 1},
        {LR"(Q:\test1\test2\)", LR"(Q:\test1\test2)", 1},
        {L"Q:/test1/test2", L"Q:", 1},
        {L"test", L"", 1},
        {LR"(\\?\Q:\)", LR"(\\?\Q:\)", 0},
        {LR"(\\?\Q:\a)", LR"(\\?\Q:\)", 1},
        {LR"(\\?\UNC\a\b)", LR"(\\?\UNC\a)", 1},
        {LR"(\\a)", LR"(\\)", 1},
        {LR"(\\a\b\c)", LR"(\\a\b)", 1},
        {LR"(\a)", LR"(\)", 1},
        {LR"(\)", LR"(\)", 0},
        {L"", L"", 0},
    };
    expectInPlace(cases, [](std::wstring& path) { return Platform::pathRemoveFileSpec(path); });
}

TEST(PathCanonicalize, ClassicRules) {
    TestSupport::expectCorpus("path_canonicalize", [](const std::wstring& input) {
        std::wstring out;
        EXPECT_TRUE(Platform::pathCanonicalize(input, out));
        return out;
    });
    std::wstring out;
    Platform::setLastError(0);
    EXPECT_FALSE(Platform::pathCanonicalize(LR"(C:\)" + std::wstring(300, L'a'), out));
    EXPECT_EQ(Platform::getLastError(), Platform::WinError::FilenameExcedRange);
}

TEST(PathCombine, JoinsAndCanonicalizesBelowMaxPath) {
    const std::vector<CombineCase> cases = {
        {LR"(C:\)", L"", LR"(C:\)"},
        {L"", L"", LR"(\)"},
        {L"C:", LR"(one\two\three)", LR"(C:\one\two\three)"},
        {LR"(C:\)", LR"(\one\two\three\)", LR"(C:\one\two\three\)"},
        {LR"(relative\dir)", LR"(\one\two\three\)", LR"(one\two\three\)"},
        {LR"(C:\)", LR"(one/two/three\)", LR"(C:\one/two/three\)"},
        {LR"(C:\/\/)", LR"(\one\two\three\)", LR"(C:\one\two\three\)"},
        {LR"(C:\)", LR"(one\..\two\.\three)", LR"(C:\two\three)"},
        {LR"(C:\a)", LR"(D:\b)", LR"(D:\b)"},
    };
    expectWritten(cases, [](const CombineCase& c, std::wstring& out) {
        return Platform::pathCombine(c.first, c.second, out);
    });
    std::wstring out;
    EXPECT_FALSE(Platform::pathCombine(std::wstring(131, L'b'), std::wstring(131, L'c'), out));
    EXPECT_EQ(Platform::getLastError(), Platform::WinError::FilenameExcedRange);
}

TEST(PathNameParts, ExtensionFileNameAndQuotes) {
    struct PartsCase {
        const wchar_t* path;
        const wchar_t* extension;
        const wchar_t* fileName;
        const wchar_t* withoutExtension;
    };
    const std::vector<PartsCase> cases = {
        {LR"(C:\a\b.txt)", L".txt", L"b.txt", LR"(C:\a\b)"},
        {LR"(C:\a.d\b)", L"", L"b", LR"(C:\a.d\b)"},
        {L"file", L"", L"file", L"file"},
        {L"a.tar.gz", L".gz", L"a.tar.gz", L"a.tar"},
        {L"a.t xt", L"", L"a.t xt", L"a.t xt"},  // a space ends an extension
        {LR"(C:\a\b\)", L"", LR"(b\)", LR"(C:\a\b\)"},
        {LR"(C:\)", L"", LR"(C:\)", LR"(C:\)"},
        {L"C:x.y", L".y", L"x.y", L"C:x"},
        {L"dir/name.ext", L".ext", L"name.ext", L"dir/name"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Platform::pathFindExtension(c.path), c.extension) << show(c.path);
        EXPECT_EQ(Platform::pathFindFileName(c.path), c.fileName) << show(c.path);
        std::wstring stripped = c.path;
        Platform::pathRemoveExtension(stripped);
        EXPECT_EQ(stripped, c.withoutExtension) << show(c.path);
    }
    TestSupport::expectCorpus("path_unquote_spaces", [](std::wstring path) {
        Platform::pathUnquoteSpaces(path);
        return path;
    });
}

}  // namespace
