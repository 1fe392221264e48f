#include <gtest/gtest.h>

#include "platform/xml.h"
#include "support/temp_host.h"

namespace {
using namespace Platform;
namespace fs = std::filesystem;

// Records every event as one line of text.
class Recorder : public ISaxContentHandler {
public:
    std::int32_t putDocumentLocator() override { return SOk; }
    std::int32_t startDocument() override { return record(L"start-document"); }
    std::int32_t endDocument() override { return record(L"end-document"); }
    std::int32_t startPrefixMapping(const std::wstring& prefix, const std::wstring& uri) override {
        return record(L"prefix " + prefix + L"=" + uri);
    }
    std::int32_t endPrefixMapping(const std::wstring& prefix) override {
        return record(L"end-prefix " + prefix);
    }
    std::int32_t startElement(const std::wstring& uri, const std::wstring& localName,
                              const std::wstring& qName,
                              const ISaxAttributes& attributes) override {
        std::wstring line = L"<" + uri + L"|" + localName + L"|" + qName;
        for (int i = 0; i < attributes.getLength(); ++i) {
            line += L" " + attributes.getURI(i) + L"|" + attributes.getLocalName(i) + L"=" +
                    attributes.getValue(i);
        }
        ++elements;
        if (elements == failAtElement) {
            return EFail;
        }
        if (attributes.getLength() > 0) {
            lastAttributes.clear();
            for (int i = 0; i < attributes.getLength(); ++i) {
                lastAttributes.push_back(attributes.getValue(i));
            }
        }
        return record(line);
    }
    std::int32_t endElement(const std::wstring&, const std::wstring& localName,
                            const std::wstring&) override {
        return record(L"/" + localName);
    }
    std::int32_t characters(const std::wstring& text) override {
        text_ += text;
        return SOk;
    }
    std::int32_t ignorableWhitespace(const std::wstring&) override { return SOk; }
    std::int32_t processingInstruction(const std::wstring& target,
                                       const std::wstring& data) override {
        return record(L"?" + target + L" " + data);
    }
    std::int32_t skippedEntity(const std::wstring& name) override {
        return record(L"skipped " + name);
    }

