// Device installer (SetupAPI.dll) and configuration manager (cfgmgr32.dll): records,
// codes and the prototypes of the entry points the library binds at run time, and
// ntdll's ZwQueryKey, which the user-mode SDK headers leave out.
#pragma once

#include <type_traits>

#include "platform/win32/base.h"
#include "platform/win32/registry.h"
#include "platform/win32/user.h"

#ifdef _WIN32
#include <cfgmgr32.h>
#include <setupapi.h>
#else
#include <algorithm>

struct GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
};
using LPGUID = GUID*;
inline bool operator==(const GUID& a, const GUID& b) {
  return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
         std::equal(a.Data4, a.Data4 + 8, b.Data4);
}
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }

using HDEVINFO = PVOID;
using DEVINST = DWORD;
using PDEVINST = DEVINST*;
using DEVINSTID_A = CHAR*;
using CONFIGRET = DWORD;
using DI_FUNCTION = UINT;
using PCHAR = CHAR*;
enum PNP_VETO_TYPE { PNP_VetoTypeUnknown = 0 };
using PPNP_VETO_TYPE = PNP_VETO_TYPE*;

// SetupAPI's records are byte-packed in 32-bit processes, 8-byte aligned in 64-bit ones.
#if UINTPTR_MAX == 0xFFFFFFFFu
#pragma pack(push, 1)
#else
#pragma pack(push, 8)
#endif
struct SP_DEVINFO_DATA {
  DWORD cbSize;
  GUID ClassGuid;
  DWORD DevInst;
  ULONG_PTR Reserved;
};
using PSP_DEVINFO_DATA = SP_DEVINFO_DATA*;

struct SP_DEVICE_INTERFACE_DATA {
  DWORD cbSize;
  GUID InterfaceClassGuid;
  DWORD Flags;
  ULONG_PTR Reserved;
};
using PSP_DEVICE_INTERFACE_DATA = SP_DEVICE_INTERFACE_DATA*;

struct SP_DEVICE_INTERFACE_DETAIL_DATA_A {
  DWORD cbSize;
  CHAR DevicePath[1];
};
using PSP_DEVICE_INTERFACE_DETAIL_DATA_A = SP_DEVICE_INTERFACE_DETAIL_DATA_A*;

struct SP_CLASSINSTALL_HEADER {
  DWORD cbSize;
  DI_FUNCTION InstallFunction;
};
using PSP_CLASSINSTALL_HEADER = SP_CLASSINSTALL_HEADER*;
#pragma pack(pop)

// SetupDiGetClassDevs
constexpr DWORD DIGCF_DEFAULT = 0x01;
constexpr DWORD DIGCF_PRESENT = 0x02;
constexpr DWORD DIGCF_ALLCLASSES = 0x04;
constexpr DWORD DIGCF_PROFILE = 0x08;
constexpr DWORD DIGCF_DEVICEINTERFACE = 0x10;

// SetupDiOpenDevRegKey
constexpr DWORD DICS_FLAG_GLOBAL = 1;
constexpr DWORD DICS_FLAG_CONFIGSPECIFIC = 2;
constexpr DWORD DIREG_DEV = 1;
constexpr DWORD DIREG_DRV = 2;

// SP_DEVICE_INTERFACE_DATA.Flags
constexpr DWORD SPINT_ACTIVE = 1;

// Device registry properties (SetupDiGetDeviceRegistryProperty).
constexpr DWORD SPDRP_DEVICEDESC = 0x00;
constexpr DWORD SPDRP_HARDWAREID = 0x01;
constexpr DWORD SPDRP_COMPATIBLEIDS = 0x02;
constexpr DWORD SPDRP_SERVICE = 0x04;
constexpr DWORD SPDRP_CLASS = 0x07;
constexpr DWORD SPDRP_CLASSGUID = 0x08;
constexpr DWORD SPDRP_DRIVER = 0x09;
constexpr DWORD SPDRP_MFG = 0x0B;
constexpr DWORD SPDRP_FRIENDLYNAME = 0x0C;
constexpr DWORD SPDRP_LOCATION_INFORMATION = 0x0D;
constexpr DWORD SPDRP_PHYSICAL_DEVICE_OBJECT_NAME = 0x0E;
constexpr DWORD SPDRP_MAXIMUM_PROPERTY = 0x25;

