// The panel's catalogue of optional server components (FrontPage extensions, script runtimes,
// mail servers, ...) and their folders, as path templates ask for them. The panel's component
// detection records each installed component in the registry, so that the same lookups serve
// on Windows and on the emulated host:
//
//   HKEY_LOCAL_MACHINE\SOFTWARE\Tarno\Zel Config\Components\<component>   (32-bit view)
//       "InstallPath"      REG_SZ (or REG_EXPAND_SZ)  the installation folder
//       "AdditionalPaths"  REG_MULTI_SZ               further folders of the component
//
// Component names are lower case ("frontpage", "asp.net"); a component without a key, or
// whose key has no non-empty "InstallPath", is not installed.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace DiskSecurity {

// The catalogue's key below HKEY_LOCAL_MACHINE, read in the 32-bit registry view.
inline constexpr const wchar_t* componentsKey = L"SOFTWARE\\Tarno\\Zel Config\\Components";
inline constexpr int componentsKeyView = 1;

class ComponentCatalogue {
public:
    // The panel parameters that stand for a component's folder, with their components:
    // FPSE_ROOT_D frontpage, PYTHON_ROOT_D python, PERL_ROOT_D perl, DRWEB_ROOT_D drweb,
    // HELICON_ISAPI_REWRITE helicon-isapi-rewrite, MYSQL_ODBC5 mysql-odbc5, HORDE horde,
    // SMARTERMAIL smartermail, MYLITTLEADMIN mylittleadmin, and the script handlers
    // ASP_HANDLER asp and ASPNET_HANDLER asp.net.
    static const std::map<std::wstring, std::wstring>& parameterComponents();

    // The folder of a component parameter (`name` upper case). False when the name is not one
    // of parameterComponents(); otherwise true with the installation path of its component,
    // raising as installPath does when that component is not installed.
    bool lookupParameter(const std::wstring& name, std::wstring& path) const;

    // The installation folder of a component. Raises "Component <name> is not installed" when
    // the catalogue does not list it or lists no installation path for it.
    std::wstring installPath(const std::wstring& component) const;

    // The further folders of a component in the catalogue's order, none when it lists none.
    // Raises "Component <name> is not installed" when the catalogue does not list it.
    std::vector<std::wstring> additionalPaths(const std::wstring& component) const;
};

}  // namespace DiskSecurity
