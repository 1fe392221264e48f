// What the emulated host keeps between calls (drive links, the names of directories, what a
// handle read, the DACLs of directories) must never outlive the change that makes it wrong:
// renames, links swapped in, names in two cases, directories replaced, drive links changed,
// and descriptors written by this process or another one.
#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <chrono>
#include <cwchar>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/dtyp/acl.h"
#include "platform/dtyp/sddl.h"
#include "platform/dtyp/security_descriptor.h"
#include "platform/filesystem.h"
#include "platform/posix/filesystem/pathmap.h"
#include "platform/posix/security/object_security.h"
#include "platform/security.h"
#include "platform/text.h"
#include "platform/unique.h"
#include "support/process.h"
#include "support/temp_host.h"

namespace {

namespace fs = std::filesystem;
using namespace Platform;
namespace Info = SecurityInformation;

class HostCachesTest : public ::testing::Test {
protected:
    TestSupport::TempHost host;
    fs::path driveC = fs::canonical(host.driveC());

    void TearDown() override { Posix::boundSecurityCache(0); }

    // The POSIX path below C: that `path` leads to, or "missing".
    std::string resolved(const std::wstring& path) {
        std::string posix;
        if (!Posix::windowsToPosix(path, posix)) {
            return "error " + std::to_string(getLastError());
        }
        if (getFileAttributes(path) == InvalidFileAttributes) {
            return "missing";
        }
        return fs::path(posix).lexically_relative(driveC).string();
    }
    static std::wstring daclOf(const std::vector<std::uint8_t>& bytes) {
        auto sd = Dtyp::decodeSecurityDescriptor(bytes);
        return sd ? Dtyp::toSddl(*sd, nullptr) : L"<invalid>";
    }
    static std::wstring daclOf(const std::wstring& path) {
        std::vector<std::uint8_t> bytes;
        std::uint32_t error = getNamedSecurityInfo(path, SeFileObject, Info::Dacl, bytes);
        return error ? L"error " + std::to_wstring(error) : daclOf(bytes);
    }
    static std::uint32_t setDacl(const std::wstring& path, const wchar_t* sddl) {
        auto acl = *Dtyp::encodeAcl(*Dtyp::fromSddl(sddl)->dacl);
        return setNamedSecurityInfo(path, SeFileObject, Info::Dacl | Info::ProtectedDacl, nullptr,
                                    nullptr, acl.data(), nullptr);
    }
    // Another process of the host writes a protected DACL.
    static void setDaclElsewhere(const std::string& path, const std::string& sddl) {
        auto set = TestSupport::runProgram("tavrel-host", {"acl", "set", path, sddl});
        ASSERT_EQ(set.exitCode, 0) << set.err;
    }
};

TEST_F(HostCachesTest, NamesFollowEveryChangeBetweenTwoCalls) {
    fs::create_directories(driveC / "site" / "Data");
    TestSupport::writeFile(driveC / "site" / "Data" / "file.txt", "x");
    fs::create_directories(driveC / "elsewhere");
    TestSupport::writeFile(driveC / "elsewhere" / "file.txt", "x");
    const std::wstring file = LR"(C:\SITE\data\file.txt)";
    struct Step {
        const char* change;
        std::function<void()> apply;
        std::string expected;
    };
    const std::vector<Step> steps = {
        {"none: the name differs in case only", [] {}, "site/Data/file.txt"},
        {"the directory renamed",
         [&] { fs::rename(driveC / "site" / "Data", driveC / "site" / "Old"); }, "missing"},
        {"another directory of that name in another case, in the same second",
         [&] {
             fs::create_directory(driveC / "site" / "dAta");
             TestSupport::writeFile(driveC / "site" / "dAta" / "file.txt", "x");
         },
         "site/dAta/file.txt"},
        {"the name as written appears beside it",
         [&] {
             fs::create_directory(driveC / "site" / "data");
             TestSupport::writeFile(driveC / "site" / "data" / "file.txt", "x");
         },
         "site/data/file.txt"},
        {"the name as written goes: the smallest of the other cases",
         [&] {
             fs::rename(driveC / "site" / "Old", driveC / "site" / "Data");
             fs::remove_all(driveC / "site" / "data");
         },
         "site/Data/file.txt"},
        {"a link swapped in for every case of it",
         [&] {
             fs::remove_all(driveC / "site" / "Data");
             fs::remove_all(driveC / "site" / "dAta");
             fs::create_directory_symlink(driveC / "elsewhere", driveC / "site" / "DATA");
         },
         "site/DATA/file.txt"},
    };
    for (const auto& step : steps) {
        step.apply();
        EXPECT_EQ(resolved(file), step.expected) << step.change;
    }
    EXPECT_EQ(getFileAttributes(LR"(C:\site\data)"),
              FileAttribute::ReparsePoint | FileAttribute::Directory);
    // Through the link, the directory search and the open reach the link's target.
    UniqueHandle opened(
        createFile(file, File::ReadControl | File::ReadAttributes, 0, File::OpenExisting, 0));
    ASSERT_TRUE(opened);
    std::wstring final;
    ASSERT_TRUE(getFinalPathNameByHandle(opened.get(), final));
    EXPECT_EQ(final, LR"(\\?\C:\elsewhere\file.txt)");
}

TEST_F(HostCachesTest, DriveLinksAreReadAgainWhenDosdevicesChanges) {
    fs::create_directories(driveC / "one" / "only1");
    fs::create_directories(driveC / "two" / "only2");
    fs::path link = host.dir() / "dosdevices" / "d:";
    struct Step {
        const char* change;
        std::function<void()> apply;
        const wchar_t* path;
        std::string expected;
    };
    const std::vector<Step> steps = {
        {"a new letter", [&] { fs::create_directory_symlink(driveC / "one", link); },
         LR"(D:\only1)", "one/only1"},
        {"the letter pointed elsewhere by a rename over it",
         [&] {
             fs::create_directory_symlink(driveC / "two", host.dir() / "dosdevices" / "new");
             fs::rename(host.dir() / "dosdevices" / "new", link);
         },
         LR"(D:\only2)", "two/only2"},
        {"the letter removed", [&] { fs::remove(link); }, LR"(D:\only2)", "error 3"},
        {"the letter made again by another process",
         [&] {
             auto made = TestSupport::runProgram(
                 "/bin/sh",
                 {"-c", "ln -s '" + (driveC / "one").string() + "' '" + link.string() + "'"});
             ASSERT_EQ(made.exitCode, 0) << made.err;
         },
         LR"(D:\only1)", "one/only1"},
    };
    for (const auto& step : steps) {
        step.apply();
        EXPECT_EQ(resolved(step.path), step.expected) << step.change;
    }
}

TEST_F(HostCachesTest, HandleSeesAWriteOfAnotherProcessAfterItsOpen) {
    fs::create_directories(driveC / "site");
    TestSupport::writeFile(driveC / "site" / "file.txt", "x");
    UniqueHandle file(createFile(LR"(C:\site\file.txt)", File::ReadControl | File::WriteDac, 0,
                                 File::OpenExisting, 0));
    ASSERT_TRUE(file);
    std::vector<std::uint8_t> before;
    ASSERT_EQ(getSecurityInfo(file.get(), SeFileObject, Info::Dacl, before), 0u);
    setDaclElsewhere(R"(C:\site\file.txt)", "D:P(A;;FA;;;BU)");
    std::vector<std::uint8_t> after;
    ASSERT_EQ(getSecurityInfo(file.get(), SeFileObject, Info::Dacl, after), 0u);
    EXPECT_EQ(daclOf(after), L"D:PAI(A;;FA;;;BU)");
}

TEST_F(HostCachesTest, WhatAHandleReadHoldsUntilItsObjectOrWhatItInheritsIsWritten) {
    fs::create_directories(driveC / "site");
    TestSupport::writeFile(driveC / "site" / "f.txt", "x");
    const std::wstring site = LR"(C:\site)";
    const std::wstring file = LR"(C:\site\f.txt)";
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto open = [](const std::wstring& path) {
        UniqueHandle handle(createFile(path, File::ReadControl | File::WriteDac | File::WriteOwner,
                                       File::ShareRead | File::ShareWrite, File::OpenExisting,
                                       File::FlagBackupSemantics));
        EXPECT_TRUE(handle) << toUtf8(path);
        return handle;
    };
    // A DACL is written protected, or unprotected with "D:(".
    auto setThrough = [](Handle handle, const wchar_t* sddl) {
        auto sd = *Dtyp::fromSddl(sddl);
        std::vector<std::uint8_t> acl, owner;
        std::uint32_t parts = 0;
        if (sd.dacl) {
            acl = *Dtyp::encodeAcl(*sd.dacl);
            parts |= Info::Dacl | (std::wcsstr(sddl, L"D:(") ? Info::UnprotectedDacl
                                                              : Info::ProtectedDacl);
        }
        if (sd.owner) {
            owner = sd.owner->toBytes();
            parts |= Info::Owner;
        }
        ASSERT_EQ(
            setSecurityInfo(handle, SeFileObject, parts, owner.empty() ? nullptr : owner.data(),
                            nullptr, acl.empty() ? nullptr : acl.data(), nullptr),
            0u)
            << toUtf8(sddl);
    };
    auto readThrough = [](Handle handle, std::uint32_t parts) {
        std::vector<std::uint8_t> bytes;
        std::uint32_t error = getSecurityInfo(handle, SeFileObject, parts, bytes);
        return error ? L"error " + std::to_wstring(error) : daclOf(bytes);
    };
    struct Case {
        const char* written;
        std::function<void()> write;
        // What the first handle, which read the file's descriptor before the write, does next.
        std::function<std::wstring(Handle)> next;
        const wchar_t* seen;
        bool firstWritesBefore = false;  // an unprotected DACL of its own
    };
    auto read = [&](Handle first) { return readThrough(first, Info::Dacl); };
    const std::vector<Case> cases = {
        {"the same file, through another handle",
         [&] { setThrough(open(file).get(), L"D:P(A;;FA;;;BU)"); }, read, L"D:PAI(A;;FA;;;BU)"},
        {"the folder it inherits from, through its handle",
         [&] { setThrough(open(site).get(), L"D:P(A;OICI;FA;;;BA)"); }, read,
         L"D:AI(A;ID;FA;;;BA)"},
        // A write replaces parts of what the file holds: the rest must be what is there now.
        {"the same file's owner, through another handle, before a DACL through the first",
         [&] { setThrough(open(file).get(), L"O:SY"); },
         [&](Handle first) {
             setThrough(first, L"D:P(A;;FA;;;WD)");
             UniqueHandle again = open(file);
             return readThrough(again.get(), Info::Owner | Info::Dacl);
         },
         L"O:SYD:PAI(A;;FA;;;WD)"},
        // What a handle wrote it reads back as it is now, with what it inherits.
        {"nothing else, after the first wrote", [] {}, read, L"D:AI(A;;FA;;;BU)(A;ID;FA;;;SY)",
         true},
        {"the same file, through another handle, after the first wrote",
         [&] { setThrough(open(file).get(), L"D:P(A;;FA;;;WD)"); }, read, L"D:PAI(A;;FA;;;WD)",
         true},
        {"the same file, by another process, after the first wrote",
         [] { setDaclElsewhere(R"(C:\site\f.txt)", "D:P(A;;FA;;;WD)"); }, read,
         L"D:PAI(A;;FA;;;WD)", true},
        {"the folder it inherits from, after the first wrote",
         [&] { setThrough(open(site).get(), L"D:P(A;OICI;FA;;;BA)"); }, read,
         L"D:AI(A;;FA;;;BU)(A;ID;FA;;;BA)", true},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(setDacl(site, L"D:P(A;OICI;FA;;;SY)"), 0u);
        // The file back to nothing but what it inherits (one case changes the owner).
        auto none = *Dtyp::encodeAcl(Dtyp::Acl{});
        ASSERT_EQ(setNamedSecurityInfo(file, SeFileObject, Info::Dacl | Info::UnprotectedDacl,
                                       nullptr, nullptr, none.data(), nullptr),
                  0u);
        UniqueHandle first = open(file);
        ASSERT_EQ(readThrough(first.get(), Info::Dacl), L"D:AI(A;ID;FA;;;SY)") << c.written;
        if (c.firstWritesBefore) {
            setThrough(first.get(), L"D:(A;;FA;;;BU)");
        }
        c.write();
        EXPECT_EQ(c.next(first.get()), c.seen) << c.written;
    }
}

// A directory's handle answers from what its open saw until an entry is made, moved or removed
// through it.
TEST_F(HostCachesTest, ADirectoryHandleTellsTheEntriesMadeThroughIt) {
    fs::create_directories(driveC / "site");
    TestSupport::writeFile(driveC / "site" / "old.txt", "x");
    UniqueHandle site(createFile(LR"(C:\site)", File::ReadData | File::ReadAttributes,
                                 File::ShareRead | File::ShareWrite, File::OpenExisting,
                                 File::FlagBackupSemantics));
    ASSERT_TRUE(site);
    auto written = [&] {
        ByHandleFileInformation information{};
        EXPECT_TRUE(getFileInformationByHandle(site.get(), information));
        return information.lastWriteTime;
    };
    const std::vector<std::pair<const char*, std::function<void()>>> changes = {
        {"a file made",
         [&] {
             UniqueHandle(
                 createFileAt(site.get(), L"new.txt", File::GenericWrite, 0, File::CreateNew, 0));
         }},
        {"a file renamed",
         [&] { ASSERT_TRUE(moveFileAt(site.get(), L"new.txt", site.get(), L"renamed.txt", 0)); }},
        {"a file removed", [&] { ASSERT_TRUE(deleteFileAt(site.get(), L"renamed.txt")); }},
    };
    for (const auto& [change, apply] : changes) {
        auto before = written();
        // Past the file system's clock tick.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        apply();
        EXPECT_GT(written(), before) << change;
    }
}

TEST_F(HostCachesTest, DirectoryWriteMakesStaleOnlyWhatLiesBelowIt) {
    for (const char* dir : {"site/a/x", "site/b/y"}) {
        fs::create_directories(driveC / dir);
        TestSupport::writeFile(driveC / dir / "leaf.txt", "x");
    }
    const std::wstring underA = LR"(C:\site\a\x\leaf.txt)";
    const std::wstring underB = LR"(C:\site\b\y\leaf.txt)";
    // The directories are cached only once their times have settled.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    struct Writer {
        const char* who;
        std::function<void()> write;
        const wchar_t* inherited;
    };
    const std::vector<Writer> writers = {
        {"this process", [] { ASSERT_EQ(setDacl(LR"(C:\site\a)", L"D:P(A;OICI;FA;;;SY)"), 0u); },
         L"D:AI(A;ID;FA;;;SY)"},
        {"another process", [this] { setDaclElsewhere(R"(C:\site\a)", "D:P(A;OICI;FA;;;BU)"); },
         L"D:AI(A;ID;FA;;;BU)"},
    };
    for (const auto& writer : writers) {
        std::wstring seenUnderB = daclOf(underB);
        daclOf(underA);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        daclOf(underA);
        std::size_t cached = Posix::cachedSecurityDirectories();
        writer.write();
        // Only the directory written is forgotten; what lies below it goes when next looked
        // at, and the other branch stays.
        EXPECT_EQ(Posix::cachedSecurityDirectories(), cached - 1) << writer.who;
        EXPECT_EQ(daclOf(underB), seenUnderB) << writer.who;
        EXPECT_EQ(Posix::cachedSecurityDirectories(), cached - 1) << writer.who;
        EXPECT_EQ(daclOf(underA), writer.inherited) << writer.who;
    }
}

