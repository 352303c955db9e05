// Text services of the simulated machine: its ANSI code page (Windows-1252), ASCII
// case folding as the object manager and registry use it, and system error texts.
#pragma once

#include <string>

#include "platform/win32.h"

namespace sim {

constexpr UINT kAnsiCodePage = 1252;

std::string lowerAscii(std::string text);
bool equalsIgnoreCase(const std::string& a, const std::string& b);

// One Windows-1252 byte as UTF-16, and back (false: no such character in 1252).
WCHAR cp1252ToWide(unsigned char byte);
bool wideToCp1252(WCHAR wide, unsigned char* byte);

// Windows' text for a system error code, CR LF at the end, or empty when unknown.
std::string systemErrorText(DWORD code);

}  // namespace sim
