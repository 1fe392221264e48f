// The NTFS security store of the emulated host on real files and xattrs: what is stored, what
// is inherited, when nothing is written, the access checks, handles that outlive a rename, and
// `tavrel-host acl`.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/dtyp/access_mask.h"
#include "platform/dtyp/sddl.h"
#include "platform/dtyp/security_descriptor.h"
#include "platform/filesystem.h"
#include "platform/security.h"
#include "platform/text.h"
#include "platform/unique.h"
#include "support/process.h"
#include "support/temp_host.h"

namespace {

namespace fs = std::filesystem;
using namespace Platform;
namespace Info = SecurityInformation;

constexpr const char* xattrName = "user.tavrel.sd";
// What every object of C: inherits from the default drive root, seen from a directory.
constexpr const wchar_t* driveAcesOfDirectory =
    L"(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)(A;OICIID;0x1200a9;;;BU)(A;ID;FA;;;BA)"
    L"(A;OICIIOID;GA;;;CO)";

std::optional<std::vector<std::uint8_t>> xattrOf(const fs::path& path) {
    std::vector<std::uint8_t> value(65536);
    ssize_t size = ::lgetxattr(path.c_str(), xattrName, value.data(), value.size());
    if (size < 0) {
        return std::nullopt;
    }
    value.resize(static_cast<std::size_t>(size));
    return value;
}

// Whether an object's attributes (its xattrs among them) were touched since the watch began.
class AttributeWatch {
public:
    explicit AttributeWatch(const fs::path& path) : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        EXPECT_GE(::inotify_add_watch(fd_, path.c_str(), IN_ATTRIB), 0);
    }
    ~AttributeWatch() { ::close(fd_); }
    bool changed() {
        char events[4096];
        return ::read(fd_, events, sizeof(events)) > 0;
    }

private:
    int fd_;
};

std::uint32_t enable(const wchar_t* name, bool on) {
    Luid luid;
    EXPECT_TRUE(lookupPrivilegeValue(L"", name, luid));
    Handle raw = nullptr;
    EXPECT_TRUE(openProcessToken(TokenAccess::AdjustPrivileges, &raw));
    UniqueHandle token(raw);
    adjustTokenPrivileges(token.get(), {{luid, on ? SePrivilegeEnabled : 0}});
    return getLastError();
}

class SecurityStoreTest : public ::testing::Test {
protected:
    TestSupport::TempHost host;
    fs::path driveC = fs::canonical(host.driveC());
    Dtyp::Sid domain;
    std::wstring exuser;  // the SID of a plain local user

    void SetUp() override {
        UserModalsInfo2 info;
        ASSERT_EQ(netUserModalsGet2(L"", info), 0u);
        domain = *Dtyp::Sid::fromBytes(info.domainId);
        auto added = TestSupport::runProgram("tavrel-host", {"account", "add", "exuser"});
        ASSERT_EQ(added.exitCode, 0) << added.err;
        exuser = fromUtf8(added.out.substr(0, added.out.size() - 1));
        fs::create_directories(driveC / "site" / "sub");
        TestSupport::writeFile(driveC / "site" / "file.txt", "x");
    }
    void TearDown() override {
        ::unsetenv("TAVREL_HOST_USER");
        for (const wchar_t* name :
             {L"SeTakeOwnershipPrivilege", L"SeBackupPrivilege", L"SeRestorePrivilege"}) {
            enable(name, false);
        }
    }

