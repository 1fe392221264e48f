// Runs a real program of the build (tavrel, tavrel-host) and collects what it printed.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace TestSupport {

struct ProcessResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// The directory of the built programs (TAVREL_BIN_DIR, set by the test runner).
std::filesystem::path binDir();

// A started program; killed and reaped if still running when the owner goes.
class RunningProgram {
public:
    RunningProgram(int pid, std::filesystem::path scratch);
    RunningProgram(RunningProgram&& other) noexcept;
    RunningProgram& operator=(RunningProgram&&) = delete;
    ~RunningProgram();

    // Waits for the end and returns exit code (128 + signal when killed) and output.
    ProcessResult wait();
    // Kills the program with SIGKILL (a crash or a power cut, as far as the program can tell)
    // and waits for it.
    ProcessResult kill();

private:
    int pid_;
    std::filesystem::path scratch_;
};

// Starts `program` (a name in binDir() or a path) with `args`, in `workDir` when given, with
// environment entries "NAME=value" replacing inherited ones ("NAME=" removes one).
RunningProgram startProgram(const std::string& program, const std::vector<std::string>& args,
                            const std::vector<std::string>& env = {},
                            const std::filesystem::path& workDir = {});

// Checks a run the program refused: exit code 1, and the output starting with `message`.
void expectRefused(const ProcessResult& run, const std::string& message);

// startProgram, then wait.
ProcessResult runProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env = {},
                         const std::filesystem::path& workDir = {});

}  // namespace TestSupport
