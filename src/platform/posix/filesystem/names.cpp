// The names of the emulated host: one POSIX name as Windows shows it, and back.
#include "platform/posix/filesystem/names.h"

#include "platform/text.h"

namespace Platform::Posix {
namespace {

// Windows refuses these in names (the wildcards included: they only make sense in a search
// pattern, whose last component never comes here).
bool isForbiddenInName(wchar_t c) {
    return (c > 0 && c < 0x20) || c == L'\\' || c == L':' || c == L'*' || c == L'?' || c == L'"' ||
           c == L'<' || c == L'>' || c == L'|';
}

constexpr wchar_t privateUseBase = 0xF000;

}  // namespace

std::wstring windowsNameOf(std::string_view posixName) {
    std::wstring name;
    appendWindowsName(posixName, name);
    return name;
}

namespace {

// The private-use characters that stand for the bytes of a name that are not UTF-8: U+F080 for
// 0x80 up to U+F0FF for 0xFF. The characters Windows forbids (below 0x80) take U+F000 to
// U+F07F, so the two uses never meet.
constexpr wchar_t byteBase = privateUseBase + 0x80;
constexpr wchar_t privateUseEnd = privateUseBase + 0x100;

// The length of the well-formed UTF-8 sequence at the start of `bytes` (RFC 3629: no overlong
// form, no surrogate, nothing above U+10FFFF), with its code point; 0 when there is none.
std::size_t utf8Sequence(std::string_view bytes, char32_t& c) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    unsigned char lead = byte(0);
    std::size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2
                         : (lead >> 4) == 0xE                           ? 3
                         : lead >= 0xF0 && lead <= 0xF4                 ? 4
                                                                        : 0;
    if (length == 0 || length > bytes.size()) {
        return 0;
    }
    c = length == 1 ? lead : length == 2 ? (lead & 0x1F) : length == 3 ? (lead & 0x0F) : (lead & 0x07);
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(k) & 0xC0) != 0x80) {
            return 0;
        }
        c = (c << 6) | (byte(k) & 0x3F);
    }
    static constexpr char32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < minimum[length] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
        return 0;
    }
    return length;
}

}  // namespace

void appendWindowsName(std::string_view posixName, std::wstring& out) {
    std::size_t start = out.size();
    out.reserve(start + posixName.size());
    for (std::size_t i = 0; i < posixName.size();) {
        unsigned char lead = static_cast<unsigned char>(posixName[i]);
        if (lead < 0x80) {
            wchar_t c = static_cast<wchar_t>(lead);
            out += isForbiddenInName(c) ? static_cast<wchar_t>(privateUseBase + c) : c;
            ++i;
            continue;
        }
        // A byte that begins no well-formed sequence stands for itself, U+F000 plus the byte, as
        // does each byte of a character of the private-use range that the mapping speaks in:
        // two different names on the disk never show as one, and each leads back to its own.
        char32_t c = 0;
        std::size_t length = utf8Sequence(posixName.substr(i), c);
        if (length == 0 || (c >= privateUseBase && c < privateUseEnd)) {
            out += static_cast<wchar_t>(privateUseBase + lead);
            ++i;
            continue;
        }
        out += static_cast<wchar_t>(c);
        i += length;
    }
    // Windows strips a trailing dot or blank from a name it is given, so "d." would lead to
    // "d": the last character moves too, and the name no longer ends in one.
    std::wstring_view name = std::wstring_view(out).substr(start);
    if (!name.empty() && (name.back() == L'.' || name.back() == L' ') && name != L"." &&
        name != L"..") {
        out.back() = static_cast<wchar_t>(privateUseBase + out.back());
    }
}

bool appendPosixName(std::wstring_view windowsName, std::string& out) {
    // Every component of every path opened comes through here: runs of plain characters are
    // encoded as they stand.
    std::size_t start = out.size();
    std::size_t size = windowsName.size();
    std::size_t run = 0;
    auto flush = [&](std::size_t end) {
        if (end > run) {
            appendUtf8(out, windowsName.substr(run, end - run));
        }
        run = end + 1;
    };
    for (std::size_t i = 0; i < size; ++i) {
        wchar_t c = windowsName[i];
        if (c == 0 || c == L'/' || isForbiddenInName(c)) {
            return false;
        }
        if (c < privateUseBase || c >= privateUseEnd) {
            continue;
        }
        if (c >= byteBase) {
            flush(i);
            out += static_cast<char>(c - privateUseBase);
        } else if (isForbiddenInName(static_cast<wchar_t>(c - privateUseBase)) ||
                   (i + 1 == size && (c == privateUseBase + L'.' || c == privateUseBase + L' '))) {
            // A moved character; a moved dot or blank is only ever the last one, elsewhere
            // U+F02E and U+F020 are characters of the name.
            flush(i);
            out += static_cast<char>(c - privateUseBase);
        }
    }
    flush(size);
    // A name given with a plain trailing dot (through "\\?\", which strips nothing) names the
    // same POSIX file. Whatever its spelling, a name never comes out as "." or "..": Windows
    // has no object of either name, and the POSIX ones are the directory and its parent.
    std::string_view name = std::string_view(out).substr(start);
    if (name == "." || name == "..") {
        out.resize(start);
        return false;
    }
    return true;
}

std::optional<std::string> posixNameOf(std::wstring_view windowsName) {
    std::string name;
    if (!appendPosixName(windowsName, name)) {
        return std::nullopt;
    }
    return name;
}

}  // namespace Platform::Posix
