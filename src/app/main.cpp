// The process entry: run one command of the Tavrel application and exit with its code.
#include <string>
#include <vector>

#include "frontend/tavrel_impl.h"
#include "platform/system.h"

int main(int argc, char** argv) {
    std::string error;
    if (!Platform::initializeProcess(argc, argv, error)) {
        Platform::writeStderr("tavrel: " + error + "\n");
        return 1;
    }
    // The arguments as the system's command line gives them, which on Windows is the only
    // source of the full Unicode text (argv there is in the ANSI code page).
    std::vector<std::wstring> args = Platform::commandLineToArgv(Platform::getCommandLine());
    std::vector<const wchar_t*> wargv;
    for (const auto& a : args) {
        wargv.push_back(a.c_str());
    }
    wargv.push_back(nullptr);
    TavrelImpl app;
    return app.run(static_cast<int>(args.size()), wargv.data());
}
