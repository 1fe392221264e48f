// The account-information provider: turns the account names that templates and commands
// carry into account values. One object is created per run and shared by the security
// manager, the template loader and template expansion.
#pragma once

#include <memory>
#include <string>

#include "accounts/vsid.h"

class IUserInformation {
public:
    virtual ~IUserInformation() = default;

    // The account called `name` in `domain`: its SID, the given name, the domain that answered
    // and the account type. Only the part of `name` after its first backslash counts (the whole
    // name when it has none). A missing account raises RunTime::NoneMappedException; other
    // lookup failures raise what the SID cache raises.
    virtual VSID resolveAccount(const std::wstring& name, const std::wstring& domain) = 0;
};

// Local accounts: an empty domain is passed on as none, so that the name-to-SID lookup tries
// its candidate domains (this machine's account domain, BUILTIN, NT AUTHORITY).
class LocalUserInformation : public IUserInformation {
public:
    VSID resolveAccount(const std::wstring& name, const std::wstring& domain) override;
};

// Accounts of the Active Directory domain the machine belongs to: an empty domain stands for
// that domain, whose DNS name is the "Domain" value of
// HKLM\SYSTEM\CurrentControlSet\Services\Tcpip\Parameters. Without one the lookup fails with
// "Cannot determine Active Directory domain name". An explicit domain is used as is.
class ADUserInformation : public IUserInformation {
public:
    VSID resolveAccount(const std::wstring& name, const std::wstring& domain) override;

    // The machine's directory domain name, read on first use and kept; raises "Cannot
    // determine Active Directory domain name" when the registry holds none.
    const std::wstring& directoryDomain();

private:
    std::wstring directoryDomain_;
};

// The part of a possibly qualified account name after its first backslash.
std::wstring accountNamePart(const std::wstring& name);
