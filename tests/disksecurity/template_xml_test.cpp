// Template files: the number syntax, loading files and directories into entry sets, the
// failures a user must be able to act on, writing entries and reading them back.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <stdexcept>

#include "accounts/user_information.h"
#include "disksecurity/template_xml.h"
#include "disksecurity/vocabularies.h"
#include "disksecurity_support.h"

namespace {

using namespace DiskSecurity;
using DiskSecurityTest::addAccount;
using DiskSecurityTest::sharedHost;
using DiskSecurityTest::writeOnC;
namespace fs = std::filesystem;

std::string document(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Entries>\n" + body + "</Entries>\n";
}

std::string wellKnownEntry(const std::string& account, const std::string& path,
                           const std::string& rest = "") {
    return "<Entry AccounType=\"0\" Account=\"" + account + "\" Path=\"" + path + "\" " + rest +
           "/>\n";
}

template <typename Action>
std::wstring failureOf(Action&& action) {
    try {
        action();
    } catch (const vexception& e) {
        return renderException(e);
    } catch (const std::exception& e) {
        return standardExceptionText(e);
    }
    ADD_FAILURE() << "no failure";
    return {};
}

bool contains(const std::wstring& text, const std::wstring& part) {
    return text.find(part) != std::wstring::npos;
}

fs::path privateTemp() {
    return sharedHost().driveC() / "Program Files (x86)" / "Tarno" / "PrivateTemp";
}

std::size_t privateTempCount() {
    std::error_code ignored;
    if (!fs::exists(privateTemp(), ignored)) {
        return 0;
    }
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(privateTemp()), {}));
}

class TemplateXml : public ::testing::Test {
protected:
    void SetUp() override {
        sharedHost();
        DiskSecurityTest::LogRecorder::instance().clear();
    }

    std::shared_ptr<EntryTemplateSet> load(const std::wstring& path, bool tolerate = false,
                                           bool skipUnmapped = false) {
        return loadTemplate(path, resolver_, tolerate, skipUnmapped);
    }
    std::shared_ptr<EntryTemplateSet> loadText(const std::string& body, bool tolerate = false,
                                               bool skipUnmapped = false) {
        return load(writeOnC("templates/one.xml", document(body)), tolerate, skipUnmapped);
    }
    // The one entry of a document.
    EntryTemplate loadOne(const std::string& entryXml) {
        auto set = loadText(entryXml);
        EXPECT_EQ(set->size(), 1u);
        return set->empty() ? EntryTemplate() : *set->begin();
    }

    std::shared_ptr<IUserInformation> resolver_ = std::make_shared<LocalUserInformation>();
};

// ---- Numbers ----

TEST(ConvertStringToInt, FollowsWcstoulInBaseZeroOverTheWholeText) {
    const std::vector<std::pair<std::wstring, std::uint32_t>> numbers = {
        {L"", 0},
        {L"0", 0},
        {L"12", 12},
        {L"0x1f01ff", 0x1f01ff},
        {L"0X1F", 0x1f},
        {L"010", 8},
        {L"  7", 7},
        {L"\t0x10", 16},
        {L"+5", 5},
        {L"-1", 0xffffffff},
        {L"-0x10", 0xfffffff0},
        {L"4294967295", 0xffffffff},
        {L"4294967296", 0xffffffff},  // overflow saturates, as a 32-bit unsigned long does
        {L"0x100000000", 0xffffffff},
    };
    for (const auto& [text, value] : numbers) {
        EXPECT_EQ(convertStringToInt(text), value) << Platform::toUtf8(text);
    }
    const std::vector<std::wstring> rejected = {L"12abc", L"0x", L"08",   L"7 ",  L" ",
                                                L"abc",   L"-",  L"0x1g", L"1.5", L"FullAccess"};
    for (const auto& text : rejected) {
        std::wstring failure = failureOf([&] { convertStringToInt(text); });
        EXPECT_TRUE(contains(failure, L"Unable to convert from '" + text + L"' to integer type."))
            << Platform::toUtf8(failure);
        EXPECT_TRUE(contains(failure, L"DiskSecurity::convertStringToInt"));
    }
}

