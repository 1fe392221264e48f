#include "platform/posix/host/host.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <stdexcept>
#include <system_error>

#include "platform/posix/host/unique_fd.h"

namespace Platform::Posix {
namespace fs = std::filesystem;
namespace {

[[noreturn]] void fail(const std::string& what, const fs::path& path, int error) {
    throw std::runtime_error("cannot create " + what + " " + path.string() + ": " +
                             std::strerror(error));
}

std::string machineName() {
    char name[256] = {};
    if (gethostname(name, sizeof(name) - 1) != 0 || name[0] == '\0') {
        return "TAVREL-HOST";
    }
    std::string upper;
    for (char* p = name; *p && *p != '.'; ++p) {
        upper += static_cast<char>(*p >= 'a' && *p <= 'z' ? *p - 'a' + 'A' : *p);
    }
    return upper.substr(0, 15);  // NetBIOS names have at most 15 characters
}

std::string randomDomainSid() {
    std::random_device device;
    std::uniform_int_distribution<std::uint32_t> part(100000000u, 4000000000u);
    return "S-1-5-21-" + std::to_string(part(device)) + "-" + std::to_string(part(device)) + "-" +
           std::to_string(part(device));
}

std::string defaultAccounts() {
    // The format is described in accounts_db.h; `tavrel-host account` edits it.
    return "# Accounts of the emulated Windows host: machine NAME | domain SID | user NAME = RID "
           "| group NAME = RID | member GROUP = ACCOUNT | next-rid RID\n"
           "machine " +
           machineName() +
           "\n"
           "domain " +
           randomDomainSid() +
           "\n"
           "user Administrator = 500\n"
           "user Guest = 501\n"
           "member Administrators = Administrator\n";
}

std::string defaultRegistry() {
    std::string machine = machineName();
    return "Windows Registry Editor Version 5.00\n"
           "\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion]\n"
           "\"ProgramFilesDir\"=\"C:\\\\Program Files\"\n"
           "\"CommonFilesDir\"=\"C:\\\\Program Files\\\\Common Files\"\n"
           "\"ProgramFilesDir (x86)\"=\"C:\\\\Program Files (x86)\"\n"
           "\"CommonFilesDir (x86)\"=\"C:\\\\Program Files (x86)\\\\Common Files\"\n"
           "\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\n"
           "\"CurrentMajorVersionNumber\"=dword:0000000a\n"
           "\"CurrentMinorVersionNumber\"=dword:00000000\n"
           "\"CurrentBuildNumber\"=\"19045\"\n"
           "\"ProductName\"=\"Windows 10 Pro\"\n"
           "\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion]\n"
           "\"ProgramFilesDir\"=\"C:\\\\Program Files (x86)\"\n"
           "\"CommonFilesDir\"=\"C:\\\\Program Files (x86)\\\\Common Files\"\n"
           "\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Tarno\\Zel Config\\Config]\n"
           "\"PRODUCT_ROOT_D\"=\"C:\\\\Program Files (x86)\\\\Tarno\"\n"
           "\"HTTPD_VHOSTS_D\"=\"C:\\\\Inetpub\\\\vhosts\"\n"
           "\n"
           "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName]\n"
           "\"ComputerName\"=\"" +
           machine +
           "\"\n"
           "\n"
           "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application]\n"
           "\n"
           "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System]\n"
           "\n"
           "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters]\n"
           "\"Hostname\"=\"" +
           machine +
           "\"\n"
           "\n";
}

// Directories of a fresh C: drive and of the panel's installation.
constexpr const char* driveDirectories[] = {
    "Windows",
    "Windows/System32",
    "Windows/Temp",
    "Program Files",
    "Program Files/Common Files",
    "Program Files (x86)",
    "Program Files (x86)/Common Files",
    "Program Files (x86)/Tarno",
    "Program Files (x86)/Tarno/admin",
    "Program Files (x86)/Tarno/admin/logs",
    "Program Files (x86)/Tarno/etc",
    "ProgramData",
    "Users",
    "Users/Public",
    "Inetpub",
    "Inetpub/vhosts",
};

void makeDirectory(const fs::path& path) {
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
        fail("directory", path, errno);
    }
}

void makeLink(const fs::path& link, const char* target) {
    if (::symlink(target, link.c_str()) != 0 && errno != EEXIST) {
        fail("drive link", link, errno);
    }
}

std::string temporarySibling(const fs::path& target) {
    return target.string() + ".tmp." + std::to_string(::getpid()) + "." +
           std::to_string(std::random_device{}());
}

// Writes `content` whole to the new file `name` and closes it; on a failure the file goes.
void writeWhole(UniqueFd fd, const std::string& content, const std::string& name) {
    auto abandon = [&](int error) {
        fd.reset();
        ::unlink(name.c_str());
        fail("file", name, error);
    };
    std::size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd.get(), content.data() + done, content.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            abandon(errno);
        }
        done += static_cast<std::size_t>(n);
    }
    // The close is the last chance to hear of a failed write: its result counts.
    if (::fsync(fd.get()) != 0 || ::close(fd.release()) != 0) {
        abandon(errno);
    }
}

