// The accounts file of the emulated host: any text parses or is refused with a reason; the
// lookups of what parsed answer without fault.
#include "fuzz_support.h"
#include "platform/posix/accounts/accounts_db.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::wstring detail;
    auto accounts = Platform::Posix::AccountsDatabase::parse(FuzzSupport::text(data, size), detail);
    if (!accounts) {
        if (detail.empty()) {
            FuzzSupport::broken("a refused accounts file without a reason");
        }
        return 0;
    }
    for (const auto& account : accounts->localAccounts()) {
        accounts->findName(account.name);
        accounts->findName(accounts->machineName() + L"\\" + account.name);
    }
    accounts->withGroups({accounts->domainSid()});
    accounts->nextRid();
    return 0;
}
