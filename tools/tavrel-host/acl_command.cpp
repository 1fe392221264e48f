// tavrel-host acl: the security descriptor of one object of the host, read and written through
// the same security calls the engine makes (GetNamedSecurityInfoW, SetNamedSecurityInfoW), so
// the process identity's rights apply. Run as SYSTEM, the command enables SYSTEM's backup,
// restore and take-ownership privileges first, as an administrator's icacls may, so that the
// Linux user can read and repair any descriptor; run as a TAVREL_HOST_USER it has that user's
// rights only.
#include <sys/xattr.h>

#include <cstdio>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

#include "platform/account_lookup.h"
#include "platform/dtyp/ace_text.h"
#include "platform/dtyp/sddl.h"
#include "platform/dtyp/security_descriptor.h"
#include "platform/filesystem.h"
#include "platform/posix/filesystem/pathmap.h"
#include "platform/posix/security/object_security.h"
#include "platform/security.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/unique.h"
#include "tools/tavrel-host/commands.h"

namespace {

using Platform::fromUtf8;
using Platform::toUtf8;
namespace Dtyp = Platform::Dtyp;
namespace Info = Platform::SecurityInformation;

constexpr const char* usage =
    "usage: tavrel-host acl get WINPATH [--text]   print the security descriptor in SDDL, or\n"
    "                                              with --text as icacls lists it\n"
    "       tavrel-host acl get WINPATH --tree [--sddl]\n"
    "                                              the same for every object of the tree, as\n"
    "                                              icacls /T lists them (SDDL with --sddl)\n"
    "       tavrel-host acl set WINPATH SDDL       set owner, group and DACL from SDDL (the\n"
    "                                              parts it has); D:P protects the DACL\n"
    "       tavrel-host acl reset WINPATH          replace the descriptor, even a corrupt one,\n"
    "                                              by the default: O:BAG:SYD: (inherits)\n";

int usageError() {
    std::fputs(usage, stderr);
    return 1;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "tavrel-host acl: %s\n", message.c_str());
    return 1;
}

// The account domain, so that SDDL says LA, LG, ... where Windows does.
std::optional<Dtyp::Sid> accountDomain() {
    Platform::UserModalsInfo2 info;
    if (Platform::netUserModalsGet2(L"", info) != 0) {
        return std::nullopt;
    }
    auto sid = Dtyp::Sid::fromBytes(info.domainId);
    return sid ? std::optional<Dtyp::Sid>(*sid) : std::nullopt;
}

// As SYSTEM: the privileges that let an administrator's tool read and write any descriptor.
// A token without them (a TAVREL_HOST_USER) keeps its own rights.
void enableAdministratorPrivileges() {
    Platform::Handle raw = nullptr;
    if (!Platform::openProcessToken(Platform::TokenAccess::AdjustPrivileges, &raw)) {
        return;
    }
    Platform::UniqueHandle token(raw);
    std::vector<Platform::LuidAndAttributes> state;
    for (const wchar_t* name :
         {L"SeBackupPrivilege", L"SeRestorePrivilege", L"SeTakeOwnershipPrivilege"}) {
        Platform::Luid luid;
        if (Platform::lookupPrivilegeValue(L"", name, luid)) {
            state.push_back({luid, Platform::SePrivilegeEnabled});
        }
    }
    Platform::adjustTokenPrivileges(token.get(), state);
}

std::wstring accountName(const Dtyp::Sid& sid) {
    std::vector<std::uint8_t> bytes = sid.toBytes();
    Platform::AccountLookup account;
    if (!Platform::lookupAccountSid(L"", bytes.data(), account)) {
        return sid.toString();
    }
    return account.domain.empty() ? account.name : account.domain + L"\\" + account.name;
}

std::wstring aceText(const Dtyp::Ace& ace) {
    return accountName(ace.sid) + L":" + Dtyp::aceFlagsText(ace.flags, ace.type) +
           Dtyp::aceRightsText(ace.mask);
}

