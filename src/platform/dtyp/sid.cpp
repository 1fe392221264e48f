#include "platform/dtyp/sid.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "platform/dtyp/bytes.h"
#include "platform/text.h"

namespace Platform::Dtyp {

namespace {

Failure invalidSid(std::wstring message) {
    return {WinError::InvalidSid, std::move(message)};
}

std::wstring quoted(std::wstring_view text) {
    return L"\"" + std::wstring(text) + L"\"";
}

// One dash-separated number of a SID string: decimal, or hex after "0x" / "0X" (Windows
// accepts hex in every position: "S-0x1-0XC-0x1a" is S-1-12-26). Fails on an empty token,
// a stray character, or a value above `limit`.
bool parseNumber(std::wstring_view token, std::uint64_t limit, std::uint64_t* value) {
    int base = 10;
    if (token.size() >= 2 && token[0] == L'0' && (token[1] == L'x' || token[1] == L'X')) {
        base = 16;
        token.remove_prefix(2);
    }
    if (token.empty()) {
        return false;
    }
    std::uint64_t result = 0;
    for (wchar_t c : token) {
        int digit = hexDigitValue(c);
        if (digit < 0 || digit >= base) {
            return false;
        }
        result = result * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
        if (result > limit) {
            return false;
        }
    }
    *value = result;
    return true;
}

}  // namespace

Sid::Sid(std::uint64_t authority, std::initializer_list<std::uint32_t> subAuthorities)
    : Sid(authority,
          std::span<const std::uint32_t>(subAuthorities.begin(), subAuthorities.size())) {}

Sid::Sid(std::uint64_t authority, std::span<const std::uint32_t> subAuthorities) {
    if (subAuthorities.size() > MaxSubAuthorities) {
        throw std::invalid_argument("a SID has at most 15 sub-authorities");
    }
    if (authority > MaxAuthority) {
        throw std::invalid_argument("a SID's identifier authority has 48 bits");
    }
    authority_ = authority;
    std::copy(subAuthorities.begin(), subAuthorities.end(), subs_.begin());
    count_ = static_cast<std::uint8_t>(subAuthorities.size());
}

Result<Sid> Sid::withRid(std::uint32_t rid) const {
    if (count_ == MaxSubAuthorities) {
        return invalidSid(L"the SID " + toString() + L" has no room for another sub-authority");
    }
    Sid result = *this;
    result.subs_[result.count_++] = rid;
    return result;
}

bool Sid::isDomainOf(const Sid& other) const {
    return other.count_ == count_ + 1 && other.authority_ == authority_ &&
           std::equal(subs_.begin(), subs_.begin() + count_, other.subs_.begin());
}

std::vector<std::uint8_t> Sid::toBytes() const {
    std::vector<std::uint8_t> out;
    out.reserve(length());
    appendTo(out);
    return out;
}

void Sid::appendTo(std::vector<std::uint8_t>& out) const {
    out.push_back(Revision);
    out.push_back(count_);
    // The identifier authority is the one big-endian field of MS-DTYP (2.4.1).
    for (int shift = 40; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(authority_ >> shift));
    }
    for (std::size_t i = 0; i < count_; ++i) {
        Bytes::appendU32(out, subs_[i]);
    }
}

Result<Sid> Sid::fromBytes(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 8) {
        return invalidSid(L"a SID needs 8 bytes, only " + std::to_wstring(bytes.size()) +
                          L" are left");
    }
    if (bytes[0] != Revision) {
        return invalidSid(L"SID revision " + std::to_wstring(bytes[0]) + L" is not 1");
    }
    std::size_t count = bytes[1];
    if (count > MaxSubAuthorities) {
        return invalidSid(L"a SID with " + std::to_wstring(count) +
                          L" sub-authorities (at most 15)");
    }
    if (bytes.size() < 8 + 4 * count) {
        return invalidSid(L"a SID with " + std::to_wstring(count) + L" sub-authorities needs " +
                          std::to_wstring(8 + 4 * count) + L" bytes, only " +
                          std::to_wstring(bytes.size()) + L" are left");
    }
    Sid sid;
    for (int i = 2; i < 8; ++i) {
        sid.authority_ = (sid.authority_ << 8) | bytes[static_cast<std::size_t>(i)];
    }
    sid.count_ = static_cast<std::uint8_t>(count);
    for (std::size_t i = 0; i < count; ++i) {
        sid.subs_[i] = Bytes::readU32(bytes.data() + 8 + 4 * i);
    }
    return sid;
}

