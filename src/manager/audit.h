// The audit: the walk of a check-only repair that, instead of writing, says where each DACL
// differs from what the metadata asks, one line per difference on standard output:
//   PATH<TAB>KIND<TAB>ACCOUNT<TAB>RIGHTS<TAB>FLAGS
// Only the objects a repair would write have missing, surplus and inheritance lines, and they
// say what that write changes: KIND is "missing" (a grant or deny the repair adds), "surplus"
// (one it takes away or replaces, an over-broad grant to an account the metadata names
// included), "inheritance" (the repair protects an object that inherits, or the reverse);
// "extra" (an explicit grant that no entry speaks of: a repair keeps it) is said of any object;
// "skipped" (ACCOUNT and RIGHTS "-", FLAGS the reason) names an object the walk could not check.
// Nothing is written: no DACL, no folder, no metadata, no journal, no temporary file.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "manager/security_manager.h"

namespace Tavrel {

class AuditCounts {
public:
    std::uint64_t objects = 0;
    // The lines of each kind, in the order the summary names them.
    std::uint64_t missing = 0, extra = 0, surplus = 0, inheritance = 0, skipped = 0;

    // "Audited N objects: M missing, E extra, S surplus, I inheritance, K skipped".
    std::wstring summary() const;

    // The objects at and below `directory` that the first pass meets are remembered; once the
    // second pass has started, those are not audited again (the webspace pass already reads a
    // web user's folder with that user's metadata).
    void rememberBelow(const VPath& directory);
    void startSecondPass();
    // Whether a pass before this one audited `path` (remembering it in the first pass).
    bool alreadyAudited(const std::wstring& path);

private:
    std::vector<std::wstring> remembered_;
    std::unordered_set<std::wstring> audited_;
    bool secondPass_ = false;
};

// Audits the manager's scope (its confinement) with its entries, as a complete check-only
// repair walks it; adds to `counts`.
void auditScope(SecurityManager& manager, bool fullScan, AuditCounts& counts);

// Loads web user U's metadata of webspace W for reading only: a missing file gives an empty
// set bound to it, a damaged one is logged and left where it is (false).
bool loadWebUserMetadataToRead(const std::wstring& webspace, const std::wstring& webUser,
                               SecurityManager& manager);

}  // namespace Tavrel
