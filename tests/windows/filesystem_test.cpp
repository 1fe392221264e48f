// The file system seam on the real API: paths beyond MAX_PATH, directories opened with
// backup semantics, the final path of a handle, and the replace and move rules the metadata
// saves rely on.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>

#include "platform/filesystem.h"
#include "platform/pathapi.h"
#include "platform/system.h"
#include "platform/security.h"
#include "platform/text.h"
#include "platform/unique.h"
#include "platform/win32/host/win32.h"
#include "runtime/held_directory.h"
#include "windows/support/win_support.h"

namespace {
using namespace Platform;

bool writeAll(const std::wstring& path, const std::string& bytes, std::uint32_t disposition) {
    UniqueHandle file(createFile(path, File::GenericWrite, 0, disposition, FileAttribute::Normal));
    std::uint32_t written = 0;
    return file && writeFile(file.get(), bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                             &written) && written == bytes.size();
}

// A directory chain twice as long as MAX_PATH below the scratch directory.
std::wstring deepDirectory(const TestSupport::ScratchDir& scratch) {
    std::wstring dir = scratch.path();
    while (dir.size() < 2 * MaxPath) {
        dir += L"\\" + std::wstring(40, L'd');
        EXPECT_TRUE(createDirectory(dir)) << dir.size() << " " << getLastError();
    }
    return dir;
}

TEST(WinFileSystem, WorksBeyondMaxPath) {
    TestSupport::ScratchDir scratch;
    const std::wstring dir = deepDirectory(scratch);
    const std::wstring file = dir + L"\\deep.xml";
    ASSERT_TRUE(writeAll(file, "deep", File::CreateNew));
    EXPECT_EQ(getFileAttributes(file) & FileAttribute::Directory, 0u);
    std::wstring copy = dir + L"\\copy.xml";
    EXPECT_TRUE(copyFile(file, copy, true));
    EXPECT_TRUE(moveFileEx(copy, file, File::MoveFileReplaceExisting));

    FindData found;
    UniqueFindHandle find(findFirstFile(dir + L"\\*.xml", found));
    ASSERT_TRUE(find);
    EXPECT_EQ(found.fileName, L"deep.xml");
    EXPECT_EQ(found.size, 4u);
    EXPECT_FALSE(findNextFile(find.get(), found));
    EXPECT_EQ(getLastError(), WinError::NoMoreFiles);

    std::vector<std::uint8_t> descriptor;
    EXPECT_EQ(getNamedSecurityInfo(file, SeFileObject, SecurityInformation::Owner, descriptor), 0u);
    EXPECT_TRUE(deleteFile(file));
    EXPECT_TRUE(removeDirectory(dir));
}

TEST(WinFileSystem, FinalPathOfADeepFile) {
    SKIP_UNDER_WINE("Wine's GetFinalPathNameByHandleW fails beyond MAX_PATH");
    TestSupport::ScratchDir scratch;
    const std::wstring file = deepDirectory(scratch) + L"\\deep.xml";
    ASSERT_TRUE(writeAll(file, "deep", File::CreateNew));
    UniqueHandle opened(createFile(file, File::GenericRead, File::ShareRead, File::OpenExisting, 0));
    ASSERT_TRUE(opened);
    std::wstring final;
    ASSERT_TRUE(getFinalPathNameByHandle(opened.get(), final)) << getLastError();
    EXPECT_EQ(final.rfind(L"\\\\?\\", 0), 0u) << testing::PrintToString(final);
    EXPECT_EQ(final.substr(final.size() - 9), L"\\deep.xml");
}

TEST(WinFileSystem, DirectoryOpensOnlyWithBackupSemantics) {
    TestSupport::ScratchDir scratch;
    UniqueHandle plain(createFile(scratch.path(), File::ReadAttributes, File::ShareRead | File::ShareWrite,
                                  File::OpenExisting, 0));
    EXPECT_FALSE(plain);
    UniqueHandle backup(createFile(scratch.path(), File::ReadAttributes | File::ReadControl,
                                   File::ShareRead | File::ShareWrite, File::OpenExisting,
                                   File::FlagBackupSemantics));
    ASSERT_TRUE(backup) << getLastError();
    std::wstring final;
    ASSERT_TRUE(getFinalPathNameByHandle(backup.get(), final));
    EXPECT_EQ(final.substr(final.size() - 36), scratch.path().substr(scratch.path().size() - 36));
}

TEST(WinFileSystem, CreateReportsWhetherTheFileExisted) {
    TestSupport::ScratchDir scratch;
    struct Case {
        std::uint32_t disposition;
        bool existed;
        bool opens;
        std::uint32_t lastError;
    };
    const Case cases[] = {
        {File::CreateAlways, false, true, 0},
        {File::CreateAlways, true, true, WinError::AlreadyExists},
        {File::OpenAlways, true, true, WinError::AlreadyExists},
        {File::OpenAlways, false, true, 0},
        {File::CreateNew, true, false, WinError::FileExists},
        {File::OpenExisting, false, false, WinError::FileNotFound},
    };
    for (const auto& c : cases) {
        std::wstring path = scratch / L"f";
        deleteFile(path);
        if (c.existed) {
            ASSERT_TRUE(writeAll(path, "x", File::CreateNew));
        }
        UniqueHandle file(createFile(path, File::GenericWrite, 0, c.disposition, FileAttribute::Normal));
        std::uint32_t error = getLastError();
        EXPECT_EQ(static_cast<bool>(file), c.opens) << c.disposition;
        EXPECT_EQ(error, c.lastError) << c.disposition << " existed " << c.existed;
    }
}

TEST(WinFileSystem, MoveAndReplaceFollowTheirFlags) {
    TestSupport::ScratchDir scratch;
    const std::wstring target = scratch / L"metadata.xml";
    const std::wstring fresh = scratch / L"metadata.new";
    ASSERT_TRUE(writeAll(target, "old", File::CreateNew));
    ASSERT_TRUE(writeAll(fresh, "new", File::CreateNew));
    EXPECT_FALSE(moveFileEx(fresh, target, 0));
    EXPECT_EQ(getLastError(), WinError::AlreadyExists);

    ASSERT_TRUE(replaceFile(target, fresh, ReplaceFileWriteThrough)) << getLastError();
    EXPECT_EQ(TestSupport::readBytes(target), "new");
    EXPECT_EQ(getFileAttributes(fresh), InvalidFileAttributes);

    EXPECT_FALSE(replaceFile(scratch / L"missing.xml", target, 0));
    EXPECT_EQ(getLastError(), WinError::FileNotFound);

    ASSERT_TRUE(writeAll(fresh, "newer", File::CreateNew));
    EXPECT_TRUE(moveFileEx(fresh, target, File::MoveFileReplaceExisting | File::MoveFileWriteThrough));
    EXPECT_EQ(TestSupport::readBytes(target), "newer");
}

TEST(WinFileSystem, ReplaceKeepsTheReplacedFilesAttributes) {
    SKIP_UNDER_WINE("Wine's ReplaceFileW gives the result the replacement's attributes");
    TestSupport::ScratchDir scratch;
    const std::wstring target = scratch / L"metadata.xml";
    const std::wstring fresh = scratch / L"metadata.new";
    ASSERT_TRUE(writeAll(target, "old", File::CreateNew));
    ASSERT_TRUE(writeAll(fresh, "new", File::CreateNew));
    ASSERT_TRUE(setFileAttributes(target, FileAttribute::Hidden));
    ASSERT_TRUE(replaceFile(target, fresh, 0)) << getLastError();
    EXPECT_NE(getFileAttributes(target) & FileAttribute::Hidden, 0u);
}

// The calls relative to a held directory: one name in it, never a path, created exclusively,
// replaced keeping the replaced file's attributes, moved between held directories, deleted.
TEST(WinFileSystem, RelativeCallsWorkOnOneNameOfTheHeldDirectory) {
    TestSupport::ScratchDir scratch;
    HeldDirectory held = HeldDirectory::open(scratch.path());
    ASSERT_TRUE(createDirectoryAt(held.handle(), L"sub"));
    EXPECT_FALSE(createDirectoryAt(held.handle(), L"sub"));
    EXPECT_EQ(getLastError(), WinError::AlreadyExists);
    for (const wchar_t* name : {L"..", L".", L"sub\\x", L"a/b", L""}) {
        UniqueHandle refused(createFileAt(held.handle(), name, File::GenericRead, 0,
                                          File::OpenExisting, 0));
        EXPECT_FALSE(refused) << toUtf8(name);
        EXPECT_EQ(getLastError(), WinError::InvalidName) << toUtf8(name);
    }
    auto write = [&](const wchar_t* name, const std::string& bytes) {
        UniqueHandle file(createFileAt(held.handle(), name, File::GenericWrite, 0,
                                       File::CreateNew, FileAttribute::Normal));
        std::uint32_t written = 0;
        return file && writeFile(file.get(), bytes.data(),
                                 static_cast<std::uint32_t>(bytes.size()), &written);
    };
    ASSERT_TRUE(write(L"f.txt", "one"));
    EXPECT_FALSE(write(L"f.txt", "again"));
    EXPECT_EQ(getLastError(), WinError::FileExists);
    ASSERT_TRUE(setFileAttributes(scratch.path() + L"\\f.txt", FileAttribute::Hidden));
    ASSERT_TRUE(write(L"g.tmp", "two"));
    ASSERT_TRUE(replaceFileAt(held.handle(), L"f.txt", L"g.tmp", ReplaceFileWriteThrough))
        << getLastError();
    EXPECT_EQ(getFileAttributes(scratch.path() + L"\\g.tmp"), InvalidFileAttributes);
    EXPECT_TRUE(getFileAttributes(scratch.path() + L"\\f.txt") & FileAttribute::Hidden);

    HeldDirectory sub = held.child(L"sub");
    ASSERT_TRUE(moveFileAt(held.handle(), L"f.txt", sub.handle(), L"h.txt", 0)) << getLastError();
    ASSERT_TRUE(write(L"f.txt", "three"));
    EXPECT_FALSE(moveFileAt(held.handle(), L"f.txt", sub.handle(), L"h.txt", 0));
    EXPECT_EQ(getLastError(), WinError::AlreadyExists);
    EXPECT_TRUE(deleteFileAt(sub.handle(), L"h.txt"));
    EXPECT_FALSE(deleteFileAt(sub.handle(), L"h.txt"));
    EXPECT_EQ(getLastError(), WinError::FileNotFound);
    EXPECT_FALSE(deleteFileAt(held.handle(), L"sub"));
}

// A directory listed through its handle gives what a search gives, with the kinds, and starts
// again on demand.
TEST(WinFileSystem, ListingThroughAHandleMatchesTheSearch) {
    TestSupport::ScratchDir scratch;
    HeldDirectory held = HeldDirectory::open(scratch.path());
    ASSERT_TRUE(createDirectoryAt(held.handle(), L"sub"));
    for (const wchar_t* name : {L"b.txt", L"A.txt", L"c"}) {
        UniqueHandle file(createFileAt(held.handle(), name, File::GenericWrite, 0,
                                       File::CreateNew, FileAttribute::Hidden));
        ASSERT_TRUE(file);
    }
    UniqueHandle directory(createFile(scratch.path(), File::ReadData | File::ReadControl,
                                      File::ShareRead | File::ShareWrite, File::OpenExisting,
                                      File::FlagBackupSemantics));
    ASSERT_TRUE(directory);
    auto listAll = [&] {
        std::map<std::wstring, std::uint32_t> kinds;
        std::vector<DirectoryEntry> batch;
        bool restart = true;
        std::uint32_t error = 0;
        while ((error = getDirectoryEntries(directory.get(), std::exchange(restart, false),
                                            batch)) == 0) {
            for (const DirectoryEntry& entry : batch) {
                kinds[entry.fileName] = entry.attributes;
            }
        }
        EXPECT_EQ(error, WinError::NoMoreFiles);
        return kinds;
    };
    std::map<std::wstring, std::uint32_t> kinds = listAll();
    EXPECT_EQ(kinds, (std::map<std::wstring, std::uint32_t>{{L".", FileAttribute::Directory},
                                                             {L"..", FileAttribute::Directory},
                                                             {L"A.txt", 0},
                                                             {L"b.txt", 0},
                                                             {L"c", 0},
                                                             {L"sub", FileAttribute::Directory}}));
    EXPECT_EQ(listAll(), kinds);
}

TEST(WinFileSystem, TempFileNamesAreFreeAndCreated) {
    TestSupport::ScratchDir scratch;
    std::wstring first, second;
    std::uint32_t a = getTempFileName(scratch.path(), L"tavrel", 0, first);
    std::uint32_t b = getTempFileName(scratch.path(), L"tavrel", 0, second);
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    EXPECT_NE(first, second);
    EXPECT_EQ(first.substr(scratch.path().size(), 4), L"\\tav");
    EXPECT_NE(getFileAttributes(first), InvalidFileAttributes);
    std::wstring none;
    EXPECT_EQ(getTempFileName(scratch / L"missing", L"t", 0, none), 0u);
}

// The checker refuses a file with a second name by the count GetFileInformationByHandle gives.
TEST(WinFileSystem, InformationByHandleCountsTheNamesOfAFile) {
    TestSupport::ScratchDir scratch;
    const std::wstring file = scratch / L"template.xml";
    const std::wstring link = scratch / L"link.xml";
    const std::wstring lone = scratch / L"lone.xml";
    ASSERT_TRUE(writeAll(file, "four", File::CreateNew));
    ASSERT_TRUE(writeAll(lone, "x", File::CreateNew));
    ASSERT_TRUE(::CreateHardLinkW(link.c_str(), file.c_str(), nullptr)) << ::GetLastError();
    struct Case {
        std::wstring path;
        std::uint32_t flags;
        std::uint32_t links;
        bool directory;
    };
    const Case cases[] = {
        {file, 0, 2, false},
        {link, 0, 2, false},
        {lone, 0, 1, false},
        {scratch.path(), File::FlagBackupSemantics | File::FlagOpenReparsePoint, 1, true},
    };
    ByHandleFileInformation ofFile;
    for (const Case& c : cases) {
        UniqueHandle opened(createFile(c.path, File::ReadControl | File::ReadAttributes,
                                       File::ShareRead | File::ShareWrite, File::OpenExisting,
                                       c.flags));
        ASSERT_TRUE(opened) << getLastError();
        ByHandleFileInformation information;
        ASSERT_TRUE(getFileInformationByHandle(opened.get(), information)) << getLastError();
        EXPECT_EQ(information.numberOfLinks, c.links) << testing::PrintToString(c.path);
        EXPECT_EQ((information.attributes & FileAttribute::Directory) != 0, c.directory);
        EXPECT_EQ(information.attributes & FileAttribute::ReparsePoint, 0u);
        if (c.path == file) {
            ofFile = information;
            EXPECT_EQ(information.size, 4u);
        } else if (c.path == link) {
            EXPECT_EQ(information.fileIndex, ofFile.fileIndex) << "one file, two names";
            EXPECT_EQ(information.volumeSerialNumber, ofFile.volumeSerialNumber);
        }
    }
}

}  // namespace

