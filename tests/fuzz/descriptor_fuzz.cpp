// Self-relative security descriptors as the security store keeps them: whatever decodes
// encodes again and decodes to the same.
#include "fuzz_support.h"
#include "platform/dtyp/sddl.h"
#include "platform/dtyp/security_descriptor.h"

namespace Dtyp = Platform::Dtyp;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto sd = Dtyp::decodeSecurityDescriptor(std::span<const std::uint8_t>(data, size));
    if (!sd) {
        return 0;
    }
    std::wstring text = Dtyp::toSddl(*sd);
    auto bytes = Dtyp::encodeSecurityDescriptor(*sd);
    if (!bytes) {
        return 0;
    }
    auto again = Dtyp::decodeSecurityDescriptor(*bytes);
    if (!again || Dtyp::toSddl(*again) != text) {
        FuzzSupport::broken("a decoded descriptor does not encode and decode to the same");
    }
    return 0;
}
