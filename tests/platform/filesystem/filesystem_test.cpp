// The file system seam on a temporary host: drive mapping, case-insensitive names, DOS
// attributes, enumeration, file operations and their Windows error codes.
#include "platform/filesystem.h"

#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/posix/filesystem/filehandle.h"
#include "platform/posix/filesystem/pathmap.h"
#include "platform/posix/filesystem/posix_path.h"
#include "platform/security.h"
#include "platform/text.h"
#include "platform/types.h"
#include "platform/unique.h"
#include "support/corpus.h"
#include "support/process.h"
#include "support/temp_host.h"

namespace {

namespace fs = std::filesystem;
using namespace Platform;
using Platform::Posix::posixToWindows;
using Platform::Posix::windowsToPosix;

// Runs the test body in a directory and goes back afterwards.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const fs::path& dir) : previous_(fs::current_path()) {
        fs::current_path(dir);
    }
    ~WorkingDirectory() { fs::current_path(previous_); }

private:
    fs::path previous_;
};

class FileSystemTest : public ::testing::Test {
protected:
    TestSupport::TempHost host;
    fs::path driveC = fs::canonical(host.driveC());

    std::string xattr(const fs::path& path) const {
        char value[64] = {};
        ssize_t size = ::lgetxattr(path.c_str(), "user.DOSATTRIB", value, sizeof(value) - 1);
        return size < 0 ? std::string("<none>")
                        : std::string(value, static_cast<std::size_t>(size));
    }
    static UniqueHandle open(const std::wstring& path, std::uint32_t access,
                             std::uint32_t disposition, std::uint32_t flags = 0) {
        return UniqueHandle(createFile(path, access, 0, disposition, flags));
    }
    static std::string readAll(const std::wstring& path) {
        UniqueHandle file = open(path, File::GenericRead, File::OpenExisting);
        EXPECT_TRUE(file) << getLastError();
        char buffer[256];
        std::uint32_t read = 0;
        EXPECT_TRUE(readFile(file.get(), buffer, sizeof(buffer), &read));
        return std::string(buffer, read);
    }
    static void write(const std::wstring& path, const std::string& text,
                      std::uint32_t disposition = File::CreateAlways) {
        UniqueHandle file = open(path, File::GenericWrite, disposition);
        ASSERT_TRUE(file) << getLastError();
        std::uint32_t written = 0;
        ASSERT_TRUE(
            writeFile(file.get(), text.data(), static_cast<std::uint32_t>(text.size()), &written));
        EXPECT_EQ(written, text.size());
    }
    static std::vector<std::wstring> find(const std::wstring& pattern) {
        std::vector<std::wstring> names;
        FindData data;
        UniqueFindHandle search(findFirstFile(pattern, data));
        if (!search) {
            return names;
        }
        do {
            names.push_back(data.fileName);
        } while (findNextFile(search.get(), data));
        EXPECT_EQ(getLastError(), WinError::NoMoreFiles);
        return names;
    }
};

TEST_F(FileSystemTest, DrivesMapThroughDosdevices) {
    std::string posix;
    ASSERT_TRUE(windowsToPosix(LR"(C:\Windows\System32)", posix));
    EXPECT_EQ(posix, (driveC / "Windows/System32").string());
    ASSERT_TRUE(windowsToPosix(LR"(\\.\c:\windows\..\Users\New)", posix));
    EXPECT_EQ(posix, (driveC / "Users/New").string());
    // A \\?\ path reaches the file system as written, where "." and ".." name nothing.
    for (const wchar_t* dotted : {LR"(\\?\c:\windows\..\Users)", LR"(\??\C:\.\Users)"}) {
        EXPECT_FALSE(windowsToPosix(dotted, posix)) << posix;
        EXPECT_EQ(getLastError(), WinError::InvalidName);
    }
    ASSERT_TRUE(windowsToPosix(LR"(\??\C:\Inetpub)", posix));
    EXPECT_EQ(posix, (driveC / "Inetpub").string());
    ASSERT_TRUE(windowsToPosix(LR"(Z:\etc)", posix));
    EXPECT_EQ(posix, "/etc");

    EXPECT_FALSE(windowsToPosix(LR"(Q:\x)", posix));
    EXPECT_EQ(getLastError(), WinError::PathNotFound);
    EXPECT_FALSE(windowsToPosix(LR"(\\server\share\x)", posix));
    EXPECT_EQ(getLastError(), WinError::BadNetpath);
    EXPECT_FALSE(windowsToPosix(LR"(\\?\UNC\server\share)", posix));
    EXPECT_EQ(getLastError(), WinError::BadNetpath);
    EXPECT_FALSE(windowsToPosix(LR"(C:\a|b)", posix));
    EXPECT_EQ(getLastError(), WinError::InvalidName);

    // Any letter may be added; the drive with the longest containing target wins.
    fs::create_directory_symlink(driveC / "Inetpub", host.dir() / "dosdevices" / "w:");
    ASSERT_TRUE(windowsToPosix(LR"(W:\vhosts)", posix));
    EXPECT_EQ(posix, (driveC / "Inetpub/vhosts").string());
    std::wstring windows;
    ASSERT_TRUE(posixToWindows((driveC / "Inetpub/vhosts/site").string(), windows));
    EXPECT_EQ(windows, LR"(W:\vhosts\site)");
    ASSERT_TRUE(posixToWindows(driveC.string(), windows));
    EXPECT_EQ(windows, LR"(C:\)");
    ASSERT_TRUE(posixToWindows("/usr/../etc/./hosts", windows));
    EXPECT_EQ(windows, LR"(Z:\etc\hosts)");
}

