// The SAX reader of MSXML 6 through COM: the seam's content handler is wrapped in a COM
// ISAXContentHandler (and an ISAXErrorHandler that keeps MSXML's own description of a
// refused document) and handed to ISAXXMLReader::parseURL. The calling thread must have
// initialised COM (coInitialize), as for any COM object.
#include "platform/win32/host/win32.h"

#include <objbase.h>

#include <msxml2.h>

#include "platform/system.h"
#include "platform/xml.h"

namespace Platform {
namespace {

// The class and interface ids of the SAX objects, which the mingw headers declare but no
// mingw library defines. CLSID_SAXXMLReader60 is the reader of MSXML 6, not the
// version-independent one of MSXML 3.
constexpr CLSID clsidSaxXmlReader60 = {
    0x88d96a0c, 0xf192, 0x11d4, {0xa6, 0x5f, 0x00, 0x40, 0x96, 0x32, 0x51, 0xe5}};
constexpr IID iidSaxXmlReader = {
    0xa4f96ed0, 0xf829, 0x476e, {0x81, 0xc0, 0xcd, 0xc7, 0xbd, 0x2a, 0x08, 0x02}};
constexpr IID iidSaxContentHandler = {
    0x1545cdfa, 0x9e4e, 0x4497, {0xa8, 0xa4, 0x2b, 0xf7, 0xd0, 0x11, 0x2c, 0x44}};
constexpr IID iidSaxErrorHandler = {
    0xa60511c4, 0xccf5, 0x479e, {0x98, 0xa3, 0xdc, 0x8d, 0xc5, 0x45, 0xb7, 0xd0}};

// The system's own text of an HRESULT (of the Win32 code inside one of FACILITY_WIN32), line
// break removed; empty when it has none.
std::wstring hresultText(HRESULT hr) {
    auto code = static_cast<std::uint32_t>(hr);
    if (HRESULT_FACILITY(hr) == FACILITY_WIN32) {
        code = HRESULT_CODE(hr);
    }
    std::wstring message;
    if (!formatSystemMessage(code, 0, message)) {
        // Windows' text of the one failure a caller causes, which not every system (Wine)
        // can look up.
        return hr == CO_E_NOTINITIALIZED ? L"CoInitialize has not been called." : L"";
    }
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                                message.back() == L' ')) {
        message.pop_back();
    }
    return message;
}

std::wstring text(const wchar_t* chars, int count) {
    return chars && count > 0 ? std::wstring(chars, static_cast<std::size_t>(count))
                              : std::wstring();
}

// The attributes of one start tag, copied out of MSXML's for the time of the call.
class Attributes : public ISaxAttributes {
public:
    explicit Attributes(::ISAXAttributes* raw) {
        int length = 0;
        if (!raw || FAILED(raw->getLength(&length))) {
            return;
        }
        for (int i = 0; i < length; ++i) {
            const wchar_t *uri = nullptr, *local = nullptr, *qName = nullptr, *value = nullptr;
            int uriChars = 0, localChars = 0, qNameChars = 0, valueChars = 0;
            raw->getName(i, &uri, &uriChars, &local, &localChars, &qName, &qNameChars);
            raw->getValue(i, &value, &valueChars);
            items_.push_back({text(uri, uriChars), text(local, localChars),
                              text(qName, qNameChars), text(value, valueChars)});
        }
    }
    int getLength() const override { return static_cast<int>(items_.size()); }
    const std::wstring& getURI(int i) const override { return at(i).uri; }
    const std::wstring& getLocalName(int i) const override { return at(i).localName; }
    const std::wstring& getQName(int i) const override { return at(i).qName; }
    const std::wstring& getValue(int i) const override { return at(i).value; }
    bool getValueFromName(const std::wstring& uri, const std::wstring& localName,
                          std::wstring& value) const override {
        for (const auto& item : items_) {
            if (item.uri == uri && item.localName == localName) {
                value = item.value;
                return true;
            }
        }
        return false;
    }

private:
    struct Item {
        std::wstring uri;
        std::wstring localName;
        std::wstring qName;
        std::wstring value;
    };
    const Item& at(int i) const { return items_.at(static_cast<std::size_t>(i)); }
    std::vector<Item> items_;
};

// Lives on the stack of saxParseUrl, which outlives the parse: the reference count only
// answers COM's protocol.
class Bridge : public ::ISAXContentHandler, public ::ISAXErrorHandler {
public:
    explicit Bridge(ISaxContentHandler& handler) : handler_(handler) {}

