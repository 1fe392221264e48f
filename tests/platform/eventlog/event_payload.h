// The long text that concurrent event writers report, rebuilt by the test to check that
// every record arrived whole: several lines, tabs and backslashes, non-ASCII text, ~4 KiB.
#pragma once

#include <string>

namespace TestPayload {

inline std::wstring text(int index) {
    std::wstring text = L"Ошибка " + std::to_wstring(index) + L"\tC:\\Inetpub\\vhosts";
    for (int line = 0; line < 40; ++line) {
        text += L"\n   at frame " + std::to_wstring(line) + L" " +
                std::wstring(80, static_cast<wchar_t>(L'a' + (index + line) % 26));
    }
    return text;
}

}  // namespace TestPayload
