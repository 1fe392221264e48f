// XML through the SAX model of MSXML 6.0: a reader that calls a content handler for each
// event (ISAXXMLReader::parseURL with ISAXContentHandler), and a writer that produces a
// document from the same events (MXXMLWriter). HRESULTs are returned as on Windows.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace Platform {

constexpr std::int32_t SOk = 0;
constexpr std::int32_t EFail = static_cast<std::int32_t>(0x80004005);
constexpr std::int32_t EOutOfMemory = static_cast<std::int32_t>(0x8007000E);
constexpr std::int32_t EAccessDenied = static_cast<std::int32_t>(0x80070005);
// The object (the file to parse) was not found: what MSXML's parseURL answers for a missing file.
constexpr std::int32_t InetEObjectNotFound = static_cast<std::int32_t>(0x800C0006);

// ISAXAttributes: the attributes of one start tag, by index or by (namespace URI, local name).
class ISaxAttributes {
public:
    virtual ~ISaxAttributes() = default;
    virtual int getLength() const = 0;
    virtual const std::wstring& getURI(int index) const = 0;
    virtual const std::wstring& getLocalName(int index) const = 0;
    virtual const std::wstring& getQName(int index) const = 0;
    virtual const std::wstring& getValue(int index) const = 0;
    // False when there is no such attribute.
    virtual bool getValueFromName(const std::wstring& uri, const std::wstring& localName,
                                  std::wstring& value) const = 0;
};

// ISAXContentHandler. A handler that returns a failure HRESULT stops the parse, and parseURL
// then returns that failure.
class ISaxContentHandler {
public:
    virtual ~ISaxContentHandler() = default;
    virtual std::int32_t putDocumentLocator() = 0;
    virtual std::int32_t startDocument() = 0;
    virtual std::int32_t endDocument() = 0;
    virtual std::int32_t startPrefixMapping(const std::wstring& prefix,
                                            const std::wstring& uri) = 0;
    virtual std::int32_t endPrefixMapping(const std::wstring& prefix) = 0;
    virtual std::int32_t startElement(const std::wstring& uri, const std::wstring& localName,
                                      const std::wstring& qName,
                                      const ISaxAttributes& attributes) = 0;
    virtual std::int32_t endElement(const std::wstring& uri, const std::wstring& localName,
                                    const std::wstring& qName) = 0;
    virtual std::int32_t characters(const std::wstring& text) = 0;
    virtual std::int32_t ignorableWhitespace(const std::wstring& text) = 0;
    virtual std::int32_t processingInstruction(const std::wstring& target,
                                               const std::wstring& data) = 0;
    virtual std::int32_t skippedEntity(const std::wstring& name) = 0;
};

// Parses the file `path` (a Windows path), calling `handler`. Returns S_OK; the failure a
// handler returned; or the parser's HRESULT for a document that cannot be read or is not well
// formed, with the parser's own description (what is wrong, line and column) in `errorText`.
// When the reader cannot be made, `errorText` is the system's text of the HRESULT ("MSXML 6.0
// is not available" only for a class that is not registered).
std::int32_t saxParseUrl(const std::wstring& path, ISaxContentHandler& handler,
                         std::wstring& errorText);

// MXXMLWriter with the properties this program uses (encoding set, nothing indented, the
// XML declaration written): the document collects in memory as UTF-8 bytes. One portable
// implementation serves every backend, so that a template is the same bytes wherever it is
// written; only reading goes through the system's parser.
class SaxXmlWriter {
public:
    using Attributes = std::vector<std::pair<std::wstring, std::wstring>>;

    // `encoding` is the name written in the declaration; the bytes are UTF-8.
    explicit SaxXmlWriter(std::wstring encoding = L"UTF-8") : encoding_(std::move(encoding)) {}

    void startDocument();
    void endDocument();
    void startElement(const std::wstring& qName, const Attributes& attributes);
    void endElement(const std::wstring& qName);
    void characters(const std::wstring& text);

    const std::string& output() const { return output_; }

private:
    void _closePendingTag();

    std::wstring encoding_;
    std::string output_;
    bool tagOpen_ = false;
};

}  // namespace Platform