    std::wstring toText(const std::vector<std::uint8_t>& bytes) {
        auto sd = Dtyp::decodeSecurityDescriptor(bytes);
        EXPECT_TRUE(sd) << toUtf8(sd.message());
        return sd ? Dtyp::toSddl(*sd, &domain) : L"<invalid>";
    }
    std::wstring sddlOf(const std::wstring& path) {
        std::vector<std::uint8_t> bytes;
        std::uint32_t error =
            getNamedSecurityInfo(path, SeFileObject, Info::Owner | Info::Group | Info::Dacl, bytes);
        return error ? L"error " + std::to_wstring(error) : toText(bytes);
    }
    std::uint32_t setSddl(const std::wstring& path, const std::wstring& sddl,
                          std::uint32_t extra = 0) {
        auto sd = Dtyp::fromSddl(sddl, &domain);
        EXPECT_TRUE(sd) << toUtf8(sd.message());
        std::uint32_t info = extra;
        std::vector<std::uint8_t> owner, group, dacl;
        if (sd->owner) {
            info |= Info::Owner;
            owner = sd->owner->toBytes();
        }
        if (sd->group) {
            info |= Info::Group;
            group = sd->group->toBytes();
        }
        if (sd->hasDacl()) {
            info |= Info::Dacl | (sd->isDaclProtected() ? Info::ProtectedDacl : 0);
            if (sd->dacl) {
                dacl = *Dtyp::encodeAcl(*sd->dacl);
            }
        }
        return setNamedSecurityInfo(
            path, SeFileObject, info, owner.empty() ? nullptr : owner.data(),
            group.empty() ? nullptr : group.data(), dacl.empty() ? nullptr : dacl.data(), nullptr);
    }
    static TestSupport::ProcessResult acl(const std::vector<std::string>& args,
                                          const std::vector<std::string>& env = {}) {
        std::vector<std::string> all{"acl"};
        all.insert(all.end(), args.begin(), args.end());
        return TestSupport::runProgram("tavrel-host", all, env);
    }
};

TEST_F(SecurityStoreTest, ProtectedDirectoryPassesItsAcesOnAndUnprotectingRestoresTheDrives) {
    std::string dacl = "D:P(A;OICI;FA;;;BA)(A;;FR;;;" + toUtf8(exuser) + ")";
    auto set = acl({"set", "C:\\site", dacl});
    ASSERT_EQ(set.exitCode, 0) << set.err;
    EXPECT_EQ(acl({"get", "C:\\site"}).out,
              "O:BAG:SYD:PAI(A;OICI;FA;;;BA)(A;;FR;;;" + toUtf8(exuser) + ")\n");
    // Inherited: the OICI ACE, not the one for the directory alone.
    EXPECT_EQ(acl({"get", "c:\\SITE\\file.txt"}).out, "O:BAG:SYD:AI(A;ID;FA;;;BA)\n");
    EXPECT_EQ(acl({"get", "C:\\site\\sub"}).out, "O:BAG:SYD:AI(A;OICIID;FA;;;BA)\n");
    EXPECT_EQ(acl({"get", "--text", "C:\\site\\sub"}).out,
              "C:\\site\\sub BUILTIN\\Administrators:(I)(OI)(CI)(F)\n");

    ASSERT_EQ(acl({"set", "C:\\site", "D:(A;OICI;FA;;;BA)"}).exitCode, 0);
    EXPECT_EQ(sddlOf(L"C:\\site"),
              std::wstring(L"O:BAG:SYD:AI(A;OICI;FA;;;BA)") + driveAcesOfDirectory);
    EXPECT_EQ(sddlOf(L"C:\\site\\sub"),
              std::wstring(L"O:BAG:SYD:AI(A;OICIID;FA;;;BA)") + driveAcesOfDirectory);
}

TEST_F(SecurityStoreTest, XattrHoldsOwnerGroupControlAndTheExplicitAcesOnly) {
    // Giving an object to another account takes SeRestorePrivilege.
    EXPECT_EQ(setSddl(L"C:\\site", L"O:" + exuser), WinError::InvalidOwner);
    ASSERT_EQ(enable(L"SeRestorePrivilege", true), 0u);
    ASSERT_EQ(setSddl(L"C:\\site", L"O:" + exuser + L"G:SYD:(D;OICI;WD;;;WD)(A;OICI;FA;;;SY)"), 0u);
    auto stored = xattrOf(driveC / "site");
    ASSERT_TRUE(stored);
    auto sd = Dtyp::decodeSecurityDescriptor(*stored);
    ASSERT_TRUE(sd);
    EXPECT_EQ(sd->owner->toString(), exuser);
    EXPECT_EQ(*sd->group, Dtyp::WellKnownSid::localSystem());
    EXPECT_EQ(sd->control, Dtyp::Control::SelfRelative | Dtyp::Control::DaclPresent |
                               Dtyp::Control::DaclAutoInherited);
    ASSERT_EQ(sd->dacl->aces.size(), 2u);
    EXPECT_EQ(Dtyp::aceToSddl(sd->dacl->aces[0]), L"(D;OICI;WD;;;WD)");
    EXPECT_EQ(Dtyp::aceToSddl(sd->dacl->aces[1]), L"(A;OICI;FA;;;SY)");

    // Inherited ACEs given with an unprotected DACL come from the parent, not from the caller;
    // a protected one keeps them as its own.
    ASSERT_EQ(setSddl(L"C:\\site\\sub", L"D:(A;ID;FA;;;WD)(A;;FR;;;BU)"), 0u);
    EXPECT_EQ(sddlOf(L"C:\\site\\sub"),
              L"O:BAG:SYD:AI(A;;FR;;;BU)(D;OICIID;WD;;;WD)(A;OICIID;FA;;;SY)" +
                  std::wstring(driveAcesOfDirectory));
    ASSERT_EQ(setSddl(L"C:\\site\\sub", L"D:P(A;ID;FA;;;WD)(A;;FR;;;BU)"), 0u);
    EXPECT_EQ(sddlOf(L"C:\\site\\sub"), L"O:BAG:SYD:PAI(A;;FA;;;WD)(A;;FR;;;BU)");
}