// Like icacls: the path, then one ACE a line, aligned under the first.
void printText(const std::string& path, const Dtyp::SecurityDescriptor& sd) {
    std::vector<std::wstring> lines;
    if (!sd.hasDacl() || !sd.dacl) {
        lines.push_back(L"NULL DACL: everyone has full access");
    } else if (sd.dacl->aces.empty()) {
        lines.push_back(L"empty DACL: nobody has access");
    } else {
        for (const auto& ace : sd.dacl->aces) {
            lines.push_back(aceText(ace));
        }
    }
    std::string indent(fromUtf8(path).size() + 1, ' ');
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::printf("%s%s\n", i == 0 ? (path + " ").c_str() : indent.c_str(),
                    toUtf8(lines[i]).c_str());
    }
}

std::uint32_t readDescriptor(const std::wstring& path, std::vector<std::uint8_t>& bytes) {
    return Platform::getNamedSecurityInfo(path, Platform::SeFileObject,
                                          Info::Owner | Info::Group | Info::Dacl, bytes);
}

// The object whose stored descriptor spoils the read of `path`: the first one from the drive
// down that cannot be read, for an object reads what its ancestors pass on.
std::wstring corruptObjectOn(const std::wstring& path) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t end = path.find(L'\\'); end != std::wstring::npos;
         end = path.find(L'\\', end + 1)) {
        std::wstring above = path.substr(0, end == 2 ? 3 : end);
        if (readDescriptor(above, bytes) == Platform::WinError::FileCorrupt) {
            return above;
        }
    }
    return path;
}

// What is stored for the object, as hex bytes (at most 64).
std::string storedBytes(const std::wstring& path) {
    std::string posix;
    if (!Platform::Posix::windowsToPosix(path, posix)) {
        return "unknown";
    }
    std::uint8_t value[64];
    ssize_t size =
        ::getxattr(posix.c_str(), Platform::Posix::SecurityDescriptorXattr, value, sizeof value);
    if (size < 0 && errno == ERANGE) {
        size = ::getxattr(posix.c_str(), Platform::Posix::SecurityDescriptorXattr, nullptr, 0);
        return std::to_string(size) + " bytes";
    }
    std::string hex;
    for (ssize_t i = 0; i < size; ++i) {
        char digits[4];
        std::snprintf(digits, sizeof digits, "%02x", value[i]);
        hex += digits;
    }
    return size < 0 ? "unreadable" : std::to_string(size) + " bytes " + hex;
}

// `tree`: one object of a tree listing: SDDL after the path, text followed by a blank line.
int get(const std::string& path, bool text, bool tree = false) {
    enableAdministratorPrivileges();
    std::vector<std::uint8_t> bytes;
    std::uint32_t error = readDescriptor(fromUtf8(path), bytes);
    if (error == Platform::WinError::FileCorrupt) {
        std::string corrupt = toUtf8(corruptObjectOn(fromUtf8(path)));
        return fail("cannot read the security descriptor of '" + path +
                    "': " + systemTextWithCode(error) + "; the descriptor stored for '" + corrupt +
                    "' is corrupt (" + storedBytes(fromUtf8(corrupt)) +
                    "): 'tavrel-host acl reset " + corrupt + "' replaces it");
    }
    if (error != 0) {
        return fail("cannot read the security descriptor of '" + path +
                    "': " + systemTextWithCode(error));
    }
    auto sd = Dtyp::decodeSecurityDescriptor(bytes);
    if (!sd) {
        return fail("the security descriptor of '" + path +
                    "' is invalid: " + toUtf8(sd.message()));
    }
    if (text) {
        printText(path, *sd);
        if (tree) {
            std::printf("\n");
        }
        return 0;
    }
    auto domain = accountDomain();
    std::printf(
        "%s%s\n", tree ? (path + " ").c_str() : "",
        toUtf8(Dtyp::toSddl(*sd, domain ? &*domain : nullptr,
                            Dtyp::SddlPart::Owner | Dtyp::SddlPart::Group | Dtyp::SddlPart::Dacl))
            .c_str());
    return 0;
}

