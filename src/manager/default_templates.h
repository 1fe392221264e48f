// The three built-in security templates. Their entries name no account and no webspace: each
// is for the Null account, carries the role whose account expansion binds in its Tag, and
// lies below "[HTTPD_VHOSTS_D]" at a sub path relative to the webspace (or web-user) root.
#pragma once

#include "disksecurity/entry_template.h"

namespace Tavrel::DefaultTemplates {

// Each appends its rows to `set`, in the order the panel's templates have them.
void addDomainTemplate(DiskSecurity::EntryTemplateSet& set);           // 39 entries: a webspace
void addFrameForwardingTemplate(DiskSecurity::EntryTemplateSet& set);  // 1 entry
void addWebUserTemplate(DiskSecurity::EntryTemplateSet& set);  // 5 entries: a web user's folder

}  // namespace Tavrel::DefaultTemplates
