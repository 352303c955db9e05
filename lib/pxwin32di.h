// Device discovery through the device installer (SetupAPI.dll) and the configuration
// manager (SetupAPI.dll or cfgmgr32.dll), both bound at run time: the devices of a
// setup class with their identity strings, related device IDs, and drive letters.
// Nothing here raises; a failure gives an empty result and leaves the last error.
#pragma once

#include <string>

#include "framework/classes.h"
#include "platform/win32.h"

// The process's bound entry points; null while unbound.
struct TpxSetupApi {
#define PX_SETUP_MEMBER(ret, name, params) PFN_##name name = nullptr;
  PX_SETUPAPI_ENTRIES(PX_SETUP_MEMBER)
  PX_CFGMGR32_ENTRIES(PX_SETUP_MEMBER)
#undef PX_SETUP_MEMBER
};

// Binds every entry on first use; true when every required one is there. A failed
// binding releases both libraries and is tried anew by the next call.
bool LoadSetupApi();
// Releases both libraries and forgets the entries; runs when the backend that bound
// them goes (while it is still installed) and at program end.
void UnloadSetupApi();
const TpxSetupApi& SetupApi();

// Appends a TpxDevice per device (PerDevice) or per device interface of the class
// (all classes when ClassGuid is null), listed under its driver key; List's owner
// owns the records.
void EnumDevices(const GUID* ClassGuid, bool PresentOnly, bool PerDevice, bool WithInterface,
                 TStrings& List);
// A device property as text, from a 512-byte read.
void GetDeviceRegistryString(HDEVINFO DeviceInfoSet, SP_DEVINFO_DATA DeviceInfo, DWORD Property,
                             std::string& Text);
// The IDs of the device's bus relations (or removal relations), joined by Separator.
void GetDeviceIdList(const std::string& DeviceId, const std::string& Separator,
                     bool BusRelations, std::string& Text);
// The letters of the drives of the chosen kinds, each followed by Separator, trimmed.
void GetDiVolums(bool Remote, bool CDRom, bool Fixed, bool Removable, bool RamDisk,
                 const std::string& Separator, std::string& Text);