TEST_F(FileSystemTest, RelativePathsUseTheCurrentDirectoryOnItsDrive) {
    WorkingDirectory inWindows(driveC / "Windows");
    std::wstring current;
    ASSERT_TRUE(getCurrentDirectory(current));
    EXPECT_EQ(current, LR"(C:\Windows)");
    std::string posix;
    ASSERT_TRUE(windowsToPosix(LR"(Temp\x)", posix));
    EXPECT_EQ(posix, (driveC / "Windows/Temp/x").string());
    ASSERT_TRUE(windowsToPosix(LR"(\Users)", posix));
    EXPECT_EQ(posix, (driveC / "Users").string());
    std::wstring full;
    ASSERT_TRUE(getFullPathName(LR"(..\Users\.\Public\)", full));
    EXPECT_EQ(full, LR"(C:\Users\Public\)");
}

TEST(PosixPath, ParentOfIsTheDirectoryThatHoldsThePath) {
    // path -> its parent: a name without a slash is in the current directory
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/a/b/c", "/a/b"}, {"/a", "/"}, {"/", "/"}, {"a/b", "a"}, {"a", "."},
    };
    for (const auto& [path, parent] : cases) {
        EXPECT_EQ(Platform::Posix::parentOf(path), parent) << path;
    }
}

TEST(FullWindowsPath, ResolvesLikeGetFullPathName) {
    TestSupport::expectCorpus("full_windows_path", [](const std::wstring& path) {
        std::wstring full;
        EXPECT_TRUE(Platform::Posix::fullWindowsPath(path, LR"(C:\cur)", full));
        return full;
    });
    std::wstring full;
    EXPECT_FALSE(Platform::Posix::fullWindowsPath(L"", LR"(C:\cur)", full));
    EXPECT_EQ(getLastError(), WinError::InvalidName);
}

TEST_F(FileSystemTest, NamesResolveCaseInsensitivelyAndKeepTheirCase) {
    fs::create_directories(driveC / "Data/Sub");
    ASSERT_TRUE(createDirectory(LR"(C:\DATA\sub\New)"));
    EXPECT_TRUE(fs::is_directory(driveC / "Data/Sub/New"));
    EXPECT_FALSE(createDirectory(LR"(c:\data\SUB\new)"));
    EXPECT_EQ(getLastError(), WinError::AlreadyExists);
    write(LR"(c:\data\sub\File.TXT)", "x");
    EXPECT_TRUE(fs::exists(driveC / "Data/Sub/File.TXT"));
    EXPECT_EQ(readAll(LR"(C:\DATA\SUB\FILE.txt)"), "x");

    std::wstring longName;
    ASSERT_TRUE(getLongPathName(LR"(c:\data\sub\file.txt)", longName));
    EXPECT_EQ(longName, LR"(c:\Data\Sub\File.TXT)");
    ASSERT_TRUE(getLongPathName(LR"(\\?\C:\DATA\.\sub\..\SUB\)", longName));
    EXPECT_EQ(longName, LR"(\\?\C:\Data\.\Sub\..\Sub\)");
    EXPECT_FALSE(getLongPathName(LR"(C:\Data\missing)", longName));
    EXPECT_EQ(getLastError(), WinError::FileNotFound);
    EXPECT_FALSE(getLongPathName(LR"(C:\Data\missing\x)", longName));
    EXPECT_EQ(getLastError(), WinError::PathNotFound);
}

// NTFS cannot hold names that differ only in case; the host's POSIX side can. A path in
// another case reaches one of them, and its long form must name that one: a metadata entry
// is kept and walked under its long form.
TEST_F(FileSystemTest, TheLongNameIsThatOfTheEntryThePathReaches) {
    fs::create_directories(driveC / "Data");
    // Fifteen case forms of "twin", each holding its own name; "twin" itself is missing.
    for (int form = 1; form < 16; ++form) {
        std::string name = "twin";
        for (int i = 0; i < 4; ++i) {
            if (form & (1 << i)) {
                name[i] = static_cast<char>(name[i] - 'a' + 'A');
            }
        }
        TestSupport::writeFile(driveC / "Data" / name, name);
    }
    std::string reached = readAll(LR"(C:\Data\twin)");
    std::wstring longName;
    ASSERT_TRUE(getLongPathName(LR"(C:\Data\twin)", longName));
    EXPECT_EQ(longName, L"C:\\Data\\" + fromUtf8(reached));
}

