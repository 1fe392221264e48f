#include "platform/dtyp/ace.h"

#include <algorithm>
#include <stdexcept>

#include "platform/dtyp/bytes.h"
#include "platform/text.h"

namespace Platform::Dtyp {

namespace {

constexpr std::size_t HeaderSize = 4;
constexpr std::size_t GuidSize = 16;

Failure invalidAce(std::wstring message) {
    return {WinError::InvalidAcl, std::move(message)};
}

// The GUID's text order: Data1 (4 bytes), Data2, Data3 (2 each) little-endian in memory,
// then Data4's 8 bytes as they are.
constexpr std::array<int, 16> textOrder = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};

}  // namespace

std::wstring Guid::toString() const {
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring text;
    for (std::size_t i = 0; i < textOrder.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text += L'-';
        }
        std::uint8_t byte = bytes[static_cast<std::size_t>(textOrder[i])];
        text += digits[byte >> 4];
        text += digits[byte & 0xF];
    }
    return text;
}

std::optional<Guid> Guid::parse(std::wstring_view text) {
    if (text.size() != 36) {
        return std::nullopt;
    }
    Guid guid;
    std::size_t pos = 0;
    for (std::size_t i = 0; i < textOrder.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            if (text[pos++] != L'-') {
                return std::nullopt;
            }
        }
        int high = hexDigitValue(text[pos++]);
        int low = hexDigitValue(text[pos++]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        guid.bytes[static_cast<std::size_t>(textOrder[i])] =
            static_cast<std::uint8_t>(high * 16 + low);
    }
    return guid;
}

bool isObjectAceType(std::uint8_t type) {
    switch (type) {
        case AceType::AccessAllowedObject:
        case AceType::AccessDeniedObject:
        case AceType::SystemAuditObject:
        case AceType::SystemAlarmObject:
        case AceType::AccessAllowedCallbackObject:
        case AceType::AccessDeniedCallbackObject:
        case AceType::SystemAuditCallbackObject:
        case AceType::SystemAlarmCallbackObject:
            return true;
        default:
            return false;
    }
}

bool isPlainAceType(std::uint8_t type) {
    switch (type) {
        case AceType::AccessAllowed:
        case AceType::AccessDenied:
        case AceType::SystemAudit:
        case AceType::SystemAlarm:
        case AceType::AccessAllowedCallback:
        case AceType::AccessDeniedCallback:
        case AceType::SystemAuditCallback:
        case AceType::SystemAlarmCallback:
        case AceType::SystemMandatoryLabel:
        case AceType::SystemResourceAttribute:
        case AceType::SystemScopedPolicyId:
            return true;
        default:
            return false;
    }
}

bool Ace::hasObjectType() const {
    return isObjectAce() && (objectFlags & ObjectAceFlag::ObjectTypePresent) != 0;
}

bool Ace::hasInheritedObjectType() const {
    return isObjectAce() && (objectFlags & ObjectAceFlag::InheritedObjectTypePresent) != 0;
}

std::size_t Ace::size() const {
    std::size_t size = HeaderSize + 4 + sid.length() + applicationData.size();
    if (isObjectAce()) {
        size += 4;
        size += hasObjectType() ? GuidSize : 0;
        size += hasInheritedObjectType() ? GuidSize : 0;
    }
    return (size + 3) & ~std::size_t{3};
}

bool operator==(const Ace& a, const Ace& b) {
    if (a.type != b.type || a.flags != b.flags || a.mask != b.mask || !(a.sid == b.sid) ||
        a.applicationData != b.applicationData) {
        return false;
    }
    if (!a.isObjectAce()) {
        return true;
    }
    return a.objectFlags == b.objectFlags && (!a.hasObjectType() || a.objectType == b.objectType) &&
           (!a.hasInheritedObjectType() || a.inheritedObjectType == b.inheritedObjectType);
}

