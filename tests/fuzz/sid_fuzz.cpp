// SID strings: a SID that parses is written as SDDL and reads back as the same SID.
#include "fuzz_support.h"
#include "platform/dtyp/sddl.h"
#include "platform/text.h"

namespace Dtyp = Platform::Dtyp;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto sid = Dtyp::sidFromSddl(Platform::fromUtf8(FuzzSupport::text(data, size)));
    if (!sid) {
        return 0;
    }
    auto again = Dtyp::sidFromSddl(Dtyp::sidToSddl(*sid));
    if (!again || !(*again == *sid)) {
        FuzzSupport::broken("a SID written as SDDL does not read back the same");
    }
    return 0;
}