// ---- Loading ----

TEST_F(TemplateXml, MissingPathGivesAnEmptySet) {
    auto set = load(L"C:\\templates\\nothing-here.xml");
    EXPECT_TRUE(set->empty());
    EXPECT_EQ(set->sourcePath(), L"C:\\templates\\nothing-here.xml");
}

TEST_F(TemplateXml, DirectoryLoadsOnlyXmlFiles) {
    writeOnC("dir/a.xml", document(wellKnownEntry("System", "a")));
    writeOnC("dir/b.XML", document(wellKnownEntry("Users", "b")));
    writeOnC("dir/c.xml.bak", document(wellKnownEntry("Guests", "c")));
    writeOnC("dir/notes.txt", "not xml at all <");
    fs::create_directories(sharedHost().driveC() / "dir" / "sub.xml");
    fs::remove(sharedHost().driveC() / "dir" / "link.xml");  // the host is shared by the suite
    fs::create_symlink(sharedHost().driveC() / "dir" / "a.xml",
                       sharedHost().driveC() / "dir" / "link.xml");
    auto set = load(L"C:\\dir");
    EXPECT_EQ(set->sourcePath(), L"C:\\dir");
    std::vector<std::wstring> paths;
    for (const auto& e : *set) {
        paths.push_back(e.path);
    }
    EXPECT_EQ(paths, (std::vector<std::wstring>{L"a", L"b"}));
    // The copies went to the private directory and are gone.
    EXPECT_TRUE(fs::is_directory(privateTemp()));
    EXPECT_EQ(privateTempCount(), 0u);
}

TEST_F(TemplateXml, ReadOnlyTemplatesAreCopiedOneAfterAnother) {
    for (const char* name : {"ro/a.xml", "ro/b.xml"}) {
        writeOnC(name, document(wellKnownEntry("System", name)));
        fs::permissions(sharedHost().driveC() / name,
                        fs::perms::owner_read | fs::perms::group_read);
    }
    EXPECT_EQ(load(L"C:\\ro")->size(), 2u);
    EXPECT_EQ(privateTempCount(), 0u);
}

TEST_F(TemplateXml, NamedAndNumericValuesLoadTheSame) {
    EXPECT_EQ(loadOne(wellKnownEntry("System", "a", "AccessMask=\"0x1f01ff\"")).accessMask,
              0x1f01ffu);
    EXPECT_EQ(loadOne(wellKnownEntry("System", "a", "AccessMask=\"FullAccess\"")).accessMask,
              0x1f01ffu);
    EXPECT_EQ(loadOne(wellKnownEntry("System", "a", "AccessMask=\"ReadAndDelete\"")).accessMask,
              0x10001u);
    EXPECT_EQ(loadOne(wellKnownEntry("System", "a", "AccessMask=\"\"")).accessMask, 0u);
    EXPECT_EQ(loadOne(wellKnownEntry("System", "a")).accessMask, 0u);
    EXPECT_EQ(loadOne(wellKnownEntry("System", "a", "AceFlags=\"010\"")).aceFlags, 8u);
    EXPECT_EQ(
        loadOne(wellKnownEntry("System", "a", "AceFlags=\"SubfoldersAndFilesOnly\"")).aceFlags,
        11u);
    EXPECT_EQ(loadOne(wellKnownEntry("System", "a", "EntryFlags=\"0xffffffff\"")).entryFlags, -1);
}

