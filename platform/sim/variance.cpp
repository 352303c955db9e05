#include "platform/sim/variance.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

Variance& Variance::instance() {
  static Variance variance;
  return variance;
}

namespace {

std::uint64_t drawnSeed() {
  return static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
}

}  // namespace

Variance::Variance() {
  const char* text = std::getenv("PXUSB_UNKIND");
  if (!text || !*text) return;
  beUnkind(std::strcmp(text, "random") == 0 ? drawnSeed() : std::strtoull(text, nullptr, 0));
}

void Variance::beUnkind(std::uint64_t seed) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    generator_.seed(seed);
    unkind_ = true;
  }
  std::fprintf(stderr, "pxusb simulator: unkind, PXUSB_UNKIND=%llu replays this run\n",
               static_cast<unsigned long long>(seed));
}

void Variance::becomeUnkind() {
  if (!unkind_) beUnkind(drawnSeed());
}

std::uint64_t Variance::draw(std::uint64_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::uniform_int_distribution<std::uint64_t>(0, count - 1)(generator_);
}

}  // namespace sim
