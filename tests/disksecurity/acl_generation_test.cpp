// ACL generation as a table: the entries of a path, the DACL found on it and on its parent;
// what the path must grant, whether the DACL found satisfies it, and the DACL written instead.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "checker_support.h"
#include "disksecurity/last_judgements.h"
#include "disksecurity/security_information.h"
#include "platform/dtyp/acl.h"

namespace {

using namespace DiskSecurity;
using CheckerTest::Entry;
using DiskSecurityTest::LogRecorder;
namespace Dtyp = Platform::Dtyp;

const std::wstring root = L"C:\\gen";

VAcl aclOf(const std::wstring& sddl) {
    auto sd = Dtyp::fromSddl(sddl);
    EXPECT_TRUE(static_cast<bool>(sd)) << Platform::toUtf8(sddl);
    auto bytes = Dtyp::encodeAcl(*sd->dacl);
    return VAcl(bytes->data());
}

std::wstring sddlOf(const VAcl& acl) {
    Dtyp::SecurityDescriptor sd;
    sd.control = Dtyp::Control::DaclPresent;
    sd.dacl = acl.parsed();
    return Dtyp::toSddl(sd, nullptr, Dtyp::SddlPart::Dacl);
}

// "BU ThisObject Allow 1200A9" per item, SYSTEM's and Administrators' base items left out.
std::wstring controlText(const VAccessControl& control) {
    std::wstring text;
    for (const auto& [key, item] : control) {
        std::wstring alias = Dtyp::sidToSddl(*Dtyp::sidFromSddl(key.sidText()));
        if (alias == L"SY" || alias == L"BA") {
            continue;
        }
        text += (text.empty() ? L"" : L"; ") + alias + L" " + targetText(key.target()) + L" " +
                kindText(item.kind) + L" " + formatString(L"%X", item.allowMask);
        if (item.denyMask) {
            text += formatString(L"[%X]", item.denyMask);
        }
    }
    return text;
}

constexpr const wchar_t* base = L"(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

struct GenerationCase {
    const char* name;
    std::vector<Entry> entries;
    std::wstring path;  // below root
    bool isDirectory;
    std::wstring required;  // controlText of what the path must grant
    std::wstring existing;  // the DACL on the path
    bool satisfied;         // compareControls of the required and the existing control
    std::wstring written;   // the DACL computeNewAcl makes
    bool inherit = false;
    std::wstring logLine = {};  // a debug line the comparison writes
};

const std::wstring P = L"D:P";
const std::wstring BU_R = L"(A;OICI;0x1200a9;;;BU)";

const GenerationCase generationCases[] = {
    {"AllowOfNothingIsAStopThatHidesTheAceOnDisk",
     {{L"BU", L"a\\b", 3, 0, 0}},
     L"a\\b",
     true,
     L"BU ThisObject Stop 0; BU Files Stop 0; BU SubFolders Stop 0",
     P + L"(A;OICI;FR;;;BU)" + base,
     false,
     L"D:" + std::wstring(base),
     false,
     L"Wrong Stop access value"},
    {"StopIsMetByNoAceAtAll",
     {{L"BU", L"a\\b", 3, 0, 0}},
     L"a\\b",
     true,
     L"BU ThisObject Stop 0; BU Files Stop 0; BU SubFolders Stop 0",
     P + base,
     true,
     L"D:" + std::wstring(base)},
    {"StopIsMetByADeny",
     {{L"BU", L"a\\b", 3, 0, 0}},
     L"a\\b",
     true,
     L"BU ThisObject Stop 0; BU Files Stop 0; BU SubFolders Stop 0",
     P + L"(D;OICI;FW;;;BU)" + base,
     true,
     L"D:" + std::wstring(base)},
    {"AnExplicitDenyBeatsAnAncestorsAllow",
     {{L"BU", L"a", 3, 0x1200A9, 0}, {L"BU", L"a\\b", 3, 0x1F01FF, 0x1}},
     L"a\\b",
     true,
     L"BU ThisObject Deny 1F01FF; BU Files Deny 1F01FF; BU SubFolders Deny 1F01FF",
     P + BU_R + base,
     false,
     L"D:(D;OICI;FA;;;BU)" + std::wstring(base)},
    {"AnExplicitAllowBeatsAnAncestorsDeny",
     {{L"BU", L"a", 3, 0x1F01FF, 0x1}, {L"BU", L"a\\b", 3, 0x1200A9, 0}},
     L"a\\b",
     true,
     L"BU ThisObject Allow 1200A9; BU Files Allow 1200A9; BU SubFolders Allow 1200A9",
     P + BU_R + base,
     true,
     P.substr(0, 2) + BU_R + base},
    {"TwoAllowsOfOneLevelAddUp",
     {{L"BU", L"a\\b", 3, 0x1200A9, 0}, {L"BU", L"a\\b", 3, 0x116, 0}},
     L"a\\b",
     true,
     L"BU ThisObject Allow 1201BF; BU Files Allow 1201BF; BU SubFolders Allow 1201BF",
     P + BU_R + base,
     false,
     L"D:(A;OICI;0x1201bf;;;BU)" + std::wstring(base)},
    {"AnExactAclDropsForeignAces",
     {{L"BU", L"a\\b", 3, 0x1200A9, 0x100}},
     L"a\\b",
     true,
     L"BU ThisObject Allow 1200A9; BU Files Allow 1200A9; BU SubFolders Allow 1200A9",
     P + BU_R + L"(A;OICI;FA;;;IU)" + base,
     false,
     P.substr(0, 2) + BU_R + base,
     false,
     L"Found 9, total size 12"},
    {"OneAccountWithTwoMasksMakesTwoAces",
     {{L"BU", L"a\\b", 0x1, 0x1200A9, 0}, {L"BU", L"a\\b", 0xA, 0x1301BF, 0}},
     L"a\\b",
     true,
     L"BU ThisObject Allow 1200A9; BU Files Allow 1200A9; BU SubFolders Allow 1301BF",
     P + base,
     false,
     L"D:(A;OI;0x1200a9;;;BU)(A;CIIO;0x1301bf;;;BU)" + std::wstring(base)},
    {"RevokeWithoutInheritanceRevokesEveryTarget",
     {{L"BU", L"a\\b", 0, 0x1200A9, 0x800}},
     L"a\\b",
     true,
     L"BU ThisObject Revoke 1200A9; BU Files Revoke 1200A9; BU SubFolders Revoke 1200A9",
     P + BU_R + base,
     false,
     L"D:" + std::wstring(base),
     false,
     L"Wrong Revoke access value"},
    {"RevokeForTheFolderAndBelow",
     {{L"BU", L"a\\b", 3, 0x1200A9, 0x800}},
     L"a\\b",
     true,
     L"BU ThisObject Revoke 1200A9; BU Files Revoke 1200A9; BU SubFolders Revoke 1200A9",
     P + BU_R + base,
     false,
     L"D:" + std::wstring(base)},
    {"RevokeForFilesOnlyKeepsTheRest",
     {{L"BU", L"a\\b", 0x9, 0x1200A9, 0x800}},
     L"a\\b",
     true,
     L"BU Files Revoke 1200A9",
     P + BU_R + base,
     false,
     L"D:(A;CI;0x1200a9;;;BU)" + std::wstring(base)},
    {"AnInheritedFolderAndFilesEntrySkipsSubfolders",
     {{L"BU", L"a", 0x1, 0x1200A9, 0}},
     L"a\\b",
     true,
     L"",
     P + base,
     true,
     L"D:" + std::wstring(base)},
    {"AnInheritedFolderAndFilesEntryReachesAFile",
     {{L"BU", L"a", 0x1, 0x1200A9, 0}},
     L"a\\b",
     false,
     L"BU ThisObject Allow 1200A9; BU Files Allow 1200A9",
     P + base,
     false,
     L"D:(A;OI;0x1200a9;;;BU)" + std::wstring(base)},
    {"AnyPathEntriesSpeakForTheObjectOnly",
     {{L"IU", L"*", 3, 0x1200A9, 0}, {L"BU", L"a\\b", 3, 0x1200A9, 0}},
     L"a\\b",
     true,
     L"IU ThisObject Allow 1200A9; BU ThisObject Allow 1200A9; BU Files Allow 1200A9; "
     L"BU SubFolders Allow 1200A9",
     P + BU_R + base,
     false,
     L"D:(A;;0x1200a9;;;IU)" + BU_R + base},
    {"InheritingLeavesOnlyWhatInheritanceLacks",
     {{L"BU", L"a\\b", 3, 0x1200A9, 0}, {L"IU", L"a\\b", 3, 0x1200A9, 0x200}},
     L"a\\b",
     true,
     L"IU ThisObject Allow 1200A9; IU Files Allow 1200A9; IU SubFolders Allow 1200A9; "
     L"BU ThisObject Allow 1200A9; BU Files Allow 1200A9; BU SubFolders Allow 1200A9",
     L"D:AI(A;OICIID;0x1200a9;;;BU)(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)",
     false,
     L"D:(A;OICI;0x1200a9;;;IU)",
     true},
};

void PrintTo(const GenerationCase& c, std::ostream* out) {
    *out << c.name;
}

class AclGeneration : public ::testing::TestWithParam<GenerationCase> {};

TEST_P(AclGeneration, RequiresComparesAndWrites) {
    const GenerationCase& c = GetParam();
    PathMapTest::SecurityDebugging debugging;
    auto collection = CheckerTest::collectionOf(root, c.entries);
    SecurityInformation rootInformation(collection);
    std::wstring path = root + L"\\" + c.path;
    SecurityInformationPtr information =
        getSecurityInformation(rootInformation, path, c.isDirectory);

    ObjectMode mode(false, !c.isDirectory, information->hasState(StateExactAclHere), false);
    const VAccessControl& required = requiredControlFor(*information, mode);
    EXPECT_EQ(Platform::toUtf8(controlText(required)), Platform::toUtf8(c.required));

    VAcl existing = aclOf(c.existing);
    EXPECT_EQ(compareControls(required, fromAcl(existing), mode.compareFlags()), c.satisfied);
    if (!c.logLine.empty()) {
        EXPECT_FALSE(LogRecorder::instance().find(LogInfo, c.logLine).empty())
            << Platform::toUtf8(c.logLine);
    }

    VAcl parent = aclOf(L"D:P(A;OICI;0x1200a9;;;BU)" + std::wstring(base));
    NewAcl written = computeNewAcl(*information, existing, parent, mode);
    // The ACEs in any order inside their canonical class.
    EXPECT_TRUE(written.acl == aclOf(c.written))
        << Platform::toUtf8(sddlOf(written.acl)) << " instead of " << Platform::toUtf8(c.written);
    EXPECT_EQ(written.inherit, c.inherit);

    // What was written satisfies what was required: a second pass finds nothing to do.
    if (!written.inherit) {
        EXPECT_TRUE(compareControls(required, fromAcl(written.acl), mode.compareFlags()));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, AclGeneration, ::testing::ValuesIn(generationCases),
                         [](const auto& info) { return std::string(info.param.name); });

// An information made from its parent's requires what one made afresh does, and shares the
// parent's controls where the same entries apply on the same levels and none on either path.
TEST(AclGenerationDerived, FromTheParentAsMadeAfresh) {
    auto collection = CheckerTest::collectionOf(
        root, {{L"BU", L"a", 3, 0x1200A9, 0}, {L"IU", L"a\\b", 0x1, 0x1301BF, 0}});
    SecurityInformation rootInformation(collection);
    struct Case {
        const wchar_t* parent;
        const wchar_t* path;
        bool isDirectory;
        bool shared;
    } cases[] = {
        {L"a\\b", L"a\\b\\x", true, false},  // the parent's entries speak of the parent itself
        {L"a\\b\\x", L"a\\b\\x\\y", true, true},
        {L"a\\b\\x", L"a\\b\\x\\f.txt", false, false},
        {L"a", L"a\\b", true, false},  // entries of its own
        {L"a\\x", L"a", true, false},  // not a child: the parent's entries are its own
    };
    auto text = [](const SecurityInformation& information, ObjectMode mode) {
        return Platform::toUtf8(controlText(requiredControlFor(information, mode)));
    };
    for (const Case& c : cases) {
        SecurityInformationPtr parent =
            getSecurityInformation(rootInformation, root + L"\\" + c.parent, true);
        std::wstring path = root + L"\\" + c.path;
        SecurityInformationPtr derived = getSecurityInformation(*parent, path, c.isDirectory);
        SecurityInformationPtr fresh = getSecurityInformation(rootInformation, path, c.isDirectory);
        for (ObjectMode mode : {ObjectMode(false, !c.isDirectory, false, false),
                                ObjectMode(true, true, false, false),
                                ObjectMode(true, false, false, false)}) {
            EXPECT_EQ(text(*derived, mode), text(*fresh, mode)) << Platform::toUtf8(path);
        }
        EXPECT_EQ(derived->controls() == parent->controls(), c.shared) << Platform::toUtf8(path);
    }
}

// The last judgement and the last DACL computed serve only what they were made from.
TEST(LastJudgementsKept, ServeOnlyWhatTheyWereMadeFrom) {
    auto collection = CheckerTest::collectionOf(
        root, {{L"BU", L"a", 3, 0x1200A9, 0}, {L"IU", L"a\\b", 3, 0x1301BF, 0}});
    SecurityInformation rootInformation(collection);
    SecurityInformationPtr a = getSecurityInformation(rootInformation, root + L"\\a", true);
    SecurityInformationPtr b = getSecurityInformation(rootInformation, root + L"\\a\\b", true);
    const VAcl dacl = aclOf(L"D:(A;;FA;;;BU)");
    const VAcl other = aclOf(L"D:(A;;FR;;;BU)");
    const ObjectMode folder(false, false, false, false);
    LastJudgements last;
    last.keepJudged(dacl, *a, folder, true);
    last.keepComputed(dacl, dacl, *a, folder, NewAcl{other, true});
    struct Case {
        const char* differs;
        const VAcl& dacl;
        const SecurityInformation& information;
        ObjectMode mode;
        const VAcl& parent;
        bool judged;
        bool computed;
    } cases[] = {
        {"nothing", dacl, *a, folder, dacl, true, true},
        {"the DACL", other, *a, folder, dacl, false, false},
        {"the controls", dacl, *b, folder, dacl, false, false},
        {"the mode", dacl, *a, ObjectMode(false, true, false, false), dacl, false, false},
        {"the parent's DACL", dacl, *a, folder, other, true, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(last.judged(c.dacl, c.information, c.mode).has_value(), c.judged) << c.differs;
        EXPECT_EQ(last.computed(c.dacl, c.parent, c.information, c.mode) != nullptr, c.computed)
            << c.differs;
    }
}

TEST(AclGenerationDerived, ChildrenTakeWhatThePathPassesOn) {
    auto collection = CheckerTest::collectionOf(
        root, {{L"BU", L"a", 0x1, 0x1200A9, 0}, {L"IU", L"a", 0xA, 0x1301BF, 0}});
    SecurityInformation rootInformation(collection);
    SecurityInformationPtr information =
        getSecurityInformation(rootInformation, root + L"\\a", true);
    EXPECT_EQ(Platform::toUtf8(controlText(requiredControlFor(*information, ObjectMode(true, true, false, false)))),
              "BU ThisObject Allow 1200A9");
    EXPECT_EQ(Platform::toUtf8(controlText(requiredControlFor(*information, ObjectMode(true, false, false, false)))),
              "IU ThisObject Allow 1301BF; IU SubFolders Allow 1301BF; BU Files Allow 1200A9");
    // A file handled for itself is compared on its own target alone, its inheritable base ACEs
    // being no surplus for an exact ACL.
    VAccessControl required;
    mapItem(required, AccessKey(CheckerTest::account(L"NS"), AccessItemTarget::ThisObject),
            AccessItem{AccessItemKind::Allow, 0x1F01FF, 0, 3});
    addAce(required, aclOf(L"D:(A;OICI;FA;;;SY)").aceAt(0));
    constexpr std::uint32_t exactFile = CompareFlag::Exact | CompareFlag::ThisObjectOnly;
    EXPECT_TRUE(
        compareControls(required, fromAcl(aclOf(L"D:P(A;;FA;;;NS)(A;OICI;FA;;;SY)")), exactFile));
    EXPECT_FALSE(compareControls(
        required, fromAcl(aclOf(L"D:P(A;;FA;;;NS)(A;OICI;FA;;;SY)(A;;FR;;;IU)")), exactFile));
}

}  // namespace
