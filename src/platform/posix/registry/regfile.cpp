#include "platform/posix/registry/regfile.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "platform/registry.h"
#include "platform/text.h"

namespace Platform::Posix {
namespace {

constexpr std::wstring_view fileHeader = L"Windows Registry Editor Version 5.00";
constexpr std::wstring_view rootName = L"HKEY_LOCAL_MACHINE";

// regedit breaks hex data after the comma that reaches this column, and indents the
// continuation by two spaces; Wine's regedit does the same.
constexpr std::size_t hexLineLimit = 77;

// The escapes of a quoted text: the letter after the backslash and the character it stands for.
struct Escape {
    wchar_t letter;
    wchar_t character;
};
constexpr Escape escapes[] = {{L'\\', L'\\'}, {L'"', L'"'}, {L'n', L'\n'}, {L'r', L'\r'}};

bool isBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r';
}

std::wstring_view trim(std::wstring_view s) {
    while (!s.empty() && isBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && isBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

bool startsWithNoCase(std::wstring_view s, std::wstring_view prefix) {
    return s.size() >= prefix.size() && equalsNoCase(s.substr(0, prefix.size()), prefix);
}

bool decodeText(std::string_view bytes, std::wstring& text, RegFileError& error) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (bytes.size() >= 2 && byte(0) == 0xFF && byte(1) == 0xFE) {
        if (bytes.size() % 2 != 0) {
            error = {0, "UTF-16LE text with an odd number of bytes"};
            return false;
        }
        std::u16string units;
        units.reserve(bytes.size() / 2);
        for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
            units.push_back(static_cast<char16_t>(byte(i) | (byte(i + 1) << 8)));
        }
        text = fromUtf16(units);
        return true;
    }
    if (bytes.size() >= 2 && byte(0) == 0xFE && byte(1) == 0xFF) {
        error = {0, "UTF-16 big-endian text is not supported (use UTF-8 or UTF-16LE)"};
        return false;
    }
    if (bytes.size() >= 3 && byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF) {
        bytes.remove_prefix(3);
    }
    text = fromUtf8(bytes);
    return true;
}

std::vector<std::uint8_t> stringData(std::wstring_view text) {
    std::u16string units = toUtf16(text);
    std::vector<std::uint8_t> data;
    data.reserve(units.size() * 2 + 2);
    for (char16_t unit : units) {
        data.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        data.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    data.push_back(0);
    data.push_back(0);
    return data;
}

class Parser {
public:
    Parser(const std::wstring& text, std::vector<RegFileSection>& sections, RegFileError& error)
        : sections_(sections), error_(error) {
        std::size_t start = 0;
        while (start <= text.size()) {
            std::size_t end = text.find(L'\n', start);
            if (end == std::wstring::npos) {
                end = text.size();
            }
            lines_.push_back(text.substr(start, end - start));
            start = end + 1;
        }
    }

    bool run() {
        bool headerSeen = false;
        for (index_ = 0; index_ < lines_.size(); ++index_) {
            std::wstring_view line = trim(lines_[index_]);
            if (line.empty() || line.front() == L';') {
                continue;
            }
            if (!headerSeen) {
                if (line != fileHeader) {
                    return fail(
                        "the file does not start with \"Windows Registry Editor Version 5.00\"");
                }
                headerSeen = true;
                continue;
            }
            bool ok = line.front() == L'[' ? parseSection(line) : parseValue(line);
            if (!ok) {
                return false;
            }
        }
        if (!headerSeen) {
            error_ = {0, "empty file: no \"Windows Registry Editor Version 5.00\" header"};
            return false;
        }
        return true;
    }

private:
    bool fail(std::string reason) {
        error_ = {index_ + 1, std::move(reason)};
        return false;
    }

    bool parseSection(std::wstring_view line) {
        if (line.back() != L']') {
            return fail("a key line must end with ']'");
        }
        line = line.substr(1, line.size() - 2);
        RegFileSection section;
        section.line = index_ + 1;
        if (!line.empty() && line.front() == L'-') {
            section.remove = true;
            line.remove_prefix(1);
        }
        std::wstring_view root = line.substr(0, line.find(L'\\'));
        if (!equalsNoCase(root, rootName) && !equalsNoCase(root, L"HKLM")) {
            return fail("only HKEY_LOCAL_MACHINE is emulated, not '" + toUtf8(root) + "'");
        }
        line.remove_prefix(root.size());
        // Empty components (a doubled or final backslash) name nothing; regedit skips them too.
        for (std::size_t pos = 0; pos < line.size();) {
            std::size_t end = line.find(L'\\', pos);
            if (end == std::wstring_view::npos) {
                end = line.size();
            }
            if (end > pos) {
                if (!section.path.empty()) {
                    section.path += L'\\';
                }
                section.path += line.substr(pos, end - pos);
            }
            pos = end + 1;
        }
        sections_.push_back(std::move(section));
        return true;
    }

    // A quoted text starting at line[pos] == '"'; leaves pos after the closing quote.
    bool parseQuoted(std::wstring_view line, std::size_t& pos, std::wstring& out) {
        for (++pos; pos < line.size(); ++pos) {
            wchar_t c = line[pos];
            if (c == L'"') {
                ++pos;
                return true;
            }
            if (c == L'\\') {
                if (++pos == line.size()) {
                    break;
                }
                const Escape* escape =
                    std::find_if(std::begin(escapes), std::end(escapes),
                                 [&](Escape e) { return e.letter == line[pos]; });
                if (escape == std::end(escapes)) {
                    return fail("unknown escape '\\" + toUtf8(line.substr(pos, 1)) +
                                "' in a quoted text (write a backslash as \\\\)");
                }
                out += escape->character;
                continue;
            }
            out += c;
        }
        return fail("a quoted text has no closing '\"'");
    }

    bool parseValue(std::wstring_view line) {
        if (sections_.empty()) {
            return fail("a value before the first [key] line");
        }
        RegFileValue value;
        std::size_t pos = 0;
        if (line.front() == L'@') {
            pos = 1;
        } else if (line.front() == L'"') {
            if (!parseQuoted(line, pos, value.name)) {
                return false;
            }
        } else {
            return fail("expected a [key], a \"name\"=value or @=value line");
        }
        std::wstring_view rest = trim(line.substr(pos));
        if (rest.empty() || rest.front() != L'=') {
            return fail("expected '=' after the value name");
        }
        rest = trim(rest.substr(1));
        if (!parseData(rest, value)) {
            return false;
        }
        sections_.back().values.push_back(std::move(value));
        return true;
    }

    bool parseData(std::wstring_view rest, RegFileValue& value) {
        if (rest == L"-") {
            value.remove = true;
            return true;
        }
        if (!rest.empty() && rest.front() == L'"') {
            std::size_t pos = 0;
            std::wstring text;
            if (!parseQuoted(rest, pos, text)) {
                return false;
            }
            if (!trim(rest.substr(pos)).empty()) {
                return fail("unexpected text after the closing '\"'");
            }
            value.type = Reg::RegSz;
            value.data = stringData(text);
            return true;
        }
        if (startsWithNoCase(rest, L"dword:")) {
            std::wstring_view digits = rest.substr(6);
            if (digits.empty() || digits.size() > 8) {
                return fail("a dword needs one to eight hex digits");
            }
            std::uint32_t number = 0;
            for (wchar_t c : digits) {
                int d = hexDigitValue(c);
                if (d < 0) {
                    return fail("a dword needs one to eight hex digits");
                }
                number = number << 4 | static_cast<std::uint32_t>(d);
            }
            value.type = Reg::RegDword;
            value.data = {static_cast<std::uint8_t>(number), static_cast<std::uint8_t>(number >> 8),
                          static_cast<std::uint8_t>(number >> 16),
                          static_cast<std::uint8_t>(number >> 24)};
            return true;
        }
        if (startsWithNoCase(rest, L"hex")) {
            rest.remove_prefix(3);
            value.type = Reg::RegBinary;
            if (!rest.empty() && rest.front() == L'(') {
                std::size_t close = rest.find(L')');
                if (close == std::wstring_view::npos || close == 1 || close > 9) {
                    return fail("a hex(N) type needs one to eight hex digits");
                }
                std::uint32_t type = 0;
                for (wchar_t c : rest.substr(1, close - 1)) {
                    int d = hexDigitValue(c);
                    if (d < 0) {
                        return fail("a hex(N) type needs one to eight hex digits");
                    }
                    type = type << 4 | static_cast<std::uint32_t>(d);
                }
                value.type = type;
                rest.remove_prefix(close + 1);
            }
            if (rest.empty() || rest.front() != L':') {
                return fail("expected ':' after hex");
            }
            return parseHexList(rest.substr(1), value.data);
        }
        return fail("unknown value data (expected \"text\", dword:, hex:, hex(N): or -)");
    }

    // Comma-separated bytes; a final backslash continues the list on the next line.
    bool parseHexList(std::wstring_view first, std::vector<std::uint8_t>& data) {
        // Faults are reported at the value's first line, where an editor finds the value.
        const std::size_t start = index_;
        auto failHere = [&](std::string reason) {
            index_ = start;
            return fail(std::move(reason));
        };
        std::wstring list;
        std::wstring_view part = trim(first);
        while (!part.empty() && part.back() == L'\\') {
            list += part.substr(0, part.size() - 1);
            if (index_ + 1 >= lines_.size()) {
                return failHere("hex data continued past the end of the file");
            }
            part = trim(lines_[++index_]);
            if (part.empty()) {
                return failHere("hex data continued by an empty line");
            }
        }
        list += part;
        std::wstring_view all = list;
        if (trim(all).empty()) {
            return true;
        }
        for (std::size_t pos = 0; pos <= all.size();) {
            std::size_t end = all.find(L',', pos);
            if (end == std::wstring_view::npos) {
                end = all.size();
            }
            std::wstring_view token = trim(all.substr(pos, end - pos));
            bool last = end == all.size();
            if (token.empty() && last && pos > 0) {
                break;  // a trailing comma
            }
            int high = token.size() == 2 ? hexDigitValue(token[0]) : 0;
            int low = token.empty() ? -1 : hexDigitValue(token.back());
            if (token.empty() || token.size() > 2 || high < 0 || low < 0) {
                return failHere("hex data must be bytes of two hex digits separated by commas");
            }
            data.push_back(static_cast<std::uint8_t>(high << 4 | low));
            pos = end + 1;
        }
        return true;
    }

    std::vector<std::wstring> lines_;
    std::vector<RegFileSection>& sections_;
    RegFileError& error_;
    std::size_t index_ = 0;
};

std::string escapeQuoted(std::wstring_view text) {
    std::wstring out;
    out.reserve(text.size() + 2);
    out += L'"';
    for (wchar_t c : text) {
        const Escape* escape = std::find_if(std::begin(escapes), std::end(escapes),
                                            [&](Escape e) { return e.character == c; });
        if (escape == std::end(escapes)) {
            out += c;
        } else {
            out += L'\\';
            out += escape->letter;
        }
    }
    out += L'"';
    return toUtf8(out);
}

// The text of REG_SZ data when it has one: UTF-16LE, one terminating NUL and no other, and
// nothing that the conversion through UTF-8 would alter (an unpaired surrogate).
bool textForm(const std::vector<std::uint8_t>& data, std::wstring& text) {
    if (data.size() < 2 || data.size() % 2 != 0) {
        return false;
    }
    std::u16string units;
    for (std::size_t i = 0; i < data.size(); i += 2) {
        units.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
    }
    if (units.back() != 0) {
        return false;
    }
    units.pop_back();
    if (units.find(char16_t{0}) != std::u16string::npos) {
        return false;
    }
    text = fromUtf16(units);
    return toUtf16(text) == units;
}

void formatHex(std::string& out, const std::vector<std::uint8_t>& data, std::size_t column) {
    char digits[4];
    for (std::size_t i = 0; i < data.size(); ++i) {
        std::snprintf(digits, sizeof(digits), "%02x", data[i]);
        out += digits;
        if (i + 1 == data.size()) {
            break;
        }
        out += ',';
        column += 3;
        if (column >= hexLineLimit) {
            out += "\\\n  ";
            column = 2;
        }
    }
}

void formatValue(std::string& out, const RegFileValue& value) {
    std::string line = value.name.empty() ? "@" : escapeQuoted(value.name);
    line += '=';
    if (value.remove) {
        out += line + "-\n";
        return;
    }
    std::wstring text;
    if (value.type == Reg::RegSz && textForm(value.data, text)) {
        out += line + escapeQuoted(text) + "\n";
        return;
    }
    if (value.type == Reg::RegDword && value.data.size() == 4) {
        char number[16];
        std::uint32_t n = value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
                          static_cast<std::uint32_t>(value.data[3]) << 24;
        std::snprintf(number, sizeof(number), "dword:%08x", n);
        out += line + number + "\n";
        return;
    }
    if (value.type == Reg::RegBinary) {
        line += "hex:";
    } else {
        char type[24];
        std::snprintf(type, sizeof(type), "hex(%x):", value.type);
        line += type;
    }
    // The column counts characters as regedit does, not UTF-8 bytes.
    std::size_t column = fromUtf8(line).size();
    out += line;
    formatHex(out, value.data, column);
    out += '\n';
}

}  // namespace

std::string RegFileError::text() const {
    return line == 0 ? reason : "line " + std::to_string(line) + ": " + reason;
}

bool parseRegFile(std::string_view bytes, std::vector<RegFileSection>& sections,
                  RegFileError& error) {
    std::wstring text;
    if (!decodeText(bytes, text, error)) {
        return false;
    }
    std::vector<RegFileSection> parsed;
    Parser parser(text, parsed, error);
    if (!parser.run()) {
        return false;
    }
    sections = std::move(parsed);
    return true;
}

std::string formatRegFile(const std::vector<RegFileSection>& sections) {
    std::string out = toUtf8(fileHeader);
    out += "\n\n";
    for (const RegFileSection& section : sections) {
        out += section.remove ? "[-" : "[";
        out += toUtf8(rootName);
        if (!section.path.empty()) {
            out += '\\';
            out += toUtf8(section.path);
        }
        out += "]\n";
        for (const RegFileValue& value : section.values) {
            formatValue(out, value);
        }
        out += '\n';
    }
    return out;
}

}  // namespace Platform::Posix
