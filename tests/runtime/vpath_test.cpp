#include "runtime/vpath.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "support/corpus.h"

namespace {

using TestSupport::expectCorpus;

std::wstring orQuotes(std::wstring_view text) {
    return text.empty() ? L"\"\"" : std::wstring(text);
}

TEST(VPathTest, FormsOfEnteredPaths) {
    expectCorpus("vpath_forms", [](const std::wstring& input) {
        VPath path(input);
        return orQuotes(path.longForm()) + L" | " + orQuotes(path.shown()) + L" | " +
               orQuotes(path.parent().longForm()) + L" | " + orQuotes(path.name());
    });
}

TEST(VPathTest, PartBelowARoot) {
    expectCorpus("vpath_below", [](const std::wstring& input) {
        std::size_t bar = input.find(L" | ");
        VPath path(input.substr(0, bar));
        VPath root(input.substr(bar + 3));
        std::optional<std::wstring_view> below = path.below(root);
        EXPECT_EQ(path.isAtOrBelow(root), below.has_value());
        return below ? std::wstring(*below) : std::wstring(L"outside");
    });
}

// A walk's path extended by listed names equals the path entered whole, and cut back is the
// directory again, whatever the case of either.
TEST(VPathTest, ExtendedByListedNamesAndCutBack) {
    const wchar_t* roots[] = {L"C:", L"C:\\vhosts", L"\\\\server\\share", L"rel"};
    for (const wchar_t* text : roots) {
        SCOPED_TRACE(Platform::toUtf8(text));
        VPath root(text);
        VPath walked = root;
        std::size_t back = walked.extend(L"Example.COM");
        std::size_t deeper = walked.extend(L"a b.");
        EXPECT_EQ(walked, VPath(std::wstring(text) + L"\\example.com\\A B."));
        EXPECT_EQ(walked.longForm(), root.child(L"Example.COM").child(L"a b.").longForm());
        EXPECT_EQ(walked.parent().longForm(), root.child(L"Example.COM").longForm());
        EXPECT_EQ(walked.compare(root), PathBelow);
        EXPECT_EQ(root.compare(walked), PathAbove);
        walked.cutTo(deeper);
        EXPECT_EQ(walked.name(), L"Example.COM");
        walked.cutTo(back);
        EXPECT_EQ(walked.longForm(), root.longForm());
    }
}

}  // namespace
