#include <gtest/gtest.h>

#include <vector>

#include "frontend/list_file.h"
#include "frontend/params.h"
#include "runtime/exceptions.h"
#include "support/temp_host.h"

namespace {

Params::Map parse(std::vector<const wchar_t*> args) {
    return Params::parse(static_cast<int>(args.size()), args.data());
}

std::wstring failureOf(const Params& params, const Params::Names& required,
                       const Params::Names& optional) {
    try {
        params.check(required, optional);
    } catch (const vexception& e) {
        return renderException(e);
    }
    return L"no failure";
}

TEST(ParamsParse, KeysValuesAndRepeats) {
    auto map = parse({L"--path=C:\\x=y", L"--full-scan", L"--a=1", L"--a=2", L"--b=1", L"--b",
                      L"--Path=z", L"="});
    EXPECT_EQ(map.at(L"--path"), L"C:\\x=y");  // later "=" belong to the value
    EXPECT_EQ(map.at(L"--full-scan"), L"");
    EXPECT_EQ(map.at(L"--a"), L"2");     // the last value wins
    EXPECT_EQ(map.at(L"--b"), L"");      // a bare repeat clears it
    EXPECT_EQ(map.at(L"--Path"), L"z");  // keys are case-sensitive
    EXPECT_EQ(map.at(L""), L"");
    EXPECT_EQ(map.size(), 6u);
    EXPECT_TRUE(parse({}).empty());
}

TEST(ParamsParse, EveryValueOfARepeatedKeyInOrder) {
    std::vector<const wchar_t*> args = {L"--account=a", L"--path=p", L"--account",
                                        L"--account=b=c"};
    Params params(static_cast<int>(args.size()), args.data());
    EXPECT_EQ(params.getAll(L"--account"), (std::vector<std::wstring>{L"a", L"", L"b=c"}));
    EXPECT_EQ(params.get(L"--account"), L"b=c");  // the last, as for any other key
    EXPECT_EQ(params.getAll(L"--path"), std::vector<std::wstring>{L"p"});
    EXPECT_TRUE(params.getAll(L"--user").empty());
    EXPECT_EQ(Params(parse({L"--account=x"})).getAll(L"--account"),
              std::vector<std::wstring>{L"x"});
}

TEST(ParamsCheck, MissingRequiredNamesTheFirstInListOrder) {
    Params params(parse({L"--user-name=u"}));
    EXPECT_EQ(
        failureOf(params, {L"--webspace-name", L"--user-name"}, {L"--web-users", L"--full-scan"}),
        L"Missing required parameter --webspace-name. Possible parameters:\n"
        L"    --webspace-name\n    --user-name\n    [--web-users]\n    [--full-scan]\n"
        L"   at (Params::check line 72)");
    EXPECT_EQ(failureOf(Params(parse({})), {L"--path"}, {}),
              L"Missing required parameter --path. Possible parameters:\n    --path\n   at "
              L"(Params::check line 72)");
}

TEST(ParamsCheck, UnexpectedKeyInKeyOrder) {
    Params params(parse({L"--z", L"--file-name=a.xml", L"--x"}));
    EXPECT_EQ(failureOf(params, {}, {L"--file-name"}),
              L"Unexpected parameter --x. Possible parameters:\n    [--file-name]\n   at "
              L"(Params::check line 105)");
    EXPECT_EQ(failureOf(Params(parse({L"--x"})), {}, {}),
              L"Unexpected parameter --x. \n   at (Params::check line 105)");
    EXPECT_EQ(failureOf(Params(parse({L"--PATH=x"})), {L"--path"}, {}).substr(0, 34),
              L"Missing required parameter --path.");
}

TEST(ParamsCheck, InternalPackageNameAlwaysAccepted) {
    Params params(parse({L"--internal-package-name=anything", L"--file-name=x"}));
    EXPECT_NO_THROW(params.check({}, {L"--file-name"}));
    EXPECT_NO_THROW(Params(parse({L"--internal-package-name"})).check({}, {}));
}

TEST(ParamsAccess, GetHasGetOr) {
    Params params(parse({L"--path", L"--name=n"}));
    EXPECT_TRUE(params.has(L"--path"));
    EXPECT_EQ(params.get(L"--path"), L"");
    EXPECT_EQ(params.getOr(L"--other", L"dflt"), L"dflt");
    EXPECT_EQ(params.getOr(L"--name", L"dflt"), L"n");
    try {
        params.get(L"--missing");
        FAIL();
    } catch (const vexception& e) {
        EXPECT_EQ(renderException(e),
                  L"Missing required parameter --missing. \n   at (Params::reportMissingParameter "
                  L"line 39)");
    }
}

TEST(PossibleParameters, OptionalOnlyAndEmptyLists) {
    EXPECT_EQ(Params::possibleParameters({}, {L"--a", L"--b"}),
              L"Possible parameters:\n    [--a]\n    [--b]");
    EXPECT_EQ(Params::possibleParameters({L"--path"}, {L"--a", L"--b"}),
              L"Possible parameters:\n    --path\n    [--a]\n    [--b]");
    EXPECT_EQ(Params::possibleParameters({}, {}), L"");
}

}  // namespace

namespace {

TEST(ListFiles, ItemsSplitAtLineEndsWithBlanksDropped) {
    TestSupport::TempHost host;
    const struct {
        std::string content;
        std::vector<std::wstring> items;
    } cases[] = {
        {"u1\r\nu2\r\n", {L"u1", L"u2"}},
        {"u1\n\n\r\n u2 \r\r", {L"u1", L" u2 "}},  // items are not trimmed
        {"", {}},
        {"\xc3\xa9t\xc3\xa9", {L"\u00e9t\u00e9"}},  // UTF-8 on the emulated host
    };
    for (const auto& c : cases) {
        TestSupport::writeFile(host.driveC() / "list.txt", c.content);
        EXPECT_EQ(readListFile(L"C:\\list.txt"), c.items) << c.content;
    }
    // A NUL makes no list; a missing file names itself.
    TestSupport::writeFile(host.driveC() / "list.txt", std::string("u1\0u2", 5));
    EXPECT_THROW(readListFile(L"C:\\list.txt"), vexception);
    try {
        readListFile(L"C:\\missing.txt");
        ADD_FAILURE() << "read a missing list file";
    } catch (const vexception& e) {
        EXPECT_NE(renderException(e).find(L"C:\\missing.txt"), std::wstring::npos);
    }
    EXPECT_EQ(splitTemplateList(L"a.xml,,b.xml, c.xml,"),
              (std::vector<std::wstring>{L"a.xml", L"b.xml", L" c.xml"}));
    EXPECT_TRUE(splitTemplateList(L"").empty());
}

}  // namespace
