// What a walk judged and computed last, with everything each was made from: the objects of a
// tree mostly hold and need the same DACL, and the folders below the deepest entries share
// their controls (SecurityInformation::controls), so one judgement and one new DACL serve
// object after object.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "disksecurity/security_information.h"
#include "winsecurity/vacl.h"

namespace DiskSecurity {

class LastJudgements {
public:
    // The last answer of whether `dacl` is wrong, if it was made for the same DACL, the same
    // controls and the same mode.
    std::optional<bool> judged(const VAcl& dacl, const SecurityInformation& information,
                               ObjectMode mode) const;
    void keepJudged(const VAcl& dacl, const SecurityInformation& information, ObjectMode mode,
                    bool wrong);

    // The last DACL computed for an object whose DACL is `existing` below a parent whose DACL
    // is `parent`, if it was computed from the same, with the same controls and mode (only
    // informations of the same state share controls).
    const NewAcl* computed(const VAcl& existing, const VAcl& parent,
                           const SecurityInformation& information, ObjectMode mode) const;
    void keepComputed(const VAcl& existing, const VAcl& parent,
                      const SecurityInformation& information, ObjectMode mode,
                      const NewAcl& result);

private:
    struct Judged {
        RequiredControlsPtr controls;
        ObjectMode mode;
        std::vector<std::uint8_t> acl;
        bool wrong = false;
    };
    struct Computed {
        RequiredControlsPtr controls;
        ObjectMode mode;
        std::vector<std::uint8_t> existing;
        std::vector<std::uint8_t> parent;
        NewAcl result;
    };

    std::optional<Judged> judged_;
    std::optional<Computed> computed_;
};

}  // namespace DiskSecurity
