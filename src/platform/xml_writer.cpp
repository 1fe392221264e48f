#include "platform/text.h"
#include "platform/xml.h"

namespace Platform {
namespace {

// Escapes text for an attribute value (quote and the white space that attribute-value
// normalisation would otherwise turn into blanks) or for character data.
std::string escape(const std::wstring& text, bool attribute) {
    std::string out;
    for (char c : toUtf8(text)) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += attribute ? "&quot;" : "\"";
                break;
            case '\t':
                out += attribute ? "&#9;" : "\t";
                break;
            case '\n':
                out += attribute ? "&#10;" : "\n";
                break;
            case '\r':
                out += "&#13;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

}  // namespace

void SaxXmlWriter::startDocument() {
    output_ +=
        "<?xml version=\"1.0\" encoding=\"" + toUtf8(encoding_) + "\" standalone=\"no\"?>\r\n";
}

void SaxXmlWriter::endDocument() {
    _closePendingTag();
}

void SaxXmlWriter::_closePendingTag() {
    if (tagOpen_) {
        output_ += '>';
        tagOpen_ = false;
    }
}

void SaxXmlWriter::startElement(const std::wstring& qName, const Attributes& attributes) {
    _closePendingTag();
    output_ += '<';
    output_ += toUtf8(qName);
    for (const auto& [name, value] : attributes) {
        output_ += ' ';
        output_ += toUtf8(name);
        output_ += "=\"";
        output_ += escape(value, true);
        output_ += '"';
    }
    tagOpen_ = true;
}

void SaxXmlWriter::endElement(const std::wstring& qName) {
    if (tagOpen_) {
        output_ += "/>";
        tagOpen_ = false;
        return;
    }
    output_ += "</" + toUtf8(qName) + ">";
}

void SaxXmlWriter::characters(const std::wstring& text) {
    _closePendingTag();
    output_ += escape(text, false);
}

}  // namespace Platform