namespace {

// Wine has no MAX_PATH limit, so only this table proves the prefix under Wine.
TEST(WinLongPath, PrefixOnlyWhereTheClassicFormIsTooLong) {
    const std::wstring deep = L"C:\\" + std::wstring(300, L'a');
    struct Case {
        std::wstring path;
        std::wstring expected;
    };
    const Case cases[] = {
        {L"C:\\short\\path.xml", L"C:\\short\\path.xml"},
        {deep, L"\\\\?\\" + deep},
        {deep + L"\\.\\b\\..\\c", L"\\\\?\\" + deep + L"\\c"},
        {deep + L"/b", L"\\\\?\\" + deep + L"\\b"},
        {L"\\\\server\\share\\" + std::wstring(300, L's'),
         L"\\\\?\\UNC\\server\\share\\" + std::wstring(300, L's')},
        {L"\\\\?\\" + deep + L"\\.", L"\\\\?\\" + deep + L"\\."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Platform::Win32::longPath(c.path), c.expected) << testing::PrintToString(c.path);
    }
}

}  // namespace

namespace {

TEST(WinFileHolders, ReplacingAnOpenTemplateFailsAndNamesItsHolder) {
    TestSupport::ScratchDir scratch;
    const std::wstring path = scratch / L"hosting_template.xml";
    Platform::UniqueHandle held(Platform::createFile(path, Platform::File::GenericRead, 0,
                                                     Platform::File::CreateNew, 0));
    ASSERT_TRUE(held);
    auto run = TestSupport::runProgram(L"tavrel.exe", {L"--create-domain-template", L"--file-name=" + path});
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_NE(run.out.find("Replace file"), std::string::npos) << run.out;
    SKIP_UNDER_WINE("Wine's Restart Manager lists no processes");
    EXPECT_NE(run.out.find("(held open by windows_tests.exe (" +
                           std::to_string(Platform::getCurrentProcessId()) + "))"),
              std::string::npos)
        << run.out;
}

}  // namespace
