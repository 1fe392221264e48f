// Saves metadata from a second process, for the tests that interrupt or restrict a save:
//   metadata_saver loop FILE                 saves variant 1, 0, 1, 0, ... until killed
//   metadata_saver once FILE VARIANT [--file-size-limit=BYTES] [--unprivileged]
// --file-size-limit makes every write beyond BYTES fail (RLIMIT_FSIZE, as a full disk would);
// --unprivileged drops root to nobody first, so that directory permissions apply. A failed
// save prints the rendered exception and exits 1; a refused setup exits 3.
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "big_metadata.h"
#include "platform/system.h"
#include "platform/text.h"
#include "runtime/exceptions.h"

namespace {

bool dropPrivileges() {
    if (geteuid() != 0) {
        return true;
    }
    const uid_t nobody = 65534;
    return setgroups(0, nullptr) == 0 && setgid(nobody) == 0 && setuid(nobody) == 0;
}

bool limitFileSize(const std::string& bytes) {
    // The write beyond the limit then fails with EFBIG instead of killing the process.
    signal(SIGXFSZ, SIG_IGN);
    rlim_t limit = std::strtoull(bytes.c_str(), nullptr, 10);
    struct rlimit r {
        limit, limit
    };
    return setrlimit(RLIMIT_FSIZE, &r) == 0;
}

std::unique_ptr<Tavrel::SecurityManager> bigSet(int variant) {
    auto manager =
        std::make_unique<Tavrel::SecurityManager>(std::make_shared<LocalUserInformation>());
    ManagerTests::fillBigSet(*manager, variant);
    return manager;
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    if (argc < 3 || !Platform::initializeProcess(argc, argv, error)) {
        return 3;
    }
    std::string mode = argv[1];
    std::wstring file = Platform::fromUtf8(argv[2]);
    try {
        if (mode == "loop") {
            // Built once, so that nearly all of the loop's time is spent inside saves.
            std::unique_ptr<Tavrel::SecurityManager> variants[] = {bigSet(0), bigSet(1)};
            for (int variant = 1;; variant = 1 - variant) {
                variants[variant]->saveToFile(file);
            }
        }
        if (mode != "once" || argc < 4) {
            return 3;
        }
        for (int i = 4; i < argc; ++i) {
            std::string option = argv[i];
            const std::string limit = "--file-size-limit=";
            if (option.rfind(limit, 0) == 0 && !limitFileSize(option.substr(limit.size()))) {
                return 3;
            }
            if (option == "--unprivileged" && !dropPrivileges()) {
                return 3;
            }
        }
        bigSet(std::atoi(argv[3]))->saveToFile(file);
    } catch (const vexception& e) {
        Platform::writeStdout(Platform::toUtf8(renderException(e)));
        return 1;
    }
    return 0;
}