    std::int32_t record(const std::wstring& line) {
        events.push_back(line);
        return SOk;
    }
    std::vector<std::wstring> events;
    std::vector<std::wstring> lastAttributes;
    std::wstring text_;
    int elements = 0;
    int failAtElement = -1;
};

class Xml : public ::testing::Test {
protected:
    // Writes `content` to a file of drive C: and returns its Windows path.
    std::wstring file(const std::string& content) {
        TestSupport::writeFile(host.driveC() / "t.xml", content);
        return L"C:\\t.xml";
    }
    std::int32_t parse(const std::string& content, Recorder& recorder) {
        return saxParseUrl(file(content), recorder, error);
    }
    TestSupport::TempHost host;
    std::wstring error;
};

TEST_F(Xml, EventsInDocumentOrderWithNamespaces) {
    Recorder r;
    ASSERT_EQ(parse("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                    "<Root xmlns:x=\"urn:x\"><?pi data?><x:Entry Account=\"a&amp;b\" "
                    "x:Tag=\"t\">text</x:Entry>"
                    "<Other><Entry/></Other></Root>",
                    r),
              SOk)
        << error;
    EXPECT_EQ(r.events, (std::vector<std::wstring>{
                            L"start-document", L"prefix x=urn:x", L"<|Root|Root", L"?pi data",
                            L"<urn:x|Entry|x:Entry |Account=a&b urn:x|Tag=t", L"/Entry",
                            L"<|Other|Other", L"<|Entry|Entry", L"/Entry", L"/Other", L"/Root",
                            L"end-prefix x", L"end-document"}));
    EXPECT_EQ(r.text_, L"text");
}

TEST_F(Xml, WriterOutputReadsBackTheSameValues) {
    SaxXmlWriter writer;
    writer.startDocument();
    writer.startElement(L"Entries", {});
    const std::wstring awkward = L"a&b<c>\"d\"\te\nf\r g \u00e9\u4e2d\U0001F600";
    writer.startElement(L"Entry", {{L"Path", awkward}, {L"Tag", L""}});
    writer.endElement(L"Entry");
    writer.endElement(L"Entries");
    writer.endDocument();
    EXPECT_EQ(
        writer.output().rfind(
            "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\r\n<Entries><Entry Path=",
            0),
        0u)
        << writer.output();
    EXPECT_NE(writer.output().find("Tag=\"\"/></Entries>"), std::string::npos) << writer.output();

    Recorder r;
    ASSERT_EQ(parse(writer.output(), r), SOk) << error;
    EXPECT_EQ(r.lastAttributes, (std::vector<std::wstring>{awkward, L""}));
}

TEST_F(Xml, MalformedDocumentsFailWithWhereAndWhat) {
    struct Case {
        std::string content;
        std::wstring expected;
    };
    const Case cases[] = {
        {"<Entries>\n  <Entry a=\"1\">\n</Entries>", L"mismatched tag, line 3, column 3"},
        {"<Entries><Entry a=\"1\"", L"unclosed token, line 1"},
        {"", L"no element found, line 1, column 1"},
        {"<a b=\"1\" b=\"2\"/>", L"duplicate attribute"},
        {"<a>&undefined;</a>", L"undefined entity"},
        {"<a/><b/>", L"junk after document element"},
        {"\xff\xfe<\x00", L"line 1"},
    };
    for (const auto& c : cases) {
        Recorder r;
        std::int32_t hr = parse(c.content, r);
        EXPECT_EQ(static_cast<std::uint32_t>(hr) & 0xFFFFFF00u, 0xC00CE500u) << c.content;
        EXPECT_NE(error.find(c.expected), std::wstring::npos) << error;
    }
}

TEST_F(Xml, HostileInputsEndCleanly) {
    // Deep nesting, a huge attribute and entity expansion bombs: a clear result, no crash.
    std::string deep;
    for (int i = 0; i < 200000; ++i) {
        deep += "<a>";
    }
    Recorder r1;
    EXPECT_NE(parse(deep, r1), SOk);

    std::string huge =
        "<Entries><Entry Path=\"" + std::string(8 * 1024 * 1024, 'x') + "\"/></Entries>";
    Recorder r2;
    ASSERT_EQ(parse(huge, r2), SOk) << error;
    EXPECT_EQ(r2.lastAttributes.at(0).size(), 8u * 1024 * 1024);

    std::string bomb = "<?xml version=\"1.0\"?><!DOCTYPE l [<!ENTITY a \"aaaaaaaaaa\">";
    for (char c = 'b'; c <= 'j'; ++c) {
        bomb += std::string("<!ENTITY ") + c + " \"";
        for (int i = 0; i < 10; ++i) {
            bomb += std::string("&") + static_cast<char>(c - 1) + ";";
        }
        bomb += "\">";
    }
    bomb += "]><l>&j;</l>";
    Recorder r3;
    EXPECT_NE(parse(bomb, r3), SOk);
    EXPECT_LT(r3.text_.size(), 100u * 1024 * 1024);
}

TEST_F(Xml, HandlerFailureStopsTheParse) {
    Recorder r;
    r.failAtElement = 2;
    EXPECT_EQ(parse("<a><b/><c/></a>", r), EFail);
    EXPECT_EQ(r.events, (std::vector<std::wstring>{L"start-document", L"<|a|a"}));
}

TEST_F(Xml, MissingFileIsObjectNotFound) {
    Recorder r;
    EXPECT_EQ(saxParseUrl(L"C:\\no\\such.xml", r, error), InetEObjectNotFound);
    EXPECT_TRUE(r.events.empty());
}

}  // namespace
