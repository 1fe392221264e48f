// A hardware fault in a command on Windows: the frame's exit code and texts, as on the
// emulated host, and a minidump in the configured folder.
#include <gtest/gtest.h>

#include <regex>

#include "platform/filesystem.h"
#include "platform/unique.h"
#include "platform/text.h"
#include "windows/support/win_support.h"

namespace {
using namespace Platform;

std::vector<std::wstring> filesIn(const std::wstring& dir) {
    std::vector<std::wstring> names;
    FindData found;
    UniqueFindHandle find(findFirstFile(dir + L"\\*.dmp", found));
    for (bool more = static_cast<bool>(find); more; more = findNextFile(find.get(), found)) {
        names.push_back(found.fileName);
    }
    return names;
}

TEST(WinStructuredExceptionApp, FaultsBecomeExitCodeOneWithTheirCodeAndAMinidump) {
    struct Case {
        const wchar_t* command;
        const char* code;
    };
    const Case cases[] = {
        {L"--access-violation", "0xc0000005"},
        {L"--divide", "0xc0000094"},
    };
    for (const auto& c : cases) {
        TestSupport::ScratchDir dumps;
        // Dumps are written only for an installed panel (PRODUCT_ROOT_D set).
        TestSupport::ConfigValue root(L"PRODUCT_ROOT_D", dumps.path());
        TestSupport::ConfigValue location(L"CrashDumpsLocation", dumps.path());
        auto run = TestSupport::runProgram(L"faulting_app.exe", {c.command});
        EXPECT_EQ(run.exitCode, 1u) << run.err;
        const std::string line = std::string("C structured exception: ") + c.code + "\n";
        EXPECT_EQ(run.out.rfind(line + line + "   at execute console command " +
                                    toUtf8(c.command) + " (vconsoleapp::start line 93)\n",
                                0),
                  0u)
            << run.out;
        auto names = filesIn(dumps.path());
        ASSERT_EQ(names.size(), 1u) << c.code;
        EXPECT_TRUE(std::regex_match(toUtf8(names[0]), std::regex(R"(faulting_app\d{8}_\d{6}\.dmp)")))
            << toUtf8(names[0]);
        EXPECT_EQ(TestSupport::readBytes(dumps / names[0]).substr(0, 4), "MDMP");
    }
}

}  // namespace
