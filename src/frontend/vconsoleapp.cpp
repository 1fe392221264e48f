#include "frontend/vconsoleapp.h"

#include <exception>
#include <vector>

#include "platform/system.h"
#include "runtime/exceptions.h"
#include "runtime/failures.h"
#include "runtime/log.h"

namespace {

// Runs `body`; whatever it throws comes back as a vexception with the record of `site()`
// appended. `failed` tells whether anything was caught.
template <typename Body, typename Site>
vexception catchAll(Body&& body, Site&& site, bool& failed) {
    failed = true;
    try {
        body();
        failed = false;
    } catch (...) {
        return currentFailure(site());
    }
    return vexception(std::wstring());
}

}  // namespace

vconsoleapp::~vconsoleapp() = default;

std::wstring vconsoleapp::maskCommandLine(const std::wstring& commandLine) {
    std::wstring masked;
    for (const auto& arg : Platform::commandLineToArgv(commandLine)) {
        std::vector<std::wstring> pieces;
        std::size_t begin = 0;
        while (begin <= arg.size()) {
            std::size_t eq = arg.find(L'=', begin);
            std::size_t end = eq == std::wstring::npos ? arg.size() : eq;
            if (end > begin) {
                pieces.push_back(arg.substr(begin, end - begin));
            }
            begin = end + 1;
        }
        if (!pieces.empty() && (pieces[0].find(L"password") != std::wstring::npos ||
                                pieces[0].find(L"pwd") != std::wstring::npos)) {
            masked += pieces[0];
            for (std::size_t i = 1; i < pieces.size(); ++i) {
                masked += L"=*";
            }
        } else {
            masked += arg;
        }
        masked += L' ';
    }
    return masked;
}

int vconsoleapp::run(int argc, const wchar_t* const* argv) {
    std::wstring masked = maskCommandLine(Platform::getCommandLine());
    LogManager& log = LogManager::instance();
    log.log(LogInfo, L"start %s", masked);
    int exitCode = 1;
    Platform::SeTranslator previous = Platform::setSeTranslator(translateStructuredException);
    bool failed = false;
    vexception error =
        catchAll([&] { exitCode = start(argc, argv); },
                 [&] {
                     return CallSite{formatString(L"execute %s", masked), "vconsoleapp::run", 110};
                 },
                 failed);
    Platform::setSeTranslator(previous);
    if (failed) {
        exitCode = 1;
        try {
            log.log(LogError, error);
        } catch (...) {
        }
    }
    log.log(LogInfo, L"end %s with code %d", masked, exitCode);
    return exitCode;
}

int vconsoleapp::start(int argc, const wchar_t* const* argv) {
    int result = 1;
    bool failed = false;
    vexception error = catchAll(
        [&] {
            runTranslated([&] {
                if (argc - 1 > 0) {
                    command_ = argv[1];
                    result = go(argc - 2, argv + 2);
                } else if (command_.empty()) {
                    usage();
                    result = 1;
                } else {
                    result = go(argc - 2, argv + 1);
                }
            });
        },
        [&] {
            return CallSite{formatString(L"execute console command %s", maskCommandLine(command_)),
                            "vconsoleapp::start", 93};
        },
        failed);
    if (failed) {
        throw error;
    }
    return result;
}

int vconsoleapp::go(int, const wchar_t* const*) {
    throw vexception(L"Invalid command " + command_,
                     CallSite{std::wstring(), "vconsoleapp::go", 68});
}

void vconsoleapp::usage() {
    throw vexception(L"Missing command parameter",
                     CallSite{std::wstring(), "vconsoleapp::usage", 98});
}

void vconsoleapp::cmdNotSupported(const std::wstring& possibleCommands) const {
    throw vexception(
        L"command " + command_ + L" not supported. Possible commands:\n" + possibleCommands,
        CallSite{std::wstring(), "vconsoleapp::cmdNotSupported", 56});
}
