// A console application whose command faults, for the structured-exception tests:
// crashing_app --segv | --fpe | --ok
#include <signal.h>

#include <string>
#include <vector>

#include "frontend/vconsoleapp.h"
#include "platform/system.h"
#include "platform/text.h"

namespace {

class CrashingApp : public vconsoleapp {
public:
    CrashingApp() { setDefaultCommand(L"--ok"); }
    int go(int, const wchar_t* const*) override {
        if (command_ == L"--segv") {
            raise(SIGSEGV);
        } else if (command_ == L"--fpe") {
            raise(SIGFPE);
        }
        return 0;
    }
    void usage() override {}
};

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    if (!Platform::initializeProcess(argc, argv, error)) {
        return 2;
    }
    std::vector<std::wstring> args;
    for (int i = 0; i < argc; ++i) {
        args.push_back(Platform::fromUtf8(argv[i]));
    }
    std::vector<const wchar_t*> wargv;
    for (const auto& a : args) {
        wargv.push_back(a.c_str());
    }
    CrashingApp app;
    return app.run(argc, wargv.data());
}
