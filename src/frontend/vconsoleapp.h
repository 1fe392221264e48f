// The console application frame: one command per run, start and end logged with the masked
// command line, every failure rendered to the log and turned into exit code 1.
#pragma once

#include <string>

class vconsoleapp {
public:
    virtual ~vconsoleapp();

    // Runs the command and returns the exit code (0 success, 1 any failure). Never throws.
    int run(int argc, const wchar_t* const* argv);

    // Runs the command named by the arguments; throws what the command throws.
    virtual int go(int argc, const wchar_t* const* argv);
    // Selects the command (argv[1], else the default) and calls go with its parameters.
    virtual int start(int argc, const wchar_t* const* argv);
    virtual void usage();

    const std::wstring& commandName() const { return command_; }

    // The command line with the values of password-like keys replaced by "*", every argument
    // followed by one blank.
    static std::wstring maskCommandLine(const std::wstring& commandLine);

protected:
    vconsoleapp() = default;
    void setDefaultCommand(const std::wstring& command) { command_ = command; }
    [[noreturn]] void cmdNotSupported(const std::wstring& possibleCommands) const;

    std::wstring command_;
};
