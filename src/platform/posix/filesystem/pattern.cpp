// The name patterns of FindFirstFile, matched as NTFS matches them: '*' and '?' with the DOS
// rules for dots, case-insensitively.
#include "platform/posix/filesystem/pattern.h"

#include <vector>

#include "platform/text.h"

namespace Platform::Posix {
namespace {

// The DOS wildcards that FindFirstFile hands to the file system (FsRtlIsNameInExpression):
// '?' becomes DOS_QM, a '.' before a wildcard or at the end DOS_DOT, a '*' before a '.'
// DOS_STAR; "*.*" is "*". Private-use code points stand for them.
constexpr wchar_t dosStar = 0xE001;
constexpr wchar_t dosQm = 0xE002;
constexpr wchar_t dosDot = 0xE003;

class PatternMatcher {
public:
    PatternMatcher(const std::wstring& pattern, const std::wstring& name)
        : pattern_(pattern),
          name_(name),
          lastDot_(name.rfind(L'.')),
          memo_((pattern.size() + 1) * (name.size() + 1), -1) {}

    bool matches() { return match(0, 0); }

private:
    bool match(std::size_t p, std::size_t n) {
        signed char& known = memo_[p * (name_.size() + 1) + n];
        if (known < 0) {
            known = compute(p, n) ? 1 : 0;
        }
        return known == 1;
    }

    bool compute(std::size_t p, std::size_t n) {
        if (p == pattern_.size()) {
            return n == name_.size();
        }
        bool more = n < name_.size();
        switch (pattern_[p]) {
            case L'*':
                return match(p + 1, n) || (more && match(p, n + 1));
            case dosStar:
                // Any characters, but not past the last dot of the name.
                return match(p + 1, n) ||
                       (more && (lastDot_ == std::wstring::npos || n < lastDot_) &&
                        match(p, n + 1));
            case dosQm:
                // One character; at a dot or at the end it matches nothing.
                return more && name_[n] != L'.' ? match(p + 1, n + 1) : match(p + 1, n);
            case dosDot:
                if (more) {
                    return name_[n] == L'.' && match(p + 1, n + 1);
                }
                return match(p + 1, n);
            default:
                return more && upcase(name_[n]) == upcase(pattern_[p]) && match(p + 1, n + 1);
        }
    }

    const std::wstring& pattern_;
    const std::wstring& name_;
    std::size_t lastDot_;
    std::vector<signed char> memo_;
};

}  // namespace

std::wstring dosPattern(const std::wstring& pattern) {
    if (pattern == L"*.*") {
        return L"*";
    }
    std::wstring translated;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        wchar_t c = pattern[i];
        wchar_t next = i + 1 < pattern.size() ? pattern[i + 1] : L'\0';
        if (c == L'?') {
            translated += dosQm;
        } else if (c == L'.' && (next == L'\0' || next == L'?' || next == L'*')) {
            translated += dosDot;
        } else if (c == L'*' && next == L'.') {
            translated += dosStar;
        } else {
            translated += c;
        }
    }
    return translated;
}

bool matchesPattern(const std::wstring& dosForm, const std::wstring& name) {
    return dosForm == L"*" || PatternMatcher(dosForm, name).matches();
}

}  // namespace Platform::Posix