TEST_F(HostCachesTest, DirectoryChangedBehindTheSeamIsNotTakenForWhatWasCached) {
    fs::create_directories(driveC / "site" / "model");
    ASSERT_EQ(setDacl(LR"(C:\site\model)", L"D:P(A;OICI;FA;;;BU)"), 0u);
    const fs::path dir = driveC / "site" / "dir";
    const std::wstring leaf = LR"(C:\site\dir\leaf.txt)";
    const std::wstring fromSite =
        L"D:AI(A;ID;FA;;;BA)(A;ID;FA;;;SY)(A;ID;0x1200a9;;;BU)(A;ID;FA;;;BA)";
    struct Change {
        const char* what;
        int settleMs;  // how long the cached state stands before the change
        std::function<void()> apply;
        std::wstring expected;
    };
    auto remake = [&] {
        fs::remove_all(dir);
        fs::create_directory(dir);
        TestSupport::writeFile(dir / "leaf.txt", "x");
    };
    const std::vector<Change> changes = {
        {"removed and made again, most likely with the same inode", 30, remake, fromSite},
        {"removed and made again within the clock tick of the cached read", 0, remake, fromSite},
        {"its descriptor copied in by another tool", 30,
         [&] {
             std::vector<char> value(4096);
             ssize_t size = ::lgetxattr((driveC / "site" / "model").c_str(), "user.tavrel.sd",
                                        value.data(), value.size());
             ASSERT_GT(size, 0);
             ASSERT_EQ(::lsetxattr(dir.c_str(), "user.tavrel.sd", value.data(),
                                   static_cast<std::size_t>(size), 0),
                       0);
         },
         L"D:AI(A;ID;FA;;;BU)"},
    };
    for (int round = 0; round < 5; ++round) {
        for (const auto& change : changes) {
            remake();
            ASSERT_EQ(setDacl(LR"(C:\site\dir)", L"D:P(A;OICI;FA;;;SY)"), 0u);
            std::this_thread::sleep_for(std::chrono::milliseconds(change.settleMs));
            EXPECT_EQ(daclOf(leaf), L"D:AI(A;ID;FA;;;SY)");
            change.apply();
            EXPECT_EQ(daclOf(leaf), change.expected) << change.what << ", round " << round;
        }
    }
}

