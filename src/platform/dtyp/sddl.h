// The Security Descriptor Definition Language (MS-DTYP 2.5.1), written as
// ConvertSecurityDescriptorToStringSecurityDescriptorW writes it and read as
// ConvertStringSecurityDescriptorToSecurityDescriptorW reads it:
//   O:BAG:SYD:PAI(A;OICI;FA;;;BA)(A;ID;0x1200a9;;;S-1-5-21-1-2-3-1001)
// Owner, group, DACL and SACL; ACE types A D AU AL OA OD OU OL ML (and XA XD XU ZA without
// their conditions); two-letter SID aliases, the machine- and domain-relative ones (LA, LG, DA,
// DU, ...) resolved against the account-domain SID the caller passes, for a stand-alone host is
// its own domain.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/dtyp/ace.h"
#include "platform/dtyp/result.h"
#include "platform/dtyp/security_descriptor.h"
#include "platform/dtyp/sid.h"

namespace Platform::Dtyp {

// Which parts toSddl writes (the SECURITY_INFORMATION bits).
namespace SddlPart {
constexpr unsigned Owner = 0x1;
constexpr unsigned Group = 0x2;
constexpr unsigned Dacl = 0x4;
constexpr unsigned Sacl = 0x8;
constexpr unsigned All = Owner | Group | Dacl | Sacl;
}  // namespace SddlPart

// A SID as SDDL writes it: its alias when it has one ("BA", and "LA" or "DU" when it is the
// account domain plus that RID), otherwise "S-1-...".
std::wstring sidToSddl(const Sid& sid, const Sid* accountDomain = nullptr);
// A whole string naming one SID, as ConvertStringSidToSidW accepts it: an alias in any case
// ("BA", "wd") or the "S-1-..." form. ERROR_INVALID_SID otherwise, and for a domain-relative
// alias without an account domain.
Result<Sid> sidFromSddl(std::wstring_view text, const Sid* accountDomain = nullptr);

// An access mask as SDDL writes it: nothing for 0; the alias that names the whole mask exactly
// (FA, FR, FW, FX, KA, KR, KW, GA, GR, GW, GX, ...); else the concatenated one-bit aliases
// in bit order when every bit has one ("GXGR", "CCLCSWRPWPDTLOCRRC"); else "0x" and lower-case
// hex ("0x1200a9").
std::wstring accessMaskToSddl(std::uint32_t mask);
// Reads any concatenation of rights aliases, "0x" hex, or decimal / leading-zero octal.
// ERROR_INVALID_ACL for anything else.
Result<std::uint32_t> accessMaskFromSddl(std::wstring_view text);

// One ACE: "(A;OICI;FA;;;BA)". Flags in bit order: OI CI NP IO ID SA FA.
std::wstring aceToSddl(const Ace& ace, const Sid* accountDomain = nullptr);

// The descriptor's SDDL, parts in the order O G D S; a DACL with its flags P, AR, AI first and
// "NO_ACCESS_CONTROL" for a NULL DACL.
std::wstring toSddl(const SecurityDescriptor& sd, const Sid* accountDomain = nullptr,
                    unsigned parts = SddlPart::All);
// Reads SDDL. Parts may come in any order but at most once; white space between tokens is
// skipped. The failure names the part and the character position: ERROR_INVALID_SID for a bad
// SID, ERROR_INVALID_ACL for a bad ACE or ACL, ERROR_INVALID_PARAMETER for the rest.
Result<SecurityDescriptor> fromSddl(std::wstring_view text, const Sid* accountDomain = nullptr);

}  // namespace Platform::Dtyp
