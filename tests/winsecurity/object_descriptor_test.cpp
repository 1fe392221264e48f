// The DACL of a descriptor that the security calls return, which needs no host: taken where it
// lies when it checks out, decoded otherwise. It runs under Wine as well.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/dtyp/acl.h"
#include "platform/dtyp/sddl.h"
#include "platform/dtyp/security_descriptor.h"
#include "runtime/exceptions.h"
#include "winsecurity/object_security.h"
#include "winsecurity/vacl.h"

namespace {

namespace Dtyp = Platform::Dtyp;

// A DACL is taken as it lies in the descriptor only where it checks out; any other descriptor
// is decoded, and one whose DACL is cut short or overruns it fails.
TEST(DaclOfDescriptor, TakenInPlaceOnlyWhereItChecksOut) {
    auto sd = *Dtyp::fromSddl(L"O:BAG:SYD:PAI(A;OICI;FA;;;SY)(A;;0x1200a9;;;BU)");
    const std::vector<std::uint8_t> whole = *Dtyp::encodeSecurityDescriptor(sd);
    const VAcl expected(Dtyp::encodeAcl(*sd.dacl)->data());
    std::size_t daclAt = whole[16] | whole[17] << 8;
    struct Case {
        const char* descriptor;
        std::function<void(std::vector<std::uint8_t>&)> change;
        bool fails;
    };
    const std::vector<Case> cases = {
        {"as written", [](auto&) {}, false},
        {"a DACL that claims more bytes than are left",
         [&](auto& d) { d[daclAt + 2] = static_cast<std::uint8_t>(d.size() - daclAt + 8); }, true},
        {"an ACE count past the DACL's end", [&](auto& d) { d[daclAt + 4] = 3; }, true},
        {"a DACL offset past the end", [&](auto& d) { d[16] = static_cast<std::uint8_t>(d.size()); },
         true},
        {"cut short inside the DACL", [&](auto& d) { d.resize(daclAt + 12); }, true},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> descriptor = whole;
        c.change(descriptor);
        if (c.fails) {
            EXPECT_THROW(WinSecurity::daclOfDescriptor(descriptor), vosexception) << c.descriptor;
        } else {
            EXPECT_TRUE(WinSecurity::daclOfDescriptor(descriptor) == expected) << c.descriptor;
        }
    }
}

}  // namespace