TEST_F(FileSystemTest, AttributesComeFromModeBitsAndDosAttribXattr) {
    write(LR"(C:\plain.txt)", "");
    EXPECT_EQ(getFileAttributes(LR"(C:\plain.txt)"), FileAttribute::Archive);
    EXPECT_EQ(xattr(driveC / "plain.txt"), "<none>");
    EXPECT_EQ(getFileAttributes(LR"(C:\Windows)"), FileAttribute::Directory);

    ASSERT_TRUE(setFileAttributes(LR"(C:\plain.txt)", FileAttribute::Hidden |
                                                          FileAttribute::System |
                                                          FileAttribute::ReadOnly));
    EXPECT_EQ(xattr(driveC / "plain.txt"), "0x6");
    EXPECT_EQ(fs::status(driveC / "plain.txt").permissions() & fs::perms::owner_write,
              fs::perms::none);
    EXPECT_EQ(getFileAttributes(LR"(C:\plain.txt)"),
              FileAttribute::Hidden | FileAttribute::System | FileAttribute::ReadOnly);

    ASSERT_TRUE(setFileAttributes(LR"(C:\plain.txt)", FileAttribute::Normal));
    EXPECT_EQ(getFileAttributes(LR"(C:\plain.txt)"), FileAttribute::Normal);
    ASSERT_TRUE(setFileAttributes(LR"(C:\plain.txt)", FileAttribute::Archive));
    EXPECT_EQ(xattr(driveC / "plain.txt"), "<none>");

    // Samba writes the text followed by a binary blob; Wine writes the text alone.
    const char samba[] = "0x22\0\x04\x00";
    ASSERT_EQ(::lsetxattr((driveC / "Users").c_str(), "user.DOSATTRIB", samba, sizeof(samba), 0),
              0);
    EXPECT_EQ(getFileAttributes(LR"(C:\USERS)"),
              FileAttribute::Directory | FileAttribute::Hidden | FileAttribute::Archive);

    EXPECT_EQ(getFileAttributes(LR"(C:\missing)"), InvalidFileAttributes);
    EXPECT_EQ(getLastError(), WinError::FileNotFound);
    EXPECT_EQ(getFileAttributes(LR"(C:\missing\x)"), InvalidFileAttributes);
    EXPECT_EQ(getLastError(), WinError::PathNotFound);
}

TEST_F(FileSystemTest, EnumerationFollowsWindowsRules) {
    fs::create_directories(driveC / "list/sub");
    for (const char* name : {"B.txt", "a.TXT", "c.log", "noext", "x.txt.bak"}) {
        TestSupport::writeFile(driveC / "list" / name, "data");
    }
    using Names = std::vector<std::wstring>;
    EXPECT_EQ(find(LR"(C:\list\*)"),
              (Names{L".", L"..", L"a.TXT", L"B.txt", L"c.log", L"noext", L"sub", L"x.txt.bak"}));
    EXPECT_EQ(find(LR"(C:\list\*.*)"), find(LR"(C:\list\*)"));
    EXPECT_EQ(find(LR"(c:\LIST\*.TXT)"), (Names{L"a.TXT", L"B.txt"}));
    EXPECT_EQ(find(LR"(C:\list\*.)"), (Names{L".", L"..", L"noext", L"sub"}));
    EXPECT_EQ(find(LR"(C:\list\?.txt)"), (Names{L"a.TXT", L"B.txt"}));
    EXPECT_EQ(find(LR"(C:\list\noext?.*)"), (Names{L"noext"}));
    EXPECT_EQ(find(LR"(C:\list\SUB)"), (Names{L"sub"}));

    FindData data;
    UniqueFindHandle file(findFirstFile(LR"(C:\list\b.TXT)", data));
    ASSERT_TRUE(file);
    EXPECT_EQ(data.fileName, L"B.txt");
    EXPECT_EQ(data.size, 4u);
    EXPECT_EQ(data.attributes, FileAttribute::Archive);

    // "." and ".." carry the attributes of the directory and of its parent.
    ASSERT_TRUE(setFileAttributes(LR"(C:\list)", FileAttribute::Hidden));
    UniqueFindHandle dots(findFirstFile(LR"(C:\list\sub\*)", data));
    ASSERT_TRUE(dots);
    EXPECT_EQ(data.fileName, L".");
    EXPECT_EQ(data.attributes, FileAttribute::Directory);
    ASSERT_TRUE(findNextFile(dots.get(), data));
    EXPECT_EQ(data.fileName, L"..");
    EXPECT_EQ(data.attributes, FileAttribute::Directory | FileAttribute::Hidden);
    // While the search of its parent is open, "." is what that listing saw until it changes.
    UniqueFindHandle outer(findFirstFile(LR"(C:\list\*)", data));
    ASSERT_TRUE(outer);
    ASSERT_TRUE(setFileAttributes(LR"(C:\list\sub)", FileAttribute::System));
    UniqueFindHandle inner(findFirstFile(LR"(C:\list\sub\*)", data));
    ASSERT_TRUE(inner);
    EXPECT_EQ(data.attributes, FileAttribute::Directory | FileAttribute::System);

    // A directory whose names take more than one read of its entries is listed whole.
    fs::create_directories(driveC / "list/many");
    for (int i = 0; i < 1500; ++i) {
        TestSupport::writeFile(
            driveC / "list/many" / ("entry-with-a-longer-name-" + std::to_string(i) + ".txt"), "");
    }
    EXPECT_EQ(find(LR"(C:\list\many\*.txt)").size(), 1500u);

    // A drive root has no "." and "..".
    Names root = find(LR"(C:\*)");
    EXPECT_EQ(std::count(root.begin(), root.end(), L"."), 0);
    EXPECT_EQ(std::count(root.begin(), root.end(), L"Windows"), 1);

    EXPECT_EQ(findFirstFile(LR"(C:\list\*.xml)", data), invalidHandle());
    EXPECT_EQ(getLastError(), WinError::FileNotFound);
    EXPECT_EQ(findFirstFile(LR"(C:\nothere\*)", data), invalidHandle());
    EXPECT_EQ(getLastError(), WinError::PathNotFound);
}

