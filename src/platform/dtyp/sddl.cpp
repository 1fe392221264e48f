#include "platform/dtyp/sddl.h"

#include <array>
#include <cwctype>
#include <vector>

#include "platform/dtyp/access_mask.h"

namespace Platform::Dtyp {

namespace {

// SID aliases of MS-DTYP 2.5.1.1 with a fixed SID.
struct AbsoluteAlias {
    const wchar_t* alias;
    Sid sid;
};

// Aliases relative to the account domain: that SID plus a RID (MS-DTYP 2.5.1.1; a stand-alone
// machine is its own domain, so LA / LG and the domain groups share one base).
struct RelativeAlias {
    const wchar_t* alias;
    std::uint32_t rid;
};

const std::vector<AbsoluteAlias>& absoluteAliases() {
    static const std::vector<AbsoluteAlias> table = {
        {L"WD", Sid(1, {0})},
        {L"CO", Sid(3, {0})},
        {L"CG", Sid(3, {1})},
        {L"OW", Sid(3, {4})},
        {L"NU", Sid(5, {2})},
        {L"IU", Sid(5, {4})},
        {L"SU", Sid(5, {6})},
        {L"AN", Sid(5, {7})},
        {L"ED", Sid(5, {9})},
        {L"PS", Sid(5, {10})},
        {L"AU", Sid(5, {11})},
        {L"RC", Sid(5, {12})},
        {L"SY", Sid(5, {18})},
        {L"LS", Sid(5, {19})},
        {L"NS", Sid(5, {20})},
        {L"WR", Sid(5, {33})},
        {L"BA", Sid(5, {32, 544})},
        {L"BU", Sid(5, {32, 545})},
        {L"BG", Sid(5, {32, 546})},
        {L"PU", Sid(5, {32, 547})},
        {L"AO", Sid(5, {32, 548})},
        {L"SO", Sid(5, {32, 549})},
        {L"PO", Sid(5, {32, 550})},
        {L"BO", Sid(5, {32, 551})},
        {L"RE", Sid(5, {32, 552})},
        {L"RU", Sid(5, {32, 554})},
        {L"RD", Sid(5, {32, 555})},
        {L"NO", Sid(5, {32, 556})},
        {L"MU", Sid(5, {32, 558})},
        {L"LU", Sid(5, {32, 559})},
        {L"IS", Sid(5, {32, 568})},
        {L"CY", Sid(5, {32, 569})},
        {L"ER", Sid(5, {32, 573})},
        {L"CD", Sid(5, {32, 574})},
        {L"RA", Sid(5, {32, 575})},
        {L"ES", Sid(5, {32, 576})},
        {L"MS", Sid(5, {32, 577})},
        {L"HA", Sid(5, {32, 578})},
        {L"AA", Sid(5, {32, 579})},
        {L"RM", Sid(5, {32, 580})},
        {L"UD", Sid(5, {84, 0, 0, 0, 0, 0})},
        {L"AC", Sid(15, {2, 1})},
        {L"LW", Sid(16, {4096})},
        {L"ME", Sid(16, {8192})},
        {L"MP", Sid(16, {8448})},
        {L"HI", Sid(16, {12288})},
        {L"SI", Sid(16, {16384})},
    };
    return table;
}

constexpr std::array<RelativeAlias, 15> relativeAliases = {{
    {L"RO", 498},
    {L"LA", 500},
    {L"LG", 501},
    {L"DA", 512},
    {L"DU", 513},
    {L"DG", 514},
    {L"DC", 515},
    {L"DD", 516},
    {L"CA", 517},
    {L"SA", 518},
    {L"EA", 519},
    {L"PA", 520},
    {L"CN", 522},
    {L"AP", 525},
    {L"RS", 553},
}};

struct RightsAlias {
    const wchar_t* alias;
    std::uint32_t mask;
};

// The rights aliases in the order in which a whole mask is matched: KR before KX, which name
// the same mask; CC, DC, LC before the mandatory-label names of the same bits.
constexpr std::array<RightsAlias, 28> rightsAliases = {{
    {L"GA", Access::GenericAll},
    {L"GR", Access::GenericRead},
    {L"GW", Access::GenericWrite},
    {L"GX", Access::GenericExecute},
    {L"RC", Access::ReadControl},
    {L"SD", Access::Delete},
    {L"WD", Access::WriteDac},
    {L"WO", Access::WriteOwner},
    {L"RP", 0x10},
    {L"WP", 0x20},
    {L"CC", 0x1},
    {L"DC", 0x2},
    {L"LC", 0x4},
    {L"SW", 0x8},
    {L"LO", 0x80},
    {L"DT", 0x40},
    {L"CR", 0x100},
    {L"FA", Access::FileAllAccess},
    {L"FR", Access::FileGenericRead},
    {L"FW", Access::FileGenericWrite},
    {L"FX", Access::FileGenericExecute},
    {L"KA", Access::KeyAllAccess},
    {L"KR", Access::KeyRead},
    {L"KW", Access::KeyWrite},
    {L"KX", Access::KeyExecute},
    {L"NR", 0x2},  // SYSTEM_MANDATORY_LABEL_NO_READ_UP
    {L"NW", 0x1},  // SYSTEM_MANDATORY_LABEL_NO_WRITE_UP
    {L"NX", 0x4},  // SYSTEM_MANDATORY_LABEL_NO_EXECUTE_UP
}};

// The one-bit aliases by bit number; a mask is spelled with them only if every set bit has one.
constexpr std::array<const wchar_t*, 32> bitAliases = {
    L"CC",   L"DC",   L"LC",   L"SW",   L"RP",   L"WP",   L"DT",   L"LO",    // bits 0-7
    L"CR",   nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,  // 8-15
    L"SD",   L"RC",   L"WD",   L"WO",   nullptr, nullptr, nullptr, nullptr,  // 16-23
    nullptr, nullptr, nullptr, nullptr, L"GA",   L"GX",   L"GW",   L"GR",    // 24-31
};

struct AceTypeName {
    const wchar_t* name;
    std::uint8_t type;
};

constexpr std::array<AceTypeName, 13> aceTypeNames = {{
    {L"A", AceType::AccessAllowed},
    {L"D", AceType::AccessDenied},
    {L"AU", AceType::SystemAudit},
    {L"AL", AceType::SystemAlarm},
    {L"OA", AceType::AccessAllowedObject},
    {L"OD", AceType::AccessDeniedObject},
    {L"OU", AceType::SystemAuditObject},
    {L"OL", AceType::SystemAlarmObject},
    {L"XA", AceType::AccessAllowedCallback},
    {L"XD", AceType::AccessDeniedCallback},
    {L"ZA", AceType::AccessAllowedCallbackObject},
    {L"XU", AceType::SystemAuditCallback},
    {L"ML", AceType::SystemMandatoryLabel},
}};

struct AceFlagName {
    const wchar_t* name;
    std::uint8_t flag;
};

// In the order Windows writes them, which is bit order: "OICIIOID", never "IDOICI".
constexpr std::array<AceFlagName, 7> aceFlagNames = {{
    {L"OI", AceFlag::ObjectInherit},
    {L"CI", AceFlag::ContainerInherit},
    {L"NP", AceFlag::NoPropagateInherit},
    {L"IO", AceFlag::InheritOnly},
    {L"ID", AceFlag::Inherited},
    {L"SA", AceFlag::SuccessfulAccess},
    {L"FA", AceFlag::FailedAccess},
}};

constexpr std::wstring_view NullAcl = L"NO_ACCESS_CONTROL";

bool isSpace(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

std::wstring_view trim(std::wstring_view text) {
    while (!text.empty() && isSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::wstring hex(std::uint32_t value) {
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring text;
    do {
        text.insert(text.begin(), digits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    return L"0x" + text;
}

std::wstring quoted(std::wstring_view text) {
    return L"\"" + std::wstring(text) + L"\"";
}

std::wstring at(std::size_t position) {
    return L" at character " + std::to_wstring(position + 1);
}

// Parses digits of `base` into a 32-bit value; false on an empty string, a stray character
// or overflow.
bool parseUnsigned(std::wstring_view digits, int base, std::uint32_t* value) {
    if (digits.empty()) {
        return false;
    }
    std::uint64_t result = 0;
    for (wchar_t c : digits) {
        int digit = -1;
        if (c >= L'0' && c <= L'9') {
            digit = c - L'0';
        } else if (c >= L'a' && c <= L'f') {
            digit = c - L'a' + 10;
        } else if (c >= L'A' && c <= L'F') {
            digit = c - L'A' + 10;
        }
        if (digit < 0 || digit >= base) {
            return false;
        }
        result = result * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
        if (result > 0xFFFFFFFFu) {
            return false;
        }
    }
    *value = static_cast<std::uint32_t>(result);
    return true;
}

std::wstring aclFlagsToSddl(std::uint16_t control, bool dacl) {
    std::wstring text;
    if (control & (dacl ? Control::DaclProtected : Control::SaclProtected)) {
        text += L"P";
    }
    if (control & (dacl ? Control::DaclAutoInheritReq : Control::SaclAutoInheritReq)) {
        text += L"AR";
    }
    if (control & (dacl ? Control::DaclAutoInherited : Control::SaclAutoInherited)) {
        text += L"AI";
    }
    return text;
}

std::wstring aclToSddl(const SecurityDescriptor& sd, bool dacl, const Sid* accountDomain) {
    std::wstring text = dacl ? L"D:" : L"S:";
    text += aclFlagsToSddl(sd.control, dacl);
    const std::optional<Acl>& acl = dacl ? sd.dacl : sd.sacl;
    if (!acl) {
        text += NullAcl;
        return text;
    }
    for (const Ace& ace : acl->aces) {
        text += aceToSddl(ace, accountDomain);
    }
    return text;
}

// One ACL part ("PAI(A;;FA;;;BA)...") of an SDDL string; `offset` is where it starts in the
// whole text, for the messages.
struct ParsedAcl {
    std::uint16_t control = 0;
    std::optional<Acl> acl;  // nothing: NO_ACCESS_CONTROL
};

class AclParser {
public:
    AclParser(std::wstring_view text, std::size_t offset, bool dacl, const Sid* accountDomain)
        : text_(text), offset_(offset), dacl_(dacl), domain_(accountDomain) {}

    Result<ParsedAcl> parse() {
        ParsedAcl result;
        bool isNull = false;
        skipSpace();
        while (pos_ < text_.size() && text_[pos_] != L'(') {
            std::wstring_view rest = text_.substr(pos_);
            if (rest.starts_with(NullAcl)) {
                isNull = true;
                pos_ += NullAcl.size();
                skipSpace();
                break;
            }
            if (rest.starts_with(L"P")) {
                result.control |= dacl_ ? Control::DaclProtected : Control::SaclProtected;
                pos_ += 1;
            } else if (rest.starts_with(L"AR")) {
                result.control |= dacl_ ? Control::DaclAutoInheritReq : Control::SaclAutoInheritReq;
                pos_ += 2;
            } else if (rest.starts_with(L"AI")) {
                result.control |= dacl_ ? Control::DaclAutoInherited : Control::SaclAutoInherited;
                pos_ += 2;
            } else {
                return fail(WinError::InvalidAcl,
                            L"unknown ACL flag " + quoted(rest.substr(0, 1)) + at(offset_ + pos_));
            }
            skipSpace();
        }
        Acl acl;
        while (pos_ < text_.size()) {
            if (text_[pos_] != L'(') {
                return fail(WinError::InvalidAcl, L"expected \"(\" to begin an ACE, found " +
                                                      quoted(text_.substr(pos_, 1)) +
                                                      at(offset_ + pos_));
            }
            if (isNull) {
                return fail(WinError::InvalidAcl,
                            L"a NO_ACCESS_CONTROL ACL cannot have ACEs" + at(offset_ + pos_));
            }
            std::size_t close = text_.find(L')', pos_);
            if (close == std::wstring_view::npos) {
                return fail(WinError::InvalidAcl,
                            L"the ACE" + at(offset_ + pos_) + L" has no closing \")\"");
            }
            Result<Ace> ace = parseAce(text_.substr(pos_ + 1, close - pos_ - 1), acl.aces.size());
            if (!ace) {
                return ace.failure();
            }
            acl.aces.push_back(std::move(ace).value());
            pos_ = close + 1;
            skipSpace();
        }
        if (!isNull) {
            acl.revision = acl.encodedRevision();
            if (acl.size() > AclMaxSize) {
                return fail(WinError::InvalidAcl, L"the ACL needs " + std::to_wstring(acl.size()) +
                                                      L" bytes, more than the 65535 an ACL holds");
            }
            result.acl = std::move(acl);
        }
        return result;
    }

private:
    void skipSpace() {
        while (pos_ < text_.size() && isSpace(text_[pos_])) {
            ++pos_;
        }
    }

    Failure fail(std::uint32_t error, std::wstring message) const {
        return {error, std::wstring(dacl_ ? L"DACL" : L"SACL") + L": " + message};
    }

    // The fields between "(" and ")": type;flags;rights;object guid;inherit guid;sid.
    Result<Ace> parseAce(std::wstring_view body, std::size_t index) {
        std::wstring where = L"ACE " + std::to_wstring(index + 1) + at(offset_ + pos_) + L": ";
        std::vector<std::wstring_view> fields;
        std::size_t start = 0;
        while (true) {
            std::size_t semicolon = body.find(L';', start);
            fields.push_back(trim(body.substr(start, semicolon - start)));
            if (semicolon == std::wstring_view::npos) {
                break;
            }
            start = semicolon + 1;
        }
        if (fields.size() != 6) {
            return fail(WinError::InvalidAcl,
                        where + L"an ACE has 6 fields separated by \";\", this one has " +
                            std::to_wstring(fields.size()));
        }
        Ace ace;
        bool typeKnown = false;
        for (const AceTypeName& name : aceTypeNames) {
            if (fields[0] == name.name) {
                ace.type = name.type;
                typeKnown = true;
            }
        }
        if (!typeKnown) {
            return fail(WinError::InvalidAcl, where + L"unknown ACE type " + quoted(fields[0]));
        }
        for (std::wstring_view flags = fields[1]; !flags.empty(); flags.remove_prefix(2)) {
            std::uint8_t flag = 0;
            for (const AceFlagName& name : aceFlagNames) {
                if (flags.starts_with(name.name)) {
                    flag = name.flag;
                }
            }
            if (flag == 0) {
                return fail(WinError::InvalidAcl,
                            where + L"unknown ACE flag " + quoted(flags.substr(0, 2)));
            }
            ace.flags |= flag;
        }
        Result<std::uint32_t> mask = accessMaskFromSddl(fields[2]);
        if (!mask) {
            return fail(WinError::InvalidAcl, where + mask.message());
        }
        ace.mask = *mask;
        for (int i = 0; i < 2; ++i) {
            std::wstring_view text = fields[3 + static_cast<std::size_t>(i)];
            if (text.empty()) {
                continue;
            }
            if (!ace.isObjectAce()) {
                return fail(WinError::InvalidAcl,
                            where + L"only object ACEs (OA, OD, OU, OL) carry a GUID");
            }
            std::optional<Guid> guid = Guid::parse(text);
            if (!guid) {
                return fail(WinError::InvalidAcl, where + quoted(text) + L" is not a GUID");
            }
            if (i == 0) {
                ace.objectFlags |= ObjectAceFlag::ObjectTypePresent;
                ace.objectType = *guid;
            } else {
                ace.objectFlags |= ObjectAceFlag::InheritedObjectTypePresent;
                ace.inheritedObjectType = *guid;
            }
        }
        Result<Sid> sid = sidFromSddl(fields[5], domain_);
        if (!sid) {
            return fail(WinError::InvalidSid, where + sid.message());
        }
        ace.sid = *sid;
        return ace;
    }

    std::wstring_view text_;
    std::size_t offset_;
    bool dacl_;
    const Sid* domain_;
    std::size_t pos_ = 0;
};

}  // namespace

std::wstring sidToSddl(const Sid& sid, const Sid* accountDomain) {
    for (const AbsoluteAlias& entry : absoluteAliases()) {
        if (entry.sid == sid) {
            return entry.alias;
        }
    }
    if (accountDomain && accountDomain->isDomainOf(sid)) {
        for (const RelativeAlias& entry : relativeAliases) {
            if (entry.rid == sid.rid()) {
                return entry.alias;
            }
        }
    }
    return sid.toString();
}

Result<Sid> sidFromSddl(std::wstring_view text, const Sid* accountDomain) {
    if (text.size() == 2 && !(text[1] == L'-')) {
        std::wstring alias = {static_cast<wchar_t>(std::towupper(text[0])),
                              static_cast<wchar_t>(std::towupper(text[1]))};
        for (const AbsoluteAlias& entry : absoluteAliases()) {
            if (alias == entry.alias) {
                return entry.sid;
            }
        }
        for (const RelativeAlias& entry : relativeAliases) {
            if (alias == entry.alias) {
                if (!accountDomain) {
                    return Failure{WinError::InvalidSid,
                                   L"the SID alias " + quoted(text) +
                                       L" names an account of the domain, which is not known here"};
                }
                return accountDomain->withRid(entry.rid);
            }
        }
        return Failure{WinError::InvalidSid, quoted(text) + L" is not a SID alias"};
    }
    return Sid::parse(text);
}

std::wstring accessMaskToSddl(std::uint32_t mask) {
    if (mask == 0) {
        return {};
    }
    for (const RightsAlias& entry : rightsAliases) {
        if (entry.mask == mask) {
            return entry.alias;
        }
    }
    std::wstring text;
    for (std::size_t bit = 0; bit < bitAliases.size(); ++bit) {
        if (mask & (1u << bit)) {
            if (!bitAliases[bit]) {
                return hex(mask);
            }
            text += bitAliases[bit];
        }
    }
    return text;
}

Result<std::uint32_t> accessMaskFromSddl(std::wstring_view text) {
    std::uint32_t mask = 0;
    if (text.empty()) {
        return mask;
    }
    if (text[0] >= L'0' && text[0] <= L'9') {
        // MS-DTYP 2.5.1.1: "0x" hex, leading-zero octal, or decimal.
        bool ok = false;
        if (text.size() > 1 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
            ok = parseUnsigned(text.substr(2), 16, &mask);
        } else if (text[0] == L'0' && text.size() > 1) {
            ok = parseUnsigned(text.substr(1), 8, &mask);
        } else {
            ok = parseUnsigned(text, 10, &mask);
        }
        if (!ok) {
            return Failure{WinError::InvalidAcl, quoted(text) + L" is not a 32-bit access mask"};
        }
        return mask;
    }
    for (std::wstring_view rest = text; !rest.empty(); rest.remove_prefix(2)) {
        bool known = false;
        for (const RightsAlias& entry : rightsAliases) {
            if (rest.starts_with(entry.alias)) {
                mask |= entry.mask;
                known = true;
                break;
            }
        }
        if (!known) {
            return Failure{
                WinError::InvalidAcl,
                L"unknown access right " + quoted(rest.substr(0, 2)) + L" in " + quoted(text)};
        }
    }
    return mask;
}

std::wstring aceToSddl(const Ace& ace, const Sid* accountDomain) {
    std::wstring text = L"(";
    const wchar_t* typeName = nullptr;
    for (const AceTypeName& name : aceTypeNames) {
        if (name.type == ace.type) {
            typeName = name.name;
        }
    }
    // A type without an SDDL name (compound, resource attribute, ...) is shown by number so
    // that a listing still accounts for it.
    text += typeName ? std::wstring(typeName) : hex(ace.type);
    text += L';';
    for (const AceFlagName& name : aceFlagNames) {
        if (ace.flags & name.flag) {
            text += name.name;
        }
    }
    text += L';';
    if (ace.type == AceType::SystemMandatoryLabel && (ace.mask & ~7u) == 0) {
        // A label's mask is its policy, spelled with the policy names in bit order.
        static constexpr std::array<const wchar_t*, 3> policies = {L"NW", L"NR", L"NX"};
        for (std::size_t bit = 0; bit < policies.size(); ++bit) {
            if (ace.mask & (1u << bit)) {
                text += policies[bit];
            }
        }
    } else {
        text += accessMaskToSddl(ace.mask);
    }
    text += L';';
    if (ace.hasObjectType()) {
        text += ace.objectType.toString();
    }
    text += L';';
    if (ace.hasInheritedObjectType()) {
        text += ace.inheritedObjectType.toString();
    }
    text += L';';
    text += sidToSddl(ace.sid, accountDomain);
    text += L')';
    return text;
}

std::wstring toSddl(const SecurityDescriptor& sd, const Sid* accountDomain, unsigned parts) {
    std::wstring text;
    if ((parts & SddlPart::Owner) && sd.owner) {
        text += L"O:" + sidToSddl(*sd.owner, accountDomain);
    }
    if ((parts & SddlPart::Group) && sd.group) {
        text += L"G:" + sidToSddl(*sd.group, accountDomain);
    }
    if ((parts & SddlPart::Dacl) && sd.hasDacl()) {
        text += aclToSddl(sd, true, accountDomain);
    }
    if ((parts & SddlPart::Sacl) && sd.hasSacl()) {
        text += aclToSddl(sd, false, accountDomain);
    }
    return text;
}

Result<SecurityDescriptor> fromSddl(std::wstring_view text, const Sid* accountDomain) {
    SecurityDescriptor sd;
    std::wstring seen;
    std::size_t pos = 0;
    while (pos < text.size() && isSpace(text[pos])) {
        ++pos;
    }
    while (pos < text.size()) {
        wchar_t part = text[pos];
        if (pos + 1 >= text.size() || text[pos + 1] != L':') {
            return Failure{
                WinError::InvalidParameter,
                L"expected O:, G:, D: or S:" + at(pos) + L", found " + quoted(text.substr(pos, 2))};
        }
        if (seen.find(part) != std::wstring::npos) {
            return Failure{WinError::InvalidParameter,
                           std::wstring(1, part) + L": appears twice" + at(pos)};
        }
        seen += part;
        std::size_t start = pos + 2;
        // A part runs up to the letter before the next ":" (SIDs and ACEs hold no colon).
        std::size_t colon = text.find(L':', start);
        std::size_t end =
            colon == std::wstring_view::npos ? text.size() : std::max(start, colon - 1);
        std::wstring_view token = text.substr(start, end - start);
        switch (part) {
            case L'O':
            case L'G': {
                Result<Sid> sid = sidFromSddl(trim(token), accountDomain);
                if (!sid) {
                    return Failure{sid.error(), std::wstring(part == L'O' ? L"owner" : L"group") +
                                                    at(start) + L": " + sid.message()};
                }
                (part == L'O' ? sd.owner : sd.group) = *sid;
                break;
            }
            case L'D':
            case L'S': {
                Result<ParsedAcl> acl =
                    AclParser(token, start, part == L'D', accountDomain).parse();
                if (!acl) {
                    return acl.failure();
                }
                sd.control |= acl->control;
                if (part == L'D') {
                    sd.control |= Control::DaclPresent;
                    sd.dacl = std::move(acl->acl);
                } else {
                    sd.control |= Control::SaclPresent;
                    sd.sacl = std::move(acl->acl);
                }
                break;
            }
            default:
                return Failure{WinError::InvalidParameter,
                               L"unknown part " + quoted(std::wstring(1, part) + L":") + at(pos)};
        }
        pos = end;
    }
    return sd;
}

}  // namespace Platform::Dtyp
