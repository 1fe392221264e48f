#include <gtest/gtest.h>

#include "platform/types.h"
#include "runtime/exceptions.h"

namespace {

template <typename Expected>
void expectThrownAs(std::uint32_t code) {
    try {
        throwOsError(L"ctx", code, VSITE("test"));
    } catch (const Expected& e) {
        EXPECT_EQ(e.errorCode(), code);
        return;
    } catch (...) {
    }
    ADD_FAILURE() << "code " << code << " did not raise the expected class";
}

TEST(OsException, MessageIsSystemTextCodeAndContext) {
    vosexception e(5, L"open x", CallSite{L"", "f", 1});
    EXPECT_EQ(e.message(), L"Access is denied. (Error code 5) at open x");
    EXPECT_EQ(e.errorCode(), 5u);

    vosexception noContext(2, L"", CallSite{});
    EXPECT_EQ(noContext.message(), L"The system cannot find the file specified. (Error code 2)");
}

TEST(OsException, UndescribedCodeGivesUnknownError) {
    vosexception e(0x7777, L"x", CallSite{});
    EXPECT_EQ(e.message(), L"Unknown error (Error code 30583) at x");
}

TEST(OsException, FactoryChoosesClassByCode) {
    expectThrownAs<VFileNotFoundException>(2);
    expectThrownAs<VPathNotFoundException>(3);
    expectThrownAs<VAccessDeniedException>(5);
    expectThrownAs<VOutOfMemoryException>(14);
    expectThrownAs<VSharingViolationException>(32);
    expectThrownAs<VEOFException>(38);
    expectThrownAs<VFileExistsException>(80);
    expectThrownAs<VInsufficientBufferException>(122);
    expectThrownAs<VAlreadyExistsException>(183);
    expectThrownAs<VServiceDoesNotExistException>(1060);
    expectThrownAs<VServiceMarkedForDeleteException>(1072);
    expectThrownAs<VServiceAlreadyExistsException>(1073);
    expectThrownAs<VPasswordTooShortException>(2245);
    // A subclass is caught by the family's handlers too.
    EXPECT_THROW(throwOsError(L"x", 183, CallSite{}), vosexception);
    EXPECT_THROW(throwOsError(L"x", 183, CallSite{}), vexception);
    try {
        throwOsError(L"x", 87, CallSite{});
    } catch (const vosexception& e) {
        EXPECT_EQ(typeid(e), typeid(vosexception));
    }
}

TEST(RenderException, ChainInnermostFirst) {
    vexception bare(L"just the message");
    EXPECT_EQ(renderException(bare), L"just the message");

    vexception e(L"command --foo not supported.",
                 CallSite{L"", "vconsoleapp::cmdNotSupported", 56});
    e.add(CallSite{L"execute console command --foo ", "vconsoleapp::start", 93})
        .add(CallSite{L"execute tavrel --foo ", "vconsoleapp::run", 110});
    EXPECT_EQ(renderException(e),
              L"command --foo not supported.\n"
              L"   at (vconsoleapp::cmdNotSupported line 56)\n"
              L"   at execute console command --foo (vconsoleapp::start line 93)\n"
              L"   at execute tavrel --foo (vconsoleapp::run line 110)");
}

TEST(StructuredException, TextIsLowerCaseHex) {
    EXPECT_EQ(cwrpexception(0xC0000005).text(), L"C structured exception: 0xc0000005");
    EXPECT_EQ(cwrpexception(0x80000003).text(), L"C structured exception: 0x80000003");
}

TEST(ComErrorBuilder, MessageDescriptionAndRecord) {
    vexception plain =
        vexceptionFromComError(ComError(static_cast<std::int32_t>(0x80004005)), L"load x", "f", 7);
    EXPECT_EQ(plain.message(), L"Unspecified error (COM Error 80004005)\n   at load x");
    ASSERT_EQ(plain.frames().size(), 1u);
    EXPECT_EQ(plain.frames()[0].text, L"");
    EXPECT_EQ(plain.frames()[0].function, "f");
    EXPECT_EQ(plain.frames()[0].line, 7);

    vexception interop = vexceptionFromComError(
        ComError(static_cast<std::int32_t>(0x80070005), L"System.Exception: boom", true), L"t", "g",
        1);
    EXPECT_EQ(interop.message(),
              L"Access is denied. (COM Interop Error 80070005, Description: System.Exception: "
              L"boom)\n   at t");
}

TEST(RunTimeErrors, ClassAndTextByCode) {
    try {
        RunTime::throwError(L"open %s", 3, L"C:\\x");
        FAIL();
    } catch (const RunTime::PathNotFoundException& e) {
        EXPECT_STREQ(e.what(), "open C:\\x: (3) The system cannot find the path specified.");
    }
    EXPECT_THROW(RunTime::throwError(L"x", 267), RunTime::InvalidPathException);
    EXPECT_THROW(RunTime::throwError(L"x", 5), RunTime::AccessDeniedException);
    EXPECT_THROW(RunTime::throwError(L"x", 33), RunTime::SharingViolationException);
    EXPECT_THROW(RunTime::throwError(L"x", 80), RunTime::AlreadyExistsException);
    EXPECT_THROW(RunTime::throwError(L"x", 145), RunTime::DirectoryNotEmptyException);
    EXPECT_THROW(RunTime::throwError(L"x", 1332), RunTime::NoneMappedException);
    EXPECT_THROW(RunTime::throwError(L"x", 6), RunTime::InvalidHandleException);
    try {
        RunTime::throwError(L"plain %d", 0, 7);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(typeid(e), typeid(std::runtime_error));
        EXPECT_STREQ(e.what(), "plain 7");
    }
}

TEST(StandardExceptionText, EmptyTextIsUnknownException) {
    EXPECT_EQ(standardExceptionText(std::runtime_error("")), L"Unknown exception");
    EXPECT_EQ(standardExceptionText(std::runtime_error("bad")), L"bad");
}

}  // namespace
