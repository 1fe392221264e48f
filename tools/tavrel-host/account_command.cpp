// tavrel-host account: the local users and groups of the host, as `net user` and
// `net localgroup` manage them on Windows. The accounts live in `<host>/accounts`.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/posix/accounts/accounts_db.h"
#include "platform/security.h"
#include "platform/system.h"
#include "platform/text.h"
#include "tools/tavrel-host/commands.h"

namespace {

using Platform::fromUtf8;
using Platform::toUtf8;

constexpr const char* usage =
    "usage: tavrel-host account add NAME [--group]   create a local user (or group), print its "
    "SID\n"
    "       tavrel-host account del NAME             delete a local user or group\n"
    "       tavrel-host account list                 print NAME, SID and type of each local "
    "account\n"
    "       tavrel-host account join GROUP NAME      make NAME a member of a local group or a\n"
    "                                                BUILTIN group such as Administrators\n";

int usageError() {
    std::fputs(usage, stderr);
    return 1;
}

int fail(const std::string& what, std::uint32_t code, const std::wstring& detail) {
    std::string reason = detail.empty() ? systemText(code) : toUtf8(detail);
    std::fprintf(stderr, "tavrel-host account: %s: %s\n", what.c_str(), reason.c_str());
    return 1;
}

int add(const std::vector<std::string>& args) {
    bool group = false;
    std::vector<std::string> names;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--group") {
            group = true;
        } else {
            names.push_back(args[i]);
        }
    }
    if (names.size() != 1) {
        return usageError();
    }
    Platform::Dtyp::Sid sid;
    std::wstring detail;
    if (std::uint32_t error =
            Platform::Posix::addLocalAccount(fromUtf8(names[0]), group, sid, detail)) {
        return fail("cannot add '" + names[0] + "'", error, detail);
    }
    std::printf("%s\n", toUtf8(sid.toString()).c_str());
    return 0;
}

int list() {
    std::uint32_t error = 0;
    std::wstring detail;
    auto db = Platform::Posix::loadAccounts(error, detail);
    if (!db) {
        return fail("cannot read the accounts", error, detail);
    }
    // Tab-separated: names may hold spaces.
    for (const auto& account : db->localAccounts()) {
        auto sid = db->domainSid().withRid(account.rid);
        std::printf("%s\t%s\t%s\n", toUtf8(account.name).c_str(),
                    sid ? toUtf8(sid->toString()).c_str() : "?", account.group ? "Group" : "User");
    }
    return 0;
}

}  // namespace

int runAccountCommand(const std::vector<std::string>& args) {
    if (args.empty()) {
        return usageError();
    }
    const std::string& action = args[0];
    std::wstring detail;
    if (action == "add") {
        return add(args);
    }
    if (action == "del" && args.size() == 2) {
        if (std::uint32_t error = Platform::Posix::deleteLocalAccount(fromUtf8(args[1]), detail)) {
            return fail("cannot delete '" + args[1] + "'", error, detail);
        }
        return 0;
    }
    if (action == "list" && args.size() == 1) {
        return list();
    }
    if (action == "join" && args.size() == 3) {
        if (std::uint32_t error =
                Platform::Posix::addGroupMember(fromUtf8(args[1]), fromUtf8(args[2]), detail)) {
            return fail("cannot add '" + args[2] + "' to '" + args[1] + "'", error, detail);
        }
        return 0;
    }
    return usageError();
}
