// printf-style formatting of the system's own texts, type-checked at run time: the format
// strings stay as the messages are written ("start %s", "end %s with code %d",
// "PathAllocCombine(%s, %s) failed: error code 0x%lx"), and each conversion must meet an
// argument of a fitting kind. A mismatch raises ArgumentException instead of reading garbage.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

namespace RunTime {

// One formatting argument: an integer (with its width, so that %X of a negative 32-bit
// value prints eight digits as printf does), a floating value, or a wide or narrow text.
class FormatArg {
public:
    enum class Kind { Signed, Unsigned, Floating, Wide, Narrow };

    template <typename T>
    requires std::is_integral_v<T> &&(!std::is_same_v<T, bool>)FormatArg(T value)
        : kind_(std::is_signed_v<T> ? Kind::Signed : Kind::Unsigned),
          bits_(sizeof(T) * 8),
          integer_(static_cast<std::uint64_t>(value)) {}
    FormatArg(bool value) : kind_(Kind::Signed), bits_(32), integer_(value ? 1 : 0) {}
    FormatArg(double value) : kind_(Kind::Floating), floating_(value) {}
    FormatArg(const std::wstring& text) : kind_(Kind::Wide), wide_(text) {}
    FormatArg(std::wstring_view text) : kind_(Kind::Wide), wide_(text) {}
    FormatArg(const wchar_t* text) : kind_(Kind::Wide), wide_(text ? text : L"(null)") {}
    FormatArg(const std::string& text) : kind_(Kind::Narrow), narrow_(text) {}
    FormatArg(std::string_view text) : kind_(Kind::Narrow), narrow_(text) {}
    FormatArg(const char* text) : kind_(Kind::Narrow), narrow_(text ? text : "(null)") {}
    template <typename T>
    requires std::is_enum_v<T> FormatArg(T value)
        : FormatArg(static_cast<std::underlying_type_t<T>>(value)) {}

    Kind kind() const { return kind_; }
    unsigned bits() const { return bits_; }
    std::uint64_t integer() const { return integer_; }
    double floating() const { return floating_; }
    std::wstring_view wide() const { return wide_; }
    std::string_view narrow() const { return narrow_; }

private:
    Kind kind_;
    unsigned bits_ = 64;
    std::uint64_t integer_ = 0;
    double floating_ = 0;
    std::wstring_view wide_;
    std::string_view narrow_;
};

// Formats `format` with `args`. Supports the printf conversions d i u x X o c s S p e f g
// with flags, width, precision and the length modifiers h l ll I64 z (widths of the value
// come from the argument itself). Throws ArgumentException "swprintf() failed: invalid
// arguments" (call site "formatString") on an unknown conversion, a missing argument or an
// argument of the wrong kind.
std::wstring formatArgs(std::wstring_view format, std::initializer_list<FormatArg> args);

template <typename... Args>
std::wstring formatString(std::wstring_view format, const Args&... args) {
    return formatArgs(format, {FormatArg(args)...});
}

// The same for narrow texts (call-site function names, standard-exception texts).
std::string formatNarrow(std::string_view format, std::initializer_list<FormatArg> args);

}  // namespace RunTime

using RunTime::formatString;
