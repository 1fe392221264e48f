// tavrel-host reg: reads and writes the host's registry the way reg.exe and regedit do on
// Windows. KEY is "HKLM\..." or "HKEY_LOCAL_MACHINE\..." and is taken literally (the 64-bit
// view): the 32-bit view of SOFTWARE\X is written SOFTWARE\WOW6432Node\X.
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/posix/registry/regfile.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/unique.h"
#include "tools/tavrel-host/commands.h"

namespace {

using Platform::fromUtf8;
using Platform::toUtf8;
namespace Reg = Platform::Reg;

constexpr const char* usage =
    "usage: tavrel-host reg get KEY [NAME]\n"
    "       tavrel-host reg set KEY NAME TYPE DATA\n"
    "       tavrel-host reg del KEY [NAME]\n"
    "       tavrel-host reg import FILE\n"
    "       tavrel-host reg export [KEY]\n"
    "KEY is HKLM\\path or HKEY_LOCAL_MACHINE\\path; NAME \"\" is the default value.\n"
    "TYPE is REG_SZ, REG_EXPAND_SZ, REG_DWORD (decimal or 0x hex), REG_MULTI_SZ (items\n"
    "separated by the two characters \\0) or REG_BINARY (hex digits).\n";

int fail(const std::string& message) {
    std::fprintf(stderr, "tavrel-host reg: %s\n", message.c_str());
    return 1;
}

int usageError(const std::string& message) {
    std::fprintf(stderr, "tavrel-host reg: %s\n%s", message.c_str(), usage);
    return 1;
}

// The system text of a Win32 code with the code, for messages.
std::string errorText(std::uint32_t code) {
    // A failure of the registry file itself is told with the file's name and what is wrong.
    std::string detail;
    if (Platform::Posix::checkRegistryFile(detail) == code && !detail.empty()) {
        return (code == Platform::WinError::RegistryCorrupt ? "the registry file is corrupt: "
                                                            : "the registry file is unusable: ") +
               detail;
    }
    std::wstring text;
    if (Platform::formatSystemMessage(code, 1024, text)) {
        while (!text.empty() &&
               (text.back() == L'\r' || text.back() == L'\n' || text.back() == L'.')) {
            text.pop_back();
        }
        return toUtf8(text) + " (error " + std::to_string(code) + ")";
    }
    return "error " + std::to_string(code);
}

// The path below HKEY_LOCAL_MACHINE of a KEY argument.
bool parseKey(const std::string& arg, std::wstring& path) {
    std::wstring text = fromUtf8(arg);
    std::size_t slash = text.find(L'\\');
    std::wstring root = text.substr(0, slash);
    if (!Platform::equalsNoCase(root, L"HKLM") &&
        !Platform::equalsNoCase(root, L"HKEY_LOCAL_MACHINE")) {
        return false;
    }
    path = slash == std::wstring::npos ? std::wstring() : text.substr(slash + 1);
    while (!path.empty() && path.back() == L'\\') {
        path.pop_back();
    }
    return true;
}

int badKey(const std::string& arg) {
    return fail("'" + arg + "' is not a key: write HKLM\\path (only HKEY_LOCAL_MACHINE exists)");
}

std::u16string unitsOf(const std::vector<std::uint8_t>& data) {
    std::u16string units;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
        units.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
    }
    return units;
}

std::string textOf(const std::vector<std::uint8_t>& data) {
    std::u16string units = unitsOf(data);
    return toUtf8(Platform::fromUtf16(units.substr(0, units.find(char16_t{0}))));
}

// The items of a REG_MULTI_SZ, up to the empty string that ends the list.
std::vector<std::string> itemsOf(const std::vector<std::uint8_t>& data) {
    std::vector<std::string> items;
    std::u16string units = unitsOf(data);
    for (std::size_t pos = 0; pos < units.size();) {
        std::size_t end = units.find(char16_t{0}, pos);
        if (end == std::u16string::npos) {
            end = units.size();
        }
        if (end == pos) {
            break;
        }
        items.push_back(toUtf8(Platform::fromUtf16(units.substr(pos, end - pos))));
        pos = end + 1;
    }
    return items;
}

