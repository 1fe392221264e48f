// The name patterns of FindFirstFile as NTFS matches them, DOS wildcards and all.
#include "platform/posix/filesystem/pattern.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/text.h"

namespace {

using Platform::toUtf8;
using Platform::Posix::dosPattern;
using Platform::Posix::matchesPattern;

TEST(FindPattern, MatchesAsWindowsListsNames) {
    struct Case {
        const wchar_t* pattern;
        const wchar_t* name;
        bool matches;
    };
    const std::vector<Case> cases = {
        {L"*", L"anything.at.all", true},
        {L"*.*", L"noext", true},  // "*.*" is "*"
        {L"*.txt", L"a.TXT", true},
        {L"*.txt", L"x.txt.bak", false},
        {L"*.", L"noext", true},  // a final dot matches the end of a name without one
        {L"*.", L"a.txt", false},
        {L"?.txt", L"B.txt", true},
        {L"?.txt", L"ab.txt", false},
        {L"?.txt", L".txt", true},  // '?' at a dot matches nothing
        {L"file?", L"file", true},  // and at the end too
        {L"a?c", L"ac", false},     // but not a character that is there
        {L"noext?.*", L"noext", true},
        {L"a*.b", L"a.x.b", true},  // '*' before a dot stops at the name's last dot
        {L"*.b", L"x.b.c", false},
        {L"*x", L"a.x", true},
        {L"SUB", L"sub", true},
        {L"sub", L"subdir", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(matchesPattern(dosPattern(c.pattern), c.name), c.matches)
            << toUtf8(c.pattern) << " ~ " << toUtf8(c.name);
    }
}

}  // namespace