TEST_F(SecurityStoreTest, DefaultsCarryNoXattrAndUnchangedWritesWriteNothing) {
    fs::path site = driveC / "site";
    EXPECT_FALSE(xattrOf(site));
    EXPECT_FALSE(xattrOf(driveC));
    EXPECT_EQ(sddlOf(L"C:\\"),
              L"O:BAG:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)"
              L"(A;OICIIO;GA;;;CO)");
    // Writing what a default object reads (its inherited ACEs) stores nothing.
    ASSERT_EQ(setSddl(L"C:\\site", L"D:" + std::wstring(driveAcesOfDirectory)), 0u);
    EXPECT_FALSE(xattrOf(site));

    ASSERT_EQ(setSddl(L"C:\\site", L"D:P(A;OICI;FA;;;BA)"), 0u);
    auto first = xattrOf(site);
    ASSERT_TRUE(first);
    {
        // ext4 itself skips a value equal to the stored one without a trace in the times, but
        // the kernel still reports every setxattr as an attribute change.
        AttributeWatch watch(site);
        ASSERT_EQ(setSddl(L"C:\\site", L"O:BAD:P(A;OICI;FA;;;BA)"), 0u);
        EXPECT_FALSE(watch.changed());
        ASSERT_EQ(setSddl(L"C:\\site", L"D:P(A;OICI;FA;;;BA)(A;;FR;;;BU)"), 0u);
        EXPECT_TRUE(watch.changed());
        ASSERT_EQ(setSddl(L"C:\\site", L"D:P(A;OICI;FA;;;BA)"), 0u);
    }

    // Equal descriptors are equal bytes, whoever wrote them and in whatever form.
    ASSERT_EQ(acl({"set", "C:\\site\\sub", "D:P(A;CIOI;0x1f01ff;;;S-1-5-32-544)"}).exitCode, 0);
    EXPECT_EQ(xattrOf(site / "sub"), first);

    // Back to the default: the xattr goes.
    ASSERT_EQ(setSddl(L"C:\\site", L"D:", Info::UnprotectedDacl), 0u);
    EXPECT_FALSE(xattrOf(site));
    ASSERT_EQ(setSddl(L"C:\\",
                      L"D:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)"
                      L"(A;OICIIO;GA;;;CO)"),
              0u);
    EXPECT_FALSE(xattrOf(driveC));
}

TEST_F(SecurityStoreTest, NullDaclIsKeptAndPassesNothingOn) {
    ASSERT_EQ(setNamedSecurityInfo(L"C:\\site", SeFileObject, Info::Dacl | Info::ProtectedDacl,
                                   nullptr, nullptr, nullptr, nullptr),
              0u);
    EXPECT_EQ(sddlOf(L"C:\\site"), L"O:BAG:SYD:PAINO_ACCESS_CONTROL");
    EXPECT_EQ(sddlOf(L"C:\\site\\sub"), L"O:BAG:SYD:AI");
}

