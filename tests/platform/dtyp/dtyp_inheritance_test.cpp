// ACE inheritance: what a file and what a directory inherit from a parent DACL, written as SDDL
// tables in the form Windows shows them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/dtyp/inheritance.h"
#include "platform/dtyp/sddl.h"
#include "platform/text.h"

namespace {

using namespace Platform::Dtyp;

const Sid owner(5, {21, 1, 2, 3, 1001});  // S-1-5-21-1-2-3-1001
const Sid group(5, {18});                 // SY

std::string u8(const std::wstring& text) {
    return Platform::toUtf8(text);
}

Acl daclOf(const std::wstring& sddl) {
    Result<SecurityDescriptor> sd = fromSddl(sddl);
    EXPECT_TRUE(sd) << u8(sddl) << ": " << u8(sd.message());
    return sd && sd->dacl ? *sd->dacl : Acl{};
}

std::wstring aces(const std::vector<Ace>& list) {
    std::wstring text;
    for (const Ace& ace : list) {
        text += aceToSddl(ace);
    }
    return text;
}

std::wstring inherit(const std::wstring& parent, bool container) {
    return aces(inheritedAces(daclOf(parent), container, owner, group));
}

TEST(DtypInheritance, FileAndDirectoryTable) {
    struct Case {
        const wchar_t* parent;
        const wchar_t* file;
        const wchar_t* directory;
    };
    const std::vector<Case> table = {
        // The usual full control for everything below.
        {L"D:(A;OICI;FA;;;BA)", L"(A;ID;FA;;;BA)", L"(A;OICIID;FA;;;BA)"},
        // An ACE without inheritance flags stays where it is.
        {L"D:(A;;FA;;;BA)", L"", L""},
        // CI alone: directories only, and on to their subdirectories.
        {L"D:(A;CI;FA;;;BA)", L"", L"(A;CIID;FA;;;BA)"},
        // OI alone: files; a directory carries it inherit-only for the files below it.
        {L"D:(A;OI;FA;;;BA)", L"(A;ID;FA;;;BA)", L"(A;OIIOID;FA;;;BA)"},
        // NP: the children take it, their children do not.
        {L"D:(A;OICINP;FA;;;BA)", L"(A;ID;FA;;;BA)", L"(A;ID;FA;;;BA)"},
        {L"D:(A;OINP;FA;;;BA)", L"(A;ID;FA;;;BA)", L""},
        {L"D:(A;CINP;FA;;;BA)", L"", L"(A;ID;FA;;;BA)"},
        // IO on the parent: not for the parent, but for the children it is effective.
        {L"D:(A;OICIIO;FA;;;BA)", L"(A;ID;FA;;;BA)", L"(A;OICIID;FA;;;BA)"},
        // CREATOR OWNER: the owner in the effective copy, the original passed on.
        {L"D:(A;OICIIO;GA;;;CO)", L"(A;ID;FA;;;S-1-5-21-1-2-3-1001)",
         L"(A;ID;FA;;;S-1-5-21-1-2-3-1001)(A;OICIIOID;GA;;;CO)"},
        {L"D:(A;CIIO;FA;;;CG)", L"", L"(A;ID;FA;;;SY)(A;CIIOID;FA;;;CG)"},
        // Generic rights: mapped in the effective copy, kept in the copy passed on.
        {L"D:(A;OICI;GA;;;BA)", L"(A;ID;FA;;;BA)", L"(A;ID;FA;;;BA)(A;OICIIOID;GA;;;BA)"},
        {L"D:(A;OICI;GXGR;;;BU)", L"(A;ID;0x1200a9;;;BU)",
         L"(A;ID;0x1200a9;;;BU)(A;OICIIOID;GXGR;;;BU)"},
        {L"D:(A;OICINP;GA;;;CO)", L"(A;ID;FA;;;S-1-5-21-1-2-3-1001)",
         L"(A;ID;FA;;;S-1-5-21-1-2-3-1001)"},
        // What the parent itself inherited passes on the same way.
        {L"D:(A;OICIID;FA;;;SY)", L"(A;ID;FA;;;SY)", L"(A;OICIID;FA;;;SY)"},
        {L"D:(A;OIIOID;FA;;;SY)", L"(A;ID;FA;;;SY)", L"(A;OIIOID;FA;;;SY)"},
        // Order is kept, deny ACEs included.
        {L"D:(D;OICI;FW;;;WD)(A;;FA;;;SY)(A;OICI;FA;;;BA)", L"(D;ID;FW;;;WD)(A;ID;FA;;;BA)",
         L"(D;OICIID;FW;;;WD)(A;OICIID;FA;;;BA)"},
        // Audit flags stay on SACL entries.
        {L"D:(AU;OICISAFA;FA;;;WD)", L"(AU;IDSAFA;FA;;;WD)", L"(AU;OICIIDSAFA;FA;;;WD)"},
    };
    for (const Case& c : table) {
        EXPECT_EQ(inherit(c.parent, false), c.file) << "file under " << u8(c.parent);
        EXPECT_EQ(inherit(c.parent, true), c.directory) << "directory under " << u8(c.parent);
    }
}

TEST(DtypInheritance, ThreeGenerations) {
    // OI passes through a directory inherit-only and reaches the files of the subdirectory.
    Acl root = daclOf(L"D:(A;OI;FA;;;BA)(A;OICINP;FR;;;BU)");
    Acl directory = effectiveDacl(Acl{}, false, &root, true, owner, group);
    EXPECT_EQ(aces(directory.aces), L"(A;OIIOID;FA;;;BA)(A;ID;FR;;;BU)");
    EXPECT_EQ(aces(inheritedAces(directory, false, owner, group)), L"(A;ID;FA;;;BA)");
    EXPECT_EQ(aces(inheritedAces(directory, true, owner, group)), L"(A;OIIOID;FA;;;BA)");
}

TEST(DtypInheritance, EffectiveDaclPutsExplicitAcesFirst) {
    Acl parent = daclOf(L"D:(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)");
    Acl stored = daclOf(L"D:(D;;FW;;;BU)(A;;FR;;;BU)");
    EXPECT_EQ(aces(effectiveDacl(stored, false, &parent, false, owner, group).aces),
              L"(D;;FW;;;BU)(A;;FR;;;BU)(A;ID;FA;;;BA)(A;ID;FA;;;S-1-5-21-1-2-3-1001)");
    // A protected DACL inherits nothing; so does a child of a NULL DACL.
    EXPECT_EQ(aces(effectiveDacl(stored, true, &parent, false, owner, group).aces),
              L"(D;;FW;;;BU)(A;;FR;;;BU)");
    EXPECT_EQ(aces(effectiveDacl(stored, false, nullptr, true, owner, group).aces),
              L"(D;;FW;;;BU)(A;;FR;;;BU)");
    // A protected directory's own inheritable ACEs still reach its children.
    Acl protectedDir =
        effectiveDacl(daclOf(L"D:(A;OICI;FA;;;SY)"), true, &parent, true, owner, group);
    EXPECT_EQ(aces(inheritedAces(protectedDir, false, owner, group)), L"(A;ID;FA;;;SY)");
}

}  // namespace
