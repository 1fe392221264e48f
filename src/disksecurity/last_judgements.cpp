#include "disksecurity/last_judgements.h"

namespace DiskSecurity {
namespace {

// What an answer may be kept for: an ACL that is there, and controls that others may share
// (the memory keeps them alive, so that no other controls come to stand at their address).
bool memorable(const VAcl& acl, const SecurityInformation& information) {
    return acl.get() != nullptr && information.controls() != nullptr;
}

}  // namespace

std::optional<bool> LastJudgements::judged(const VAcl& dacl,
                                           const SecurityInformation& information,
                                           ObjectMode mode) const {
    if (judged_ && memorable(dacl, information) && judged_->controls == information.controls() &&
        judged_->mode == mode && judged_->acl == dacl.buffer()) {
        return judged_->wrong;
    }
    return std::nullopt;
}

void LastJudgements::keepJudged(const VAcl& dacl, const SecurityInformation& information,
                                ObjectMode mode, bool wrong) {
    if (memorable(dacl, information)) {
        judged_ = Judged{information.controls(), mode, dacl.buffer(), wrong};
    }
}

const NewAcl* LastJudgements::computed(const VAcl& existing, const VAcl& parent,
                                       const SecurityInformation& information,
                                       ObjectMode mode) const {
    if (computed_ && memorable(existing, information) && parent.get() != nullptr &&
        computed_->controls == information.controls() && computed_->mode == mode &&
        computed_->existing == existing.buffer() && computed_->parent == parent.buffer()) {
        return &computed_->result;
    }
    return nullptr;
}

void LastJudgements::keepComputed(const VAcl& existing, const VAcl& parent,
                                  const SecurityInformation& information, ObjectMode mode,
                                  const NewAcl& result) {
    if (memorable(existing, information) && parent.get() != nullptr) {
        computed_ =
            Computed{information.controls(), mode, existing.buffer(), parent.buffer(), result};
    }
}

}  // namespace DiskSecurity