TEST_F(SecurityStoreTest, PlainUserWithoutRightsIsRefusedAndNothingChanges) {
    ASSERT_EQ(setSddl(L"C:\\site", L"D:P(A;OICI;FA;;;BA)(A;;FR;;;" + exuser + L")"), 0u);
    auto before = xattrOf(driveC / "site");
    std::vector<std::string> asUser{"TAVREL_HOST_USER=exuser"};
    // Reading is allowed to the user (FR holds READ_CONTROL), writing is not.
    EXPECT_EQ(acl({"get", "C:\\site"}, asUser).exitCode, 0);
    auto r = acl({"set", "C:\\site", "D:P(A;OICI;FA;;;WD)"}, asUser);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Access is denied. (error 5)"), std::string::npos) << r.err;
    EXPECT_EQ(xattrOf(driveC / "site"), before);
    r = acl({"get", "C:\\site\\sub"}, asUser);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("(error 5)"), std::string::npos) << r.err;
    // Nor can the user give itself the object.
    r = acl({"set", "C:\\site", "O:" + toUtf8(exuser)}, asUser);
    EXPECT_EQ(r.exitCode, 1);
    r = acl({"get", "C:\\site"}, {"TAVREL_HOST_USER=ghost"});
    EXPECT_NE(r.err.find("The specified account does not exist. (error 1317)"), std::string::npos)
        << r.err;

    // The same in process, through handles: the open is what is refused.
    ::setenv("TAVREL_HOST_USER", "exuser", 1);
    UniqueHandle dir(createFile(L"C:\\site", File::ReadControl | File::WriteDac, 3,
                                File::OpenExisting, File::FlagBackupSemantics));
    EXPECT_FALSE(dir);
    EXPECT_EQ(getLastError(), WinError::AccessDenied);
    UniqueHandle file(
        createFile(L"C:\\site\\file.txt", File::GenericRead, 3, File::OpenExisting, 0));
    EXPECT_FALSE(file);
    EXPECT_EQ(getLastError(), WinError::AccessDenied);
}

TEST_F(SecurityStoreTest, DeniedNameWriteSucceedsAfterTakingOwnership) {
    ASSERT_EQ(
        acl({"set", "C:\\site", "O:" + toUtf8(exuser) + "D:P(A;;FA;;;" + toUtf8(exuser) + ")"})
            .exitCode,
        0);
    std::wstring dacl = L"D:P(A;OICI;FA;;;SY)";
    EXPECT_EQ(setSddl(L"C:\\site", dacl), WinError::AccessDenied);
    EXPECT_EQ(sddlOf(L"C:\\site"), L"error 5");
    // Ownership is what the engine takes then; SYSTEM may not give it to somebody else.
    std::vector<std::uint8_t> admins = Dtyp::WellKnownSid::builtinAdministrators().toBytes();
    std::vector<std::uint8_t> other = Dtyp::Sid::parse(exuser)->toBytes();
    EXPECT_EQ(setNamedSecurityInfo(L"C:\\site", SeFileObject, Info::Owner, admins.data(), nullptr,
                                   nullptr, nullptr),
              WinError::AccessDenied);
    ASSERT_EQ(enable(L"SeTakeOwnershipPrivilege", true), 0u);
    EXPECT_EQ(setNamedSecurityInfo(L"C:\\site", SeFileObject, Info::Owner, other.data(), nullptr,
                                   nullptr, nullptr),
              WinError::InvalidOwner);
    ASSERT_EQ(setNamedSecurityInfo(L"C:\\site", SeFileObject, Info::Owner, admins.data(), nullptr,
                                   nullptr, nullptr),
              0u);
    ASSERT_EQ(setSddl(L"C:\\site", dacl), 0u);
    EXPECT_EQ(sddlOf(L"C:\\site"), L"O:BAG:SYD:PAI(A;OICI;FA;;;SY)");
}

TEST_F(SecurityStoreTest, HandleRightsComeFromTheOpen) {
    UniqueHandle readOnly(
        createFile(L"C:\\site\\file.txt", File::ReadControl, 3, File::OpenExisting, 0));
    ASSERT_TRUE(readOnly) << getLastError();
    std::vector<std::uint8_t> bytes;
    ASSERT_EQ(getSecurityInfo(readOnly.get(), SeFileObject, Info::Dacl, bytes), 0u);
    EXPECT_EQ(toText(bytes), L"D:AI(A;ID;FA;;;BA)(A;ID;FA;;;SY)(A;ID;0x1200a9;;;BU)(A;ID;FA;;;BA)");
    std::vector<std::uint8_t> acl = *Dtyp::encodeAcl(Dtyp::Acl{});
    EXPECT_EQ(setSecurityInfo(readOnly.get(), SeFileObject, Info::Dacl, nullptr, nullptr,
                              acl.data(), nullptr),
              WinError::AccessDenied);

    UniqueHandle writeOnly(
        createFile(L"C:\\site\\file.txt", File::WriteDac, 3, File::OpenExisting, 0));
    ASSERT_TRUE(writeOnly);
    EXPECT_EQ(getSecurityInfo(writeOnly.get(), SeFileObject, Info::Dacl, bytes),
              WinError::AccessDenied);
    EXPECT_EQ(getSecurityInfo(writeOnly.get(), SeFileObject, Info::Sacl, bytes), 1314u);
    ASSERT_EQ(setSecurityInfo(writeOnly.get(), SeFileObject, Info::Dacl | Info::ProtectedDacl,
                              nullptr, nullptr, acl.data(), nullptr),
              0u);
    EXPECT_EQ(sddlOf(L"C:\\site\\file.txt"), L"O:BAG:SYD:PAI");
}

