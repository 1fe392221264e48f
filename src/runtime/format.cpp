#include "runtime/format.h"

#include <cstdio>

#include "platform/text.h"
#include "runtime/exceptions.h"

namespace RunTime {
namespace {

[[noreturn]] void invalidArguments() {
    throw ArgumentException(L"swprintf() failed: invalid arguments", VSITE("formatString"));
}

struct Conversion {
    bool left = false;
    bool zero = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    int width = -1;
    int precision = -1;
    wchar_t conversion = 0;
};

void pad(std::wstring& out, std::wstring body, const Conversion& conv, bool numeric) {
    if (conv.width < 0 || static_cast<int>(body.size()) >= conv.width) {
        out += body;
        return;
    }
    std::size_t fill = static_cast<std::size_t>(conv.width) - body.size();
    if (conv.left) {
        out += body;
        out.append(fill, L' ');
    } else if (conv.zero && numeric && conv.precision < 0) {
        // Zeros go after a sign or a 0x prefix.
        std::size_t prefix = 0;
        if (!body.empty() && (body[0] == L'-' || body[0] == L'+' || body[0] == L' ')) {
            prefix = 1;
        }
        if (body.size() >= prefix + 2 && body[prefix] == L'0' &&
            (body[prefix + 1] == L'x' || body[prefix + 1] == L'X')) {
            prefix += 2;
        }
        out += body.substr(0, prefix);
        out.append(fill, L'0');
        out += body.substr(prefix);
    } else {
        out.append(fill, L' ');
        out += body;
    }
}

std::wstring digits(std::uint64_t value, unsigned base, bool upper) {
    const wchar_t* set = upper ? L"0123456789ABCDEF" : L"0123456789abcdef";
    std::wstring text;
    do {
        text.insert(text.begin(), set[value % base]);
        value /= base;
    } while (value != 0);
    return text;
}

void formatInteger(std::wstring& out, const FormatArg& arg, const Conversion& conv) {
    if (arg.kind() != FormatArg::Kind::Signed && arg.kind() != FormatArg::Kind::Unsigned) {
        invalidArguments();
    }
    // The value is read at the argument's own width, as the matching printf length would.
    std::uint64_t raw = arg.integer();
    unsigned bits = arg.bits() < 32 ? 32 : arg.bits();
    std::uint64_t mask = bits >= 64 ? ~0ull : ((1ull << bits) - 1);
    bool isSigned = conv.conversion == L'd' || conv.conversion == L'i';
    std::wstring body;
    bool negative = false;
    std::uint64_t magnitude = raw & mask;
    if (isSigned) {
        std::int64_t value = bits >= 64 ? static_cast<std::int64_t>(raw)
                                        : static_cast<std::int64_t>(static_cast<std::int32_t>(raw));
        if (arg.kind() == FormatArg::Kind::Unsigned && bits >= 64) {
            value = static_cast<std::int64_t>(raw);
        }
        negative = value < 0;
        magnitude =
            negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    }
    unsigned base = 10;
    bool upper = false;
    switch (conv.conversion) {
        case L'x':
            base = 16;
            break;
        case L'X':
            base = 16;
            upper = true;
            break;
        case L'o':
            base = 8;
            break;
        default:
            break;
    }
    body =
        (conv.precision == 0 && magnitude == 0) ? std::wstring() : digits(magnitude, base, upper);
    if (conv.precision > 0 && static_cast<int>(body.size()) < conv.precision) {
        body.insert(0, static_cast<std::size_t>(conv.precision) - body.size(), L'0');
    }
    if (conv.alternate && magnitude != 0) {
        if (base == 16) {
            body.insert(0, upper ? L"0X" : L"0x");
        } else if (base == 8 && body[0] != L'0') {
            body.insert(0, L"0");
        }
    }
    if (negative) {
        body.insert(0, L"-");
    } else if (isSigned && conv.plus) {
        body.insert(0, L"+");
    } else if (isSigned && conv.space) {
        body.insert(0, L" ");
    }
    pad(out, body, conv, true);
}

void formatText(std::wstring& out, const FormatArg& arg, const Conversion& conv) {
    std::wstring body;
    if (arg.kind() == FormatArg::Kind::Wide) {
        body = arg.wide();
    } else if (arg.kind() == FormatArg::Kind::Narrow) {
        body = Platform::fromAnsi(arg.narrow());
    } else {
        invalidArguments();
    }
    if (conv.precision >= 0 && static_cast<int>(body.size()) > conv.precision) {
        body.resize(static_cast<std::size_t>(conv.precision));
    }
    pad(out, body, conv, false);
}

void formatCharacter(std::wstring& out, const FormatArg& arg, const Conversion& conv) {
    if (arg.kind() != FormatArg::Kind::Signed && arg.kind() != FormatArg::Kind::Unsigned) {
        invalidArguments();
    }
    pad(out, std::wstring(1, static_cast<wchar_t>(arg.integer())), conv, false);
}

void formatFloating(std::wstring& out, const FormatArg& arg, const Conversion& conv) {
    double value = 0;
    if (arg.kind() == FormatArg::Kind::Floating) {
        value = arg.floating();
    } else if (arg.kind() == FormatArg::Kind::Signed) {
        value = static_cast<double>(static_cast<std::int64_t>(arg.integer()));
    } else if (arg.kind() == FormatArg::Kind::Unsigned) {
        value = static_cast<double>(arg.integer());
    } else {
        invalidArguments();
    }
    std::string narrowFormat = "%";
    if (conv.plus)
        narrowFormat += '+';
    if (conv.space)
        narrowFormat += ' ';
    if (conv.alternate)
        narrowFormat += '#';
    if (conv.precision >= 0)
        narrowFormat += "." + std::to_string(conv.precision);
    narrowFormat += static_cast<char>(conv.conversion);
    char buffer[512];
    int n = std::snprintf(buffer, sizeof(buffer), narrowFormat.c_str(), value);
    if (n < 0) {
        invalidArguments();
    }
    pad(out, Platform::fromUtf8(std::string(buffer, std::min<std::size_t>(n, sizeof(buffer) - 1))),
        conv, true);
}

// One pass over a format string: the text copied, each conversion read (flags, width,
// precision, length modifiers, conversion character) and written from the next argument.
class FormatReader {
public:
    FormatReader(std::wstring_view format, std::initializer_list<FormatArg> args)
        : format_(format), next_(args.begin()), end_(args.end()) {}