std::wstring Sid::toString() const {
    std::wstring text = L"S-1-";
    if (authority_ <= 0xFFFFFFFFu) {
        text += std::to_wstring(authority_);
    } else {
        // As ConvertSidToStringSidW writes it: "0x%02hx" for each of the six bytes.
        static const wchar_t digits[] = L"0123456789abcdef";
        text += L"0x";
        for (int shift = 44; shift >= 0; shift -= 4) {
            text += digits[(authority_ >> shift) & 0xF];
        }
    }
    for (std::size_t i = 0; i < count_; ++i) {
        text += L'-';
        text += std::to_wstring(subs_[i]);
    }
    return text;
}

Result<Sid> Sid::parse(std::wstring_view text) {
    if (text.size() < 2 || (text[0] != L'S' && text[0] != L's') || text[1] != L'-') {
        return invalidSid(quoted(text) + L" is not a SID: it does not begin with \"S-\"");
    }
    std::vector<std::wstring_view> tokens;
    std::wstring_view rest = text.substr(2);
    while (true) {
        std::size_t dash = rest.find(L'-');
        tokens.push_back(rest.substr(0, dash));
        if (dash == std::wstring_view::npos) {
            break;
        }
        rest.remove_prefix(dash + 1);
    }
    std::uint64_t revision = 0;
    if (!parseNumber(tokens[0], 0xFF, &revision) || revision != Revision) {
        return invalidSid(quoted(text) + L" is not a SID: the revision is not 1");
    }
    if (tokens.size() < 3) {
        // ConvertStringSidToSidW refuses "S-1-5" although the binary form could hold it.
        return invalidSid(quoted(text) + L" is not a SID: it has no sub-authority");
    }
    if (tokens.size() - 2 > MaxSubAuthorities) {
        return invalidSid(quoted(text) + L" is not a SID: more than 15 sub-authorities");
    }
    // MS-DTYP 2.4.2.1: a decimal authority is below 2^32; larger ones are written in hex.
    std::wstring_view authorityToken = tokens[1];
    bool hex =
        authorityToken.size() >= 2 && (authorityToken[1] == L'x' || authorityToken[1] == L'X');
    std::uint64_t authority = 0;
    if (!parseNumber(authorityToken, hex ? MaxAuthority : 0xFFFFFFFFu, &authority)) {
        return invalidSid(quoted(text) + L" is not a SID: bad identifier authority \"" +
                          std::wstring(authorityToken) + L"\"");
    }
    std::array<std::uint32_t, MaxSubAuthorities> subs{};
    for (std::size_t i = 2; i < tokens.size(); ++i) {
        std::uint64_t value = 0;
        if (!parseNumber(tokens[i], 0xFFFFFFFFu, &value)) {
            return invalidSid(quoted(text) + L" is not a SID: bad sub-authority \"" +
                              std::wstring(tokens[i]) + L"\"");
        }
        subs[i - 2] = static_cast<std::uint32_t>(value);
    }
    return Sid(authority, std::span<const std::uint32_t>(subs.data(), tokens.size() - 2));
}

bool operator==(const Sid& a, const Sid& b) {
    return a.authority_ == b.authority_ && a.count_ == b.count_ &&
           std::equal(a.subs_.begin(), a.subs_.begin() + a.count_, b.subs_.begin());
}

std::strong_ordering operator<=>(const Sid& a, const Sid& b) {
    if (auto order = a.authority_ <=> b.authority_; order != 0) {
        return order;
    }
    return std::lexicographical_compare_three_way(a.subs_.begin(), a.subs_.begin() + a.count_,
                                                  b.subs_.begin(), b.subs_.begin() + b.count_);
}

bool isValidSid(const std::uint8_t* sid) {
    return sid != nullptr && sid[0] == Sid::Revision && sid[1] <= Sid::MaxSubAuthorities;
}

std::uint32_t getLengthSid(const std::uint8_t* sid) {
    return 8 + 4u * sid[1];
}

bool equalSid(const std::uint8_t* a, const std::uint8_t* b) {
    if (!isValidSid(a) || !isValidSid(b)) {
        return false;
    }
    return a[1] == b[1] && std::memcmp(a, b, getLengthSid(a)) == 0;
}

Status copySid(std::uint32_t destinationLength, std::uint8_t* destination,
               const std::uint8_t* source) {
    if (!isValidSid(source)) {
        return {WinError::InvalidSid};
    }
    std::uint32_t length = getLengthSid(source);
    if (destinationLength < length) {
        return {WinError::InsufficientBuffer};
    }
    std::memmove(destination, source, length);
    return {};
}

}  // namespace Platform::Dtyp
