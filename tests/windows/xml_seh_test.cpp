// The SAX reader on MSXML 6 through COM, and structured exceptions with their minidump.
#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/seh.h"
#include "platform/system.h"
#include "platform/xml.h"
#include "windows/support/win_support.h"

namespace {
using namespace Platform;

class ComScope : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_GE(coInitialize(), 0); }
    void TearDown() override { coUninitialize(); }
};

// Records each event as one line; fails the parse at the element named `stopAt`.
class Recorder : public ISaxContentHandler {
public:
    std::vector<std::wstring> events;
    std::wstring stopAt;

    std::int32_t putDocumentLocator() override { return SOk; }
    std::int32_t startDocument() override { return add(L"startDocument"); }
    std::int32_t endDocument() override { return add(L"endDocument"); }
    std::int32_t startPrefixMapping(const std::wstring& p, const std::wstring& u) override {
        return add(L"prefix " + p + L"=" + u);
    }
    std::int32_t endPrefixMapping(const std::wstring& p) override { return add(L"endprefix " + p); }
    std::int32_t startElement(const std::wstring& uri, const std::wstring& local, const std::wstring& q,
                              const ISaxAttributes& a) override {
        if (local == stopAt) {
            return EFail;
        }
        std::wstring line = L"start {" + uri + L"}" + local + L" " + q;
        for (int i = 0; i < a.getLength(); ++i) {
            line += L" " + a.getQName(i) + L"=" + a.getValue(i);
        }
        std::wstring path;
        if (a.getValueFromName(L"", L"Path", path)) {
            line += L" [Path " + path + L"]";
        }
        return add(line);
    }
    std::int32_t endElement(const std::wstring&, const std::wstring& local, const std::wstring&) override {
        return add(L"end " + local);
    }
    std::int32_t characters(const std::wstring& text) override { return add(L"text " + text); }
    std::int32_t ignorableWhitespace(const std::wstring&) override { return SOk; }
    std::int32_t processingInstruction(const std::wstring& t, const std::wstring& d) override {
        return add(L"pi " + t + L" " + d);
    }
    std::int32_t skippedEntity(const std::wstring& n) override { return add(L"skipped " + n); }

private:
    std::int32_t add(std::wstring line) {
        events.push_back(std::move(line));
        return SOk;
    }
};

using WinXml = ComScope;

TEST_F(WinXml, ReportsEventsInDocumentOrderWithNamespaces) {
    TestSupport::ScratchDir dir;
    TestSupport::writeBytes(dir / L"t.xml",
                            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                            "<Entries xmlns:t=\"urn:t\"><Entry Path=\"C:\\\xC3\xA9\" "
                            "t:Tag=\"a&amp;b\">x</Entry></Entries>");
    Recorder recorder;
    std::wstring error;
    ASSERT_EQ(saxParseUrl(dir / L"t.xml", recorder, error), SOk) << error;
    const std::vector<std::wstring> expected = {
        L"startDocument",
        L"prefix t=urn:t",
        L"start {}Entries Entries",
        L"start {}Entry Entry Path=C:\\\u00e9 t:Tag=a&b [Path C:\\\u00e9]",
        L"text x",
        L"end Entry",
        L"end Entries",
        L"endprefix t",
        L"endDocument",
    };
    EXPECT_EQ(recorder.events, expected);
}

TEST_F(WinXml, ReportsProcessingInstructions) {
    SKIP_UNDER_WINE("Wine's SAX reader does not report processing instructions");
    TestSupport::ScratchDir dir;
    TestSupport::writeBytes(dir / L"pi.xml", "<Entries><?keep it?></Entries>");
    Recorder recorder;
    std::wstring error;
    ASSERT_EQ(saxParseUrl(dir / L"pi.xml", recorder, error), SOk) << error;
    EXPECT_EQ(recorder.events.at(2), L"pi keep it");
}

TEST_F(WinXml, FailuresComeBackAsHresults) {
    TestSupport::ScratchDir dir;
    TestSupport::writeBytes(dir / L"bad.xml", "<Entries>\n<Entry></Entries>");
    TestSupport::writeBytes(dir / L"good.xml", "<Entries><Entry/><Stop/><After/></Entries>");
    Recorder recorder;
    std::wstring error;
    std::int32_t missing = saxParseUrl(dir / L"missing.xml", recorder, error);
    // Wine's MSXML answers INET_E_RESOURCE_NOT_FOUND where Windows' answers INET_E_OBJECT_NOT_FOUND.
    EXPECT_EQ(static_cast<std::uint32_t>(missing),
              TestSupport::hostIsWine() ? 0x800C0005u : static_cast<std::uint32_t>(InetEObjectNotFound));
    EXPECT_FALSE(error.empty());

    EXPECT_LT(saxParseUrl(dir / L"bad.xml", recorder, error), 0);
    EXPECT_NE(error.find(L"line 2"), std::wstring::npos) << error;

    recorder.events.clear();
    recorder.stopAt = L"Stop";
    EXPECT_EQ(saxParseUrl(dir / L"good.xml", recorder, error), EFail);
    EXPECT_EQ(recorder.events.back(), L"end Entry");
}

struct Translated : std::runtime_error {
    explicit Translated(std::uint32_t c) : std::runtime_error("structured exception"), code(c) {}
    std::uint32_t code;
};

std::wstring dumpFile;
bool dumpWritten = false;

void translate(std::uint32_t code) {
    dumpWritten = writeCrashDump(dumpFile);
    throw Translated(code);
}

TEST(WinStructuredException, FaultBecomesTheTranslatorsExceptionWithAMinidump) {
    TestSupport::ScratchDir dir;
    dumpFile = dir / L"crash.dmp";
    SeTranslator previous = setSeTranslator(translate);
    std::uint32_t code = 0;
    try {
        guardedCall([] {
            volatile int* nowhere = nullptr;
            *nowhere = 1;
            return 0;
        });
    } catch (const Translated& e) {
        code = e.code;
    }
    setSeTranslator(previous);
    EXPECT_EQ(code, ExceptionAccessViolation);
    EXPECT_TRUE(dumpWritten);
    EXPECT_EQ(TestSupport::readBytes(dumpFile).substr(0, 4), "MDMP");
    // The thread goes on normally after the fault, and no fault is being translated any more.
    EXPECT_EQ(guardedCall([] { return 7; }), 7);
    EXPECT_FALSE(writeCrashDump(dir / L"none.dmp"));
}

}  // namespace
