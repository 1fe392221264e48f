// The SAX reader over expat: events in document order, namespaces resolved, the parse
// stopped by the first handler failure.
#include <expat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "platform/posix/filesystem/pathmap.h"
#include "platform/posix/host/errors.h"
#include "platform/posix/host/seam_count.h"
#include "platform/posix/host/unique_fd.h"
#include "platform/text.h"
#include "platform/types.h"
#include "platform/xml.h"

namespace Platform {
namespace {

// Separates namespace URI, local name and prefix in the names expat reports.
constexpr char nameSeparator = '\x01';

struct SplitName {
    std::wstring uri;
    std::wstring localName;
    std::wstring qName;
};

SplitName splitName(const XML_Char* raw) {
    std::string name(raw);
    SplitName split;
    std::size_t first = name.find(nameSeparator);
    if (first == std::string::npos) {
        split.localName = fromUtf8(name);
        split.qName = split.localName;
        return split;
    }
    split.uri = fromUtf8(name.substr(0, first));
    std::size_t second = name.find(nameSeparator, first + 1);
    split.localName = fromUtf8(name.substr(
        first + 1, second == std::string::npos ? std::string::npos : second - first - 1));
    split.qName = second == std::string::npos
                      ? split.localName
                      : fromUtf8(name.substr(second + 1)) + L":" + split.localName;
    return split;
}

class Attributes : public ISaxAttributes {
public:
    explicit Attributes(const XML_Char** raw) {
        for (const XML_Char** a = raw; a && *a; a += 2) {
            SplitName name = splitName(a[0]);
            items_.push_back({std::move(name), fromUtf8(a[1])});
        }
    }
    int getLength() const override { return static_cast<int>(items_.size()); }
    const std::wstring& getURI(int i) const override {
        return items_.at(static_cast<std::size_t>(i)).name.uri;
    }
    const std::wstring& getLocalName(int i) const override {
        return items_.at(static_cast<std::size_t>(i)).name.localName;
    }
    const std::wstring& getQName(int i) const override {
        return items_.at(static_cast<std::size_t>(i)).name.qName;
    }
    const std::wstring& getValue(int i) const override {
        return items_.at(static_cast<std::size_t>(i)).value;
    }
    bool getValueFromName(const std::wstring& uri, const std::wstring& localName,
                          std::wstring& value) const override {
        for (const auto& item : items_) {
            if (item.name.uri == uri && item.name.localName == localName) {
                value = item.value;
                return true;
            }
        }
        return false;
    }

private:
    struct Item {
        SplitName name;
        std::wstring value;
    };
    std::vector<Item> items_;
};

struct ParserDeleter {
    void operator()(XML_ParserStruct* parser) const { XML_ParserFree(parser); }
};

struct Session {
    XML_Parser parser = nullptr;
    ISaxContentHandler* handler = nullptr;
    std::int32_t failure = SOk;

