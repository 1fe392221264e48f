// Text conversions. Wide strings are the text of the whole system; UTF-8 is used at the POSIX
// boundary and UTF-16LE where Windows stores text on disk (log files, registry imports).
#pragma once

#include <string>
#include <string_view>

namespace Platform {

// Wide to UTF-8 and back. Invalid input is replaced by U+FFFD, never rejected.
std::string toUtf8(std::wstring_view text);
// toUtf8, appended to `out`.
void appendUtf8(std::string& out, std::wstring_view text);
std::wstring fromUtf8(std::string_view text);
// fromUtf8, appended to `out`.
void appendFromUtf8(std::wstring& out, std::string_view text);

// `bytes` with every byte that `keep` (given the byte and its offset) refuses written as '%' and
// two upper-case hexadecimal digits: a name made safe for a file name.
std::string percentEncoded(std::string_view bytes, bool (*keep)(unsigned char c, std::size_t at));

// Wide to UTF-16 code units (surrogate pairs above the BMP) and back.
std::u16string toUtf16(std::wstring_view text);
std::wstring fromUtf16(std::u16string_view text);

// The ANSI code page form used for narrow exception texts (UTF-8 here, as a Windows process
// with the UTF-8 code page would use).
inline std::string toAnsi(std::wstring_view text) {
    return toUtf8(text);
}
inline std::wstring fromAnsi(std::string_view text) {
    return fromUtf8(text);
}

// Simple case mapping of one character by the Unicode tables, as Windows maps names.
wchar_t upcase(wchar_t c);
wchar_t downcase(wchar_t c);

// The value of one digit of a base up to 36 (0-9, then a-z or A-Z for 10 to 35), or -1.
int digitValue(wchar_t c);
// The value of one hexadecimal digit, or -1.
int hexDigitValue(wchar_t c);

// Ordinal case-insensitive comparison as Windows compares names (simple upper-casing).
int compareNoCase(std::wstring_view a, std::wstring_view b);
inline bool equalsNoCase(std::wstring_view a, std::wstring_view b) {
    return compareNoCase(a, b) == 0;
}
std::wstring toUpper(std::wstring_view text);
std::wstring toLower(std::wstring_view text);

// One argument quoted so that CommandLineToArgvW gives it back unchanged.
std::wstring quoteCommandLineArgument(const std::wstring& arg);

}  // namespace Platform
