#include "frontend/params.h"

#include <algorithm>

#include "runtime/exceptions.h"

namespace {

bool listed(const Params::Names& names, const std::wstring& key) {
    return std::find(names.begin(), names.end(), key) != names.end();
}

}  // namespace

Params::Map Params::parse(int argc, const wchar_t* const* argv) {
    Map values;
    for (int i = 0; i < argc; ++i) {
        std::wstring arg(argv[i]);
        std::size_t eq = arg.find(L'=');
        if (eq == std::wstring::npos) {
            values[arg].clear();
        } else {
            values[arg.substr(0, eq)] = arg.substr(eq + 1);
        }
    }
    return values;
}

Params::Params(int argc, const wchar_t* const* argv) : values_(parse(argc, argv)) {
    for (int i = 0; i < argc; ++i) {
        std::wstring arg(argv[i]);
        std::size_t eq = arg.find(L'=');
        repeated_[arg.substr(0, eq)].push_back(eq == std::wstring::npos ? std::wstring()
                                                                        : arg.substr(eq + 1));
    }
}

std::vector<std::wstring> Params::getAll(const std::wstring& name) const {
    if (auto all = repeated_.find(name); all != repeated_.end()) {
        return all->second;
    }
    auto it = values_.find(name);
    return it == values_.end() ? std::vector<std::wstring>()
                               : std::vector<std::wstring>{it->second};
}

std::wstring Params::possibleParameters(const Names& required, const Names& optional) {
    std::wstring text;
    for (const auto& name : required) {
        text += text.empty() ? L"Possible parameters:\n" : L"\n";
        text += L"    " + name;
    }
    for (const auto& name : optional) {
        text += text.empty() ? L"Possible parameters:\n" : L"\n";
        text += L"    [" + name + L"]";
    }
    return text;
}

void Params::check(const Names& required, const Names& optional) const {
    for (const auto& name : required) {
        if (!has(name)) {
            throw vexception(L"Missing required parameter " + name + L". " +
                                 possibleParameters(required, optional),
                             CallSite{std::wstring(), "Params::check", 72});
        }
    }
    for (const auto& [key, value] : values_) {
        if (key == L"--internal-package-name" || listed(required, key) || listed(optional, key)) {
            continue;
        }
        throw vexception(
            L"Unexpected parameter " + key + L". " + possibleParameters(required, optional),
            CallSite{std::wstring(), "Params::check", 105});
    }
}

std::wstring Params::get(const std::wstring& name) const {
    auto it = values_.find(name);
    if (it == values_.end()) {
        reportMissingParameter(name, {}, {});
    }
    return it->second;
}

std::wstring Params::getOr(const std::wstring& name, const std::wstring& fallback) const {
    auto it = values_.find(name);
    return it == values_.end() ? fallback : it->second;
}

void Params::reportMissingParameter(const std::wstring& name, const Names& required,
                                    const Names& optional) {
    throw vexception(
        L"Missing required parameter " + name + L". " + possibleParameters(required, optional),
        CallSite{std::wstring(), "Params::reportMissingParameter", 39});
}
