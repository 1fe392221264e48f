// A console application whose command raises a real hardware fault, for the structured-
// exception cases on Windows: faulting_app --access-violation | --divide | --ok
#include <string>
#include <vector>

#include "frontend/vconsoleapp.h"
#include "platform/system.h"

namespace {

class FaultingApp : public vconsoleapp {
public:
    FaultingApp() { setDefaultCommand(L"--ok"); }
    int go(int, const wchar_t* const*) override {
        volatile int zero = 0;
        volatile int dividend = 7;  // not 1: 1 / x compiles to a comparison, without a division
        volatile int* nowhere = nullptr;
        if (command_ == L"--access-violation") {
            *nowhere = 1;
        } else if (command_ == L"--divide") {
            return dividend / zero;
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
    std::vector<std::wstring> args = Platform::commandLineToArgv(Platform::getCommandLine());
    std::vector<const wchar_t*> wargv;
    for (const auto& a : args) {
        wargv.push_back(a.c_str());
    }
    FaultingApp app;
    return app.run(static_cast<int>(args.size()), wargv.data());
}