TEST_F(SecurityStoreTest, HandleWritesReachTheOpenedObjectAfterASwap) {
    fs::create_directories(driveC / "elsewhere");
    UniqueHandle dir(createFile(L"C:\\site", File::ReadControl | File::WriteDac, 3,
                                File::OpenExisting,
                                File::FlagBackupSemantics | File::FlagOpenReparsePoint));
    ASSERT_TRUE(dir) << getLastError();
    fs::rename(driveC / "site", driveC / "moved");
    fs::create_directory_symlink(driveC / "elsewhere", driveC / "site");

    std::vector<std::uint8_t> acl = *Dtyp::encodeAcl(*Dtyp::fromSddl(L"D:(A;OICI;FA;;;SY)")->dacl);
    ASSERT_EQ(setSecurityInfo(dir.get(), SeFileObject, Info::Dacl | Info::ProtectedDacl, nullptr,
                              nullptr, acl.data(), nullptr),
              0u);
    EXPECT_TRUE(xattrOf(driveC / "moved"));
    EXPECT_FALSE(xattrOf(driveC / "elsewhere"));
    EXPECT_EQ(sddlOf(L"C:\\moved\\sub"), L"O:BAG:SYD:AI(A;OICIID;FA;;;SY)");

    // The link itself reads as a default object of its directory and takes no other descriptor.
    UniqueHandle link(createFile(L"C:\\site", File::ReadControl | File::WriteDac, 3,
                                 File::OpenExisting,
                                 File::FlagBackupSemantics | File::FlagOpenReparsePoint));
    ASSERT_TRUE(link);
    std::vector<std::uint8_t> bytes;
    ASSERT_EQ(getSecurityInfo(link.get(), SeFileObject, Info::Dacl, bytes), 0u);
    EXPECT_EQ(toText(bytes), L"D:AI" + std::wstring(driveAcesOfDirectory));
    EXPECT_EQ(setSecurityInfo(link.get(), SeFileObject, Info::Dacl | Info::ProtectedDacl, nullptr,
                              nullptr, acl.data(), nullptr),
              WinError::NotSupported);
    std::vector<std::uint8_t> none = *Dtyp::encodeAcl(Dtyp::Acl{});
    EXPECT_EQ(setSecurityInfo(link.get(), SeFileObject, Info::Dacl | Info::UnprotectedDacl, nullptr,
                              nullptr, none.data(), nullptr),
              0u);
}

TEST_F(SecurityStoreTest, ChildrenSeeTheirParentsNewDaclAtOnce) {
    fs::create_directories(driveC / "site" / "sub" / "deep");
    const std::wstring deep = L"C:\\site\\sub\\deep";
    EXPECT_EQ(sddlOf(deep), L"O:BAG:SYD:AI" + std::wstring(driveAcesOfDirectory));
    ASSERT_EQ(setSddl(L"C:\\site", L"D:P(A;OICI;FA;;;SY)"), 0u);
    EXPECT_EQ(sddlOf(deep), L"O:BAG:SYD:AI(A;OICIID;FA;;;SY)");

    // Another process's write two levels up.
    ASSERT_EQ(acl({"set", "C:\\site", "D:P(A;OICI;FA;;;BU)"}).exitCode, 0);
    EXPECT_EQ(sddlOf(deep), L"O:BAG:SYD:AI(A;OICIID;FA;;;BU)");
    ASSERT_EQ(setSddl(L"C:\\site\\sub", L"D:P(A;OICI;FA;;;BA)"), 0u);
    EXPECT_EQ(sddlOf(deep), L"O:BAG:SYD:AI(A;OICIID;FA;;;BA)");

    // A new directory where a cached one was.
    fs::remove_all(driveC / "site" / "sub");
    fs::create_directories(driveC / "site" / "sub" / "deep");
    EXPECT_EQ(sddlOf(deep), L"O:BAG:SYD:AI(A;OICIID;FA;;;BU)");

    // The same path and the same directories below, but another parent above them: what
    // was cached for deep must go although deep itself is untouched.
    fs::create_directory(driveC / "site" / "sub" / "deep" / "leaf");
    const std::wstring leaf = deep + L"\\leaf";
    EXPECT_EQ(sddlOf(leaf), L"O:BAG:SYD:AI(A;OICIID;FA;;;BU)");
    ASSERT_TRUE(moveFileEx(L"C:\\site", L"C:\\old", 0));
    ASSERT_TRUE(createDirectory(L"C:\\site"));
    ASSERT_TRUE(moveFileEx(L"C:\\old\\sub", L"C:\\site\\sub", 0));
    EXPECT_EQ(sddlOf(leaf), L"O:BAG:SYD:AI" + std::wstring(driveAcesOfDirectory));
}