std::string hexOf(const std::vector<std::uint8_t>& data) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : data) {
        out += digits[b >> 4];
        out += digits[b & 0xF];
    }
    return out;
}

std::string typeName(std::uint32_t type) {
    switch (type) {
        case Reg::RegNone:
            return "REG_NONE";
        case Reg::RegSz:
            return "REG_SZ";
        case Reg::RegExpandSz:
            return "REG_EXPAND_SZ";
        case Reg::RegBinary:
            return "REG_BINARY";
        case Reg::RegDword:
            return "REG_DWORD";
        case Reg::RegMultiSz:
            return "REG_MULTI_SZ";
        case Reg::RegQword:
            return "REG_QWORD";
        default:
            return "REG_TYPE_" + std::to_string(type);
    }
}

// The data as `reg get KEY NAME` prints it: text, a decimal DWORD, one item per line, or hex.
std::string dataText(std::uint32_t type, const std::vector<std::uint8_t>& data,
                     const char* itemSeparator) {
    switch (type) {
        case Reg::RegSz:
        case Reg::RegExpandSz:
            return textOf(data);
        case Reg::RegDword:
            if (data.size() == 4) {
                return std::to_string(data[0] | data[1] << 8 | data[2] << 16 |
                                      static_cast<std::uint32_t>(data[3]) << 24);
            }
            break;
        case Reg::RegQword:
            if (data.size() == 8) {
                std::uint64_t n = 0;
                for (int i = 7; i >= 0; --i) {
                    n = n << 8 | data[static_cast<std::size_t>(i)];
                }
                return std::to_string(n);
            }
            break;
        case Reg::RegMultiSz: {
            std::string out;
            for (const std::string& item : itemsOf(data)) {
                out += out.empty() ? item : itemSeparator + item;
            }
            return out;
        }
    }
    return hexOf(data);
}

std::vector<std::uint8_t> stringBytes(const std::wstring& text) {
    std::vector<std::uint8_t> data;
    for (char16_t unit : Platform::toUtf16(text)) {
        data.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        data.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    data.push_back(0);
    data.push_back(0);
    return data;
}

bool parseDword(const std::string& text, std::uint32_t& value) {
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 10) {
        return false;
    }
    std::uint64_t n = 0;
    for (char c : digits) {
        int d = c >= '0' && c <= '9'          ? c - '0'
                : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                              : -1;
        if (d < 0) {
            return false;
        }
        n = n * (hex ? 16 : 10) + static_cast<std::uint64_t>(d);
    }
    if (n > 0xFFFFFFFFu) {
        return false;
    }
    value = static_cast<std::uint32_t>(n);
    return true;
}

// Hex digits in pairs; spaces, commas and colons between bytes are allowed.
bool parseHex(const std::string& text, std::vector<std::uint8_t>& data) {
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == ',' || c == ':') {
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return false;
        }
        digits += c;
    }
    if (digits.size() % 2 != 0) {
        return false;
    }
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        data.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    return true;
}