TEST_F(TemplateXml, EveryFieldIsRead) {
    EntryTemplate e = loadOne(
        "<Entry AccounType=\"0x0\" Account=\"CreatorOwner\" Path=\"[HTTPD_VHOSTS_D]\" "
        "SubPath=\"httpdocs\\cgi-bin\" AceFlags=\"ThisFolderSubfoldersAndFiles\" "
        "AccessMask=\"Modify\" EntryFlags=\"0x120\" Tag=\"DomainUser\" Tag2=\"t\xc3\xa4g\"/>\n");
    EXPECT_EQ(e.account.toString(), L"S-1-3-0");
    EXPECT_EQ(e.path, L"[HTTPD_VHOSTS_D]");
    EXPECT_EQ(e.subPath, L"httpdocs\\cgi-bin");
    EXPECT_EQ(e.aceFlags, 3u);
    EXPECT_EQ(e.accessMask, 0x1301bfu);
    EXPECT_EQ(e.entryFlags, 0x120);
    EXPECT_EQ(e.tag, L"DomainUser");
    EXPECT_EQ(e.tag2, L"t\u00e4g");
    EXPECT_TRUE(e.domainName.empty());
    EXPECT_TRUE(e.accountName.empty());
}

TEST_F(TemplateXml, EntriesAreFoundAtAnyDepthUnderAnyRoot) {
    auto set = load(writeOnC("templates/nested.xml",
                             "<Rules xmlns:x=\"urn:elsewhere\"><Group><Entry AccounType=\"0\" "
                             "Account=\"System\" Path=\"deep\"/></Group>"
                             "<x:Entry AccounType=\"0\" Account=\"Users\" Path=\"ns\"/>"
                             "<Other Account=\"Nobody\"/>text<?pi data?></Rules>"));
    ASSERT_EQ(set->size(), 2u);
    EXPECT_EQ(set->begin()->path, L"ns");
    EXPECT_EQ(std::next(set->begin())->path, L"deep");
}

TEST_F(TemplateXml, UnknownNamesListTheWholeTable) {
    std::wstring failure =
        failureOf([&] { loadText(wellKnownEntry("System", "a", "AccessMask=\"fullaccess\"")); });
    std::wstring names;
    for (const auto& [name, value] : accessMaskNames()) {
        names += name + L"\n";
    }
    EXPECT_TRUE(contains(failure, L"Unknown access mask: fullaccess, known names are:\n" + names))
        << Platform::toUtf8(failure);
    EXPECT_TRUE(contains(failure, L"DiskSecurity::ConfigImporter::EntryImporter::loadAccessMask"));
    EXPECT_TRUE(contains(failure, L"Unable to load entry from XML"));
    EXPECT_TRUE(contains(failure, L"ContentHandlerWrapper::raw_startElement"));
    EXPECT_TRUE(contains(failure, L"C:\\templates\\one.xml"));

    failure = failureOf([&] { loadText(wellKnownEntry("System", "a", "AceFlags=\"All\"")); });
    names.clear();
    for (const auto& [name, value] : applyOntoNames()) {
        names += name + L"\n";
    }
    EXPECT_TRUE(contains(failure, L"Unknown ace flags: All, known names are:\n" + names));

    failure = failureOf([&] { loadText(wellKnownEntry("system", "a")); });
    names.clear();
    for (const auto& [name, account] : wellKnownAccounts()) {
        names += name + L"\n";
    }
    EXPECT_TRUE(contains(failure, L"Unknown account name: system, known names are:\n" + names));
}

TEST_F(TemplateXml, NonNumericFlagsAndTypesFail) {
    EXPECT_TRUE(contains(
        failureOf([&] { loadText(wellKnownEntry("System", "a", "EntryFlags=\"12abc\"")); }),
        L"Unable to convert from '12abc' to integer type."));
    EXPECT_TRUE(
        contains(failureOf([&] { loadText("<Entry AccounType=\"named\" Account=\"System\"/>"); }),
                 L"Unable to convert from 'named' to integer type."));
}

TEST_F(TemplateXml, NamedAccountsResolveThroughTheProvider) {
    std::wstring sidText = addAccount("webuser1");
    EntryTemplate e = loadOne("<Entry AccounType=\"1\" Account=\"webuser1\" Path=\"a\"/>");
    EXPECT_EQ(e.account.toString(), sidText);
    EXPECT_TRUE(e.accountName.empty());
    // The part after the first backslash names the account.
    e = loadOne("<Entry AccounType=\"1\" Account=\"ANYWHERE\\webuser1\" Path=\"a\"/>");
    EXPECT_EQ(e.account.toString(), sidText);
}

