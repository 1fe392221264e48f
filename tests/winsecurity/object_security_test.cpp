// Reading and writing the DACLs of real files and directories on a temporary host: inherited
// and NULL DACLs, protected and unprotected writes, the cleaning of ACEs of deleted accounts,
// the take-ownership retry, a plain user's refusal, links and privileges.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "accounts/vsid.h"
#include "platform/dtyp/ace.h"
#include "platform/dtyp/sddl.h"
#include "platform/dtyp/security_descriptor.h"
#include "platform/filesystem.h"
#include "platform/security.h"
#include "platform/text.h"
#include "runtime/exceptions.h"
#include "support/errors.h"
#include "support/process.h"
#include "support/temp_host.h"
#include "winsecurity/object_security.h"

namespace {

namespace Dtyp = Platform::Dtyp;
namespace AceType = Dtyp::AceType;
constexpr std::uint32_t FA = 0x1F01FF;
constexpr std::uint8_t OICI = 0x3;
constexpr std::uint8_t ID = 0x10;

using TestSupport::mentions;
using TestSupport::osErrorOf;

VAce allow(std::uint8_t flags, std::uint32_t mask, const VSID& sid) {
    return VAce::create(AceType::AccessAllowed, flags, mask, sid);
}

class ObjectSecurity : public ::testing::Test {
protected:
    std::string tavrelHost(const std::vector<std::string>& args) {
        TestSupport::ProcessResult result = TestSupport::runProgram("tavrel-host", args);
        EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
        return result.out;
    }
    VSID addAccount(const std::string& name) {
        tavrelHost({"account", "add", name});
        return VSID::fromName(L"", Platform::fromUtf8(name));
    }
    void directory(const std::wstring& path) { ASSERT_TRUE(Platform::createDirectory(path)); }
    void file(const std::string& relative) { std::ofstream(host.driveC() / relative) << "content"; }
    // Owner, group and DACL as SDDL, read by the host's tool, which needs no access.
    std::wstring sddl(const std::wstring& path) {
        std::string out = tavrelHost({"acl", "get", Platform::toUtf8(path)});
        return Platform::fromUtf8(out.substr(0, out.find_last_not_of("\r\n") + 1));
    }
    VSID ownerOf(const std::wstring& path) {
        std::wstring text = sddl(path);
        std::size_t group = text.find(L"G:");
        return VSID::fromString(text.substr(2, group - 2));
    }
    // An object that only `owner` may touch: its owner, and the only one its DACL names.
    void lockFor(const std::wstring& path, const VSID& owner) {
        std::string sid = Platform::toUtf8(owner.toString());
        tavrelHost({"acl", "set", Platform::toUtf8(path),
                    "O:" + sid + "G:SYD:P(A;OICI;FA;;;" + sid + ")"});
    }

