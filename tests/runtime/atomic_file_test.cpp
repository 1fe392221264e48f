// A file replaced whole: the target is the old file until the replace, the new one after it,
// and no temporary file outlives its save.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/text.h"
#include "runtime/atomic_file.h"
#include "runtime/exceptions.h"
#include "support/temp_host.h"

namespace {
namespace fs = std::filesystem;

TEST(AtomicFileNames, OnlyTheTemporaryFormPasses) {
    const struct {
        const wchar_t* name;
        bool temporary;
    } cases[] = {
        {L"~tvr0badf00d.tmp", true},  {L"~tvr01234567.tmp", true},
        {L"~tvr0BADF00D.tmp", false},  // the digits are written in lower case
        {L"~tvrnotours.tmp", false},  {L"~tvr0badf00d.TMP", false},
        {L"~tvr0badf00.tmp", false},  {L"~tvr0badf00d0.tmp", false},
        {L"tvr0badf00d.tmp", false},  {L"~tvr0badf00d.tmp.xml", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AtomicFile::isTemporaryName(c.name), c.temporary) << Platform::toUtf8(c.name);
    }
}

class AtomicFileTest : public ::testing::Test {
protected:
    // The names in C:\dir, sorted.
    std::vector<std::string> names() {
        std::vector<std::string> found;
        for (const auto& entry : fs::directory_iterator(host.driveC() / "dir")) {
            found.push_back(entry.path().filename().string());
        }
        std::sort(found.begin(), found.end());
        return found;
    }

    TestSupport::TempHost host;
};

TEST_F(AtomicFileTest, TheTargetIsTheOldFileUntilTheReplace) {
    fs::create_directories(host.driveC() / "dir");
    HeldDirectory dir = HeldDirectory::open(L"C:\\dir");
    {
        AtomicFile created(dir, L"new.xml", "Test::save");
        EXPECT_TRUE(AtomicFile::isTemporaryName(created.temporaryName()));
        created.write("first");
        EXPECT_FALSE(fs::exists(host.driveC() / "dir/new.xml"));
        created.replaceTarget();
    }
    EXPECT_EQ(TestSupport::readFile(host.driveC() / "dir/new.xml"), "first");

    // A save that stops before the replace leaves the old file and no temporary one.
    {
        AtomicFile abandoned(dir, L"new.xml", "Test::save");
        abandoned.write("second");
        EXPECT_EQ(names().size(), 2u);
    }
    EXPECT_EQ(TestSupport::readFile(host.driveC() / "dir/new.xml"), "first");
    EXPECT_EQ(names(), std::vector<std::string>{"new.xml"});

    // Failures are raised at the call site of the save they belong to.
    fs::create_directories(host.driveC() / "dir/taken.xml");
    AtomicFile refused(dir, L"taken.xml", "Test::save");
    refused.write("third");
    try {
        refused.replaceTarget();
        ADD_FAILURE() << "replaced a directory";
    } catch (const vexception& e) {
        EXPECT_NE(e.message().find(L" at Replace file 'C:\\dir\\taken.xml' with 'C:\\dir\\~tvr"),
                  std::wstring::npos)
            << Platform::toUtf8(e.message());
        EXPECT_EQ(e.frames().at(0).function, "Test::save");
    }
    EXPECT_TRUE(fs::is_directory(host.driveC() / "dir/taken.xml"));
}

}  // namespace