TEST_F(TemplateXml, MissingAccountFallsBackToItsSidAndKeepsItsNames) {
    const std::string ghost =
        "<Entry AccounType=\"1\" Domain=\"OLDHOST\" Account=\"ghost\" "
        "SidStr=\"S-1-5-21-7-8-9-1234\" Path=\"a\" AccessMask=\"Read\"/>";
    EntryTemplate e = loadOne(ghost);
    EXPECT_EQ(e.account.toString(), L"S-1-5-21-7-8-9-1234");
    EXPECT_EQ(e.domainName, L"OLDHOST");
    EXPECT_EQ(e.accountName, L"ghost");

    // Written back under the names it came with, since the SID still names nobody.
    Platform::SaxXmlWriter writer;
    saveEntry(e, writer);
    EXPECT_EQ(writer.output(),
              "<Entry AccounType=\"1\" Domain=\"OLDHOST\" Account=\"ghost\" "
              "SidStr=\"S-1-5-21-7-8-9-1234\" Path=\"a\" AceFlags=\"ThisObjectOnly\" "
              "AccessMask=\"Read\" EntryFlags=\"0x0\" Tag=\"\" Tag2=\"\"/>");

    // Skipping unmapped accounts drops it with a warning and keeps the rest.
    auto set = loadText(ghost + wellKnownEntry("System", "b"), false, true);
    ASSERT_EQ(set->size(), 1u);
    EXPECT_EQ(set->begin()->path, L"b");
    EXPECT_EQ(DiskSecurityTest::LogRecorder::instance().find(LogWarning, L"ghost").size(), 1u);

    // Without a SID string there is nothing to fall back on.
    std::wstring failure =
        failureOf([&] { loadText("<Entry AccounType=\"1\" Account=\"ghost\" Path=\"a\"/>"); });
    EXPECT_TRUE(contains(failure, L"Unable to load entry from XML")) << Platform::toUtf8(failure);
    EXPECT_TRUE(contains(failure, L"ghost"));

    failure = failureOf([&] {
        loadText("<Entry AccounType=\"1\" Account=\"ghost\" SidStr=\"S-1-x\" Path=\"a\"/>");
    });
    EXPECT_TRUE(contains(failure, L"Unable to load entry from XML")) << Platform::toUtf8(failure);
}

TEST_F(TemplateXml, ToleratedBadEntriesAreLoggedAndSkipped) {
    auto set = loadText(wellKnownEntry("System", "good1") + wellKnownEntry("Nobody", "bad1") +
                            wellKnownEntry("System", "bad2", "EntryFlags=\"x\"") +
                            "<Entry AccounType=\"1\" Account=\"ghost\" Path=\"bad3\"/>" +
                            wellKnownEntry("Users", "good2"),
                        true, false);
    std::vector<std::wstring> paths;
    for (const auto& e : *set) {
        paths.push_back(e.path);
    }
    EXPECT_EQ(paths, (std::vector<std::wstring>{L"good1", L"good2"}));
    auto& log = DiskSecurityTest::LogRecorder::instance();
    auto lines = log.find(LogWarning, L"Unable to load XML node");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(contains(lines[0], L"Unknown account name: Nobody"));
    EXPECT_TRUE(contains(lines[1], L"Unable to convert from 'x' to integer type."));
    EXPECT_TRUE(contains(lines[2], L"DiskSecurity::ConfigImporter::startElement"));
}