// The file that tells the processes of a host which directories were written, cut short or
// removed by another process: touching its lost pages would kill this one with SIGBUS. It is
// made whole again and the writes of other processes are still seen.
TEST_F(SecurityStoreTest, ADamagedChangeLogIsMadeWholeAndStillTellsOtherWrites) {
    const std::wstring sub = L"C:\\site\\sub";
    fs::path log = host.dir() / "security.changes";
    sddlOf(sub);
    std::uintmax_t size = fs::file_size(log);
    for (bool removed : {false, true}) {
        SCOPED_TRACE(removed ? "removed" : "truncated");
        std::wstring before = sddlOf(sub);
        removed ? (void)fs::remove(log) : fs::resize_file(log, 0);
        EXPECT_EQ(sddlOf(sub), before);
        EXPECT_EQ(fs::file_size(log), size);
        std::string sddl = removed ? "D:P(A;OICI;FA;;;BU)" : "D:P(A;OICI;FA;;;SY)";
        ASSERT_EQ(acl({"set", "C:\\site", sddl}).exitCode, 0);
        EXPECT_EQ(sddlOf(sub), L"O:BAG:SYD:AI(A;OICIID;FA;;;" +
                                   std::wstring(removed ? L"BU" : L"SY") + L")");
    }
}

TEST_F(SecurityStoreTest, RefusedValueFailsClearlyAndKeepsTheOldOne) {
    ASSERT_EQ(setSddl(L"C:\\site", L"D:P(A;OICI;FA;;;BA)"), 0u);
    auto before = xattrOf(driveC / "site");
    Dtyp::Acl big;
    for (std::uint32_t rid = 2000; rid < 2400; ++rid) {
        Dtyp::Ace ace;
        ace.mask = Dtyp::Access::FileGenericRead;
        ace.sid = *domain.withRid(rid);
        big.aces.push_back(ace);
    }
    std::vector<std::uint8_t> bytes = *Dtyp::encodeAcl(big);  // about 11 KB
    std::uint32_t error =
        setNamedSecurityInfo(L"C:\\site", SeFileObject, Info::Dacl | Info::ProtectedDacl, nullptr,
                             nullptr, bytes.data(), nullptr);
    if (error == 0) {
        GTEST_SKIP() << "this file system takes xattr values of 11 KB";
    }
    EXPECT_EQ(error, WinError::DiskFull);
    EXPECT_EQ(xattrOf(driveC / "site"), before);
    std::string sddl = "D:P";
    for (const auto& ace : big.aces) {
        sddl += toUtf8(Dtyp::aceToSddl(ace));
    }
    auto r = acl({"set", "C:\\site", sddl});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("There is not enough space on the disk. (error 112)"), std::string::npos)
        << r.err;
}

TEST_F(SecurityStoreTest, AclCommandRefusesBadInput) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{"set", "C:\\site", "D:(A;;XX;;;BA)"}, "invalid SDDL"},
        {{"set", "C:\\site", "S:(AU;SA;FA;;;WD)"}, "no SACLs"},
        {{"set", "C:\\site", ""}, "sets nothing"},
        {{"get", "C:\\nothing\\here"}, "(error 3)"},
        {{"get", "C:\\site\\missing"}, "(error 2)"},
        {{"get"}, "usage:"},
    };
    for (const auto& c : cases) {
        auto r = acl(c.args);
        EXPECT_EQ(r.exitCode, 1) << c.args.back();
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args.back() << ": " << r.err;
    }
}

}  // namespace
