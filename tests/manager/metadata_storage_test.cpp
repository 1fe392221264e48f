// Loading and saving metadata: the round trip, the directories a save creates, the loaders'
// warnings, vanished accounts, and that a save which fails or dies part-way leaves the old
// file or the new one, never a mix.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "big_metadata.h"
#include "manager/security_manager.h"
#include "manager_fixture.h"
#include "platform/filesystem.h"

#include <sys/stat.h>

namespace {
namespace fs = std::filesystem;
using Tavrel::SecurityManager;

std::string rendered(const vexception& e) {
    return Platform::toUtf8(renderException(e));
}

// What a save may have left beside its target.
int removeLeftovers(const fs::path& directory) {
    int found = 0;
    for (const auto& entry : fs::directory_iterator(directory)) {
        found += entry.path().extension() == ".tmp" && fs::remove(entry.path());
    }
    return found;
}

class MetadataStorage : public ManagerTests::ManagerTest {
protected:
    bool hidden(const std::wstring& winPath) {
        return Platform::getFileAttributes(winPath) & Platform::FileAttribute::Hidden;
    }
};

TEST_F(MetadataStorage, SavedTemplatesLoadBackEqual) {
    for (auto build :
         {&SecurityManager::createDomainTemplate, &SecurityManager::createFrameForwardingTemplate,
          &SecurityManager::createWebUserTemplate}) {
        SecurityManager written(accounts);
        (written.*build)();
        written.saveToFile(L"C:\\t\\template.xml");
        EXPECT_EQ(written.entries()->sourcePath(), L"C:\\t\\template.xml");
        SecurityManager read(accounts);
        read.load(L"C:\\t\\template.xml", false);
        ASSERT_EQ(read.entries()->size(), written.entries()->size());
        for (auto a = written.entries()->begin(), b = read.entries()->begin();
             a != written.entries()->end(); ++a, ++b) {
            EXPECT_EQ(DiskSecurity::compareEntryTemplates(*a, *b), 0);
            EXPECT_EQ(std::tie(a->path, a->subPath, a->tag, a->tag2),
                      std::tie(b->path, b->subPath, b->tag, b->tag2));
        }
    }
    EXPECT_EQ(removeLeftovers(onDisk(L"C:\\t")), 0);
}

TEST_F(MetadataStorage, MissingDirectoriesAreCreatedAndTarnoHidden) {
    SecurityManager manager(accounts);
    manager.saveToFile(L"C:\\vhosts\\w\\.tarno\\.Security");
    EXPECT_EQ(TestSupport::readFile(onDisk(L"C:\\vhosts\\w\\.tarno\\.Security")),
              "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\r\n<Entries/>");
    EXPECT_TRUE(hidden(L"C:\\vhosts\\w\\.tarno"));
    EXPECT_FALSE(hidden(L"C:\\vhosts\\w"));
    EXPECT_EQ(warnings(), std::vector<std::wstring>{L"Creating directory for security metadata "
                                                    L"file 'C:\\vhosts\\w\\.tarno\\.Security'"});
    // Only ".tarno" exactly is the panel's; an existing one is hidden again on every save.
    manager.saveToFile(L"C:\\vhosts\\v\\.Tarno\\.Security");
    EXPECT_FALSE(hidden(L"C:\\vhosts\\v\\.Tarno"));
    fs::create_directories(onDisk(L"C:\\vhosts\\x\\.tarno"));
    warnings();
    manager.saveToFile(L"C:\\vhosts\\x\\.tarno\\.Web.u.Security");
    EXPECT_TRUE(hidden(L"C:\\vhosts\\x\\.tarno"));
    EXPECT_TRUE(warnings().empty());
}

TEST_F(MetadataStorage, LoadersWarnOfMissingFilesAndBindToThem) {
    SecurityManager manager(accounts);
    manager.createDomainTemplate();
    Tavrel::loadDomainMetadata(L"example", manager);
    EXPECT_TRUE(manager.entries()->empty());
    EXPECT_EQ(manager.metadataPath(), L"C:\\Inetpub\\vhosts\\example\\.tarno\\.Security");
    Tavrel::loadWebUserMetadata(L"example", L"u1", manager);
    Tavrel::loadPathMetadata(VPath(L"C:\\somewhere"), manager);
    EXPECT_EQ(manager.metadataPath(), L"C:\\somewhere\\.Security");
    EXPECT_EQ(warnings(),
              (std::vector<std::wstring>{L"Unable to find domain security metadata file: "
                                         L"C:\\Inetpub\\vhosts\\example\\.tarno\\.Security",
                                         L"Unable to find webuser security metadata file: "
                                         L"C:\\Inetpub\\vhosts\\example\\.tarno\\.Web.u1.Security",
                                         L"Unable to find path's security metadata file: "
                                         L"C:\\somewhere\\.Security"}));
    // A later save creates the file the loader named; loading it again is quiet.
    manager.createFrameForwardingTemplate();
    manager.saveToFile(L"");
    warnings();
    Tavrel::loadPathMetadata(VPath(L"C:\\somewhere"), manager);
    EXPECT_EQ(manager.entries()->size(), 1u);
    EXPECT_TRUE(warnings().empty());
}

TEST_F(MetadataStorage, DeletedAccountIsSkippedOrFailsTheSave) {
    std::string sid = hostTool({"account", "add", "leaver"});
    SecurityManager manager(accounts);
    manager.createFrameForwardingTemplate();
    manager.entries()->insert(DiskSecurity::EntryTemplate(
        VSID::fromString(Platform::fromUtf8(sid)), L"[HTTPD_VHOSTS_D]", L"x", 3, 0x1200a9, 0x140));
    hostTool({"account", "del", "leaver"});

    manager.saveToFile(L"C:\\m.xml");
    auto logged = warnings();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_NE(logged[0].find(L"Unable to lookup name for SID"), std::wstring::npos);
    const std::string written = TestSupport::readFile(onDisk(L"C:\\m.xml"));
    EXPECT_NE(written.find("AnonymousDomainUser"), std::string::npos);
    EXPECT_EQ(written.find("SubPath=\"x\""), std::string::npos);

    manager.setSkipUnmappedAccounts(false);
    try {
        manager.saveToFile(L"");
        FAIL() << "saved an entry whose account cannot be named";
    } catch (const vexception& e) {
        EXPECT_NE(rendered(e).find("Unable to lookup name for SID"), std::string::npos);
        EXPECT_NE(rendered(e).find("\n   at Write entries to temporary "
                                   "file(Tavrel::SecurityManager::saveToFile line "),
                  std::string::npos);
        EXPECT_NE(
            rendered(e).find(
                "\n   at Save entries to 'C:\\m.xml'(Tavrel::SecurityManager::saveToFile line "),
            std::string::npos);
    }
    EXPECT_EQ(TestSupport::readFile(onDisk(L"C:\\m.xml")), written);
    EXPECT_EQ(removeLeftovers(host.driveC()), 0);
}

// Each step of a save can fail; none touches the file that was there, none leaves a trace.
class FailedSave : public MetadataStorage {
protected:
    void SetUp() override {
        fs::create_directories(onDisk(L"C:\\meta"));
        TestSupport::writeFile(onDisk(L"C:\\meta\\m.xml"), old);
    }
    void expectOldFileAlone() {
        EXPECT_EQ(TestSupport::readFile(onDisk(L"C:\\meta\\m.xml")), old);
        EXPECT_EQ(removeLeftovers(onDisk(L"C:\\meta")), 0);
    }
    // The helper saving the big set into C:\meta\m.xml under a restriction.
    TestSupport::ProcessResult saveRestricted(const std::string& restriction) {
        return TestSupport::runProgram("metadata_saver",
                                       {"once", "C:\\meta\\m.xml", "1", restriction});
    }
    const std::string old = "<Entries/>";
};

TEST_F(FailedSave, InThisProcess) {
    fs::create_directories(onDisk(L"C:\\meta\\dir.xml\\inside"));
    TestSupport::writeFile(onDisk(L"C:\\meta\\ro.xml"), old);
    fs::permissions(onDisk(L"C:\\meta\\ro.xml"), fs::perms::all & ~fs::perms::owner_write &
                                                     ~fs::perms::group_write &
                                                     ~fs::perms::others_write);
    const struct {
        const wchar_t* target;
        const char* failure;
    } cases[] = {
        {L"C:\\meta\\ro.xml", "Access is denied. (Error code 5) at Replace file '"},
        {L"C:\\meta\\dir.xml", "(Error code 1175) at Replace file '"},  // a directory there
        {L"C:\\meta\\m.xml\\sub\\n.xml", "CreateDirectory("},  // a file in place of a parent
    };
    for (const auto& c : cases) {
        SecurityManager manager(accounts);
        manager.createDomainTemplate();
        try {
            manager.saveToFile(c.target);
            ADD_FAILURE() << "saved to " << Platform::toUtf8(c.target);
        } catch (const vexception& e) {
            EXPECT_NE(rendered(e).find(c.failure), std::string::npos) << rendered(e);
            EXPECT_NE(rendered(e).find("Save entries to '" + Platform::toUtf8(c.target) + "'"),
                      std::string::npos);
        }
    }
    EXPECT_EQ(TestSupport::readFile(onDisk(L"C:\\meta\\ro.xml")), old);
    EXPECT_TRUE(fs::is_directory(onDisk(L"C:\\meta\\dir.xml\\inside")));
    expectOldFileAlone();
}

TEST_F(FailedSave, ASaveReplacesOnlyARegularFileAndKeepsItsSecurity) {
    // Hand-set security and attributes of the file survive the save that replaces it.
    hostTool({"acl", "set", "C:\\meta\\m.xml", "O:BUG:SYD:P(A;;FA;;;SY)(A;;FR;;;BU)"});
    Platform::setFileAttributes(L"C:\\meta\\m.xml", Platform::FileAttribute::Hidden);
    std::string before = hostTool({"acl", "get", "C:\\meta\\m.xml"});
    SecurityManager manager(accounts);
    manager.createFrameForwardingTemplate();
    manager.saveToFile(L"C:\\meta\\m.xml");
    EXPECT_NE(TestSupport::readFile(onDisk(L"C:\\meta\\m.xml")), old);
    EXPECT_EQ(hostTool({"acl", "get", "C:\\meta\\m.xml"}), before);
    EXPECT_TRUE(Platform::getFileAttributes(L"C:\\meta\\m.xml") & Platform::FileAttribute::Hidden);

    // A pipe under the name stays a pipe; nothing is left beside it.
    ASSERT_EQ(::mkfifo(onDisk(L"C:\\meta\\pipe.xml").c_str(), 0644), 0);
    try {
        manager.saveToFile(L"C:\\meta\\pipe.xml");
        ADD_FAILURE() << "saved over a pipe";
    } catch (const vexception& e) {
        EXPECT_NE(rendered(e).find("Unable to remove the file to be replaced"), std::string::npos)
            << rendered(e);
    }
    EXPECT_TRUE(fs::is_fifo(onDisk(L"C:\\meta\\pipe.xml")));
    EXPECT_EQ(removeLeftovers(onDisk(L"C:\\meta")), 0);

    // The temporary name is short: a target of 255 characters is saved.
    std::wstring longName = L"C:\\meta\\" + std::wstring(251, L'n') + L".xml";
    manager.saveToFile(longName);
    EXPECT_TRUE(fs::is_regular_file(onDisk(longName)));

    // A value no XML reader takes back is refused before the file is touched.
    SecurityManager bad(accounts);
    bad.createFrameForwardingTemplate();
    DiskSecurity::EntryTemplate entry = *bad.entries()->begin();
    entry.tag2 = L"7\x01";
    bad.entries()->insert(entry);
    std::string saved = TestSupport::readFile(onDisk(L"C:\\meta\\m.xml"));
    EXPECT_THROW(bad.saveToFile(L"C:\\meta\\m.xml"), vexception);
    EXPECT_EQ(TestSupport::readFile(onDisk(L"C:\\meta\\m.xml")), saved);
    EXPECT_EQ(removeLeftovers(onDisk(L"C:\\meta")), 0);
}

TEST_F(FailedSave, RefusedWrite) {
    // Writes past 64 KiB fail as on a full disk; the big set needs far more.
    auto r = saveRestricted("--file-size-limit=65536");
    ASSERT_NE(r.exitCode, 3) << "the file-size limit could not be set";
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("WriteFile("), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Write entries to temporary file"), std::string::npos) << r.out;
    expectOldFileAlone();
}

TEST_F(FailedSave, UnwritableDirectory) {
    // Root ignores permissions: the helper drops to nobody, who must still reach the host.
    fs::permissions(host.dir(), fs::perms::others_read | fs::perms::others_exec,
                    fs::perm_options::add);
    fs::permissions(onDisk(L"C:\\meta"), fs::perms::all & ~fs::perms::owner_write &
                                             ~fs::perms::group_write & ~fs::perms::others_write);
    auto r = saveRestricted("--unprivileged");
    fs::permissions(onDisk(L"C:\\meta"), fs::perms::owner_all);
    if (r.exitCode == 3) {
        GTEST_SKIP() << "cannot run the helper without privileges here";
    }
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("CreateFile("), std::string::npos) << r.out;
    expectOldFileAlone();
}

