#include <locale.h>
#include <wctype.h>

#include "platform/text.h"

namespace Platform {
namespace {

// The "C" locale maps ASCII only; names on NTFS fold by the full Unicode table.
locale_t unicodeLocale() {
    static locale_t locale = [] {
        locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
        return l ? l : newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(nullptr));
    }();
    return locale;
}

}  // namespace

wchar_t upcase(wchar_t c) {
    return static_cast<wchar_t>(towupper_l(static_cast<wint_t>(c), unicodeLocale()));
}
wchar_t downcase(wchar_t c) {
    return static_cast<wchar_t>(towlower_l(static_cast<wint_t>(c), unicodeLocale()));
}

}  // namespace Platform
