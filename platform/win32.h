// The Windows declarations the system uses. On Windows these are the SDK's own;
// elsewhere the same names with the same layouts (LLP64: DWORD and LONG are 32-bit,
// pointers and *_PTR types follow the pointer width, WCHAR is 16-bit).
//
// Each area has its own section under platform/win32/; this header is the one
// include for all of them, together with the function table (win::Name(...)).
#pragma once

#include "platform/win32/base.h"
#include "platform/win32/dbt.h"
#include "platform/win32/kernel.h"
#include "platform/win32/registry.h"
#include "platform/win32/setup.h"
#include "platform/win32/usb.h"
#include "platform/win32/user.h"

#include "platform/winapi.h"
