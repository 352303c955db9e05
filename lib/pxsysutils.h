// Registry, multi-string and owner-window helpers shared by discovery and topology.
// Each returns its text through the output string, cleared first; failure leaves it
// empty. None raises.
#pragma once

#include <string>

#include "platform/win32.h"

// The registry path of an open key, from ntdll's name query. With Root given, a path
// below \REGISTRY\MACHINE\ or \REGISTRY\USER\<SID>\ is made relative and its
// predefined root stored into *Root (0 for any other path).
void GetRegKeyPath(HKEY Key, HKEY* Root, std::string& Path);

// The data of one value as bytes; a REG_SZ loses its terminating zero.
void ReadRegString(HKEY Root, const std::string& SubKey, const std::string& ValueName,
                   std::string& Value);

// The strings of a zero-separated list of Length bytes, joined by Separator.
void MultiSzToString(const char* Buffer, int Length, const std::string& Separator,
                     std::string& Text);

// The owner for the library's message boxes: the foreground window.
HWND GetOwnerWindow();
