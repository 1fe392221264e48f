#include "disksecurity/component_catalogue.h"

#include "runtime/exceptions.h"
#include "runtime/registry.h"

namespace DiskSecurity {
namespace {

std::wstring componentKey(const std::wstring& component) {
    return std::wstring(componentsKey) + L"\\" + component;
}

[[noreturn]] void throwNotInstalled(const std::wstring& component, const char* function) {
    throw vexception(formatString(L"Component %s is not installed", component),
                     CallSite{std::wstring(), function, __LINE__});
}

}  // namespace

const std::map<std::wstring, std::wstring>& ComponentCatalogue::parameterComponents() {
    static const std::map<std::wstring, std::wstring> table = {
        {L"FPSE_ROOT_D", L"frontpage"},
        {L"PYTHON_ROOT_D", L"python"},
        {L"PERL_ROOT_D", L"perl"},
        {L"DRWEB_ROOT_D", L"drweb"},
        {L"HELICON_ISAPI_REWRITE", L"helicon-isapi-rewrite"},
        {L"MYSQL_ODBC5", L"mysql-odbc5"},
        {L"HORDE", L"horde"},
        {L"SMARTERMAIL", L"smartermail"},
        {L"MYLITTLEADMIN", L"mylittleadmin"},
        {L"ASP_HANDLER", L"asp"},
        {L"ASPNET_HANDLER", L"asp.net"},
    };
    return table;
}

bool ComponentCatalogue::lookupParameter(const std::wstring& name, std::wstring& path) const {
    const auto& table = parameterComponents();
    auto found = table.find(name);
    if (found == table.end()) {
        return false;
    }
    path = installPath(found->second);
    return true;
}

std::wstring ComponentCatalogue::installPath(const std::wstring& component) const {
    std::wstring path;
    std::uint32_t error =
        registry::lookup(Platform::hkeyLocalMachine(), componentKey(component), L"InstallPath",
                         path, registry::RegSz, componentsKeyView);
    if (error == Platform::WinError::FileNotFound || (error == 0 && path.empty())) {
        throwNotInstalled(component, "DiskSecurity::ComponentCatalogue::installPath");
    }
    if (error != 0) {
        throwOsError(L"lookup subKey=" + componentKey(component) + L" value=InstallPath", error,
                     VSITE("DiskSecurity::ComponentCatalogue::installPath"));
    }
    return path;
}

std::vector<std::wstring> ComponentCatalogue::additionalPaths(const std::wstring& component) const {
    if (!registry::keyExists(Platform::hkeyLocalMachine(), componentKey(component),
                             componentsKeyView)) {
        throwNotInstalled(component, "DiskSecurity::ComponentCatalogue::additionalPaths");
    }
    std::vector<std::wstring> paths;
    std::uint32_t error = registry::lookup(Platform::hkeyLocalMachine(), componentKey(component),
                                           L"AdditionalPaths", paths, componentsKeyView);
    if (error == Platform::WinError::FileNotFound) {
        return {};
    }
    if (error != 0) {
        throwOsError(L"lookup subKey=" + componentKey(component) + L" value=AdditionalPaths", error,
                     VSITE("DiskSecurity::ComponentCatalogue::additionalPaths"));
    }
    return paths;
}

}  // namespace DiskSecurity
