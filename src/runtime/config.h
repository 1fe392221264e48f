// The tool's configuration: it has no file of its own, only the hosting panel's parameters and
// a few switches of its own, all values of one registry key of the panel.
#pragma once

#include <string>

// The panel's configuration key under HKEY_LOCAL_MACHINE. Every read of it uses the 32-bit
// view (registry view argument 1), also on 64-bit Windows, where the panel keeps it.
inline constexpr const wchar_t* configKey = L"SOFTWARE\\Tarno\\Zel Config\\Config";
inline constexpr int configKeyView = 1;

// The general "Debug" switch (on when the DWORD is non-zero). Cached process-wide: read on the
// first query and then on every sixteenth; a missing or unreadable value keeps the cached
// value, which starts off. Never throws.
bool isDebugOn();

// Detailed logging of the security engine: "DebugSecuritySettings" non-zero and the Debug
// switch on. "DebugSecuritySettings" has its own cache of the same kind; Debug is asked only
// when it is non-zero. Never throws.
bool isSecurityDebugOn();

// A panel parameter ("PRODUCT_ROOT_D", "HTTPD_VHOSTS_D"), normalised and without trailing
// separators. The two folders are checked as requirePanelFolder says, and neither may lie
// inside the other (nor be the same): a value that fails raises a vexception naming the
// parameter and the value. "PRODUCT_ROOT_D" is asked once per process and then kept; any other name is
// asked at every call. A failed question raises a vexception whose chain carries
// "getString(<name>)" (TarnoSrvClient::getString).
std::wstring panelParameter(const std::wstring& name);

// Refuses, with a vexception naming `name` and `value`, a panel folder (normalised) that is
// not an absolute path (a drive or UNC path), is the root of a drive or share, or reaches an
// existing folder through a link or another reparse point: a run would otherwise read its
// templates from, or write below, whatever directory the value happens to lead to.
void requirePanelFolder(const std::wstring& name, const std::wstring& value);

// Forgets both cached switches and their counters, as in a new process. For tests.
void resetDebugSwitchesForTesting();
