// Regedit text: what parses is written back, and what is written parses to the same text.
#include "fuzz_support.h"
#include "platform/posix/registry/regfile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<Platform::Posix::RegFileSection> sections;
    Platform::Posix::RegFileError error;
    if (!Platform::Posix::parseRegFile(FuzzSupport::text(data, size), sections, error)) {
        return 0;
    }
    std::string written = Platform::Posix::formatRegFile(sections);
    std::vector<Platform::Posix::RegFileSection> again;
    if (!Platform::Posix::parseRegFile(written, again, error) ||
        Platform::Posix::formatRegFile(again) != written) {
        FuzzSupport::broken("regedit text written from sections does not read back the same");
    }
    return 0;
}
