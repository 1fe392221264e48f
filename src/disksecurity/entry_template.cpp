#include "disksecurity/entry_template.h"

#include "platform/text.h"
#include "runtime/filename.h"
#include "winsecurity/access.h"

namespace DiskSecurity {
namespace {

// Ancestors before their descendants, then the length-first component order of comparePaths.
int comparePathOrder(const std::wstring& a, const std::wstring& b) {
    switch (comparePaths(a, b)) {
        case PathEqual:
            return 0;
        case PathAbove:
        case PathLess:
            return -1;
        case PathBelow:
        case PathGreater:
            return 1;
    }
    return 0;
}

template <typename T>
int compareValues(T a, T b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

int compareTags(const std::wstring& a, const std::wstring& b) {
    return Platform::toLower(a).compare(Platform::toLower(b));
}

}  // namespace

EntryTemplate::EntryTemplate(VSID account, std::wstring path, std::wstring subPath,
                             std::uint32_t aceFlags, std::uint32_t accessMask,
                             std::int32_t entryFlags, std::wstring tag, std::wstring tag2,
                             std::wstring domainName, std::wstring accountName)
    : account(std::move(account)),
      path(std::move(path)),
      subPath(std::move(subPath)),
      aceFlags(aceFlags),
      accessMask(accessMask),
      entryFlags(entryFlags),
      tag(std::move(tag)),
      tag2(std::move(tag2)) {
    if (!domainName.empty() || !accountName.empty()) {
        this->domainName = std::move(domainName);
        this->accountName = std::move(accountName);
    }
}

int compareEntryTemplates(const EntryTemplate& a, const EntryTemplate& b) {
    if (int c = comparePathOrder(a.path, b.path)) {
        return c;
    }
    if (int c = comparePathOrder(a.subPath, b.subPath)) {
        return c;
    }
    if (int c = a.account.compare(b.account)) {
        return c < 0 ? -1 : 1;
    }
    if (int c = compareValues(a.aceFlags, b.aceFlags)) {
        return c;
    }
    // GENERIC_ALL and FILE_ALL_ACCESS are one grant, so they must not make two entries.
    if (int c = compareValues(mapGenericAccess(a.accessMask), mapGenericAccess(b.accessMask))) {
        return c;
    }
    if (int c = compareValues(a.entryFlags, b.entryFlags)) {
        return c;
    }
    if (int c = compareTags(a.tag, b.tag)) {
        return c < 0 ? -1 : 1;
    }
    if (int c = compareTags(a.tag2, b.tag2)) {
        return c < 0 ? -1 : 1;
    }
    return 0;
}

}  // namespace DiskSecurity