bool encodeData(const std::string& type, const std::string& text, std::uint32_t& regType,
                std::vector<std::uint8_t>& data, std::string& problem) {
    if (type == "REG_SZ" || type == "REG_EXPAND_SZ") {
        regType = type == "REG_SZ" ? Reg::RegSz : Reg::RegExpandSz;
        data = stringBytes(fromUtf8(text));
        return true;
    }
    if (type == "REG_DWORD") {
        std::uint32_t n = 0;
        if (!parseDword(text, n)) {
            problem = "'" + text + "' is not a DWORD (decimal or 0x hex, at most 0xffffffff)";
            return false;
        }
        regType = Reg::RegDword;
        data = {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
                static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 24)};
        return true;
    }
    if (type == "REG_MULTI_SZ") {
        regType = Reg::RegMultiSz;
        data.clear();
        std::size_t pos = 0;
        while (!text.empty()) {
            std::size_t end = text.find("\\0", pos);
            std::string item = text.substr(pos, end == std::string::npos ? end : end - pos);
            if (item.empty()) {
                problem = "REG_MULTI_SZ items cannot be empty (an empty item ends the list)";
                return false;
            }
            std::vector<std::uint8_t> bytes = stringBytes(fromUtf8(item));
            data.insert(data.end(), bytes.begin(), bytes.end());
            if (end == std::string::npos) {
                break;
            }
            pos = end + 2;
        }
        data.push_back(0);
        data.push_back(0);
        return true;
    }
    if (type == "REG_BINARY") {
        regType = Reg::RegBinary;
        data.clear();
        if (!parseHex(text, data)) {
            problem = "'" + text + "' is not hex data (pairs of hex digits)";
            return false;
        }
        return true;
    }
    problem = "unknown type '" + type +
              "' (REG_SZ, REG_EXPAND_SZ, REG_DWORD, REG_MULTI_SZ or REG_BINARY)";
    return false;
}

std::uint32_t openKey(const std::wstring& path, std::uint32_t access, Platform::UniqueRegKey& key) {
    Platform::RegKey raw = nullptr;
    std::uint32_t error = Platform::regOpenKeyEx(Platform::hkeyLocalMachine(), path, 0,
                                                 access | Reg::KeyWow64_64Key, &raw);
    key.reset(raw);
    return error;
}

int keyError(const std::string& arg, std::uint32_t error) {
    if (error == Platform::WinError::FileNotFound) {
        return fail("key " + arg + " not found");
    }
    return fail("cannot open key " + arg + ": " + errorText(error));
}

int getCommand(const std::vector<std::string>& args) {
    if (args.size() < 2 || args.size() > 3) {
        return usageError("get takes KEY and an optional NAME");
    }
    std::wstring path;
    if (!parseKey(args[1], path)) {
        return badKey(args[1]);
    }
    Platform::UniqueRegKey key;
    if (std::uint32_t error = openKey(path, Reg::KeyRead, key)) {
        return keyError(args[1], error);
    }
    std::string out;
    if (args.size() == 3) {
        std::wstring name = fromUtf8(args[2]);
        std::uint32_t type = 0;
        std::uint32_t size = 0;
        std::uint32_t error = Platform::regQueryValueEx(key.get(), name, &type, nullptr, &size);
        std::vector<std::uint8_t> data(size);
        if (error == 0) {
            error = Platform::regQueryValueEx(key.get(), name, &type, data.data(), &size);
        }
        if (error == Platform::WinError::FileNotFound) {
            return fail("value '" + args[2] + "' not found in " + args[1]);
        }
        if (error != 0) {
            return fail("cannot read value '" + args[2] + "': " + errorText(error));
        }
        data.resize(size);
        out = dataText(type, data, "\n") + "\n";
    } else {
        for (std::uint32_t index = 0;; ++index) {
            std::wstring name;
            std::uint32_t type = 0;
            std::vector<std::uint8_t> data;
            std::uint32_t error = Platform::regEnumValue(key.get(), index, name, &type, &data);
            if (error == Platform::WinError::NoMoreItems) {
                break;
            }
            if (error != 0) {
                return fail("cannot read the values of " + args[1] + ": " + errorText(error));
            }
            out += (name.empty() ? std::string("(Default)") : toUtf8(name)) + " = " +
                   typeName(type) + " " + dataText(type, data, "\\0") + "\n";
        }
    }
    std::fputs(out.c_str(), stdout);
    return 0;
}

