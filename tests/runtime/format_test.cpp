#include <gtest/gtest.h>

#include "runtime/exceptions.h"
#include "runtime/format.h"

namespace {

TEST(FormatString, ConversionsBehaveAsPrintf) {
    EXPECT_EQ(formatString(L"start %s", std::wstring(L"tavrel --help ")), L"start tavrel --help ");
    EXPECT_EQ(formatString(L"end %s with code %d", L"x", 1), L"end x with code 1");
    EXPECT_EQ(formatString(L"%04d%02d%02d", 2024, 1, 31), L"20240131");
    EXPECT_EQ(formatString(L"%02d:%02d:%02d.%03d", 7, 5, 9, 42), L"07:05:09.042");
    EXPECT_EQ(formatString(L" (Error code %lu)", 5u), L" (Error code 5)");
    EXPECT_EQ(formatString(L"0x%lX", 0xC00CE558u), L"0xC00CE558");
    EXPECT_EQ(formatString(L"%08X", 0x1234u), L"00001234");
    EXPECT_EQ(formatString(L"0x%x", 0xc0000005u), L"0xc0000005");
    EXPECT_EQ(formatString(L"%X %X", 0x1, 0x1F01FF), L"1 1F01FF");
    EXPECT_EQ(formatString(L"100%%"), L"100%");
    EXPECT_EQ(formatString(L"[%5s|%-5s]", L"ab", L"cd"), L"[   ab|cd   ]");
    EXPECT_EQ(formatString(L"%.2s", L"abcdef"), L"ab");
    EXPECT_EQ(formatString(L"%c%c", L'o', L'k'), L"ok");
    EXPECT_EQ(formatString(L"%+d % d %05d", 3, 4, -42), L"+3  4 -0042");
    EXPECT_EQ(formatString(L"%#x %#o", 255, 8), L"0xff 010");
    EXPECT_EQ(formatString(L"%I64d %llu", std::int64_t{-9000000000}, std::uint64_t{18000000000}),
              L"-9000000000 18000000000");
    EXPECT_EQ(formatString(L"%.1f", 2.25), L"2.2");
}

TEST(FormatString, ValuesAreReadAtTheirOwnWidth) {
    // A negative 32-bit value prints as eight hex digits, as printf("%X", int) does.
    EXPECT_EQ(formatString(L"%X", -1), L"FFFFFFFF");
    EXPECT_EQ(formatString(L"%d", 0xFFFFFFFFu), L"-1");
    EXPECT_EQ(formatString(L"%u", -2), L"4294967294");
    EXPECT_EQ(formatString(L"%d", short{-3}), L"-3");
}

TEST(FormatString, NarrowTextIsWidened) {
    EXPECT_EQ(formatString(L"%s|%S", std::string("na\xc3\xafve"), "x"), L"na\u00efve|x");
}

TEST(FormatString, MismatchesRaiseArgumentException) {
    auto expectInvalid = [](auto&& call) {
        try {
            call();
            ADD_FAILURE() << "no exception";
        } catch (const ArgumentException& e) {
            EXPECT_EQ(e.message(), L"swprintf() failed: invalid arguments");
            ASSERT_EQ(e.frames().size(), 1u);
            EXPECT_EQ(e.frames()[0].function, "formatString");
        }
    };
    expectInvalid([] { formatString(L"%s and %s", L"one"); });
    expectInvalid([] { formatString(L"%d", L"text"); });
    expectInvalid([] { formatString(L"%s", 5); });
    expectInvalid([] { formatString(L"%q", 5); });
    expectInvalid([] { formatString(L"trailing %"); });
}

}  // namespace
