// Corpora of cases for the string functions: tests/data/<name>.txt, one `input -> expected`
// case a line, compiled into the test program (cmake/EmbedCorpora.cmake).
//
// A line is `input -> expected`, with one " -> " in it; lines that are empty or start with '#'
// are skipped. A text is taken as written, except that `""` alone is the empty text and
// `\x{HEX}` (one to four hexadecimal digits) is the character with that code. Write a space at
// either end of a text, a text of two quotes, " -> " inside a text or a literal `\x{` with an
// escape; any other backslash is itself.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text.h"

namespace TestSupport {

struct CorpusCase {
    std::string file;  // tests/data/<name>.txt
    int line = 0;
    std::wstring input;
    std::wstring expected;
};

// The cases of tests/data/<name>.txt; throws std::runtime_error naming the file and line of a
// malformed case, or a corpus that is not there.
std::vector<CorpusCase> loadCorpus(std::string_view name);

// Runs `check(input, expected)` for each case, the case named by its file, line and input.
template <typename Check>
void forEachCase(std::string_view name, Check check) {
    for (const CorpusCase& c : loadCorpus(name)) {
        ::testing::ScopedTrace trace(c.file.c_str(), c.line, Platform::toUtf8(c.input));
        check(c.input, c.expected);
    }
}

// Expects `function(input)` to give the expected text for each case.
template <typename Function>
void expectCorpus(std::string_view name, Function function) {
    forEachCase(name, [&](const std::wstring& input, const std::wstring& expected) {
        EXPECT_EQ(function(input), expected);
    });
}

// The corpora as compiled in, by file name.
struct EmbeddedCorpus {
    const char* name;
    std::string_view text;
};
extern const EmbeddedCorpus embeddedCorpora[];
extern const std::size_t embeddedCorpusCount;

}  // namespace TestSupport