TEST_F(TemplateXml, BrokenDocumentsFailWithTheParsersWords) {
    struct Broken {
        const char* what;
        std::string text;
    };
    const std::vector<Broken> cases = {
        {"mismatched tag", "<Entries><Entry AccounType=\"0\" Account=\"System\"></Entries>"},
        {"truncated", "<Entries><Entry AccounType=\"0\" Acc"},
        {"empty file", ""},
        {"not xml", "AccounType=0 Account=System"},
        {"two roots", "<a/><b/>"},
        {"bad encoding", std::string("<Entries Tag=\"\xff\xfe\"/>")},
    };
    for (const auto& c : cases) {
        std::wstring path = writeOnC("broken/t.xml", c.text);
        std::wstring failure = failureOf([&] { load(path); });
        EXPECT_TRUE(contains(failure, L"XML parsing error: 0x")) << c.what;
        EXPECT_TRUE(contains(failure, L"line ")) << c.what << ": " << Platform::toUtf8(failure);
        EXPECT_TRUE(contains(failure, L"C:\\broken\\t.xml")) << c.what;
    }
    EXPECT_EQ(privateTempCount(), 0u);
}

TEST_F(TemplateXml, DeepAndHugeDocumentsEndCleanly) {
    // 100,000 nested elements with an entry at the bottom.
    std::string deep;
    const int depth = 100000;
    deep.reserve(depth * 8);
    for (int i = 0; i < depth; ++i) {
        deep += "<n>";
    }
    deep += wellKnownEntry("System", "bottom");
    for (int i = 0; i < depth; ++i) {
        deep += "</n>";
    }
    auto set = load(writeOnC("big/deep.xml", deep));
    ASSERT_EQ(set->size(), 1u);
    EXPECT_EQ(set->begin()->path, L"bottom");

    // The same, never closed.
    deep.resize(deep.size() / 2);
    EXPECT_TRUE(contains(failureOf([&] { load(writeOnC("big/deep.xml", deep)); }),
                         L"XML parsing error: 0x"));

    // 32 MB of character data around one entry, then the same cut short.
    std::string huge = "<Entries>" + std::string(16 << 20, 'x') +
                       wellKnownEntry("Users", "middle") + std::string(16 << 20, 'y') +
                       "</Entries>";
    set = load(writeOnC("big/huge.xml", huge));
    ASSERT_EQ(set->size(), 1u);
    EXPECT_EQ(set->begin()->path, L"middle");
    huge.resize(huge.size() - 5);
    EXPECT_TRUE(contains(failureOf([&] { load(writeOnC("big/huge.xml", huge)); }),
                         L"XML parsing error: 0x"));
    EXPECT_EQ(privateTempCount(), 0u);
}

// ---- The handler adapter ----

class FailingHandler : public ContentHandlerWrapper {
public:
    enum class How { Standard, Fault, Unknown, Twice };
    explicit FailingHandler(How how) : how_(how) {}

    void characters(const std::wstring&) override {
        switch (how_) {
            case How::Standard:
                throw std::runtime_error("boom");
            case How::Fault:
                std::raise(SIGSEGV);
                break;
            case How::Unknown:
                throw 42;
            case How::Twice:
                break;
        }
    }
    void endElement(const std::wstring&, const std::wstring&, const std::wstring&) override {
        ++ends_;
        if (how_ == How::Twice) {
            throw vexception(L"end " + std::to_wstring(ends_));
        }
    }

    int ends() const { return ends_; }

private:
    How how_;
    int ends_ = 0;
};

TEST_F(TemplateXml, HandlerFailuresStopTheParseAndAreReported) {
    std::wstring path = writeOnC("handler/t.xml", "<a>text<b/><c/></a>");
    struct Case {
        FailingHandler::How how;
        std::wstring message;
        std::wstring site;
    };
    const std::vector<Case> cases = {
        {FailingHandler::How::Standard, L"boom",
         L"characters(ContentHandlerWrapper::raw_characters"},
        {FailingHandler::How::Fault, L"C structured exception: 0xc0000005",
         L"characters(ContentHandlerWrapper::raw_characters"},
        {FailingHandler::How::Unknown, L"Unexpected error",
         L"characters(ContentHandlerWrapper::raw_characters"},
        {FailingHandler::How::Twice, L"end 1", L"endElement(ContentHandlerWrapper::raw_endElement"},
    };
    for (const auto& c : cases) {
        FailingHandler handler(c.how);
        std::wstring failure = failureOf([&] { handler.parseURL(path); });
        EXPECT_TRUE(contains(failure, c.message)) << Platform::toUtf8(failure);
        EXPECT_TRUE(contains(failure, c.site)) << Platform::toUtf8(failure);
        EXPECT_TRUE(contains(failure, L"ContentHandlerWrapper::parseURL"));
        EXPECT_FALSE(contains(failure, L"XML parsing error"));
        EXPECT_LE(handler.ends(), 1);  // the first failure ends the parse
    }
}