// The same properties for CM_Get_DevNode_Registry_Property: one above the SPDRP code.
constexpr ULONG CM_DRP_DEVICEDESC = 0x01;
constexpr ULONG CM_DRP_HARDWAREID = 0x02;
constexpr ULONG CM_DRP_SERVICE = 0x05;
constexpr ULONG CM_DRP_CLASSGUID = 0x09;
constexpr ULONG CM_DRP_DRIVER = 0x0A;
constexpr ULONG CM_DRP_MFG = 0x0C;
constexpr ULONG CM_DRP_FRIENDLYNAME = 0x0D;
constexpr ULONG CM_DRP_PHYSICAL_DEVICE_OBJECT_NAME = 0x0F;
constexpr ULONG CM_DRP_MIN = 0x01;
constexpr ULONG CM_DRP_MAX = 0x25;

constexpr ULONG CM_LOCATE_DEVNODE_NORMAL = 0x0;
constexpr ULONG CM_LOCATE_DEVNODE_PHANTOM = 0x1;

constexpr ULONG CM_GETIDLIST_FILTER_NONE = 0x00;
constexpr ULONG CM_GETIDLIST_FILTER_ENUMERATOR = 0x01;
constexpr ULONG CM_GETIDLIST_FILTER_SERVICE = 0x02;
constexpr ULONG CM_GETIDLIST_FILTER_EJECTRELATIONS = 0x04;
constexpr ULONG CM_GETIDLIST_FILTER_REMOVALRELATIONS = 0x08;
constexpr ULONG CM_GETIDLIST_FILTER_POWERRELATIONS = 0x10;
constexpr ULONG CM_GETIDLIST_FILTER_BUSRELATIONS = 0x20;

constexpr CONFIGRET CR_SUCCESS = 0x00;
constexpr CONFIGRET CR_OUT_OF_MEMORY = 0x02;
constexpr CONFIGRET CR_INVALID_POINTER = 0x03;
constexpr CONFIGRET CR_INVALID_FLAG = 0x04;
constexpr CONFIGRET CR_INVALID_DEVNODE = 0x05;
constexpr CONFIGRET CR_NO_SUCH_DEVNODE = 0x0D;
constexpr CONFIGRET CR_FAILURE = 0x13;
constexpr CONFIGRET CR_BUFFER_SMALL = 0x1A;
constexpr CONFIGRET CR_INVALID_DEVICE_ID = 0x1E;
constexpr CONFIGRET CR_NO_SUCH_VALUE = 0x25;
constexpr CONFIGRET CR_CALL_NOT_IMPLEMENTED = 0x34;
constexpr CONFIGRET CR_INVALID_PROPERTY = 0x35;

// SetupAPI's own error codes (customer bit and facility set), and two from winerror.h.
constexpr DWORD ERROR_INVALID_DATA = 13;
constexpr DWORD ERROR_CALL_NOT_IMPLEMENTED = 120;
constexpr DWORD ERROR_KEY_DOES_NOT_EXIST = 0xE0000204u;
constexpr DWORD ERROR_INVALID_REG_PROPERTY = 0xE0000209u;
constexpr DWORD ERROR_NO_SUCH_DEVINST = 0xE000020Bu;
#endif

// ntdll: the key-name query behind GetRegKeyPath.
constexpr ULONG KeyNameInformation = 3;
struct KEY_NAME_INFORMATION {
  ULONG NameLength;  // bytes, no terminator
  WCHAR Name[1];
};
using PFN_ZwQueryKey = NTSTATUS(WINAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);

