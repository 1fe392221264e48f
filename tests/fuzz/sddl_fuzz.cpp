// SDDL text: whatever parses is written back, and what is written parses to the same text;
// the descriptor encodes and decodes to it too.
#include "fuzz_support.h"
#include "platform/dtyp/sddl.h"
#include "platform/dtyp/security_descriptor.h"
#include "platform/text.h"

namespace Dtyp = Platform::Dtyp;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::wstring input = Platform::fromUtf8(FuzzSupport::text(data, size));
    auto sd = Dtyp::fromSddl(input);
    if (!sd) {
        return 0;
    }
    std::wstring written = Dtyp::toSddl(*sd);
    auto again = Dtyp::fromSddl(written);
    if (!again || Dtyp::toSddl(*again) != written) {
        FuzzSupport::broken("SDDL written from a descriptor does not read back the same");
    }
    auto bytes = Dtyp::encodeSecurityDescriptor(*sd);
    if (bytes) {
        auto decoded = Dtyp::decodeSecurityDescriptor(*bytes);
        if (!decoded || Dtyp::toSddl(*decoded) != written) {
            FuzzSupport::broken("an encoded descriptor does not decode to the same");
        }
    }
    return 0;
}
