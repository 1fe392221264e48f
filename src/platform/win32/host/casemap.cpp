// Case mapping of one UTF-16 unit by the system's invariant table, which is the one Windows
// uses to compare names case-insensitively.
#include "platform/win32/host/win32.h"

#include "platform/text.h"

namespace Platform {
namespace {

wchar_t mapCase(wchar_t c, DWORD how) {
    wchar_t out = c;
    if (::LCMapStringEx(LOCALE_NAME_INVARIANT, how, &c, 1, &out, 1, nullptr, nullptr, 0) != 1) {
        return c;
    }
    return out;
}

}  // namespace

wchar_t upcase(wchar_t c) {
    return mapCase(c, LCMAP_UPPERCASE);
}
wchar_t downcase(wchar_t c) {
    return mapCase(c, LCMAP_LOWERCASE);
}

}  // namespace Platform
