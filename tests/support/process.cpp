#include "support/process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "support/temp_host.h"

extern char** environ;

namespace TestSupport {
namespace fs = std::filesystem;

fs::path binDir() {
    const char* dir = std::getenv("TAVREL_BIN_DIR");
    if (!dir || !*dir) {
        throw std::runtime_error("TAVREL_BIN_DIR is not set");
    }
    return fs::path(dir);
}

namespace {
fs::path makeScratch() {
    std::string pattern = (fs::temp_directory_path() / "tavrel-run-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        throw std::runtime_error("mkdtemp failed");
    }
    return fs::path(pattern);
}
}  // namespace

RunningProgram::RunningProgram(int pid, fs::path scratch)
    : pid_(pid), scratch_(std::move(scratch)) {}

RunningProgram::RunningProgram(RunningProgram&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), scratch_(std::move(other.scratch_)) {}

RunningProgram::~RunningProgram() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    if (!scratch_.empty()) {
        std::error_code ignored;
        fs::remove_all(scratch_, ignored);
    }
}

ProcessResult RunningProgram::wait() {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    ProcessResult result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = readFile(scratch_ / "out");
    result.err = readFile(scratch_ / "err");
    return result;
}

ProcessResult RunningProgram::kill() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
    }
    return wait();
}

ProcessResult runProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env, const fs::path& workDir) {
    return startProgram(program, args, env, workDir).wait();
}

RunningProgram startProgram(const std::string& program, const std::vector<std::string>& args,
                            const std::vector<std::string>& env, const fs::path& workDir) {
    fs::path scratch = makeScratch();
    fs::path outFile = scratch / "out";
    fs::path errFile = scratch / "err";
    std::string path =
        program.find('/') == std::string::npos ? (binDir() / program).string() : program;

    std::vector<std::string> argStore{path};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStore) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    // The given entries replace inherited ones of the same name; "NAME=" alone removes it.
    std::vector<std::string> envStore;
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    for (char** e = environ; *e; ++e) {
        std::string entry(*e);
        bool replaced = false;
        for (const auto& given : env) {
            replaced = replaced || nameOf(given) == nameOf(entry);
        }
        if (!replaced) {
            envStore.push_back(entry);
        }
    }
    for (const auto& given : env) {
        if (given.back() != '=') {
            envStore.push_back(given);
        }
    }
    std::vector<char*> envp;
    for (auto& e : envStore) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    if (!workDir.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());
    }
    pid_t pid = 0;
    int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        std::error_code ignored;
        fs::remove_all(scratch, ignored);
        throw std::runtime_error("cannot start " + path + ": " + std::strerror(rc));
    }
    return RunningProgram(pid, scratch);
}

void expectRefused(const ProcessResult& run, const std::string& message) {
    EXPECT_EQ(run.exitCode, 1) << run.out;
    EXPECT_EQ(run.out.rfind(message, 0), 0u) << run.out;
}

}  // namespace TestSupport
