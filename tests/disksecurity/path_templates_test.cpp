// Path templates: well-known folders by number and name, environment variables, panel
// parameters from the configuration and from the component catalogue, with the resolver's
// cache and the failures a template author has to act on.
#include <gtest/gtest.h>

#include <filesystem>

#include "disksecurity/path_templates.h"
#include "pathmap_support.h"
#include "platform/shell.h"
#include "platform/system.h"
#include "support/corpus.h"

namespace {

using namespace DiskSecurity;
using DiskSecurityTest::LogRecorder;
using PathMapTest::ScopedComponent;
using PathMapTest::ScopedRegistryValue;
using Paths = std::vector<std::wstring>;

EntryTemplate templateFor(const std::wstring& path) {
    return EntryTemplate(VSID(), path, L"", 0, 0, 0);
}

Paths basePaths(const std::wstring& path) {
    TarnoComponentResolver resolver;
    return getBasePaths(templateFor(path), resolver);
}

std::wstring failureOf(const std::wstring& path) {
    try {
        basePaths(path);
    } catch (const vexception& e) {
        return e.message();
    }
    ADD_FAILURE() << "no failure for " << Platform::toUtf8(path);
    return {};
}

// A variable of the process environment for one test.
class ScopedVariable {
public:
    ScopedVariable(std::wstring name, const wchar_t* value) : name_(std::move(name)) {
        had_ = Platform::getEnvironmentVariable(name_, old_);
        EXPECT_TRUE(Platform::setEnvironmentVariable(name_, value));
    }
    ~ScopedVariable() { Platform::setEnvironmentVariable(name_, had_ ? old_.c_str() : nullptr); }

private:
    std::wstring name_;
    std::wstring old_;
    bool had_ = false;
};

class PathTemplates : public ::testing::Test {
protected:
    void SetUp() override {
        DiskSecurityTest::sharedHost();
        LogRecorder::instance().clear();
    }
};

TEST_F(PathTemplates, WellKnownFoldersByNumberAndName) {
    TestSupport::forEachCase("well_known_folders", [](const auto& path, const auto& folder) {
        EXPECT_EQ(basePaths(path), Paths{folder});
    });
}

TEST_F(PathTemplates, UnknownFolderNamesListEveryKnownName) {
    // Names are case-sensitive.
    EXPECT_EQ(failureOf(L"{windows}"),
              L"Unknown CSIDL: {windows}, known names are:\n"
              L"CommonAdmintools\nCommonAppdata\nCommonDocuments\nProfiles\nProgramFiles\n"
              L"ProgramFilesCommon\nProgramFilesCommonX86\nProgramFilesX86\nWindows\n"
              L"WindowsSystem32\nWindowsSystem32X86\n"
              L"ProgramFilesCommonX64\nProgramFilesX64\nWindowsSystem32X64\n");
    EXPECT_EQ(failureOf(L"0x99"), L"SHGetSpecialFolderPath failed for index 153");
}

TEST_F(PathTemplates, ShellCreatesAFolderOnlyWhenAsked) {
    std::filesystem::path documents = PathMapTest::onDisk(L"C:\\Users\\Public\\Documents");
    std::filesystem::remove_all(documents);
    std::wstring folder;
    ASSERT_TRUE(Platform::shGetSpecialFolderPath(Platform::Csidl::CommonDocuments, folder, false));
    EXPECT_FALSE(std::filesystem::exists(documents));
    ASSERT_TRUE(Platform::shGetSpecialFolderPath(
        Platform::Csidl::CommonDocuments | Platform::Csidl::FlagCreate, folder, false));
    EXPECT_EQ(folder, L"C:\\Users\\Public\\Documents");
    EXPECT_TRUE(std::filesystem::is_directory(documents));
    EXPECT_FALSE(Platform::shGetSpecialFolderPath(0x99, folder, true));
    EXPECT_EQ(Platform::getLastError(), Platform::WinError::InvalidParameter);
}

TEST_F(PathTemplates, EnvironmentVariablesJoinWithoutSeparator) {
    ScopedVariable a(L"TAVREL_TEST_A", L"C:\\Inetpub");
    ScopedVariable b(L"TAVREL_TEST_B", L"\\vhosts");
    ScopedVariable unset(L"TAVREL_TEST_UNSET", nullptr);
    EXPECT_EQ(basePaths(L"%TAVREL_TEST_A%%TAVREL_TEST_B%"), Paths{L"C:\\Inetpub\\vhosts"});
    // Variable names ignore case, and the default Windows environment lies under the real one.
    EXPECT_EQ(basePaths(L"%tavrel_test_a%"), Paths{L"C:\\Inetpub"});
    EXPECT_EQ(basePaths(L"%SystemRoot%"), Paths{L"C:\\Windows"});
    EXPECT_EQ(failureOf(L"%TAVREL_TEST_A%%TAVREL_TEST_UNSET%"),
              L"Unable to expand environment string: %TAVREL_TEST_A%%TAVREL_TEST_UNSET%. Unknown "
              L"token: TAVREL_TEST_UNSET");
    // Text between two variables is read as a variable name as well.
    EXPECT_EQ(failureOf(L"%TAVREL_TEST_A%\\sub%TAVREL_TEST_B%"),
              L"Unable to expand environment string: %TAVREL_TEST_A%\\sub%TAVREL_TEST_B%. Unknown "
              L"token: \\sub");
    {
        ScopedVariable removed(L"SystemRoot", nullptr);
        EXPECT_EQ(failureOf(L"%SystemRoot%"),
                  L"Unable to expand environment string: %SystemRoot%. Unknown token: SystemRoot");
    }
    EXPECT_EQ(basePaths(L"%SystemRoot%"), Paths{L"C:\\Windows"});
}

TEST_F(PathTemplates, ConfiguredParameterIsTrimmedInLongFormAndReadOncePerResolver) {
    ScopedRegistryValue vhosts(configKey, L"HTTPD_VHOSTS_D");
    vhosts.setString(L"c:/INETPUB\\.\\VHOSTS\\\\");
    TarnoComponentResolver resolver;
    // The long form takes each name's case from the disk; the drive stays as written.
    EXPECT_EQ(getBasePaths(templateFor(L"[HTTPD_VHOSTS_D]"), resolver),
              Paths{L"c:\\Inetpub\\vhosts"});
    // The resolver answers from its cache: a change made while it lives is not seen.
    vhosts.setString(L"C:\\Windows");
    EXPECT_EQ(resolver.getPath(L"HTTPD_VHOSTS_D"), Paths{L"c:\\Inetpub\\vhosts"});
    TarnoComponentResolver fresh;
    EXPECT_EQ(fresh.getPath(L"HTTPD_VHOSTS_D"), Paths{L"C:\\Windows"});
    // A folder that does not exist keeps the configured form; the reason is logged.
    vhosts.setString(L"C:\\Inetpub\\missing\\");
    TarnoComponentResolver third;
    EXPECT_EQ(third.getPath(L"HTTPD_VHOSTS_D"), Paths{L"C:\\Inetpub\\missing"});
    EXPECT_EQ(LogRecorder::instance()
                  .find(LogInfo, L"Unable to obtain longPath for C:\\Inetpub\\missing")
                  .size(),
              1u);
}

TEST_F(PathTemplates, ComponentParametersComeFromTheCatalogue) {
    ScopedRegistryValue unconfigured(configKey, L"FPSE_ROOT_D");
    unconfigured.remove();
    PathMapTest::makeFolder(L"C:\\Program Files (x86)\\FrontPage");
    ScopedComponent frontpage(L"frontpage");
    frontpage.installPath(L"c:\\program files (x86)\\frontpage\\");
    frontpage.additionalPaths({L"C:\\FrontPage\\extra"});
    TarnoComponentResolver resolver;
    // Found through the parameter, so the additional paths are not asked for; the parameter
    // lookup is not case-sensitive, while the cache is.
    EXPECT_EQ(getBasePaths(templateFor(L"[FPSE_ROOT_D]"), resolver),
              Paths{L"c:\\Program Files (x86)\\FrontPage"});
    EXPECT_EQ(resolver.getPath(L"fpse_root_d"), Paths{L"c:\\Program Files (x86)\\FrontPage"});
}

TEST_F(PathTemplates, ComponentsByNameBringTheirAdditionalPaths) {
    PathMapTest::makeFolder(L"C:\\PHP");
    ScopedComponent php(L"php");
    php.installPath(L"C:\\php");
    php.additionalPaths({L"C:\\PHP\\ext\\", L"c:/php/./sessions"});
    TarnoComponentResolver resolver;
    EXPECT_EQ(resolver.getPath(L"Php"), (Paths{L"C:\\PHP", L"C:\\PHP\\ext", L"c:\\php\\sessions"}));

    // A broken list costs only the additional paths.
    ScopedComponent perlish(L"perlish");
    perlish.installPath(L"C:\\PHP");
    perlish.set(L"AdditionalPaths", registry::RegSz, PathMapTest::registryText({L"C:\\x"}, false));
    EXPECT_EQ(resolver.getPath(L"PERLISH"), Paths{L"C:\\PHP"});
    auto logged = LogRecorder::instance().find(
        LogInfo, L"Unable to obtain Tarno additional paths for PERLISH");
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_NE(logged[0].find(L"RegQueryValueEx invalid type of"), std::wstring::npos);
}

TEST_F(PathTemplates, UnknownParametersYieldNoPathAndAreLoggedOnce) {
    TarnoComponentResolver resolver;
    // A parameter of the catalogue whose component is not installed, and a name nobody knows.
    EXPECT_EQ(getBasePaths(templateFor(L"[PERL_ROOT_D]"), resolver), Paths{});
    EXPECT_EQ(resolver.getPath(L"NO_SUCH_PARAMETER"), Paths{});
    EXPECT_EQ(resolver.getPath(L"NO_SUCH_PARAMETER"), Paths{});
    auto& log = LogRecorder::instance();
    auto perl = log.find(LogInfo, L"Unable to obtain parameter PERL_ROOT_D");
    ASSERT_EQ(perl.size(), 1u);
    EXPECT_NE(perl[0].find(L"Component perl is not installed"), std::wstring::npos);
    auto unknown = log.find(LogInfo, L"Unable to obtain parameter NO_SUCH_PARAMETER");
    ASSERT_EQ(unknown.size(), 1u);
    EXPECT_NE(unknown[0].find(L"Component no_such_parameter is not installed"), std::wstring::npos);
    EXPECT_NE(unknown[0].find(L"DiskSecurity::TarnoComponentResolver::getPath"),
              std::wstring::npos);
}

TEST_F(PathTemplates, SecurityDebuggingNamesEachFolderFound) {
    PathMapTest::SecurityDebugging debugging;
    TarnoComponentResolver resolver;
    resolver.getPath(L"PRODUCT_ROOT_D");
    getBasePaths(templateFor(L"36"), resolver);
    auto& log = LogRecorder::instance();
    EXPECT_EQ(
        log.find(LogInfo, L"Obtaining Tarno path: PRODUCT_ROOT_D = C:\\Program Files (x86)\\Tarno")
            .size(),
        1u);
    EXPECT_EQ(log.find(LogInfo, L"Obtaining wellknown path C:\\Windows for CSIDL 24").size(), 1u);
}

}  // namespace
