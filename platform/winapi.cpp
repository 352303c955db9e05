#include "platform/winapi.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace win {

Api& api() {
#ifdef _WIN32
  static Api table = nativeApi();
#else
  static Api table;
#endif
  return table;
}

namespace {

std::atomic<unsigned> g_generation{0};

// Fixed slots of plain atomics: nothing here is destroyed at program end, so a
// backend that goes during static destruction still finds its releases.
std::array<std::atomic<BackendRelease>, 8> g_releases{};

}  // namespace

unsigned backendGeneration() { return g_generation.load(); }

void addBackendRelease(BackendRelease release) {
  for (auto& slot : g_releases) {
    if (slot.load() == release) return;
  }
  for (auto& slot : g_releases) {
    BackendRelease empty = nullptr;
    if (slot.compare_exchange_strong(empty, release)) return;
  }
  std::fprintf(stderr, "pxusb: too many backend releases registered\n");
  std::abort();
}

void removeBackendRelease(BackendRelease release) {
  for (auto& slot : g_releases) {
    BackendRelease expected = release;
    slot.compare_exchange_strong(expected, nullptr);
  }
}

void changingBackend() {
  for (auto slot = g_releases.rbegin(); slot != g_releases.rend(); ++slot) {
    if (BackendRelease release = slot->load()) release();
  }
  ++g_generation;
}

void missingEntry(const char* group, const char* name) {
  std::fprintf(stderr, "pxusb: %s.%s called with no Windows backend installed\n", group, name);
  std::abort();
}

}  // namespace win
