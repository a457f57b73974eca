// Small desktop services behind replaceable functions: the system beep and opening an address
// with the desktop's default handler. Tests replace both so that nothing sounds or starts.
//
// Only the main thread calls these.
#pragma once

#include <functional>
#include <string>

#include "platform/untSysUtils.h"

// The sound types MessageBeep knows; the desktop has one beep, so all sound the same.
constexpr UINT MB_BEEP_DEFAULT = 0xFFFFFFFF;
// The error an address gets when no handler could be started for it.
constexpr DWORD ERROR_NO_ASSOCIATION = 1155;

using TMessageBeepFunction = std::function<void(UINT Type)>;
// Sounds the system beep of the given type (MB_ICONSTOP, MB_OK, ...).
void MessageBeep(UINT Type);
// Replaces the beep; returns the previous function. An empty function restores the default.
TMessageBeepFunction SetMessageBeepFunction(TMessageBeepFunction Function);

// Opens Address (a URL or a file path) with the desktop's default handler. Returns
// ERROR_SUCCESS or the error code of the failure.
using TOpenAddressFunction = std::function<DWORD(const std::string &Address)>;
DWORD OpenAddress(const std::string &Address);
TOpenAddressFunction SetOpenAddressFunction(TOpenAddressFunction Function);

// The text for an error code OpenAddress returned.
std::string OpenAddressErrorMessage(DWORD Code);