// A directory listed through its handle gives the names a search gives, in the same order and
// across as many calls as it takes, with their kinds; it restarts on demand and needs the
// listing right.
TEST_F(FileSystemTest, ListingThroughAHandleMatchesTheSearch) {
    fs::create_directories(driveC / "list/sub");
    for (int i = 0; i < 1200; ++i) {
        TestSupport::writeFile(driveC / "list" / ("Entry " + std::to_string(i) + ".txt"), "");
    }
    fs::create_directory_symlink(driveC / "list/sub", driveC / "list/link");
    auto listAll = [](Handle directory, std::map<std::wstring, std::uint32_t>* kinds) {
        std::vector<std::wstring> names;
        std::vector<DirectoryEntry> batch;
        bool restart = true;
        std::uint32_t error = 0;
        while ((error = getDirectoryEntries(directory, std::exchange(restart, false), batch)) ==
               0) {
            for (const DirectoryEntry& entry : batch) {
                names.push_back(entry.fileName);
                if (kinds) {
                    (*kinds)[entry.fileName] = entry.attributes;
                }
            }
        }
        EXPECT_EQ(error, WinError::NoMoreFiles);
        return names;
    };
    UniqueHandle list(createFile(LR"(C:\list)", File::ReadData | File::ReadControl, 0,
                                 File::OpenExisting, File::FlagBackupSemantics));
    ASSERT_TRUE(list);
    std::map<std::wstring, std::uint32_t> kinds;
    std::vector<std::wstring> names = listAll(list.get(), &kinds);
    EXPECT_EQ(names, find(LR"(C:\list\*)"));
    EXPECT_EQ(kinds[L"sub"], FileAttribute::Directory);
    EXPECT_EQ(kinds[L"link"], FileAttribute::Directory | FileAttribute::ReparsePoint);
    EXPECT_EQ(kinds[L"Entry 7.txt"], 0u);
    EXPECT_EQ(listAll(list.get(), nullptr), names);  // from the first again

    UniqueHandle root(createFile(LR"(C:\)", File::ReadData, 0, File::OpenExisting,
                                 File::FlagBackupSemantics));
    std::vector<std::wstring> top = listAll(root.get(), nullptr);
    EXPECT_EQ(std::count(top.begin(), top.end(), L"."), 0);
    EXPECT_EQ(std::count(top.begin(), top.end(), L"list"), 1);

    UniqueHandle unlisted(createFile(LR"(C:\list)", File::ReadControl, 0, File::OpenExisting,
                                     File::FlagBackupSemantics));
    std::vector<DirectoryEntry> batch;
    EXPECT_EQ(getDirectoryEntries(unlisted.get(), true, batch), WinError::AccessDenied);
}