TEST_F(TemplateXml, ParsingAMissingFileFails) {
    ContentHandlerWrapper handler;
    std::wstring failure = failureOf([&] { handler.parseURL(L"C:\\no\\such.xml"); });
    EXPECT_TRUE(contains(failure, L"XML parsing error: 0x800C0006")) << Platform::toUtf8(failure);
}

// ---- Writing ----

std::string written(const EntryTemplate& entry) {
    Platform::SaxXmlWriter writer;
    saveEntry(entry, writer);
    return writer.output();
}

TEST_F(TemplateXml, WriterUsesNamesWhereThereAreAndNumbersElsewhere) {
    EXPECT_EQ(written(EntryTemplate(VSID::fromString(L"S-1-5-32-544"), L"[HTTPD_VHOSTS_D]", L"", 3,
                                    0x1f01ff, 0x100)),
              "<Entry AccounType=\"0\" Account=\"Administrators\" Path=\"[HTTPD_VHOSTS_D]\" "
              "AceFlags=\"ThisFolderSubfoldersAndFiles\" AccessMask=\"FullAccess\" "
              "EntryFlags=\"0x100\" Tag=\"\" Tag2=\"\"/>");
    EXPECT_EQ(written(EntryTemplate(VSID::fromString(L"S-1-5-18"), L"a", L"b\\c", 11, 0x1200a0, -1,
                                    L"T", L"<&\">")),
              "<Entry AccounType=\"0\" Account=\"System\" Path=\"a\" SubPath=\"b\\c\" "
              "AceFlags=\"SubfoldersAndFilesOnly\" AccessMask=\"0x1200a0\" "
              "EntryFlags=\"0xffffffff\" Tag=\"T\" Tag2=\"&lt;&amp;&quot;&gt;\"/>");
    EXPECT_EQ(written(EntryTemplate(VSID::fromString(L"S-1-1-0"), L"a", L"", 4, 0, 0)),
              "<Entry AccounType=\"0\" Account=\"Everyone\" Path=\"a\" AceFlags=\"0x4\" "
              "AccessMask=\"NoAccess\" EntryFlags=\"0x0\" Tag=\"\" Tag2=\"\"/>");
}

TEST_F(TemplateXml, LocalAccountsAreWrittenWithoutDomain) {
    std::wstring sidText = addAccount("webuser1");
    EntryTemplate e(resolver_->resolveAccount(L"webuser1", L""), L"a", L"", 0, 0x120089, 0);
    EXPECT_EQ(written(e), "<Entry AccounType=\"1\" Account=\"webuser1\" SidStr=\"" +
                              Platform::toUtf8(sidText) +
                              "\" Path=\"a\" AceFlags=\"ThisObjectOnly\" AccessMask=\"Read\" "
                              "EntryFlags=\"0x0\" Tag=\"\" Tag2=\"\"/>");
    // The local Administrator is a well-known name, whatever the account domain.
    e.account = resolver_->resolveAccount(L"Administrator", L"");
    EXPECT_NE(written(e).find("AccounType=\"0\" Account=\"Administrator\" Path"),
              std::string::npos);
    // An unnamed SID without kept names cannot be written.
    e.account = VSID::fromString(L"S-1-5-21-7-8-9-999");
    EXPECT_THROW(written(e), RunTime::NoneMappedException);
}

