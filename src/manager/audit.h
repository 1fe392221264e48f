// The audit: the walk of a check-only repair that, instead of writing, says where each DACL
// differs from what the metadata asks, one line per difference on standard output:
//   PATH<TAB>KIND<TAB>ACCOUNT<TAB>RIGHTS<TAB>FLAGS
// KIND is "missing" (a grant or deny the metadata requires and the DACL lacks: a repair adds
// it), "extra" (an explicit grant that no entry speaks of: a repair keeps it), "surplus" (a
// grant the metadata takes away by a revoke or stop entry or an exact DACL: a repair removes
// it) or "inheritance" (protected where the metadata wants the object to inherit, or the
// reverse). Nothing is written: no DACL, no folder, no metadata, no journal.
#pragma once

#include <cstdint>
#include <string>

#include "manager/security_manager.h"

namespace Tavrel {

struct AuditCounts {
    std::uint64_t objects = 0;
    std::uint64_t missing = 0;
    std::uint64_t extra = 0;
    std::uint64_t surplus = 0;
    std::uint64_t inheritance = 0;

    // "Audited N objects: M missing, E extra, S surplus, I inheritance".
    std::wstring summary() const;
};

// Audits the manager's scope (its confinement) with its entries, as a complete check-only
// repair walks it; adds to `counts`.
void auditScope(SecurityManager& manager, bool fullScan, AuditCounts& counts);

// Loads web user U's metadata of webspace W for reading only: a missing file gives an empty
// set bound to it, a damaged one is logged and left where it is (false).
bool loadWebUserMetadataToRead(const std::wstring& webspace, const std::wstring& webUser,
                               SecurityManager& manager);

}  // namespace Tavrel
