// Windows, messages and controls. Grown by the GUI layer.
#pragma once

#include "platform/win32/base.h"

#ifndef _WIN32
struct HWND__;
using HWND = HWND__*;
#endif