// A name Windows could not hold is listed with its forbidden characters, and a last dot or
// blank that Windows would strip, moved to U+F000 plus the character, and that one component
// leads back to the same file (in a directory whose own name needs the mapping too), never to
// what its backslashes would name.
TEST_F(FileSystemTest, ForbiddenCharactersOfPosixNamesAreListedInPrivateUse) {
    const std::pair<const char*, const wchar_t*> names[] = {
        {R"(..\..\..\Windows)", L"..\uF05C..\uF05C..\uF05CWindows"},
        {"a:b", L"a\uF03Ab"},
        {"q?", L"q\uF03F"},
        {"x*y", L"x\uF02Ay"},
        {"\"", L"\uF022"},
        {"<>|", L"\uF03C\uF03E\uF07C"},
        {"c\x01t", L"c\uF001t"},
        {"d.", L"d\uF02E"},
        {"e ", L"e\uF020"},
        {"a..", L"a.\uF02E"},
        {"...", L"..\uF02E"},
        {" ", L"\uF020"},
        {"a. b", L"a. b"},
        // Bytes that are not UTF-8, and those of the private-use characters the mapping speaks
        // in, stand for themselves: the file and its decoy show as two names.
        {"\xff\xfe" "bad", L"\uF0FF\uF0FEbad"},
        {"\xef\xbf\xbd\xef\xbf\xbd" "bad", L"\uFFFD\uFFFDbad"},
        {"\xef\x83\xbf\xef\x83\xbe" "bad", L"\uF0EF\uF083\uF0BF\uF0EF\uF083\uF0BEbad"},
        {"m\xef\x80\xaex", L"m\uF0EF\uF080\uF0AEx"},
        {"d\xef\x80\xae", L"d\uF0EF\uF080\uF0AE"},
        {"o\xc0\xaf", L"o\uF0C0\uF0AF"},           // overlong
        {"s\xed\xa0\x80", L"s\uF0ED\uF0A0\uF080"},  // a surrogate
        {"t\xc3", L"t\uF0C3"},                       // cut short
        {"\xe2\x82\xac" "uro", L"\u20ACuro"},
        {"plain", L"plain"}};
    fs::create_directory(driveC / "s|te");
    const std::wstring dir = L"C:\\s\uF07Cte\\";
    std::wstring final;
    for (const auto& [posix, windows] : names) {
        SCOPED_TRACE(posix);
        TestSupport::writeFile(driveC / "s|te" / posix, posix);
        EXPECT_EQ(find(dir + windows), std::vector<std::wstring>{windows});
        UniqueHandle file =
            open(toUpper(dir + windows), File::ReadControl | File::WriteDac, File::OpenExisting);
        ASSERT_TRUE(getFinalPathNameByHandle(file.get(), final));
        EXPECT_EQ(final, L"\\\\?\\" + dir + windows);
        ASSERT_TRUE(getLongPathName(toUpper(dir + windows), final));
        EXPECT_EQ(final, dir + windows);
        EXPECT_EQ(setSecurityInfo(file.get(), SeFileObject,
                                  SecurityInformation::Dacl | SecurityInformation::ProtectedDacl,
                                  nullptr, nullptr, nullptr, nullptr),
                  0u);
        EXPECT_GT(::getxattr((driveC / "s|te" / posix).c_str(), "user.tavrel.sd", nullptr, 0), 0);
    }
    EXPECT_LT(::getxattr((driveC / "Windows").c_str(), "user.tavrel.sd", nullptr, 0), 0);
    write(dir + L"new\uF03F", "n");
    EXPECT_TRUE(fs::exists(driveC / "s|te/new?"));
    write(dir + L"new\uF02E", "n");
    EXPECT_TRUE(fs::exists(driveC / "s|te/new."));
    // A trailing dot as written is stripped the Windows way, except behind "\\?\".
    EXPECT_EQ(readAll(L"\\\\?\\" + dir + L"d."), "d.");
    EXPECT_EQ(getFileAttributes(dir + L"d."), InvalidFileAttributes);
    EXPECT_EQ(getLastError(), WinError::FileNotFound);
    // No spelling of a name leads to the directory itself or its parent.
    for (const wchar_t* dots : {L"C:\\s\uF07Cte\\.\uF02E", L"C:\\s\uF07Cte\\\uF02E",
                                L"\\\\?\\C:\\s\uF07Cte\\.\uF02E\\Windows",
                                L"C:\\s\uF07Cte\\.\uF02E\\s\uF07Cte"}) {
        EXPECT_EQ(getFileAttributes(dots), InvalidFileAttributes) << toUtf8(dots);
        EXPECT_EQ(getLastError(), WinError::InvalidName) << toUtf8(dots);
        EXPECT_FALSE(createDirectory(std::wstring(dots) + L"\\new"));
        EXPECT_EQ(getLastError(), WinError::InvalidName) << toUtf8(dots);
    }
    // Raw forbidden characters name nothing; only their mapped forms map back ('/' has none).
    for (const wchar_t* bad : {L"C:\\s\uF07Cte\\a:b", L"C:\\s\uF07Cte\\..\uF02FWindows"}) {
        EXPECT_EQ(getFileAttributes(bad), InvalidFileAttributes) << toUtf8(bad);
        EXPECT_FALSE(getLongPathName(bad, final));
    }
}

TEST_F(FileSystemTest, CreateDispositionsAndLastErrors) {
    const std::wstring path = LR"(C:\file.txt)";
    UniqueHandle created = open(path, File::GenericWrite, File::CreateNew);
    ASSERT_TRUE(created);
    EXPECT_EQ(getLastError(), 0u);
    created.reset();
    EXPECT_FALSE(open(path, File::GenericWrite, File::CreateNew));
    EXPECT_EQ(getLastError(), WinError::FileExists);

    write(path, "first contents");
    EXPECT_EQ(getLastError(), WinError::AlreadyExists);  // CreateAlways found it
    write(path, "new");
    EXPECT_EQ(readAll(path), "new");
    EXPECT_TRUE(open(path, File::GenericRead, File::OpenAlways));
    EXPECT_EQ(getLastError(), WinError::AlreadyExists);

    EXPECT_FALSE(open(LR"(C:\missing.txt)", File::GenericRead, File::OpenExisting));
    EXPECT_EQ(getLastError(), WinError::FileNotFound);
    EXPECT_FALSE(open(LR"(C:\missing\x.txt)", File::GenericWrite, File::CreateAlways));
    EXPECT_EQ(getLastError(), WinError::PathNotFound);

    // Directories open only with backup semantics.
    EXPECT_FALSE(open(LR"(C:\Windows)", File::ReadControl, File::OpenExisting));
    EXPECT_EQ(getLastError(), WinError::AccessDenied);
    UniqueHandle directory =
        open(LR"(C:\Windows)", File::ReadControl, File::OpenExisting, File::FlagBackupSemantics);
    ASSERT_TRUE(directory);
    EXPECT_TRUE(Platform::Posix::fileObjectOf(directory.get())->isDirectory());

    // A read-only file refuses writers, and hidden files survive only a hidden overwrite.
    ASSERT_TRUE(setFileAttributes(path, FileAttribute::ReadOnly));
    EXPECT_FALSE(open(path, File::GenericWrite, File::OpenExisting));
    EXPECT_EQ(getLastError(), WinError::AccessDenied);
    EXPECT_TRUE(open(path, File::GenericRead, File::OpenExisting));
    ASSERT_TRUE(setFileAttributes(path, FileAttribute::Hidden));
    EXPECT_FALSE(open(path, File::GenericWrite, File::CreateAlways, FileAttribute::Normal));
    EXPECT_EQ(getLastError(), WinError::AccessDenied);
    EXPECT_TRUE(open(path, File::GenericWrite, File::CreateAlways, FileAttribute::Hidden));

    UniqueHandle hidden = open(LR"(C:\hidden.txt)", File::GenericWrite, File::CreateNew,
                               FileAttribute::Hidden | FileAttribute::System);
    ASSERT_TRUE(hidden);
    EXPECT_EQ(xattr(driveC / "hidden.txt"), "0x26");
}

