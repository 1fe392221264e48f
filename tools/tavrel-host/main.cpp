// tavrel-host: the Linux user's window into the emulated Windows host that tavrel runs on.
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/posix/accounts/accounts_db.h"
#include "platform/posix/host/host.h"
#include "platform/posix/registry/regfile.h"
#include "platform/system.h"
#include "platform/text.h"
#include "runtime/exceptions.h"
#include "tools/tavrel-host/commands.h"

namespace {

constexpr const char* usageText =
    "usage: tavrel-host COMMAND [ARGUMENTS]\n"
    "\n"
    "  init                          create the host (or complete a partial one), print its "
    "directory\n"
    "  path -u WINPATH               print the POSIX path of a Windows path\n"
    "  path -w POSIXPATH             print the Windows path of a POSIX path\n"
    "  reg get KEY [NAME]            print a value, or every value of a key\n"
    "  reg set KEY NAME TYPE DATA    set a value (REG_SZ, REG_EXPAND_SZ, REG_DWORD, REG_MULTI_SZ, "
    "REG_BINARY)\n"
    "  reg del KEY [NAME]            delete a value, or a key with its subkeys\n"
    "  reg import FILE               merge a regedit file (UTF-8 or UTF-16LE with BOM)\n"
    "  reg export [KEY]              print a key (or the whole registry) as a regedit file\n"
    "  account add NAME [--group]    create a local user (or group), print its SID\n"
    "  account del NAME              delete a local user or group\n"
    "  account list                  print NAME, SID and type of each local account\n"
    "  account join GROUP NAME       make an account a member of a group\n"
    "  acl get WINPATH [--text]      print a security descriptor (SDDL, or icacls-like)\n"
    "  acl set WINPATH SDDL          set owner, group and DACL from SDDL (D:P protects)\n"
    "  acl reset WINPATH             replace a descriptor, even a corrupt one, by the default\n"
    "  eventlog [LOG]                print an event log (every log without LOG)\n"
    "\n"
    "TAVREL_HOST_USER=NAME runs a command as that local user instead of SYSTEM.\n"
    "The host directory is TAVREL_HOST, else ${XDG_DATA_HOME:-$HOME/.local/share}/tavrel/host.\n";

// init: creates the host, or completes it, then reads its registry and accounts files as
// every later command will, so that a damaged host is reported now and not at first use.
int runInit(const std::vector<std::string>& args) {
    if (!args.empty()) {
        std::fprintf(stderr, "tavrel-host: init takes no arguments\n");
        return 1;
    }
    namespace fs = std::filesystem;
    fs::path wanted = Platform::Posix::hostDirectoryFromEnvironment();
    bool lostAccounts = fs::exists(wanted / "system.reg") && !fs::exists(wanted / "accounts") &&
                        !fs::is_symlink(wanted / "accounts");
    Platform::Posix::completeHost(wanted);
    auto dir = Platform::Posix::ensureHost();
    if (lostAccounts) {
        std::fprintf(stderr,
                     "tavrel-host init: the host had no accounts file; wrote one with a new domain "
                     "SID (local accounts named in stored descriptors are strangers now)\n");
    }
    bool damaged = false;
    std::string registryDetail;
    if (std::uint32_t error = Platform::Posix::checkRegistryFile(registryDetail)) {
        std::fprintf(stderr, "tavrel-host init: the registry is unusable: %s\n",
                     registryDetail.empty() ? systemText(error).c_str() : registryDetail.c_str());
        damaged = true;
    }
    std::uint32_t error = 0;
    std::wstring accountsDetail;
    if (!Platform::Posix::loadAccounts(error, accountsDetail)) {
        std::fprintf(stderr, "tavrel-host init: the accounts are unusable: %s\n",
                     accountsDetail.empty() ? systemText(error).c_str()
                                            : Platform::toUtf8(accountsDetail).c_str());
        damaged = true;
    }
    if (damaged) {
        return 1;
    }
    std::printf("%s\n", dir.c_str());
    return 0;
}

constexpr CommandEntry hostCommands[] = {
    {"path", runPathCommand}, {"reg", runRegCommand},           {"account", runAccountCommand},
    {"acl", runAclCommand},   {"eventlog", runEventlogCommand},
};

}  // namespace

int main(int argc, char** argv) {
    // Past a file-size limit a write fails as on a full disk, as in tavrel, rather than killing
    // the process half-way through a host file.
    ::signal(SIGXFSZ, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::fputs(usageText, stderr);
        return 1;
    }
    std::string command = args.front();
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "help" || command == "--help" || command == "-h") {
        std::fputs(usageText, stdout);
        return 0;
    }
    try {
        if (command == "init") {
            return runInit(rest);
        }
        Platform::Posix::ensureHost();
        if (const CommandEntry* entry = findCommand(hostCommands, command)) {
            return entry->run(rest);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tavrel-host: %s\n", e.what());
        return 1;
    } catch (const vexception& e) {
        std::fprintf(stderr, "tavrel-host: %s\n", Platform::toUtf8(renderException(e)).c_str());
        return 1;
    }
    std::fprintf(stderr, "tavrel-host: unknown command '%s'\n\n%s", command.c_str(), usageText);
    return 1;
}
