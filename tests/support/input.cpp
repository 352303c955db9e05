#include "support/input.h"

#include "support/backend.h"

namespace pxtest {

bool PumpUntil(const std::function<void()>& pump, const std::function<bool()>& condition) {
  return WaitUntil([&] {
    pump();
    return condition();
  });
}

userinput::WaitFor Pumping(const std::function<void()>& pump) {
  return [pump](const std::function<bool()>& condition) { return PumpUntil(pump, condition); };
}

}  // namespace pxtest
