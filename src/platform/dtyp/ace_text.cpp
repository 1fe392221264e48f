#include "platform/dtyp/ace_text.h"

#include <cwchar>

#include "platform/dtyp/ace.h"

namespace Platform::Dtyp {

std::wstring aceRightsText(std::uint32_t mask) {
    struct Named {
        std::uint32_t mask;
        const wchar_t* name;
    };
    static const Named whole[] = {
        {0x1F01FF, L"F"}, {0x1301BF, L"M"},    {0x1200A9, L"RX"},  {0x120089, L"R"},
        {0x100116, L"W"}, {0x1201BF, L"RX,W"}, {0x12019F, L"R,W"}, {0x10000, L"D"},
    };
    static const Named parts[] = {
        {0x10000, L"DE"},    {0x20000, L"RC"},    {0x40000, L"WDAC"},  {0x80000, L"WO"},
        {0x100000, L"S"},    {0x1000000, L"AS"},  {0x2000000, L"MA"},  {0x80000000, L"GR"},
        {0x40000000, L"GW"}, {0x20000000, L"GE"}, {0x10000000, L"GA"}, {0x1, L"RD"},
        {0x2, L"WD"},        {0x4, L"AD"},        {0x8, L"REA"},       {0x10, L"WEA"},
        {0x20, L"X"},        {0x40, L"DC"},       {0x80, L"RA"},       {0x100, L"WA"},
    };
    for (const auto& named : whole) {
        if (named.mask == mask) {
            return L"(" + std::wstring(named.name) + L")";
        }
    }
    std::wstring text;
    std::uint32_t rest = mask;
    for (const auto& named : parts) {
        if (mask & named.mask) {
            text += (text.empty() ? L"" : L",") + std::wstring(named.name);
            rest &= ~named.mask;
        }
    }
    if (rest) {
        wchar_t hex[16];
        std::swprintf(hex, 16, L"0x%x", rest);
        text += (text.empty() ? L"" : L",") + std::wstring(hex);
    }
    return L"(" + text + L")";
}

std::wstring aceFlagsText(std::uint8_t flags, std::uint8_t type) {
    std::wstring text;
    if (flags & AceFlag::Inherited) {
        text += L"(I)";
    }
    if (flags & AceFlag::ObjectInherit) {
        text += L"(OI)";
    }
    if (flags & AceFlag::ContainerInherit) {
        text += L"(CI)";
    }
    if (flags & AceFlag::InheritOnly) {
        text += L"(IO)";
    }
    if (flags & AceFlag::NoPropagateInherit) {
        text += L"(NP)";
    }
    if (type == AceType::AccessDenied || type == AceType::AccessDeniedObject) {
        text += L"(DENY)";
    }
    return text;
}

}  // namespace Platform::Dtyp
