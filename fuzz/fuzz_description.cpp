// Machine descriptions from anywhere: any text either builds a machine or is refused
// with DescriptionError. Any other exception, crash or sanitizer report is a finding.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/sim/description.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  sim::SimMachine machine;
  sim::UsbBus bus(machine.kernel());
  try {
    sim::describeMachine(machine, bus, std::string(reinterpret_cast<const char*>(data), size));
  } catch (const sim::DescriptionError&) {
  }
  return 0;
}
