// ACE inheritance as the emulated host computes it on every read: an object's DACL is its
// stored explicit ACEs followed by what it inherits from its parent's effective DACL, by the
// Windows rules (MS-DTYP 2.5.3.4, and Microsoft's "ACE inheritance rules"). Pure functions of
// the parent's ACL and the child's kind, owner and group; no I/O.
#pragma once

#include <vector>

#include "platform/dtyp/access_mask.h"
#include "platform/dtyp/ace.h"
#include "platform/dtyp/acl.h"
#include "platform/dtyp/sid.h"

namespace Platform::Dtyp {

// The ACEs a child inherits from `parentDacl` (the parent's effective DACL, its own inherited
// ACEs included), each flagged INHERITED_ACE, in the parent's order; where an ACE splits, the
// effective copy comes before the inherit-only copy. Generic rights are mapped with `mapping`
// and CREATOR OWNER / CREATOR GROUP replaced by `owner` / `group` in effective copies only.
std::vector<Ace> inheritedAces(const Acl& parentDacl, bool childIsContainer, const Sid& owner,
                               const Sid& group,
                               const GenericMapping& mapping = fileGenericMapping);

// An object's effective DACL: the stored explicit ACEs in their order, then, unless the DACL
// is protected or the parent has no DACL to give (nullptr: none, or a NULL DACL), the ACEs
// inherited from the parent's effective DACL.
Acl effectiveDacl(const Acl& storedDacl, bool isProtected, const Acl* parentDacl, bool isContainer,
                  const Sid& owner, const Sid& group,
                  const GenericMapping& mapping = fileGenericMapping);

}  // namespace Platform::Dtyp
