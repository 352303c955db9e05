// Device-change broadcasts: the WM_DEVICECHANGE event codes and the header record
// that every broadcast structure starts with (WM_DEVICECHANGE itself is in user.h).
#pragma once

#include "platform/win32/base.h"

#ifdef _WIN32
#include <dbt.h>
#else
constexpr WPARAM DBT_DEVNODES_CHANGED = 0x0007;
constexpr WPARAM DBT_DEVICEARRIVAL = 0x8000;
constexpr WPARAM DBT_DEVICEREMOVECOMPLETE = 0x8004;

constexpr DWORD DBT_DEVTYP_OEM = 0x00000000;
constexpr DWORD DBT_DEVTYP_VOLUME = 0x00000002;
constexpr DWORD DBT_DEVTYP_PORT = 0x00000003;
constexpr DWORD DBT_DEVTYP_DEVICEINTERFACE = 0x00000005;
constexpr DWORD DBT_DEVTYP_HANDLE = 0x00000006;

struct DEV_BROADCAST_HDR {
  DWORD dbch_size;
  DWORD dbch_devicetype;
  DWORD dbch_reserved;
};
using PDEV_BROADCAST_HDR = DEV_BROADCAST_HDR*;

// A volume's arrival or removal: bit n of the unit mask is drive letter 'A' + n.
struct DEV_BROADCAST_VOLUME {
  DWORD dbcv_size;
  DWORD dbcv_devicetype;
  DWORD dbcv_reserved;
  DWORD dbcv_unitmask;
  WORD dbcv_flags;
};
#endif

static_assert(sizeof(DEV_BROADCAST_HDR) == 12, "DEV_BROADCAST_HDR layout");
static_assert(sizeof(DEV_BROADCAST_VOLUME) == 20, "DEV_BROADCAST_VOLUME layout");
