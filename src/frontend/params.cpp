#include "frontend/params.h"

#include <vector>

#include "runtime/exceptions.h"

namespace {

std::vector<std::wstring> namesOf(const wchar_t* list) {
    std::vector<std::wstring> names;
    for (const wchar_t* p = list; p && *p; p += names.back().size() + 1) {
        names.emplace_back(p);
    }
    return names;
}

bool listed(const wchar_t* list, const std::wstring& key) {
    for (const auto& name : namesOf(list)) {
        if (name == key) {
            return true;
        }
    }
    return false;
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

std::wstring Params::possibleParameters(const wchar_t* required, const wchar_t* optional) {
    std::wstring text;
    for (const auto& name : namesOf(required)) {
        text += text.empty() ? L"Possible parameters:\n" : L"\n";
        text += L"    " + name;
    }
    for (const auto& name : namesOf(optional)) {
        text += text.empty() ? L"Possible parameters:\n" : L"\n";
        text += L"    [" + name + L"]";
    }
    return text;
}

void Params::check(const wchar_t* required, const wchar_t* optional) const {
    for (const auto& name : namesOf(required)) {
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
        reportMissingParameter(name, nullptr, nullptr);
    }
    return it->second;
}

std::wstring Params::getOr(const std::wstring& name, const std::wstring& fallback) const {
    auto it = values_.find(name);
    return it == values_.end() ? fallback : it->second;
}

void Params::reportMissingParameter(const std::wstring& name, const wchar_t* required,
                                    const wchar_t* optional) {
    throw vexception(
        L"Missing required parameter " + name + L". " + possibleParameters(required, optional),
        CallSite{std::wstring(), "Params::reportMissingParameter", 39});
}
