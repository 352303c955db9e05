// The component core of the library.
#pragma once

#include <cstdint>
#include <string>

#include "framework/classes.h"
#include "platform/win32.h"

class TpxBaseIO;

// The record that stands for a device everywhere: a device-information entry of the
// setup enumeration, a node of the USB tree, an entry of an I/O component's device
// list. Whoever creates a record fills it; every field starts empty or zero.
class TpxDevice : public TPersistent {
 public:
  std::int32_t Index = 0;       // position in the listing component's device list
  TpxBaseIO* Owner = nullptr;   // the component that lists the record
  std::int32_t OrderKey = 0;    // sort key of a sorted device list
  std::string Name;             // text the record is listed under
  std::string PhysicalName;     // physical device object name
  std::string DevicePath;
  std::string KeyName;          // hardware key below HKEY_LOCAL_MACHINE, or driver key / hub name
  std::string Description;
  std::string Service;          // driver service
  std::string DriverKey;
  std::string InstanceId;
  std::string Relations;        // related device IDs
  std::string PortName;
  std::string Manufacturer;
  std::string SerialNumber;
  std::uint32_t DevInst = 0;    // configuration-manager device instance
  GUID ClassGuid{};             // setup class
};