TEST_F(TemplateXml, WrittenSetsLoadBackEqual) {
    addAccount("webuser1");
    EntryTemplateSet original;
    original.insert(EntryTemplate(VSID::fromString(L"S-1-5-32-544"), L"[HTTPD_VHOSTS_D]", L"", 3,
                                  0x1f01ff, 0x100));
    original.insert(EntryTemplate(resolver_->resolveAccount(L"webuser1", L""), L"httpdocs",
                                  L"cgi-bin", 9, 0x10000000, 0x1, L"DomainUser", L"\u00dcber"));
    original.insert(EntryTemplate(VSID::fromString(L"S-1-5-21-7-8-9-1234"), L"*", L"", 0, 0, 0x810,
                                  L"", L"", L"OLDHOST", L"ghost"));
    original.insert(EntryTemplate(VSID::fromString(L"S-1-3-0"), L"%TEMP%", L"", 11, 0x1200a0, -2,
                                  L"tag", L"tag"));
    original.insert(EntryTemplate(VSID::fromString(L"S-1-3-0"), L"%TEMP%", L"", 11, 0x1200a0, -2,
                                  L"TAG", L"tag"));

    Platform::SaxXmlWriter writer;
    writer.startDocument();
    writer.startElement(L"Entries", {});
    for (const auto& e : original) {
        saveEntry(e, writer);
    }
    writer.endElement(L"Entries");
    writer.endDocument();
    std::wstring path = writeOnC("roundtrip/t.xml", writer.output());

    auto loaded = load(path);
    ASSERT_EQ(loaded->size(), original.size());
    for (auto a = original.begin(), b = loaded->begin(); a != original.end(); ++a, ++b) {
        EXPECT_EQ(compareEntryTemplates(*a, *b), 0);
        EXPECT_EQ(a->accessMask, b->accessMask);
        EXPECT_EQ(a->tag, b->tag);
        EXPECT_EQ(a->tag2, b->tag2);
        EXPECT_EQ(a->subPath, b->subPath);
        EXPECT_EQ(a->domainName, b->domainName);
        EXPECT_EQ(a->accountName, b->accountName);
    }
}

// ---- Account providers ----

TEST_F(TemplateXml, LocalProviderTriesTheCandidateDomains) {
    std::wstring sidText = addAccount("webuser2");
    LocalUserInformation local;
    EXPECT_EQ(local.resolveAccount(L"webuser2", L"").toString(), sidText);
    EXPECT_EQ(local.resolveAccount(L"ELSEWHERE\\webuser2", L"").toString(), sidText);
    EXPECT_EQ(local.resolveAccount(L"webuser2", localAccountDomainName()).toString(), sidText);
    EXPECT_EQ(local.resolveAccount(L"Administrators", L"").toString(), L"S-1-5-32-544");
    EXPECT_THROW(local.resolveAccount(L"nobody-here", L""), RunTime::NoneMappedException);
    EXPECT_THROW(local.resolveAccount(L"webuser2", L"NT AUTHORITY"), RunTime::NoneMappedException);
}

TEST_F(TemplateXml, DirectoryProviderNeedsTheMachinesDomain) {
    std::wstring sidText = addAccount("webuser2");
    const std::string key = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";
    {
        ADUserInformation directory;
        std::wstring failure = failureOf([&] { directory.resolveAccount(L"webuser2", L""); });
        EXPECT_TRUE(contains(failure, L"Cannot determine Active Directory domain name"));
        // An explicit domain needs no directory.
        EXPECT_EQ(directory.resolveAccount(L"webuser2", localAccountDomainName()).toString(),
                  sidText);
    }
    // On this host the account domain stands in for the directory.
    DiskSecurityTest::hostTool(
        {"reg", "set", key, "Domain", "REG_SZ", Platform::toUtf8(localAccountDomainName())});
    ADUserInformation directory;
    EXPECT_EQ(directory.resolveAccount(L"webuser2", L"").toString(), sidText);
    EXPECT_EQ(directory.directoryDomain(), localAccountDomainName());
    DiskSecurityTest::hostTool({"reg", "del", key, "Domain"});
}

}  // namespace