    std::wstring run() {
        std::wstring out;
        out.reserve(format_.size() + 32);
        for (; i_ < format_.size(); ++i_) {
            wchar_t c = format_[i_];
            if (c != L'%') {
                out += c;
                continue;
            }
            if (++i_ >= format_.size()) {
                invalidArguments();
            }
            if (format_[i_] == L'%') {
                out += L'%';
                continue;
            }
            _convert(out, _conversion());
        }
        return out;
    }

private:
    const FormatArg& _take() {
        if (next_ == end_) {
            invalidArguments();
        }
        return *next_++;
    }

    bool _at(wchar_t c) const { return i_ < format_.size() && format_[i_] == c; }
    bool _atDigit() const {
        return i_ < format_.size() && format_[i_] >= L'0' && format_[i_] <= L'9';
    }

    // A width or precision: "*" takes it from the next argument, which must be an integer.
    void _number(int& target) {
        if (_at(L'*')) {
            const FormatArg& a = _take();
            if (a.kind() != FormatArg::Kind::Signed && a.kind() != FormatArg::Kind::Unsigned) {
                invalidArguments();
            }
            target = static_cast<int>(a.integer());
            ++i_;
            return;
        }
        if (_atDigit()) {
            target = 0;
            while (_atDigit()) {
                target = target * 10 + (format_[i_] - L'0');
                ++i_;
            }
        }
    }

    void _flags(Conversion& conv) {
        for (; i_ < format_.size(); ++i_) {
            switch (format_[i_]) {
                case L'-':
                    conv.left = true;
                    break;
                case L'0':
                    conv.zero = true;
                    break;
                case L'+':
                    conv.plus = true;
                    break;
                case L' ':
                    conv.space = true;
                    break;
                case L'#':
                    conv.alternate = true;
                    break;
                default:
                    return;
            }
        }
    }

    // Length modifiers: the argument carries its own width, so they only need skipping.
    void _skipLengthModifiers() {
        while (i_ < format_.size()) {
            if (format_.substr(i_, 3) == L"I64" || format_.substr(i_, 3) == L"I32") {
                i_ += 3;
            } else if (std::wstring_view(L"hlLzjtwI").find(format_[i_]) !=
                       std::wstring_view::npos) {
                ++i_;
            } else {
                break;
            }
        }
    }

    // The conversion that starts after its "%", up to its conversion character.
    Conversion _conversion() {
        Conversion conv;
        _flags(conv);
        _number(conv.width);
        if (conv.width < -1) {
            conv.left = true;
            conv.width = -conv.width;
        }
        if (_at(L'.')) {
            ++i_;
            conv.precision = 0;
            _number(conv.precision);
        }
        _skipLengthModifiers();
        if (i_ >= format_.size()) {
            invalidArguments();
        }
        conv.conversion = format_[i_];
        return conv;
    }

    void _convert(std::wstring& out, const Conversion& conv) {
        switch (conv.conversion) {
            case L'd':
            case L'i':
            case L'u':
            case L'x':
            case L'X':
            case L'o':
                formatInteger(out, _take(), conv);
                break;
            case L'p': {
                Conversion pointer = conv;
                pointer.conversion = L'X';
                pointer.width = 16;
                pointer.zero = true;
                formatInteger(out, _take(), pointer);
                break;
            }
            case L's':
            case L'S':
                formatText(out, _take(), conv);
                break;
            case L'c':
            case L'C':
                formatCharacter(out, _take(), conv);
                break;
            case L'e':
            case L'E':
            case L'f':
            case L'F':
            case L'g':
            case L'G':
                formatFloating(out, _take(), conv);
                break;
            default:
                invalidArguments();
        }
    }

    std::wstring_view format_;
    std::size_t i_ = 0;
    const FormatArg* next_;
    const FormatArg* end_;
};

}  // namespace

std::wstring formatArgs(std::wstring_view format, std::initializer_list<FormatArg> args) {
    return FormatReader(format, args).run();
}

std::string formatNarrow(std::string_view format, std::initializer_list<FormatArg> args) {
    return Platform::toAnsi(formatArgs(Platform::fromAnsi(format), args));
}

}  // namespace RunTime
