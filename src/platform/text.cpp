#include "platform/text.h"

#include <algorithm>

namespace Platform {
namespace {

constexpr char32_t replacement = 0xFFFD;

bool validScalar(char32_t c) {
    return c < 0x110000 && (c < 0xD800 || c > 0xDFFF);
}

void appendUtf8(std::string& out, char32_t c) {
    if (!validScalar(c)) {
        c = replacement;
    }
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Code points of a wide string: UTF-32 where wchar_t has 32 bits, UTF-16 where it has 16.
template <typename F>
void forEachCodePoint(std::wstring_view text, F&& f) {
    if constexpr (sizeof(wchar_t) == 2) {
        for (std::size_t i = 0; i < text.size(); ++i) {
            char32_t c = static_cast<char16_t>(text[i]);
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
                char32_t low = static_cast<char16_t>(text[i + 1]);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                    ++i;
                }
            }
            f(c);
        }
    } else {
        for (wchar_t w : text) {
            f(static_cast<char32_t>(w));
        }
    }
}

void appendWide(std::wstring& out, char32_t c) {
    if (!validScalar(c)) {
        c = replacement;
    }
    if constexpr (sizeof(wchar_t) == 2) {
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<wchar_t>(0xD800 + (c >> 10));
            out += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
            return;
        }
    }
    out += static_cast<wchar_t>(c);
}

}  // namespace

void appendUtf8(std::string& out, std::wstring_view text) {
    forEachCodePoint(text, [&](char32_t c) { appendUtf8(out, c); });
}

std::string toUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    appendUtf8(out, text);
    return out;
}

std::string percentEncoded(std::string_view bytes, bool (*keep)(unsigned char c, std::size_t at)) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (keep(c, i)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0xF];
        }
    }
    return out;
}

std::wstring fromUtf8(std::string_view text) {
    std::wstring out;
    appendFromUtf8(out, text);
    return out;
}

void appendFromUtf8(std::wstring& out, std::string_view text) {
    out.reserve(out.size() + text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        // A run of ASCII (most of every name and path) is copied as it stands.
        std::size_t run = i;
        while (run < text.size() && static_cast<unsigned char>(text[run]) < 0x80) {
            ++run;
        }
        if (run > i) {
            std::size_t at = out.size();
            out.resize(at + (run - i));
            std::copy(text.begin() + static_cast<std::ptrdiff_t>(i),
                      text.begin() + static_cast<std::ptrdiff_t>(run),
                      out.begin() + static_cast<std::ptrdiff_t>(at));
            i = run;
            continue;
        }
        unsigned char lead = static_cast<unsigned char>(text[i]);
        int extra = lead < 0x80           ? 0
                    : (lead >> 5) == 0x6  ? 1
                    : (lead >> 4) == 0xE  ? 2
                    : (lead >> 3) == 0x1E ? 3
                                          : -1;
        if (extra < 0 || i + static_cast<std::size_t>(extra) >= text.size()) {
            appendWide(out, replacement);
            ++i;
            continue;
        }
        char32_t c = extra == 0   ? lead
                     : extra == 1 ? (lead & 0x1F)
                     : extra == 2 ? (lead & 0x0F)
                                  : (lead & 0x07);
        bool ok = true;
        for (int k = 1; k <= extra; ++k) {
            unsigned char cont = static_cast<unsigned char>(text[i + k]);
            if ((cont & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            c = (c << 6) | (cont & 0x3F);
        }
        static constexpr char32_t minimum[] = {0, 0x80, 0x800, 0x10000};
        if (!ok || c < minimum[extra]) {
            appendWide(out, replacement);
            ++i;
            continue;
        }
        appendWide(out, c);
        i += static_cast<std::size_t>(extra) + 1;
    }
}

std::u16string toUtf16(std::wstring_view text) {
    std::u16string out;
    out.reserve(text.size());
    forEachCodePoint(text, [&](char32_t c) {
        if (!validScalar(c)) {
            c = replacement;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    });
    return out;
}

std::wstring fromUtf16(std::u16string_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        appendWide(out, c);
    }
    return out;
}

std::wstring toUpper(std::wstring_view text) {
    std::wstring out(text);
    for (auto& c : out) {
        c = upcase(c);
    }
    return out;
}

std::wstring toLower(std::wstring_view text) {
    std::wstring out(text);
    for (auto& c : out) {
        c = downcase(c);
    }
    return out;
}

int digitValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') {
        return c - L'0';
    }
    if (c >= L'a' && c <= L'z') {
        return c - L'a' + 10;
    }
    if (c >= L'A' && c <= L'Z') {
        return c - L'A' + 10;
    }
    return -1;
}

int hexDigitValue(wchar_t c) {
    int value = digitValue(c);
    return value < 16 ? value : -1;
}

int compareNoCase(std::wstring_view a, std::wstring_view b) {
    std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        wchar_t ca = a[i];
        wchar_t cb = b[i];
        if (ca == cb) {
            continue;
        }
        // Paths and account names are mostly ASCII: fold those without the locale tables.
        if (ca < 0x80 && cb < 0x80) {
            ca = (ca >= L'a' && ca <= L'z') ? static_cast<wchar_t>(ca - 32) : ca;
            cb = (cb >= L'a' && cb <= L'z') ? static_cast<wchar_t>(cb - 32) : cb;
        } else {
            ca = upcase(ca);
            cb = upcase(cb);
        }
        if (ca != cb) {
            return ca < cb ? -1 : 1;
        }
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

std::wstring quoteCommandLineArgument(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return arg;
    }
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            out.append(backslashes * 2 + 1, L'\\');
        } else {
            out.append(backslashes, L'\\');
        }
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    out += L'"';
    return out;
}

}  // namespace Platform
