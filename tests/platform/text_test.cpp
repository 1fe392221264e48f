// The text conversions at the POSIX boundary: UTF-8 decoded into wide text, what is not UTF-8
// replaced and never dropped, appended behind what is already there.
#include <gtest/gtest.h>

#include <string>

#include "platform/text.h"

namespace {

TEST(TextConversion, Utf8IsDecodedAndWhatIsInvalidReplaced) {
    const struct {
        const char* utf8;
        std::wstring wide;
    } cases[] = {
        {"", L""},
        {"index.html", L"index.html"},
        // ASCII runs around characters of two, three and four bytes.
        {"caf\xC3\xA9-\xE2\x82\xAC-\xF0\x9F\x98\x80.txt", L"caf\u00E9-\u20AC-\U0001F600.txt"},
        {"\xC3\xA9x", L"\u00E9x"},
        // A stray continuation byte, a lead byte cut short, an overlong form: one U+FFFD each,
        // and the ASCII after it kept.
        {"a\x80z", L"a\uFFFDz"},
        {"ab\xE2\x82", L"ab\uFFFD\uFFFD"},
        {"\xC0\xAFx", L"\uFFFD\uFFFDx"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Platform::fromUtf8(c.utf8), c.wide) << c.utf8;
        std::wstring appended = L"C:\\";
        Platform::appendFromUtf8(appended, c.utf8);
        EXPECT_EQ(appended, L"C:\\" + c.wide) << c.utf8;
        EXPECT_EQ(Platform::fromUtf8(Platform::toUtf8(c.wide)), c.wide) << c.utf8;
    }
}

}  // namespace
