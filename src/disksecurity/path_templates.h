// Path templates: the `path` of an entry template is written so that one template serves every
// server. It is a CSIDL number ("36"), a well-known folder name ("{ProgramFiles}"), environment
// variables ("%SystemRoot%"), a panel parameter ("[HTTPD_VHOSTS_D]") or a plain path; these
// operations turn it into the real folders it stands for.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "disksecurity/component_catalogue.h"
#include "disksecurity/entry_template.h"

namespace DiskSecurity {

// Resolves panel parameters to folders: the configuration key's value of that name, else the
// component catalogue. Every answer is cached for the resolver's life, failures and empty
// answers included, so the registry is read once per token; a resolver serves one expansion
// context and belongs to one thread at a time.
class TarnoComponentResolver {
public:
    // The folders of `token` (the text between the brackets, case-sensitive): the configured
    // value, normalised, without trailing separators and in long form; for a component found
    // by name rather than by parameter, also its additional paths. Empty when neither the
    // configuration nor the catalogue knows the token (logged "Unable to obtain parameter").
    std::vector<std::wstring> getPath(const std::wstring& token);

    // Appends the additional paths of the component named by the lower-cased `token`,
    // normalised and trimmed. A failure is logged; what was appended before it stays.
    void getAdditionalPaths(const std::wstring& token, std::vector<std::wstring>& paths);

private:
    std::map<std::wstring, std::vector<std::wstring>> cache_;
    ComponentCatalogue catalogue_;
};

// The base paths of an entry template's path, tried in this order: a number (wcstoul, base 0)
// or a braced name gives its well-known folder, "%...%" its environment value, "[TOKEN]" the
// resolver's folders (possibly none), anything else itself. Raises what the forms raise.
std::vector<std::wstring> getBasePaths(const EntryTemplate& entry,
                                       TarnoComponentResolver& resolver);

// The folder of a "{Name}" or CSIDL-number path. Names match case-sensitively; an unknown one
// raises "Unknown CSIDL: <path>, known names are:" and lists every name.
std::wstring get_wellKnownPath(const EntryTemplate& entry);

// The values of the variables named between the percent signs of the path, joined without
// separator (%A%%B% gives A's value then B's). Raises "Unable to expand environment string:
// <path>. Unknown token: <name>" for an unset one.
std::wstring get_environmentPath(const EntryTemplate& entry);

}  // namespace DiskSecurity
