// The effective-access check against the rules of Windows, case by case
// (tests/data/effective_access.txt).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/dtyp/sddl.h"
#include "platform/text.h"
#include "support/corpus.h"
#include "winsecurity/effective_access.h"

namespace {

namespace Dtyp = Platform::Dtyp;

const Dtyp::Sid domain(5, {21, 1, 2, 3});

// The corpus's names for the accounts of its cases.
std::wstring expand(std::wstring text) {
    const std::pair<const wchar_t*, const wchar_t*> names[] = {{L"$U", L"S-1-5-21-1-2-3-1001"},
                                                               {L"$G", L"S-1-5-21-1-2-3-1100"},
                                                               {L"$O", L"S-1-5-21-1-2-3-1002"}};
    for (const auto& [name, sid] : names) {
        for (std::size_t at; (at = text.find(name)) != std::wstring::npos;) {
            text.replace(at, 2, sid);
        }
    }
    return text;
}

std::vector<std::wstring> split(const std::wstring& text, wchar_t separator) {
    std::vector<std::wstring> parts;
    std::size_t begin = 0;
    for (std::size_t end; (end = text.find(separator, begin)) != std::wstring::npos;
         begin = end + 1) {
        parts.push_back(text.substr(begin, end - begin));
    }
    parts.push_back(text.substr(begin));
    return parts;
}

std::wstring trimmed(const std::wstring& text) {
    std::size_t first = text.find_first_not_of(L' ');
    return first == std::wstring::npos
               ? L""
               : text.substr(first, text.find_last_not_of(L' ') - first + 1);
}

Dtyp::Token tokenOf(const std::wstring& text) {
    Dtyp::Token token;
    std::vector<std::wstring> sids = split(trimmed(text), L' ');
    for (std::size_t i = 0; i < sids.size(); ++i) {
        auto sid = Dtyp::sidFromSddl(sids[i], &domain);
        EXPECT_TRUE(sid) << Platform::toUtf8(sids[i]);
        if (!sid) {
            continue;
        }
        if (i == 0) {
            token.user = *sid;
        } else {
            token.groups.push_back(*sid);
        }
    }
    return token;
}

std::uint32_t rightsOf(const std::wstring& sddl, const Dtyp::Token& token) {
    if (sddl == L"-") {
        return 0;
    }
    auto sd = Dtyp::fromSddl(sddl, &domain);
    EXPECT_TRUE(sd) << Platform::toUtf8(sddl) << ": " << Platform::toUtf8(sd.message());
    return sd ? WinSecurity::effectiveRights(*sd, token) : 0;
}

std::wstring namesOf(unsigned classes) {
    std::wstring names;
    for (unsigned i = 0; i < WinSecurity::AccessClass::Count; ++i) {
        if (classes & (1u << i)) {
            names += (names.empty() ? L"" : L" ") + std::wstring(WinSecurity::accessClassName(i));
        }
    }
    return names.empty() ? L"none" : names;
}

TEST(EffectiveAccess, ClassesByTheRulesOfTheAccessCheck) {
    TestSupport::expectCorpus("effective_access", [](const std::wstring& input) {
        std::vector<std::wstring> parts = split(expand(input), L'|');
        if (parts.size() != 3) {
            return L"malformed case: " + input;
        }
        Dtyp::Token token = tokenOf(parts[0]);
        return namesOf(WinSecurity::accessClasses(rightsOf(trimmed(parts[1]), token),
                                                  rightsOf(trimmed(parts[2]), token)));
    });
}

}  // namespace