int set(const std::string& path, const std::string& sddl) {
    auto domain = accountDomain();
    auto sd = Dtyp::fromSddl(fromUtf8(sddl), domain ? &*domain : nullptr);
    if (!sd) {
        return fail("invalid SDDL '" + sddl + "': " + toUtf8(sd.message()));
    }
    if (sd->hasSacl()) {
        return fail("the host keeps no SACLs: leave out the S: part");
    }
    std::uint32_t information = 0;
    std::vector<std::uint8_t> owner;
    std::vector<std::uint8_t> group;
    std::vector<std::uint8_t> dacl;
    if (sd->owner) {
        information |= Info::Owner;
        owner = sd->owner->toBytes();
    }
    if (sd->group) {
        information |= Info::Group;
        group = sd->group->toBytes();
    }
    if (sd->hasDacl()) {
        information |=
            Info::Dacl | (sd->isDaclProtected() ? Info::ProtectedDacl : Info::UnprotectedDacl);
        if (sd->dacl) {
            auto encoded = Dtyp::encodeAcl(*sd->dacl);
            if (!encoded) {
                return fail("the DACL is too large: " + toUtf8(encoded.message()));
            }
            dacl = std::move(encoded).value();
        }
    }
    if (information == 0) {
        return fail("'" + sddl + "' sets nothing: give O:, G: or D:");
    }
    enableAdministratorPrivileges();
    std::uint32_t error = Platform::setNamedSecurityInfo(
        fromUtf8(path), Platform::SeFileObject, information, owner.empty() ? nullptr : owner.data(),
        group.empty() ? nullptr : group.data(), dacl.empty() ? nullptr : dacl.data(), nullptr);
    if (error != 0) {
        return fail("cannot set the security descriptor of '" + path +
                    "': " + systemTextWithCode(error));
    }
    return 0;
}

// The object and, below a directory, every object of the tree, a directory before what it
// holds. Links are listed but not followed, as icacls /T does. Returns the objects that failed.
int getTree(const std::wstring& path, bool text, int& processed) {
    int failed = get(toUtf8(path), text, true) != 0 ? 1 : 0;
    ++processed;
    std::uint32_t attributes = Platform::getFileAttributes(path);
    if (attributes == Platform::InvalidFileAttributes ||
        !(attributes & Platform::FileAttribute::Directory) ||
        (attributes & Platform::FileAttribute::ReparsePoint)) {
        return failed;
    }
    std::wstring directory = path;
    while (directory.size() > 3 && (directory.back() == L'\\' || directory.back() == L'/')) {
        directory.pop_back();
    }
    if (directory.back() != L'\\') {
        directory += L'\\';
    }
    Platform::FindData data;
    Platform::UniqueFindHandle find(Platform::findFirstFile(directory + L"*", data));
    for (bool more = static_cast<bool>(find); more;
         more = Platform::findNextFile(find.get(), data)) {
        if (data.fileName != L"." && data.fileName != L"..") {
            failed += getTree(directory + data.fileName, text, processed);
        }
    }
    return failed;
}

}  // namespace

int runAclCommand(const std::vector<std::string>& args) {
    if (!args.empty() && args[0] == "get") {
        std::string path;
        bool text = false;
        bool sddl = false;
        bool tree = false;
        for (std::size_t i = 1; i < args.size(); ++i) {
            if (args[i] == "--text") {
                text = true;
            } else if (args[i] == "--sddl") {
                sddl = true;
            } else if (args[i] == "--tree") {
                tree = true;
            } else if (path.empty() && !args[i].starts_with("--")) {
                path = args[i];
            } else {
                return usageError();
            }
        }
        if (path.empty() || (text && sddl) || (sddl && !tree)) {
            return usageError();
        }
        if (!tree) {
            return get(path, text);
        }
        int processed = 0;
        int failed = getTree(fromUtf8(path), !sddl, processed);
        std::printf("Successfully processed %d files; Failed processing %d files\n",
                    processed - failed, failed);
        return failed == 0 ? 0 : 1;
    }
    if (args.size() == 3 && args[0] == "set") {
        return set(args[1], args[2]);
    }
    if (args.size() == 2 && args[0] == "reset") {
        return set(args[1], "O:BAG:SYD:");
    }
    return usageError();
}