TEST_F(FileSystemTest, ReadWriteSeekAppendAndTruncate) {
    const std::wstring path = LR"(C:\data.bin)";
    write(path, "0123456789");
    {
        UniqueHandle file = open(path, File::GenericRead | File::GenericWrite, File::OpenExisting);
        ASSERT_TRUE(file);
        std::int64_t position = 0;
        ASSERT_TRUE(setFilePointerEx(file.get(), -4, &position, File::End));
        EXPECT_EQ(position, 6);
        ASSERT_TRUE(setEndOfFile(file.get()));
        std::int64_t size = 0;
        ASSERT_TRUE(getFileSizeEx(file.get(), size));
        EXPECT_EQ(size, 6);
        EXPECT_FALSE(setFilePointerEx(file.get(), -100, nullptr, File::Current));
        EXPECT_EQ(getLastError(), 131u);  // ERROR_NEGATIVE_SEEK
        ASSERT_TRUE(flushFileBuffers(file.get()));
    }
    {
        UniqueHandle appender = open(path, File::AppendData, File::OpenExisting);
        ASSERT_TRUE(appender);
        std::uint32_t written = 0;
        ASSERT_TRUE(writeFile(appender.get(), "ab", 2, &written));
        char buffer[4];
        std::uint32_t read = 0;
        EXPECT_FALSE(readFile(appender.get(), buffer, sizeof(buffer), &read));
        EXPECT_EQ(getLastError(), WinError::AccessDenied);
    }
    EXPECT_EQ(readAll(path), "012345ab");

    UniqueHandle reader = open(path, File::GenericRead, File::OpenExisting);
    std::uint32_t written = 0;
    EXPECT_FALSE(writeFile(reader.get(), "x", 1, &written));
    EXPECT_EQ(getLastError(), WinError::AccessDenied);
    char buffer[16];
    std::uint32_t read = 0;
    ASSERT_TRUE(setFilePointerEx(reader.get(), 0, nullptr, File::End));
    EXPECT_TRUE(readFile(reader.get(), buffer, sizeof(buffer), &read));
    EXPECT_EQ(read, 0u);
    EXPECT_FALSE(readFile(reinterpret_cast<Handle>(0x7ff0), buffer, 1, &read));
    EXPECT_EQ(getLastError(), WinError::InvalidHandle);
}

TEST_F(FileSystemTest, CopyMoveAndDelete) {
    write(LR"(C:\source.txt)", "payload");
    ASSERT_TRUE(
        setFileAttributes(LR"(C:\source.txt)", FileAttribute::Hidden | FileAttribute::Archive));
    ASSERT_TRUE(copyFile(LR"(C:\SOURCE.txt)", LR"(C:\Users\copy.txt)", true));
    EXPECT_EQ(readAll(LR"(C:\Users\copy.txt)"), "payload");
    EXPECT_EQ(getFileAttributes(LR"(C:\Users\copy.txt)"),
              FileAttribute::Hidden | FileAttribute::Archive);
    EXPECT_FALSE(copyFile(LR"(C:\source.txt)", LR"(C:\Users\copy.txt)", true));
    EXPECT_EQ(getLastError(), WinError::FileExists);
    EXPECT_FALSE(copyFile(LR"(C:\source.txt)", LR"(C:\Users\copy.txt)", false));  // hidden target
    EXPECT_EQ(getLastError(), WinError::AccessDenied);
    EXPECT_FALSE(copyFile(LR"(C:\source.txt)", LR"(C:\source.txt)", false));
    EXPECT_EQ(getLastError(), WinError::SharingViolation);
    EXPECT_FALSE(copyFile(LR"(C:\Windows)", LR"(C:\w)", false));
    EXPECT_EQ(getLastError(), WinError::AccessDenied);

    write(LR"(C:\other.txt)", "other");
    EXPECT_FALSE(moveFileEx(LR"(C:\other.txt)", LR"(C:\source.txt)", 0));
    EXPECT_EQ(getLastError(), WinError::AlreadyExists);
    ASSERT_TRUE(moveFileEx(LR"(C:\other.txt)", LR"(c:\SOURCE.TXT)",
                           File::MoveFileReplaceExisting | File::MoveFileWriteThrough));
    EXPECT_EQ(readAll(LR"(C:\source.txt)"), "other");
    EXPECT_FALSE(fs::exists(driveC / "other.txt"));
    // Only the case of the name changes.
    ASSERT_TRUE(moveFileEx(LR"(C:\source.txt)", LR"(C:\Source.TXT)", 0));
    EXPECT_TRUE(fs::exists(driveC / "Source.TXT"));
    EXPECT_FALSE(fs::exists(driveC / "source.txt"));
    ASSERT_TRUE(moveFileEx(LR"(C:\Source.TXT)", LR"(C:\Users\Public\moved.txt)", 0));
    EXPECT_FALSE(moveFileEx(LR"(C:\missing)", LR"(C:\x)", 0));
    EXPECT_EQ(getLastError(), WinError::FileNotFound);

    ASSERT_TRUE(setFileAttributes(LR"(C:\Users\Public\moved.txt)", FileAttribute::ReadOnly));
    EXPECT_FALSE(deleteFile(LR"(C:\Users\Public\moved.txt)"));
    EXPECT_EQ(getLastError(), WinError::AccessDenied);
    ASSERT_TRUE(setFileAttributes(LR"(C:\Users\Public\moved.txt)", FileAttribute::Normal));
    EXPECT_TRUE(deleteFile(LR"(C:\Users\Public\moved.txt)"));
    EXPECT_FALSE(deleteFile(LR"(C:\Users\Public\moved.txt)"));
    EXPECT_EQ(getLastError(), WinError::FileNotFound);
    EXPECT_FALSE(deleteFile(LR"(C:\Windows)"));
    EXPECT_EQ(getLastError(), WinError::AccessDenied);

    EXPECT_FALSE(removeDirectory(LR"(C:\Users)"));
    EXPECT_EQ(getLastError(), WinError::DirNotEmpty);
    EXPECT_FALSE(removeDirectory(LR"(C:\Users\copy.txt)"));
    EXPECT_EQ(getLastError(), WinError::Directory);
    ASSERT_TRUE(createDirectory(LR"(C:\empty)"));
    EXPECT_TRUE(removeDirectory(LR"(C:\EMPTY)"));
    EXPECT_FALSE(createDirectory(LR"(C:\no\such\parent)"));
    EXPECT_EQ(getLastError(), WinError::PathNotFound);
}

