// A large metadata set for the save tests, in two variants that differ in every entry, built
// from well-known accounts only so that saving it asks no account lookup of the system.
#pragma once

#include <string>

#include "accounts/vsid.h"
#include "disksecurity/entry_template.h"
#include "manager/security_manager.h"

namespace ManagerTests {

constexpr int bigSetSize = 2500;

inline void fillBigSet(Tavrel::SecurityManager& manager, int variant) {
    const VSID accounts[] = {VSID::wellKnown(WellKnownAccount::Everyone),
                             VSID::wellKnown(WellKnownAccount::Users),
                             VSID::wellKnown(WellKnownAccount::System)};
    for (int i = 0; i < bigSetSize; ++i) {
        manager.entries()->insert(DiskSecurity::EntryTemplate(
            accounts[i % 3], L"[HTTPD_VHOSTS_D]", L"site\\dir" + std::to_wstring(i),
            static_cast<std::uint32_t>(i % 4), 0x1200a9, 0x140, L"DomainUser",
            L"variant" + std::to_wstring(variant)));
    }
}

}  // namespace ManagerTests