    const std::wstring& errorText() const { return errorText_; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, iidSaxContentHandler)) {
            *object = static_cast<::ISAXContentHandler*>(this);
        } else if (IsEqualIID(riid, iidSaxErrorHandler)) {
            *object = static_cast<::ISAXErrorHandler*>(this);
        } else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override { return --references_; }

    HRESULT STDMETHODCALLTYPE putDocumentLocator(ISAXLocator* locator) override {
        locator_ = locator;
        return handler_.putDocumentLocator();
    }
    HRESULT STDMETHODCALLTYPE startDocument() override { return handler_.startDocument(); }
    HRESULT STDMETHODCALLTYPE endDocument() override { return handler_.endDocument(); }
    HRESULT STDMETHODCALLTYPE startPrefixMapping(const wchar_t* prefix, int prefixChars,
                                                 const wchar_t* uri, int uriChars) override {
        return handler_.startPrefixMapping(text(prefix, prefixChars), text(uri, uriChars));
    }
    HRESULT STDMETHODCALLTYPE endPrefixMapping(const wchar_t* prefix, int prefixChars) override {
        return handler_.endPrefixMapping(text(prefix, prefixChars));
    }
    HRESULT STDMETHODCALLTYPE startElement(const wchar_t* uri, int uriChars, const wchar_t* local,
                                           int localChars, const wchar_t* qName, int qNameChars,
                                           ::ISAXAttributes* attributes) override {
        Attributes copied(attributes);
        return handler_.startElement(text(uri, uriChars), text(local, localChars),
                                     text(qName, qNameChars), copied);
    }
    HRESULT STDMETHODCALLTYPE endElement(const wchar_t* uri, int uriChars, const wchar_t* local,
                                         int localChars, const wchar_t* qName,
                                         int qNameChars) override {
        return handler_.endElement(text(uri, uriChars), text(local, localChars),
                                   text(qName, qNameChars));
    }
    HRESULT STDMETHODCALLTYPE characters(const wchar_t* chars, int count) override {
        return handler_.characters(text(chars, count));
    }
    HRESULT STDMETHODCALLTYPE ignorableWhitespace(const wchar_t* chars, int count) override {
        return handler_.ignorableWhitespace(text(chars, count));
    }
    HRESULT STDMETHODCALLTYPE processingInstruction(const wchar_t* target, int targetChars,
                                                    const wchar_t* data,
                                                    int dataChars) override {
        return handler_.processingInstruction(text(target, targetChars), text(data, dataChars));
    }
    HRESULT STDMETHODCALLTYPE skippedEntity(const wchar_t* name, int nameChars) override {
        return handler_.skippedEntity(text(name, nameChars));
    }

    // ISAXErrorHandler: the first fatal error's message, with where it was found.
    HRESULT STDMETHODCALLTYPE error(ISAXLocator* locator, const wchar_t* message,
                                    HRESULT code) override {
        return fatalError(locator, message, code);
    }
    HRESULT STDMETHODCALLTYPE fatalError(ISAXLocator* locator, const wchar_t* message,
                                         HRESULT code) override {
        if (errorText_.empty()) {
            std::wstring what = message ? message : L"";
            while (!what.empty() && (what.back() == L'\n' || what.back() == L'\r')) {
                what.pop_back();
            }
            int line = 0, column = 0;
            if (locator) {
                locator->getLineNumber(&line);
                locator->getColumnNumber(&column);
            }
            errorText_ = what + L", line " + std::to_wstring(line) + L", column " +
                         std::to_wstring(column);
        }
        return code;
    }
    HRESULT STDMETHODCALLTYPE ignorableWarning(ISAXLocator*, const wchar_t*, HRESULT) override {
        return S_OK;
    }

private:
    ISaxContentHandler& handler_;
    ISAXLocator* locator_ = nullptr;
    std::wstring errorText_;
    ULONG references_ = 1;
};

}  // namespace

std::int32_t saxParseUrl(const std::wstring& path, ISaxContentHandler& handler,
                         std::wstring& errorText) {
    errorText.clear();
    Win32::ComPtr<::ISAXXMLReader> reader;
    HRESULT hr = ::CoCreateInstance(clsidSaxXmlReader60, nullptr, CLSCTX_INPROC_SERVER,
                                    iidSaxXmlReader, reinterpret_cast<void**>(reader.put()));
    if (FAILED(hr)) {
        // Only a class that is not registered means the reader is missing; CO_E_NOTINITIALIZED,
        // say, is the caller's fault and is named as such.
        errorText = hr == REGDB_E_CLASSNOTREG ? L"MSXML 6.0 is not available" : hresultText(hr);
        return hr;
    }
    // Namespace declarations are prefix mappings, never attributes (MSXML's default, said
    // explicitly: not every implementation of the interface shares it).
    hr = reader->putFeature(L"http://xml.org/sax/features/namespace-prefixes", VARIANT_FALSE);
    if (FAILED(hr)) {
        errorText = hresultText(hr);
        return hr;
    }
    Bridge bridge(handler);
    hr = reader->putContentHandler(&bridge);
    if (SUCCEEDED(hr)) {
        hr = reader->putErrorHandler(&bridge);
    }
    if (SUCCEEDED(hr)) {
        hr = reader->parseURL(path.c_str());
    }
    // The reader lets go of the handlers before the bridge leaves the stack.
    reader->putContentHandler(nullptr);
    reader->putErrorHandler(nullptr);
    reader.reset();
    if (FAILED(hr)) {
        errorText = bridge.errorText();
        if (errorText.empty()) {
            errorText = L"Unable to open " + path;
        }
    }
    return hr;
}

}  // namespace Platform