TEST_F(FileSystemTest, TemporaryNames) {
    std::wstring tempPath;
    ASSERT_TRUE(getTempPath(tempPath));
    EXPECT_EQ(tempPath.back(), L'\\');
    EXPECT_EQ(getFileAttributes(tempPath), FileAttribute::Directory);

    std::wstring name;
    std::uint32_t unique = getTempFileName(LR"(C:\Windows\Temp)", L"tavrel", 0, name);
    ASSERT_NE(unique, 0u);
    EXPECT_EQ(name.rfind(LR"(C:\Windows\Temp\tav)", 0), 0u) << toUtf8(name);
    EXPECT_EQ(name.substr(name.size() - 4), L".tmp");
    EXPECT_EQ(getFileAttributes(name), FileAttribute::Archive);
    std::wstring second;
    ASSERT_NE(getTempFileName(LR"(C:\Windows\Temp\)", L"tavrel", 0, second), 0u);
    EXPECT_NE(second, name);

    EXPECT_EQ(getTempFileName(LR"(C:\x\)", L"ab", 0x11A2B, name), 0x11A2Bu);
    EXPECT_EQ(name, LR"(C:\x\ab1A2B.tmp)");
    EXPECT_EQ(getTempFileName(LR"(C:\nothere)", L"ab", 0, name), 0u);
    EXPECT_EQ(getLastError(), WinError::Directory);
}

TEST_F(FileSystemTest, LinksAreReparsePointsAndFinalPathsResolveThem) {
    fs::create_directory_symlink(driveC / "Windows/System32", driveC / "sys");
    fs::create_symlink(driveC / "missing", driveC / "dangling");
    EXPECT_EQ(getFileAttributes(LR"(C:\sys)"),
              FileAttribute::Directory | FileAttribute::ReparsePoint);
    EXPECT_EQ(getFileAttributes(LR"(C:\dangling)"),
              FileAttribute::Archive | FileAttribute::ReparsePoint);

    UniqueHandle through =
        open(LR"(C:\SYS)", File::ReadControl, File::OpenExisting, File::FlagBackupSemantics);
    ASSERT_TRUE(through);
    std::wstring final;
    ASSERT_TRUE(getFinalPathNameByHandle(through.get(), final));
    EXPECT_EQ(final, LR"(\\?\C:\Windows\System32)");

    UniqueHandle itself = open(LR"(C:\sys)", File::ReadControl, File::OpenExisting,
                               File::FlagBackupSemantics | File::FlagOpenReparsePoint);
    ASSERT_TRUE(itself);
    EXPECT_TRUE(Platform::Posix::fileObjectOf(itself.get())->isLinkItself());
    ASSERT_TRUE(getFinalPathNameByHandle(itself.get(), final));
    EXPECT_EQ(final, LR"(\\?\C:\sys)");

    EXPECT_FALSE(open(LR"(C:\dangling)", File::GenericWrite, File::OpenAlways));
    EXPECT_EQ(getLastError(), WinError::FileNotFound);

    EXPECT_FALSE(deleteFile(LR"(C:\sys)"));
    EXPECT_EQ(getLastError(), WinError::AccessDenied);
    EXPECT_TRUE(removeDirectory(LR"(C:\sys)"));
    EXPECT_TRUE(fs::is_directory(driveC / "Windows/System32"));
}

TEST_F(FileSystemTest, HandleKeepsTheDescriptorOfTheOpenedObject) {
    write(LR"(C:\secured.txt)", "x");
    UniqueHandle file =
        open(LR"(C:\secured.txt)", File::ReadControl | File::WriteDac, File::OpenExisting);
    ASSERT_TRUE(file);
    int fd = Platform::Posix::fileDescriptorOf(file.get());
    ASSERT_GE(fd, 0);
    // The object moves away; the descriptor still reaches it, not what now has the name.
    ASSERT_TRUE(moveFileEx(LR"(C:\secured.txt)", LR"(C:\elsewhere.txt)", 0));
    write(LR"(C:\secured.txt)", "impostor");
    ASSERT_EQ(::fsetxattr(fd, "user.test", "1", 1, 0), 0);
    EXPECT_EQ(::getxattr((driveC / "elsewhere.txt").c_str(), "user.test", nullptr, 0), 1);
    EXPECT_LT(::getxattr((driveC / "secured.txt").c_str(), "user.test", nullptr, 0), 0);

    EXPECT_EQ(Platform::Posix::fileDescriptorOf(reinterpret_cast<Handle>(0x7ff0)), -1);
    EXPECT_EQ(getLastError(), WinError::InvalidHandle);
}

