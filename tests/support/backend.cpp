#include "support/backend.h"

#include <thread>

namespace pxtest {

std::vector<Backend> AvailableBackends() {
#ifdef _WIN32
  return {Backend::Sim, Backend::Native};
#else
  return {Backend::Sim};
#endif
}

std::string BackendName(const ::testing::TestParamInfo<Backend>& info) {
  return info.param == Backend::Sim ? "Sim" : "Native";
}

void BackendTest::SetUp() {
  if (Simulated()) machine_ = std::make_unique<sim::SimMachine>();
}

void BackendTest::TearDown() { machine_.reset(); }

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace pxtest