TEST_F(HostCachesTest, EntryOpenedDuringASearchInheritsFromWhereItsPathLeadsNow) {
    fs::create_directories(driveC / "site" / "a");
    TestSupport::writeFile(driveC / "site" / "a" / "f.txt", "x");
    ASSERT_EQ(setDacl(LR"(C:\site\a)", L"D:P(A;OICI;FA;;;SY)"), 0u);
    auto daclThroughHandle = [](const std::wstring& path) {
        UniqueHandle file(createFile(path, File::ReadControl, 0, File::OpenExisting, 0));
        std::vector<std::uint8_t> bytes;
        EXPECT_TRUE(file);
        EXPECT_EQ(getSecurityInfo(file.get(), SeFileObject, Info::Dacl, bytes), 0u);
        return daclOf(bytes);
    };
    FindData data;
    UniqueFindHandle search(findFirstFile(LR"(C:\site\a\*)", data));
    ASSERT_TRUE(search);
    EXPECT_EQ(daclThroughHandle(LR"(C:\site\a\f.txt)"), L"D:AI(A;ID;FA;;;SY)");
    // While the search still holds the directory, another takes its name.
    fs::rename(driveC / "site" / "a", driveC / "site" / "old");
    fs::create_directory(driveC / "site" / "a");
    TestSupport::writeFile(driveC / "site" / "a" / "f.txt", "x");
    EXPECT_EQ(daclThroughHandle(LR"(C:\site\a\f.txt)"),
              L"D:AI(A;ID;FA;;;BA)(A;ID;FA;;;SY)(A;ID;0x1200a9;;;BU)(A;ID;FA;;;BA)");
}