std::string writeTemporary(const fs::path& target, const std::string& content) {
    std::string name = temporarySibling(target);
    UniqueFd fd(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd) {
        fail("file", name, errno);
    }
    writeWhole(std::move(fd), content, name);
    return name;
}

}  // namespace

void createFileOnce(const fs::path& target, const std::string& content) {
    if (::access(target.c_str(), F_OK) == 0) {
        return;
    }
    std::string name = writeTemporary(target, content);
    // link() refuses to replace: whoever comes first wins and the others keep theirs.
    int result = ::link(name.c_str(), target.c_str());
    int error = errno;
    ::unlink(name.c_str());
    if (result != 0 && error != EEXIST) {
        fail("file", target, error);
    }
}

void replaceFileAtomically(const fs::path& target, const std::string& content) {
    std::string name = writeTemporary(target, content);
    if (::rename(name.c_str(), target.c_str()) != 0) {
        int error = errno;
        ::unlink(name.c_str());
        fail("file", target, error);
    }
}

fs::path hostDirectoryFromEnvironment() {
    if (const char* host = std::getenv("TAVREL_HOST"); host && *host) {
        return fs::path(host);
    }
    fs::path data;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) {
        data = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        data = fs::path(home) / ".local" / "share";
    } else {
        data = "/tmp";
    }
    return data / "tavrel" / "host";
}

namespace {

// First use completes a host, except for one piece: an existing host (its registry file is
// there) that lost its accounts file gets no new one, since a new one would bring a new domain
// SID and turn every local account named in a stored descriptor into a stranger. The accounts
// are read and reported missing instead; `tavrel-host init` may write new ones on request.
void completeHostFiles(const fs::path& dir, bool newAccountsForExistingHost) {
    std::error_code error;
    fs::create_directories(dir, error);
    if (error) {
        fail("host directory", dir, error.value());
    }
    makeDirectory(dir / "dosdevices");
    makeDirectory(dir / "drive_c");
    makeDirectory(dir / "locks");
    makeDirectory(dir / "eventlog");
    makeLink(dir / "dosdevices" / "c:", "../drive_c");
    makeLink(dir / "dosdevices" / "z:", "/");
    for (const char* sub : driveDirectories) {
        makeDirectory(dir / "drive_c" / sub);
    }
    // The accounts file before the registry file: a host whose registry file exists was
    // created whole, so a missing accounts file there was lost, not yet to be written.
    if (newAccountsForExistingHost || ::access((dir / "system.reg").c_str(), F_OK) != 0) {
        createFileOnce(dir / "accounts", defaultAccounts());
    }
    createFileOnce(dir / "system.reg", defaultRegistry());
}

}  // namespace

void completeHost(const fs::path& dir) {
    completeHostFiles(dir, true);
}

std::shared_ptr<const fs::path> currentHost() {
    // Keyed by the wanted directory, so that a process (a test) that points TAVREL_HOST
    // elsewhere gets the new host completed too. Every call of the seam comes here: the
    // usual case compares the environment's text with the last one and builds nothing.
    static std::mutex lock;
    static std::string wantedText;
    static bool fromVariable = false;
    static std::shared_ptr<const fs::path> completed;
    const char* variable = std::getenv("TAVREL_HOST");
    bool set = variable && *variable;
    std::lock_guard guard(lock);
    if (completed && set && fromVariable && wantedText == variable) {
        return completed;
    }
    fs::path wanted = hostDirectoryFromEnvironment();
    if (!completed || wanted.string() != wantedText || set != fromVariable) {
        completeHostFiles(wanted, false);
        wantedText = wanted.string();
        fromVariable = set;
        completed = std::make_shared<const fs::path>(fs::absolute(wanted));
    }
    return completed;
}

fs::path ensureHost() {
    return *currentHost();
}

}  // namespace Platform::Posix
