// A repair on real NTFS: what the Wine run (tests/wine/commands.sh) cannot show, since Wine
// keeps a file's DACL as mode bits. Sets the panel's configuration in HKLM: run elevated.
#include <windows.h>

#include <gtest/gtest.h>

#include "platform/dtyp/sddl.h"
#include "platform/dtyp/security_descriptor.h"
#include "platform/filesystem.h"
#include "platform/security.h"
#include "windows/support/win_support.h"

namespace {
using namespace Platform;

std::wstring daclText(const std::wstring& path) {
    std::vector<std::uint8_t> bytes;
    EXPECT_EQ(getNamedSecurityInfo(path, SeFileObject, SecurityInformation::Dacl, bytes), 0u);
    auto sd = Dtyp::decodeSecurityDescriptor(bytes);
    return sd.ok() ? Dtyp::toSddl(sd.value()) : L"(undecodable)";
}

TEST(WinCommands, RepairWritesTheTemplatesDaclsAndThenFindsNothingWrong) {
    SKIP_WITHOUT_DACLS();
    TestSupport::ScratchDir dir;
    const std::wstring webspace = dir / L"vhosts\\example";
    for (const wchar_t* folder : {L"vhosts", L"vhosts\\example", L"vhosts\\example\\httpdocs",
                                  L"panel", L"panel\\etc"}) {
        ASSERT_TRUE(createDirectory(dir / folder));
    }
    TestSupport::writeBytes(webspace + L"\\httpdocs\\index.html", "x");
    TestSupport::writeBytes(
        dir / L"panel\\etc\\hosting_template.xml",
        "<Entries>"
        "<Entry AccounType=\"0\" Account=\"Administrators\" Path=\"[HTTPD_VHOSTS_D]\" "
        "AceFlags=\"ThisFolderSubfoldersAndFiles\" AccessMask=\"FullAccess\" EntryFlags=\"0x140\" "
        "Tag=\"\" Tag2=\"\"/>"
        "<Entry AccounType=\"0\" Account=\"Null\" Path=\"[HTTPD_VHOSTS_D]\" "
        "AceFlags=\"ThisFolderSubfoldersAndFiles\" AccessMask=\"Modify\" EntryFlags=\"0x140\" "
        "Tag=\"DomainUser\" Tag2=\"\"/>"
        "<Entry AccounType=\"0\" Account=\"Users\" Path=\"[HTTPD_VHOSTS_D]\" SubPath=\"httpdocs\" "
        "AceFlags=\"ThisFolderSubfoldersAndFiles\" AccessMask=\"ReadAndExecute\" "
        "EntryFlags=\"0x140\" Tag=\"\" Tag2=\"\"/>"
        "</Entries>");
    TestSupport::ConfigValue vhosts(L"HTTPD_VHOSTS_D", dir / L"vhosts");
    TestSupport::ConfigValue panel(L"PRODUCT_ROOT_D", dir / L"panel");
    wchar_t user[256] = {};
    DWORD size = 256;
    ASSERT_TRUE(::GetUserNameW(user, &size));
    const std::vector<std::wstring> repair = {L"--repair-webspace-security",
                                              L"--webspace-name=example",
                                              std::wstring(L"--user-name=") + user, L"--full-scan"};

    auto repaired = TestSupport::runProgram(L"tavrel.exe", repair);
    ASSERT_EQ(repaired.exitCode, 0u) << repaired.out << repaired.err;
    const std::wstring file = daclText(webspace + L"\\httpdocs\\index.html");
    EXPECT_NE(file.find(L"(A;ID;0x1200a9;;;BU)"), std::wstring::npos) << file;
    EXPECT_NE(file.find(L"(A;ID;FA;;;BA)"), std::wstring::npos) << file;

    // What NTFS kept is what the checker wanted: a check-only run reports nothing.
    std::vector<std::wstring> check = repair;
    check.push_back(L"--check-only");
    check.push_back(L"--report-file=" + (dir / L"report.txt"));
    auto checked = TestSupport::runProgram(L"tavrel.exe", check);
    ASSERT_EQ(checked.exitCode, 0u) << checked.out << checked.err;
    EXPECT_EQ(TestSupport::readBytes(dir / L"report.txt"), "");
}

}  // namespace
