// Template expansion: a panel template names roles and paths relative to a webspace; expanding
// it for one webspace, web user or file-sharing user binds each role to a real account and
// places each sub path below the right directory. The expander keeps nothing between calls:
// each expansion loads its template, adds what it gives to the target set and binds the target
// to the metadata file of what it expanded for.
#pragma once

#include <string>

#include "manager/metadata_locator.h"
#include "manager/metadata_set.h"

namespace Tavrel {

// PRODUCT_ROOT_D\etc\<name>, where the panel keeps its templates (a full path stays as it is).
std::wstring panelTemplate(const std::wstring& name);

namespace TemplateExpander {

// Each loads the template, binds every role to its account, places every sub path below the
// webspace (or web user) and adds to `target` the results that it does not hold yet (equal in
// the set order), so that expanding a template over metadata that came from it changes
// nothing; then binds `target` to the webspace's (web user's, area's) metadata file, counted
// from the locator's root for a webspace and a web user, from HTTPD_VHOSTS_D for the area. The
// names must be plain path components (requirePlainName).
void expandWebspaceTemplate(MetadataSet& target, MetadataLocator& locator,
                            const std::wstring& webspace, const std::wstring& systemUser,
                            const std::wstring& templateFile);
void expandWebUserTemplate(MetadataSet& target, MetadataLocator& locator,
                           const std::wstring& webspace, const std::wstring& systemUser,
                           const std::wstring& webUser, const std::wstring& templateFile);
void expandFileSharingTemplate(MetadataSet& target, const std::wstring& area,
                               const std::wstring& templateFile);
// `templateName` is a template of the panel (panelTemplate); `basePath` is the user's directory
// relative to the root; `tag2` (the user id) marks the user's entries.
void expandUserFileSharingTemplate(MetadataSet& target, const std::wstring& area,
                                   const std::wstring& basePath, const std::wstring& userAccount,
                                   const std::wstring& tag2, const std::wstring& templateName);

}  // namespace TemplateExpander
}  // namespace Tavrel