// The helper alternates between two contents; the file starts with the first.
class InterruptedSave : public FailedSave {
protected:
    void SetUp() override {
        FailedSave::SetUp();
        for (int variant : {0, 1}) {
            SecurityManager reference(accounts);
            ManagerTests::fillBigSet(reference, variant);
            reference.saveToFile(L"C:\\reference.xml");
            variants[variant] = TestSupport::readFile(onDisk(L"C:\\reference.xml"));
        }
        TestSupport::writeFile(onDisk(L"C:\\meta\\m.xml"), variants[0]);
    }
    // 0 or 1, or minus one more than the size of a file that is neither.
    int variantNow() {
        std::string now = TestSupport::readFile(onDisk(L"C:\\meta\\m.xml"));
        return now == variants[0] ? 0 : now == variants[1] ? 1 : -static_cast<int>(now.size()) - 1;
    }
    std::string variants[2];
};

TEST_F(InterruptedSave, KilledSaveLeavesTheOldOrTheNewFile) {
    int interrupted = 0;
    for (int round = 0; round < 14; ++round) {
        TestSupport::writeFile(onDisk(L"C:\\meta\\m.xml"), variants[0]);
        {
            auto saver = TestSupport::startProgram("metadata_saver", {"loop", "C:\\meta\\m.xml"});
            // Once the first save is through, the saver does nothing but save: the kill lands
            // at a different point of a save in each round.
            auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (variantNow() == 0 && std::chrono::steady_clock::now() < giveUp) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5 * round));
        }  // SIGKILL
        int variant = variantNow();
        ASSERT_GE(variant, 0) << "round " << round << ": " << -variant - 1 << " bytes of neither";
        SecurityManager read(accounts);
        read.load(L"C:\\meta\\m.xml", false);
        EXPECT_EQ(read.entries()->size(), static_cast<std::size_t>(ManagerTests::bigSetSize));
        // Killed between creating its temporary file and the rename, the saver leaves it.
        interrupted += removeLeftovers(onDisk(L"C:\\meta"));
    }
    EXPECT_GT(interrupted, 0) << "no kill landed inside a save";
}

TEST_F(InterruptedSave, ReaderDuringSavesSeesTheOldOrTheNewFile) {
    auto saver = TestSupport::startProgram("metadata_saver", {"loop", "C:\\meta\\m.xml"});
    int changes = 0;
    int last = 0;
    // Two seconds at least; longer on a machine too busy to save a few times in them.
    auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::steady_clock::now() - start; };
    while (elapsed() < std::chrono::seconds(2) ||
           (changes <= 2 && elapsed() < std::chrono::seconds(20))) {
        int variant = variantNow();
        ASSERT_GE(variant, 0) << "read " << -variant - 1 << " bytes of neither content";
        changes += variant != last;
        last = variant;
    }
    EXPECT_GT(changes, 2) << "the saver hardly saved";
}

}  // namespace
