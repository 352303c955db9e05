// What pxusbctl shows of the USB tree and the device list: plain text, the details a
// developer looks up (-v), and JSON for scripts (docs: README, "pxusbctl").
#pragma once

#include <ostream>
#include <string>

#include "lib/pxusb.h"

// "NW Loopback Probe [2F1A:0101] (WinUSB)"
std::string DeviceLine(const TpxUsbDevice& device);

// The manager's tree, refreshed: hosts, hubs, ports and what is attached.
void PrintTree(std::ostream& out, bool verbose);
void PrintTreeJson(std::ostream& out);

// The component's list with each device's pipes and volumes.
void PrintList(std::ostream& out, const TpxUSB& usb, bool verbose);
void PrintListJson(std::ostream& out, const TpxUSB& usb);
