// The Tavrel application: the table of its commands, the dispatcher that reads it, and the help
// text.
#pragma once

#include <string>

#include "frontend/vconsoleapp.h"

class TavrelImpl : public vconsoleapp {
public:
    TavrelImpl();
    ~TavrelImpl() override;

    int go(int argc, const wchar_t* const* argv) override;
    void usage() override;

    // "Global\{88B0E47B-31B8-463c-9F1C-042CEB27267A}", and its per-webspace form cut to 260
    // characters.
    static std::wstring baseMutexName();
    static std::wstring webspaceMutexName(const std::wstring& webspace);
    static std::wstring filesharingMutexName();
};
