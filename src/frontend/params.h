// The parameters of one command: "--key=value" or "--key" arguments in an ordinal map, and
// the checks a command makes against its lists of required and optional names.
#pragma once

#include <map>
#include <string>
#include <vector>

class Params {
public:
    using Map = std::map<std::wstring, std::wstring>;
    // The names a command requires, or accepts besides them, in the order its refusals list
    // them.
    using Names = std::vector<std::wstring>;

    // Splits each argument at its first "=" into key and value; a bare argument is a key with
    // an empty value; a repeated key keeps the last value.
    static Map parse(int argc, const wchar_t* const* argv);

    explicit Params(Map values) : values_(std::move(values)) {}
    // The parameters of the arguments, as parse reads them, with every value of a repeated key
    // kept for getAll.
    Params(int argc, const wchar_t* const* argv);

    // Throws on the first missing required name or unexpected key; "--internal-package-name" is
    // always accepted.
    void check(const Names& required, const Names& optional) const;

    // The value of a required parameter; a missing one is reported as missing.
    std::wstring get(const std::wstring& name) const;
    std::wstring getOr(const std::wstring& name, const std::wstring& fallback) const;
    bool has(const std::wstring& name) const { return values_.count(name) != 0; }
    // Every value of a parameter that may be repeated ("--account=a --account=b"), in the
    // order given; none when it is absent.
    std::vector<std::wstring> getAll(const std::wstring& name) const;

    [[noreturn]] static void reportMissingParameter(const std::wstring& name, const Names& required,
                                                    const Names& optional);

    // "Possible parameters:\n" and the names, required ones plain and optional ones in
    // brackets, each indented by four blanks, joined by "\n".
    static std::wstring possibleParameters(const Names& required, const Names& optional);

private:
    Map values_;
    std::map<std::wstring, std::vector<std::wstring>> repeated_;
};