// The run-time bound entry points: return type, name, parameter types.
#define PX_SETUPAPI_ENTRIES(X)                                                              \
  X(HDEVINFO, SetupDiGetClassDevsA, (const GUID*, PCSTR, HWND, DWORD))                       \
  X(BOOL, SetupDiDestroyDeviceInfoList, (HDEVINFO))                                           \
  X(BOOL, SetupDiEnumDeviceInfo, (HDEVINFO, DWORD, PSP_DEVINFO_DATA))                         \
  X(BOOL, SetupDiGetDeviceRegistryPropertyA, (HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD, PBYTE, DWORD, PDWORD)) \
  X(HKEY, SetupDiOpenDevRegKey, (HDEVINFO, PSP_DEVINFO_DATA, DWORD, DWORD, DWORD, REGSAM))   \
  X(BOOL, SetupDiEnumDeviceInterfaces, (HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD, PSP_DEVICE_INTERFACE_DATA)) \
  X(BOOL, SetupDiGetDeviceInterfaceDetailA, (HDEVINFO, PSP_DEVICE_INTERFACE_DATA, PSP_DEVICE_INTERFACE_DETAIL_DATA_A, DWORD, PDWORD, PSP_DEVINFO_DATA)) \
  X(HDEVINFO, SetupDiCreateDeviceInfoList, (const GUID*, HWND))                               \
  X(BOOL, SetupDiCreateDeviceInfoA, (HDEVINFO, PCSTR, const GUID*, PCSTR, HWND, DWORD, PSP_DEVINFO_DATA)) \
  X(BOOL, SetupDiGetINFClassA, (PCSTR, LPGUID, PSTR, DWORD, PDWORD))                          \
  X(BOOL, SetupDiSetDeviceRegistryPropertyA, (HDEVINFO, PSP_DEVINFO_DATA, DWORD, const BYTE*, DWORD)) \
  X(BOOL, SetupDiCallClassInstaller, (DI_FUNCTION, HDEVINFO, PSP_DEVINFO_DATA))              \
  X(BOOL, SetupDiGetDeviceInstanceIdA, (HDEVINFO, PSP_DEVINFO_DATA, PSTR, DWORD, PDWORD))     \
  X(BOOL, SetupDiRemoveDevice, (HDEVINFO, PSP_DEVINFO_DATA))                                  \
  X(BOOL, SetupDiUnremoveDevice, (HDEVINFO, PSP_DEVINFO_DATA))                                \
  X(BOOL, SetupDiOpenDeviceInfoA, (HDEVINFO, PCSTR, HWND, DWORD, PSP_DEVINFO_DATA))           \
  X(BOOL, SetupDiSetClassInstallParamsA, (HDEVINFO, PSP_DEVINFO_DATA, PSP_CLASSINSTALL_HEADER, DWORD))

#define PX_CFGMGR32_ENTRIES(X)                                                              \
  X(CONFIGRET, CM_Locate_DevNodeA, (PDEVINST, DEVINSTID_A, ULONG))                            \
  X(CONFIGRET, CM_Get_DevNode_Registry_PropertyA, (DEVINST, ULONG, PULONG, PVOID, PULONG, ULONG)) \
  X(CONFIGRET, CM_Get_Parent, (PDEVINST, DEVINST, ULONG))                                     \
  X(CONFIGRET, CM_Get_Device_ID_List_SizeA, (PULONG, PCSTR, ULONG))                           \
  X(CONFIGRET, CM_Get_Device_ID_ListA, (PCSTR, PCHAR, ULONG, ULONG))                          \
  X(CONFIGRET, CM_Get_Child, (PDEVINST, DEVINST, ULONG))                                      \
  X(CONFIGRET, CM_Get_Sibling, (PDEVINST, DEVINST, ULONG))                                    \
  X(CONFIGRET, CM_Request_Device_EjectA, (DEVINST, PPNP_VETO_TYPE, LPSTR, ULONG, ULONG))

#define PX_SETUP_FN_TYPE(ret, name, params) using PFN_##name = ret(WINAPI*) params;
PX_SETUPAPI_ENTRIES(PX_SETUP_FN_TYPE)
PX_CFGMGR32_ENTRIES(PX_SETUP_FN_TYPE)
#undef PX_SETUP_FN_TYPE

#ifdef _WIN32
// Our prototypes are the SDK's.
#define PX_SETUP_SAME_TYPE(ret, name, params) \
  static_assert(std::is_same_v<PFN_##name, decltype(&::name)>, #name " prototype");
PX_SETUPAPI_ENTRIES(PX_SETUP_SAME_TYPE)
PX_CFGMGR32_ENTRIES(PX_SETUP_SAME_TYPE)
#undef PX_SETUP_SAME_TYPE
#endif

static_assert(sizeof(SP_DEVINFO_DATA) == (sizeof(void*) == 8 ? 32 : 28), "SP_DEVINFO_DATA layout");
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == (sizeof(void*) == 8 ? 32 : 28),
              "SP_DEVICE_INTERFACE_DATA layout");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == (sizeof(void*) == 8 ? 8 : 5),
              "SP_DEVICE_INTERFACE_DETAIL_DATA_A layout");