int setCommand(const std::vector<std::string>& args) {
    if (args.size() != 5) {
        return usageError("set takes KEY NAME TYPE DATA");
    }
    std::wstring path;
    if (!parseKey(args[1], path)) {
        return badKey(args[1]);
    }
    if (path.empty()) {
        return fail("values cannot be set on HKEY_LOCAL_MACHINE itself; name a key below it");
    }
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
    std::string problem;
    if (!encodeData(args[3], args[4], type, data, problem)) {
        return fail(problem);
    }
    Platform::RegKey raw = nullptr;
    std::uint32_t error =
        Platform::regCreateKeyEx(Platform::hkeyLocalMachine(), path, 0,
                                 Reg::KeySetValue | Reg::KeyWow64_64Key, &raw, nullptr);
    Platform::UniqueRegKey key(raw);
    if (error != 0) {
        return fail("cannot create key " + args[1] + ": " + errorText(error));
    }
    error = Platform::regSetValueEx(key.get(), fromUtf8(args[2]), type, data.data(),
                                    static_cast<std::uint32_t>(data.size()));
    if (error != 0) {
        return fail("cannot set value '" + args[2] + "': " + errorText(error));
    }
    return 0;
}

int delCommand(const std::vector<std::string>& args) {
    if (args.size() < 2 || args.size() > 3) {
        return usageError("del takes KEY and an optional NAME");
    }
    std::wstring path;
    if (!parseKey(args[1], path)) {
        return badKey(args[1]);
    }
    if (args.size() == 3) {
        Platform::UniqueRegKey key;
        if (std::uint32_t error = openKey(path, Reg::KeySetValue, key)) {
            return keyError(args[1], error);
        }
        std::uint32_t error = Platform::regDeleteValue(key.get(), fromUtf8(args[2]));
        if (error == Platform::WinError::FileNotFound) {
            return fail("value '" + args[2] + "' not found in " + args[1]);
        }
        if (error != 0) {
            return fail("cannot delete value '" + args[2] + "': " + errorText(error));
        }
        return 0;
    }
    if (path.empty()) {
        return fail("HKEY_LOCAL_MACHINE itself cannot be deleted");
    }
    std::uint32_t error = Platform::regDeleteTree(Platform::hkeyLocalMachine(), path);
    if (error == Platform::WinError::FileNotFound) {
        return fail("key " + args[1] + " not found");
    }
    if (error != 0) {
        return fail("cannot delete key " + args[1] + ": " + errorText(error));
    }
    return 0;
}

int importCommand(const std::vector<std::string>& args) {
    if (args.size() != 2) {
        return usageError("import takes one FILE");
    }
    std::string detail;
    std::uint32_t error = Platform::Posix::importRegistryFile(args[1], detail);
    if (error == Platform::WinError::InvalidData) {
        return fail("cannot import " + args[1] + ": " + detail);
    }
    if (error != 0) {
        return fail("cannot import " + args[1] + ": " + errorText(error));
    }
    return 0;
}

int exportCommand(const std::vector<std::string>& args) {
    if (args.size() > 2) {
        return usageError("export takes an optional KEY");
    }
    std::wstring path;
    if (args.size() == 2 && !parseKey(args[1], path)) {
        return badKey(args[1]);
    }
    std::string text;
    std::uint32_t error = Platform::Posix::exportRegistry(path, text);
    if (error == Platform::WinError::FileNotFound) {
        return fail("key " + args[1] + " not found");
    }
    if (error != 0) {
        return fail("cannot export: " + errorText(error));
    }
    std::fputs(text.c_str(), stdout);
    return 0;
}

constexpr CommandEntry regCommands[] = {
    {"get", getCommand},       {"set", setCommand},       {"del", delCommand},
    {"import", importCommand}, {"export", exportCommand},
};

}  // namespace

int runRegCommand(const std::vector<std::string>& args) {
    if (args.empty()) {
        return usageError("a reg command is needed");
    }
    const std::string& command = args[0];
    if (const CommandEntry* entry = findCommand(regCommands, command)) {
        return entry->run(args);
    }
    return usageError("unknown reg command '" + command + "'");
}
