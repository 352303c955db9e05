// Test bodies that run against every backend of the build: the simulated machine
// everywhere, and the real Windows API as well on Windows builds (under Wine here).
// Where the simulator and Windows differ, the simulator is wrong.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/machine.h"

namespace pxtest {

enum class Backend { Sim, Native };

std::vector<Backend> AvailableBackends();
std::string BackendName(const ::testing::TestParamInfo<Backend>& info);

class BackendTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override;
  void TearDown() override;
  bool Simulated() const { return GetParam() == Backend::Sim; }
  // Only for Simulated() runs.
  sim::SimMachine& Machine() { return *machine_; }

 private:
  std::unique_ptr<sim::SimMachine> machine_;
};

// A value no call under test produces, to prove what a call changed.
constexpr unsigned kSentinel = 0xdeadbeef;

// Polls `condition` until it holds or `timeout` passes; true when it held. For
// conditions another thread makes true: never a fixed sleep.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace pxtest

#define PX_INSTANTIATE_BACKENDS(Suite)                                              \
  INSTANTIATE_TEST_SUITE_P(Backends, Suite, ::testing::ValuesIn(pxtest::AvailableBackends()), \
                           pxtest::BackendName)
