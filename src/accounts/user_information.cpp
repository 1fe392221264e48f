#include "accounts/user_information.h"

#include "platform/registry.h"
#include "runtime/exceptions.h"
#include "runtime/registry.h"

namespace {

// Where Windows keeps the DNS domain of a machine joined to a domain (empty or absent on a
// workgroup machine).
constexpr const wchar_t* tcpipParametersKey =
    L"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";

VSID lookupRaising(const std::wstring& domain, const std::wstring& name) {
    VSID account;
    VSID::lookupName(domain, accountNamePart(name), account, true);
    return account;
}

}  // namespace

std::wstring accountNamePart(const std::wstring& name) {
    std::size_t backslash = name.find(L'\\');
    return backslash == std::wstring::npos ? name : name.substr(backslash + 1);
}

VSID LocalUserInformation::resolveAccount(const std::wstring& name, const std::wstring& domain) {
    return lookupRaising(domain, name);
}

VSID ADUserInformation::resolveAccount(const std::wstring& name, const std::wstring& domain) {
    return lookupRaising(domain.empty() ? directoryDomain() : domain, name);
}

const std::wstring& ADUserInformation::directoryDomain() {
    if (directoryDomain_.empty()) {
        std::wstring domain;
        registry::lookup(Platform::hkeyLocalMachine(), tcpipParametersKey, L"Domain", domain,
                         Platform::Reg::RegSz, 0);
        if (domain.empty()) {
            throw vexception(L"Cannot determine Active Directory domain name",
                             VSITE("ADUserInformation::directoryDomain"));
        }
        directoryDomain_ = std::move(domain);
    }
    return directoryDomain_;
}