    TestSupport::TempHost host;
};

TEST_F(ObjectSecurity, ADirectoryWithoutExplicitAcesReadsWhatItInherits) {
    directory(L"C:\\plain");
    VAcl byName = WinSecurity::getNamedObjectDacl(L"C:\\plain");
    ASSERT_GT(byName.aceCount(), 0);
    for (int i = 0; i < byName.aceCount(); ++i) {
        EXPECT_TRUE(byName.aceAt(i).isInherited()) << i;
    }
    VSID admins = VSID::wellKnown(WellKnownAccount::Administrators);
    EXPECT_GE(byName.findAce(allow(ID | OICI, FA, admins)), 0) << Platform::toUtf8(byName.dump());

    Platform::UniqueHandle handle = WinSecurity::openForSecurity(L"C:\\plain", true);
    EXPECT_TRUE(WinSecurity::getObjectDacl(handle.get()) == byName);
    EXPECT_TRUE(WinSecurity::getParentDacl(L"C:\\plain") ==
                WinSecurity::getNamedObjectDacl(L"C:\\"));
    EXPECT_TRUE(WinSecurity::getParentDacl(L"\\\\?\\C:\\plain\\") ==
                WinSecurity::getNamedObjectDacl(L"C:\\"));
}

TEST_F(ObjectSecurity, ARootHasAnEmptyParentDacl) {
    EXPECT_EQ(WinSecurity::getParentDacl(L"C:\\").aceCount(), 0);
    EXPECT_EQ(WinSecurity::getParentDacl(L"\\\\?\\C:\\").aceCount(), 0);
    EXPECT_GT(WinSecurity::getNamedObjectDacl(L"C:\\").aceCount(), 0);
}

TEST_F(ObjectSecurity, ANullDaclReadsAsEveryoneFullControl) {
    directory(L"C:\\open");
    ASSERT_EQ(Platform::setNamedSecurityInfo(L"C:\\open", Platform::SeFileObject,
                                             Platform::SecurityInformation::Dacl |
                                                 Platform::SecurityInformation::ProtectedDacl,
                                             nullptr, nullptr, nullptr, nullptr),
              0u);
    VAcl expected;
    expected.addAces({allow(OICI, 0x10000000, VSID::wellKnown(WellKnownAccount::Everyone))});

    VAcl byName = WinSecurity::getNamedObjectDacl(L"C:\\open");
    ASSERT_EQ(byName.aceCount(), 1);
    EXPECT_TRUE(byName.aceAt(0).equals(expected.aceAt(0)));
    Platform::UniqueHandle handle = WinSecurity::openForSecurity(L"C:\\open", true);
    EXPECT_TRUE(WinSecurity::getObjectDacl(handle.get()) == expected);
}

TEST_F(ObjectSecurity, HandleWritesAreProtectedOrInheriting) {
    directory(L"C:\\site");
    VSID users = VSID::wellKnown(WellKnownAccount::Users);
    VAcl explicitOnly;
    explicitOnly.addAces({allow(OICI, 0x1301BF, users)});
    Platform::UniqueHandle handle = WinSecurity::openForSecurity(L"C:\\site", true);

    WinSecurity::setObjectDaclInherited(handle.get(), Platform::SeFileObject, explicitOnly);
    VAcl inheriting = WinSecurity::getObjectDacl(handle.get());
    EXPECT_TRUE(inheriting.hasInheritedAce());
    EXPECT_EQ(inheriting.findAce(explicitOnly.aceAt(0)), 0);

    // Protected, the inherited ACEs stay as explicit ones and nothing comes from above.
    WinSecurity::setObjectDaclProtected(handle.get(), Platform::SeFileObject, inheriting);
    VAcl protectedAcl = WinSecurity::getNamedObjectDacl(L"C:\\site");
    EXPECT_FALSE(protectedAcl.hasInheritedAce());
    EXPECT_EQ(protectedAcl.aceCount(), inheriting.aceCount());
    EXPECT_NE(sddl(L"C:\\site").find(L"D:P"), std::wstring::npos);

    WinSecurity::setObjectDaclProtected(handle.get(), Platform::SeFileObject, explicitOnly);
    EXPECT_TRUE(WinSecurity::getNamedObjectDacl(L"C:\\site") == explicitOnly);
}

TEST_F(ObjectSecurity, AcesOfDeletedAccountsDisappearAtTheNextWrite) {
    directory(L"C:\\shared");
    VSID gone = addAccount("Gone");
    VSID admins = VSID::wellKnown(WellKnownAccount::Administrators);
    VAcl acl;
    acl.addAces({allow(OICI, FA, admins), allow(OICI, 0x1200A9, gone)});

    WinSecurity::setNamedObjectDacl(L"C:\\shared", Platform::SeFileObject, acl);
    EXPECT_TRUE(WinSecurity::getNamedObjectDacl(L"C:\\shared") == acl);

    tavrelHost({"account", "del", "Gone"});
    WinSecurity::setNamedObjectDacl(L"C:\\shared", Platform::SeFileObject, acl);
    VAcl written = WinSecurity::getNamedObjectDacl(L"C:\\shared");
    ASSERT_EQ(written.aceCount(), 1);
    EXPECT_TRUE(written.aceAt(0).equals(allow(OICI, FA, admins)));

    // By handle too, and the caller's ACL is left as it was.
    directory(L"C:\\shared\\inner");
    Platform::UniqueHandle handle = WinSecurity::openForSecurity(L"C:\\shared\\inner", true);
    WinSecurity::setObjectDaclProtected(handle.get(), Platform::SeFileObject, acl);
    EXPECT_EQ(WinSecurity::getObjectDacl(handle.get()).aceCount(), 1);
    EXPECT_EQ(acl.aceCount(), 2);
}

// A walk asks for each account once: within a scope an account found mapped stays mapped, and
// the scope ends with the walk.
TEST_F(ObjectSecurity, AWalkAsksForEachMappedAccountOnce) {
    directory(L"C:\\walk");
    VSID admins = VSID::wellKnown(WellKnownAccount::Administrators);
    VSID kept = addAccount("Kept");
    VSID never = addAccount("Never");
    tavrelHost({"account", "del", "Never"});
    VAcl acl;
    acl.addAces({allow(OICI, FA, admins), allow(OICI, 0x1200A9, kept)});
    // As long as the other, and an account the walk never asked for.
    VAcl unasked;
    unasked.addAces({allow(OICI, FA, admins), allow(OICI, 0x1200A9, never)});
    {
        WinSecurity::MappedAccountsScope walk;
        WinSecurity::setNamedObjectDacl(L"C:\\walk", Platform::SeFileObject, acl);
        tavrelHost({"account", "del", "Kept"});
        WinSecurity::setNamedObjectDacl(L"C:\\walk", Platform::SeFileObject, acl);
        EXPECT_EQ(WinSecurity::getNamedObjectDacl(L"C:\\walk").aceCount(), 2);
        WinSecurity::setNamedObjectDacl(L"C:\\walk", Platform::SeFileObject, unasked);
        EXPECT_EQ(WinSecurity::getNamedObjectDacl(L"C:\\walk").aceCount(), 1);
    }
    WinSecurity::setNamedObjectDacl(L"C:\\walk", Platform::SeFileObject, acl);
    EXPECT_EQ(WinSecurity::getNamedObjectDacl(L"C:\\walk").aceCount(), 1);
}

TEST_F(ObjectSecurity, AWriteByNameTakesOwnershipWhenRefused) {
    directory(L"C:\\locked");
    VSID stranger = addAccount("Stranger");
    lockFor(L"C:\\locked", stranger);
    std::wstring before = sddl(L"C:\\locked");

    // A handle for the DACL cannot even be had, and nothing retries that.
    vosexception refused = osErrorOf([] { WinSecurity::openForSecurity(L"C:\\locked", true); });
    EXPECT_EQ(refused.errorCode(), Platform::WinError::AccessDenied);
    EXPECT_TRUE(mentions(refused, L"C:\\locked")) << Platform::toUtf8(refused.message());
    EXPECT_EQ(sddl(L"C:\\locked"), before);

    VAcl acl;
    acl.addAces({allow(OICI, FA, VSID::wellKnown(WellKnownAccount::Administrators))});
    WinSecurity::setNamedObjectDacl(L"\\\\?\\C:\\locked", Platform::SeFileObject, acl);
    EXPECT_TRUE(WinSecurity::getNamedObjectDacl(L"C:\\locked") == acl);
    EXPECT_FALSE(ownerOf(L"C:\\locked") == stranger);
    EXPECT_TRUE(WinSecurity::hasPrivilege(L"SeTakeOwnershipPrivilege"));
}

TEST_F(ObjectSecurity, GrantingFullControlToSelfKeepsTheOtherAces) {
    directory(L"C:\\foreign");
    VSID stranger = addAccount("Foreigner");
    lockFor(L"C:\\foreign", stranger);

    WinSecurity::grantFullControlToSelf(L"C:\\foreign", Platform::SeFileObject, FA);
    VAcl acl = WinSecurity::getNamedObjectDacl(L"C:\\foreign");
    VSID owner = ownerOf(L"C:\\foreign");
    EXPECT_FALSE(owner == stranger);
    EXPECT_GE(acl.findAce(allow(OICI, FA, owner)), 0) << Platform::toUtf8(acl.dump());
    EXPECT_GE(acl.findAce(allow(OICI, FA, VSID::wellKnown(WellKnownAccount::System))), 0);
    EXPECT_GE(acl.findAce(allow(OICI, FA, stranger)), 0);
}

TEST_F(ObjectSecurity, APlainUserIsRefusedAndChangesNothing) {
    directory(L"C:\\guarded");
    addAccount("plainuser");
    std::wstring before = sddl(L"C:\\guarded");
    for (const char* mode : {"name", "handle"}) {
        TestSupport::ProcessResult result = TestSupport::runProgram(
            "dacl_writer", {mode, "C:\\guarded"}, {"TAVREL_HOST_USER=plainuser"});
        EXPECT_EQ(result.exitCode, 1) << mode << ": " << result.out << result.err;
        EXPECT_EQ(result.out.rfind("error 5\n", 0), 0u) << mode << ": " << result.out;
        EXPECT_EQ(sddl(L"C:\\guarded"), before) << mode;
    }
    // The same program as the host's own identity writes.
    TestSupport::ProcessResult result =
        TestSupport::runProgram("dacl_writer", {"name", "C:\\guarded"});
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_NE(sddl(L"C:\\guarded"), before);
}

TEST_F(ObjectSecurity, AFileReachedThroughALinkReportsItsTarget) {
    directory(L"C:\\real");
    file("real/Target.txt");
    std::filesystem::create_symlink("real/Target.txt", host.driveC() / "link.txt");

    Platform::UniqueHandle handle = WinSecurity::openForSecurity(L"C:\\link.txt", false);
    EXPECT_EQ(WinSecurity::getFileNameFromHandle(handle.get()), L"C:\\real\\Target.txt");
    Platform::UniqueHandle direct =
        WinSecurity::openForSecurity(L"\\\\?\\c:\\REAL\\target.TXT", false);
    EXPECT_EQ(WinSecurity::getFileNameFromHandle(direct.get()), L"C:\\real\\Target.txt");
}

TEST_F(ObjectSecurity, OpeningNamesTheObjectWithoutTheLongPrefix) {
    directory(L"C:\\real");
    file("real/notes.txt");
    vosexception isFile =
        osErrorOf([] { WinSecurity::openForSecurity(L"\\\\?\\C:\\real\\notes.txt", true); });
    EXPECT_TRUE(mentions(isFile, L" at Path (C:\\real\\notes.txt) is a file"))
        << Platform::toUtf8(isFile.message());

    vosexception missing =
        osErrorOf([] { WinSecurity::openForSecurity(L"\\\\?\\C:\\real\\missing", true); });
    EXPECT_EQ(missing.errorCode(), Platform::WinError::FileNotFound);
    EXPECT_TRUE(mentions(missing, L"(C:\\real\\missing)")) << Platform::toUtf8(missing.message());

    vosexception unreadable =
        osErrorOf([] { WinSecurity::getNamedObjectDacl(L"\\\\?\\C:\\real\\missing"); });
    EXPECT_TRUE(
        mentions(unreadable, L" at Unable to get the object (C:\\real\\missing) security info"))
        << Platform::toUtf8(unreadable.message());
}

TEST_F(ObjectSecurity, PrivilegesAreLookedUpByName) {
    EXPECT_TRUE(WinSecurity::hasPrivilege(L"SeBackupPrivilege"));
    WinSecurity::enablePrivilege(L"SeBackupPrivilege");

    vosexception unknown = osErrorOf([] { WinSecurity::hasPrivilege(L"SeNoSuchPrivilege"); });
    EXPECT_EQ(unknown.errorCode(), Platform::WinError::NoSuchPrivilege);
    EXPECT_TRUE(mentions(unknown, L" at The privilege (SeNoSuchPrivilege) is not found"));
    unknown = osErrorOf([] { WinSecurity::enablePrivilege(L"SeNoSuchPrivilege"); });
    EXPECT_TRUE(mentions(unknown, L" at Unable to find privilege (SeNoSuchPrivilege)"));
}

}  // namespace