TEST_F(FileSystemTest, InformationByHandleTellsWhatWasOpenedAndItsNames) {
    write(LR"(C:\one.txt)", "four");
    write(LR"(C:\two.txt)", "x");
    fs::create_hard_link(driveC / "two.txt", driveC / "Users/second-name.txt");
    // POSIX counts a directory's links by its subdirectories; Windows gives it one name.
    fs::create_directories(driveC / "dir/a");
    fs::create_directories(driveC / "dir/b");
    ASSERT_TRUE(setFileAttributes(LR"(C:\dir)", FileAttribute::Hidden));
    fs::create_directory_symlink(driveC / "dir", driveC / "dirlink");
    constexpr std::uint32_t forSecurity = File::ReadControl | File::WriteDac | File::ReadAttributes;
    constexpr std::uint32_t directory = File::FlagBackupSemantics;
    constexpr std::uint32_t linkItself = File::FlagBackupSemantics | File::FlagOpenReparsePoint;
    struct Case {
        const char* what;
        std::wstring path;
        std::uint32_t access;
        std::uint32_t flags;
        std::uint32_t attributes;  // 0: refused with ERROR_ACCESS_DENIED
        std::uint32_t links;
        std::uint64_t size;
    };
    const Case cases[] = {
        {"RegularFile", LR"(C:\one.txt)", forSecurity, 0, FileAttribute::Archive, 1, 4},
        {"OpenedForItsData", LR"(C:\one.txt)", File::GenericRead, 0, FileAttribute::Archive, 1, 4},
        {"NameInAnotherCase", LR"(C:\ONE.TXT)", forSecurity, 0, FileAttribute::Archive, 1, 4},
        {"HardLinkedFile", LR"(C:\two.txt)", forSecurity, 0, FileAttribute::Archive, 2, 1},
        {"ItsOtherName", LR"(C:\Users\second-name.txt)", forSecurity, 0, FileAttribute::Archive, 2,
         1},
        {"Directory", LR"(C:\dir)", forSecurity, directory,
         FileAttribute::Directory | FileAttribute::Hidden, 1, 0},
        {"LinkItself", LR"(C:\dirlink)", forSecurity, linkItself,
         FileAttribute::Directory | FileAttribute::ReparsePoint, 1, 0},
        {"WithoutReadAttributes", LR"(C:\one.txt)", File::ReadControl | File::WriteDac, 0, 0, 0, 0},
    };
    std::map<std::string, std::uint64_t> index;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UniqueHandle opened = open(c.path, c.access, File::OpenExisting, c.flags);
        ASSERT_TRUE(opened) << getLastError();
        ByHandleFileInformation information;
        if (c.attributes == 0) {
            EXPECT_FALSE(getFileInformationByHandle(opened.get(), information));
            EXPECT_EQ(getLastError(), WinError::AccessDenied);
            continue;
        }
        ASSERT_TRUE(getFileInformationByHandle(opened.get(), information)) << getLastError();
        EXPECT_EQ(information.attributes, c.attributes);
        EXPECT_EQ(information.numberOfLinks, c.links);
        EXPECT_EQ(information.size, c.size);
        EXPECT_NE(information.lastWriteTime, 0u);
        index[c.what] = information.fileIndex;
    }
    EXPECT_EQ(index["HardLinkedFile"], index["ItsOtherName"]) << "one file, two names";
    EXPECT_EQ(index["RegularFile"], index["NameInAnotherCase"]);
    EXPECT_NE(index["RegularFile"], index["HardLinkedFile"]);
    EXPECT_NE(index["Directory"], index["LinkItself"]);
}

TEST_F(FileSystemTest, HostToolTranslatesBothWays) {
    auto toPosix =
        TestSupport::runProgram("tavrel-host", {"path", "-u", R"(c:\program files (x86)\TARNO)"});
    EXPECT_EQ(toPosix.exitCode, 0) << toPosix.err;
    EXPECT_EQ(toPosix.out, (driveC / "Program Files (x86)/Tarno").string() + "\n");
    auto toWindows =
        TestSupport::runProgram("tavrel-host", {"path", "-w", (driveC / "Inetpub").string()});
    EXPECT_EQ(toWindows.exitCode, 0) << toWindows.err;
    EXPECT_EQ(toWindows.out, "C:\\Inetpub\n");

    auto unc = TestSupport::runProgram("tavrel-host", {"path", "-u", R"(\\server\share)"});
    EXPECT_EQ(unc.exitCode, 1);
    EXPECT_NE(unc.err.find("error 53"), std::string::npos) << unc.err;
    auto usage = TestSupport::runProgram("tavrel-host", {"path", "-x", "y"});
    EXPECT_EQ(usage.exitCode, 1);
    EXPECT_NE(usage.err.find("usage"), std::string::npos);
}

}  // namespace