    // Runs one handler call; its failure stops the parse.
    template <typename Call>
    void deliver(Call&& call) {
        if (failure != SOk) {
            return;
        }
        std::int32_t hr = call();
        if (hr < 0) {
            failure = hr;
            XML_StopParser(parser, XML_FALSE);
        }
    }
};

Session& sessionOf(void* data) {
    return *static_cast<Session*>(data);
}

void XMLCALL onStartElement(void* data, const XML_Char* name, const XML_Char** atts) {
    Session& s = sessionOf(data);
    SplitName split = splitName(name);
    Attributes attributes(atts);
    s.deliver([&] {
        return s.handler->startElement(split.uri, split.localName, split.qName, attributes);
    });
}

void XMLCALL onEndElement(void* data, const XML_Char* name) {
    Session& s = sessionOf(data);
    SplitName split = splitName(name);
    s.deliver([&] { return s.handler->endElement(split.uri, split.localName, split.qName); });
}

void XMLCALL onCharacters(void* data, const XML_Char* text, int length) {
    Session& s = sessionOf(data);
    std::wstring wide = fromUtf8(std::string_view(text, static_cast<std::size_t>(length)));
    s.deliver([&] { return s.handler->characters(wide); });
}

void XMLCALL onProcessingInstruction(void* data, const XML_Char* target, const XML_Char* pi) {
    Session& s = sessionOf(data);
    s.deliver(
        [&] { return s.handler->processingInstruction(fromUtf8(target), fromUtf8(pi ? pi : "")); });
}

void XMLCALL onStartNamespace(void* data, const XML_Char* prefix, const XML_Char* uri) {
    Session& s = sessionOf(data);
    s.deliver([&] {
        return s.handler->startPrefixMapping(fromUtf8(prefix ? prefix : ""),
                                             fromUtf8(uri ? uri : ""));
    });
}

void XMLCALL onEndNamespace(void* data, const XML_Char* prefix) {
    Session& s = sessionOf(data);
    s.deliver([&] { return s.handler->endPrefixMapping(fromUtf8(prefix ? prefix : "")); });
}

void XMLCALL onSkippedEntity(void* data, const XML_Char* name, int /*isParameterEntity*/) {
    Session& s = sessionOf(data);
    s.deliver([&] { return s.handler->skippedEntity(fromUtf8(name)); });
}

// The HRESULT of a document the parser refuses: the XML_E_* range of MSXML (0xC00CE500),
// numbered by the parser's own error code; a memory shortage is E_OUTOFMEMORY.
std::int32_t parseErrorResult(XML_Error error) {
    if (error == XML_ERROR_NO_MEMORY) {
        return EOutOfMemory;
    }
    return static_cast<std::int32_t>(0xC00CE500u + static_cast<std::uint32_t>(error));
}

std::int32_t openFailure() {
    switch (errno) {
        case ENOENT:
        case ENOTDIR:
            return InetEObjectNotFound;
        case EACCES:
        case EPERM:
            return EAccessDenied;
        default:
            return static_cast<std::int32_t>(0x80070000u |
                                             (Posix::winErrorFromErrno(errno) & 0xFFFF));
    }
}

}  // namespace

std::int32_t saxParseUrl(const std::wstring& path, ISaxContentHandler& handler,
                         std::wstring& errorText) {
    TAVREL_SEAM_CALLBACK_CALL("ISAXXMLReader::parseURL");
    errorText.clear();
    std::string posix;
    if (!Posix::windowsToPosix(path, posix)) {
        errorText = L"The system cannot locate the object specified: " + path;
        return InetEObjectNotFound;
    }
    Posix::UniqueFd file(::open(posix.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file) {
        std::int32_t hr = openFailure();
        errorText = L"Unable to open " + path;
        return hr;
    }
    std::unique_ptr<XML_ParserStruct, ParserDeleter> parser(
        XML_ParserCreateNS(nullptr, nameSeparator));
    if (!parser) {
        return EOutOfMemory;
    }
    Session session{parser.get(), &handler, SOk};
    XML_SetUserData(parser.get(), &session);
    XML_SetReturnNSTriplet(parser.get(), XML_TRUE);
    XML_SetElementHandler(parser.get(), onStartElement, onEndElement);
    XML_SetCharacterDataHandler(parser.get(), onCharacters);
    XML_SetProcessingInstructionHandler(parser.get(), onProcessingInstruction);
    XML_SetNamespaceDeclHandler(parser.get(), onStartNamespace, onEndNamespace);
    XML_SetSkippedEntityHandler(parser.get(), onSkippedEntity);

    session.deliver([&] { return handler.putDocumentLocator(); });
    session.deliver([&] { return handler.startDocument(); });
    constexpr int chunk = 64 * 1024;
    bool last = false;
    while (!last && session.failure == SOk) {
        void* buffer = XML_GetBuffer(parser.get(), chunk);
        if (!buffer) {
            return EOutOfMemory;
        }
        ssize_t n = ::read(file.get(), buffer, chunk);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            errorText = L"Unable to read " + path;
            return static_cast<std::int32_t>(0x80070000u |
                                             (Posix::winErrorFromErrno(errno) & 0xFFFF));
        }
        last = n == 0;
        if (XML_ParseBuffer(parser.get(), static_cast<int>(n), last ? XML_TRUE : XML_FALSE) ==
            XML_STATUS_ERROR) {
            if (session.failure != SOk) {
                break;
            }
            XML_Error error = XML_GetErrorCode(parser.get());
            errorText = fromUtf8(XML_ErrorString(error)) + L", line " +
                        std::to_wstring(XML_GetCurrentLineNumber(parser.get())) + L", column " +
                        std::to_wstring(XML_GetCurrentColumnNumber(parser.get()) + 1);
            return parseErrorResult(error);
        }
    }
    session.deliver([&] { return handler.endDocument(); });
    return session.failure;
}

}  // namespace Platform
