// The process entry: run one command of the Tavrel application and exit with its code.
#include <string>
#include <vector>

#include "frontend/tavrel_impl.h"
#include "platform/system.h"
#include "platform/text.h"

int main(int argc, char** argv) {
    std::string error;
    if (!Platform::initializeProcess(argc, argv, error)) {
        Platform::writeStderr("tavrel: " + error + "\n");
        return 1;
    }
    std::vector<std::wstring> args;
    for (int i = 0; i < argc; ++i) {
        args.push_back(Platform::fromUtf8(argv[i]));
    }
    std::vector<const wchar_t*> wargv;
    for (const auto& a : args) {
        wargv.push_back(a.c_str());
    }
    wargv.push_back(nullptr);
    TavrelImpl app;
    return app.run(argc, wargv.data());
}
