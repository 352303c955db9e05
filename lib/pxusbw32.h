// The configuration manager's device tree and, later, the hub I/O control routines.
#pragma once

#include <string>

// The description of the first device, depth first from the root, whose driver key is
// exactly DriverKey; empty when none is.
void FindDeviceDescription(const std::string& DriverKey, std::string& Text);
