// Which processes hold a file open, on the emulated host.
#include "platform/file_holders.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/filesystem.h"
#include "platform/system.h"
#include "platform/unique.h"
#include "support/temp_host.h"

namespace {
using namespace Platform;

bool heldByThisProcess(const std::wstring& path) {
    auto holders = processesHoldingFile(path);
    return std::any_of(holders.begin(), holders.end(), [](const FileHolder& h) {
        return h.processId == getCurrentProcessId() && h.name == L"platform_tests";
    });
}

TEST(FileHolders, AnOpenHandleMakesItsProcessAHolder) {
    TestSupport::TempHost host;
    const std::wstring path = L"C:\\held.xml";
    UniqueHandle file(createFile(path, File::GenericWrite, 0, File::CreateNew, FileAttribute::Normal));
    ASSERT_TRUE(file);
    EXPECT_TRUE(heldByThisProcess(path));
    // The same file under another spelling is the same file.
    EXPECT_TRUE(heldByThisProcess(L"c:\\HELD.xml"));
    // Another open file beside it does not make this one held.
    UniqueHandle other(createFile(L"C:\\other.xml", File::GenericWrite, 0, File::CreateNew,
                                  FileAttribute::Normal));
    ASSERT_TRUE(other);
    file.reset();
    EXPECT_FALSE(heldByThisProcess(path));
    EXPECT_TRUE(processesHoldingFile(L"C:\\missing.xml").empty());
}

}  // namespace
