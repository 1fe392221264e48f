// Rights and inheritance flags of an ACE in the short text that icacls prints: "(F)",
// "(RX,W)", "(DE,RC)"; "(OI)(CI)(IO)", "(DENY)". One formatter for tavrel-host's listings and
// tavrel's audit, so that an operator reads the same words in both.
#pragma once

#include <cstdint>
#include <string>

namespace Platform::Dtyp {

// A whole mask by its name when it has one, else its parts, the rest in hex: "(F)",
// "(RD,X,0x800)".
std::wstring aceRightsText(std::uint32_t mask);
// The inheritance flags in icacls's order, "(I)(OI)(CI)(IO)(NP)", then "(DENY)" for a deny
// ACE; empty for an allow ACE on the object alone.
std::wstring aceFlagsText(std::uint8_t flags, std::uint8_t type);

}  // namespace Platform::Dtyp
