// Real input for tests: the framework's user at the keyboard and mouse, with the test
// thread handling its messages while it waits.
#pragma once

#include <functional>

#include "framework/userinput.h"

namespace pxtest {

// Handles the messages with `pump` until `condition` holds; false after a generous
// deadline.
bool PumpUntil(const std::function<void()>& pump, const std::function<bool()>& condition);
// The same as userinput's wait.
userinput::WaitFor Pumping(const std::function<void()>& pump);

}  // namespace pxtest