// What a search listed of its entries (their attributes, where they lie, what their directory
// passes on) answers the calls on an entry opened through it only while nothing changed.
TEST_F(HostCachesTest, EntryOpenedThroughASearchSeesWhatChangedSinceTheListing) {
    fs::create_directories(driveC / "site" / "a");
    TestSupport::writeFile(driveC / "site" / "a" / "f.txt", "x");
    ASSERT_EQ(setDacl(LR"(C:\site\a)", L"D:P(A;OICI;FA;;;SY)"), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::wstring file = LR"(C:\site\a\f.txt)";
    struct Seen {
        std::wstring dacl;
        std::uint32_t attributes = 0;
        std::wstring final;
    };
    auto seen = [&] {
        Seen result;
        UniqueHandle opened(
            createFile(file, File::ReadControl | File::ReadAttributes, 0, File::OpenExisting, 0));
        EXPECT_TRUE(opened);
        std::vector<std::uint8_t> bytes;
        EXPECT_EQ(getSecurityInfo(opened.get(), SeFileObject, Info::Dacl, bytes), 0u);
        result.dacl = daclOf(bytes);
        ByHandleFileInformation information{};
        EXPECT_TRUE(getFileInformationByHandle(opened.get(), information));
        result.attributes = information.attributes;
        EXPECT_TRUE(getFinalPathNameByHandle(opened.get(), result.final));
        return result;
    };
    FindData data;
    UniqueFindHandle search(findFirstFile(LR"(C:\site\a\*)", data));
    ASSERT_TRUE(search);
    Seen listed = seen();
    EXPECT_EQ(listed.dacl, L"D:AI(A;ID;FA;;;SY)");
    EXPECT_EQ(listed.attributes, FileAttribute::Archive);
    EXPECT_EQ(listed.final, LR"(\\?\C:\site\a\f.txt)");
    setDaclElsewhere(R"(C:\site\a)", "D:P(A;OICI;FA;;;BU)");
    EXPECT_EQ(seen().dacl, L"D:AI(A;ID;FA;;;BU)") << "the directory written by another process";
    {
        // A descriptor written through the handle is what it reads next.
        UniqueHandle opened(
            createFile(file, File::ReadControl | File::WriteDac, 0, File::OpenExisting, 0));
        auto acl = *Dtyp::encodeAcl(*Dtyp::fromSddl(L"D:P(A;;FA;;;SY)")->dacl);
        ASSERT_EQ(setSecurityInfo(opened.get(), SeFileObject, Info::Dacl | Info::ProtectedDacl,
                                  nullptr, nullptr, acl.data(), nullptr),
                  0u);
        std::vector<std::uint8_t> bytes;
        EXPECT_EQ(getSecurityInfo(opened.get(), SeFileObject, Info::Dacl, bytes), 0u);
        EXPECT_EQ(daclOf(bytes), L"D:PAI(A;;FA;;;SY)") << "written through the handle";
    }
    ASSERT_TRUE(setFileAttributes(file, FileAttribute::Hidden));
    EXPECT_EQ(seen().attributes, FileAttribute::Hidden) << "the entry's attributes set";
}

TEST_F(HostCachesTest, BoundedCacheEvictsTheLeastRecentlyUsedDirectories) {
    constexpr std::size_t bound = 4;
    for (int i = 0; i < 8; ++i) {
        fs::create_directories(driveC / "site" / ("d" + std::to_string(i)));
        TestSupport::writeFile(driveC / "site" / ("d" + std::to_string(i)) / "f.txt", "x");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Posix::boundSecurityCache(bound);
    // C:\, site and d0, then one more directory a read: full from d1 on, never emptied.
    const std::vector<std::size_t> expected = {3, 4, 4, 4, 4, 4, 4, 4};
    for (int i = 0; i < 8; ++i) {
        daclOf(LR"(C:\site\d)" + std::to_wstring(i) + LR"(\f.txt)");
        EXPECT_EQ(Posix::cachedSecurityDirectories(), expected[i]) << "after d" << i;
    }
}

}  // namespace
