// The special folders, the profiles directory and the version from the system itself.
#include <gtest/gtest.h>

#include "platform/shell.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/types.h"
#include "windows/support/win_support.h"

namespace {
using namespace Platform;

TEST(WinShell, FoldersOfASixtyFourBitWindows) {
    struct Case {
        int csidl;
        const wchar_t* tail;
    };
    const Case cases[] = {
        {Csidl::ProgramFiles, L"\\Program Files"},
        {Csidl::ProgramFilesX86, L"\\Program Files (x86)"},
        {Csidl::SystemX86, L"\\SysWOW64"},
        {Csidl::CommonAppData, L"\\ProgramData"},
        {Csidl::Windows, L"\\Windows"},
    };
    for (const auto& c : cases) {
        std::wstring path;
        ASSERT_TRUE(shGetSpecialFolderPath(c.csidl, path, false)) << c.csidl;
        const std::wstring tail = c.tail;
        ASSERT_GT(path.size(), tail.size());
        // Wine spells some of them in lower case ("C:\windows"); names compare without case.
        EXPECT_TRUE(equalsNoCase(path.substr(path.size() - tail.size()), tail)) << path;
    }
    std::wstring none;
    EXPECT_FALSE(shGetSpecialFolderPath(0x7f, none, false));
    EXPECT_EQ(getLastError(), WinError::InvalidParameter);

    std::wstring profiles, windows;
    ASSERT_TRUE(getProfilesDirectory(profiles));
    EXPECT_TRUE(equalsNoCase(profiles.substr(1), L":\\Users")) << profiles;
    ASSERT_TRUE(getWindowsDirectory(windows));
    EXPECT_TRUE(equalsNoCase(windows.substr(1), L":\\Windows")) << windows;
    EXPECT_GE(getVersion().major, 6u);
}

}  // namespace