Result<Ace> decodeAce(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < HeaderSize) {
        return invalidAce(L"an ACE header needs 4 bytes, only " + std::to_wstring(bytes.size()) +
                          L" are left");
    }
    Ace ace;
    ace.type = bytes[0];
    ace.flags = bytes[1];
    std::size_t aceSize = Bytes::readU16(bytes.data() + 2);
    if (aceSize > bytes.size()) {
        return invalidAce(L"the ACE claims " + std::to_wstring(aceSize) + L" bytes, only " +
                          std::to_wstring(bytes.size()) + L" are left");
    }
    if (aceSize < HeaderSize) {
        return invalidAce(L"the ACE claims " + std::to_wstring(aceSize) +
                          L" bytes, less than its header");
    }
    bool object = isObjectAceType(ace.type);
    if (!object && !isPlainAceType(ace.type)) {
        return invalidAce(L"ACE type " + std::to_wstring(ace.type) + L" is not supported");
    }
    std::span<const std::uint8_t> body = bytes.first(aceSize);
    std::size_t pos = HeaderSize;
    auto need = [&](std::size_t count, const wchar_t* what) -> std::optional<Failure> {
        if (body.size() - pos < count) {
            return invalidAce(L"ACE of " + std::to_wstring(aceSize) +
                              L" bytes is too small for its " + what);
        }
        return std::nullopt;
    };
    if (auto failure = need(4, L"access mask")) {
        return *failure;
    }
    ace.mask = Bytes::readU32(body.data() + pos);
    pos += 4;
    if (object) {
        if (auto failure = need(4, L"object flags")) {
            return *failure;
        }
        ace.objectFlags = Bytes::readU32(body.data() + pos);
        pos += 4;
        if (ace.objectFlags & ObjectAceFlag::ObjectTypePresent) {
            if (auto failure = need(GuidSize, L"object type")) {
                return *failure;
            }
            std::copy_n(body.data() + pos, GuidSize, ace.objectType.bytes.begin());
            pos += GuidSize;
        }
        if (ace.objectFlags & ObjectAceFlag::InheritedObjectTypePresent) {
            if (auto failure = need(GuidSize, L"inherited object type")) {
                return *failure;
            }
            std::copy_n(body.data() + pos, GuidSize, ace.inheritedObjectType.bytes.begin());
            pos += GuidSize;
        }
    }
    Result<Sid> sid = Sid::fromBytes(body.subspan(pos));
    if (!sid) {
        return invalidAce(L"the ACE's SID is invalid: " + sid.message());
    }
    ace.sid = *sid;
    pos += sid->length();
    ace.applicationData.assign(body.begin() + static_cast<std::ptrdiff_t>(pos), body.end());
    return ace;
}

void encodeAce(const Ace& ace, std::vector<std::uint8_t>& out) {
    std::size_t size = ace.size();
    if (size > 0xFFFF) {
        throw std::length_error("an ACE is at most 65535 bytes");
    }
    std::size_t start = out.size();
    out.push_back(ace.type);
    out.push_back(ace.flags);
    Bytes::appendU16(out, static_cast<std::uint16_t>(size));
    Bytes::appendU32(out, ace.mask);
    if (ace.isObjectAce()) {
        Bytes::appendU32(out, ace.objectFlags);
        if (ace.hasObjectType()) {
            out.insert(out.end(), ace.objectType.bytes.begin(), ace.objectType.bytes.end());
        }
        if (ace.hasInheritedObjectType()) {
            out.insert(out.end(), ace.inheritedObjectType.bytes.begin(),
                       ace.inheritedObjectType.bytes.end());
        }
    }
    ace.sid.appendTo(out);
    out.insert(out.end(), ace.applicationData.begin(), ace.applicationData.end());
    out.resize(start + size, 0);
}

std::vector<std::uint8_t> encodeAce(const Ace& ace) {
    std::vector<std::uint8_t> out;
    out.reserve(ace.size());
    encodeAce(ace, out);
    return out;
}

}  // namespace Platform::Dtyp
