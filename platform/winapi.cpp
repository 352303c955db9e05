#include "platform/winapi.h"

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
}

unsigned backendGeneration() { return g_generation.load(); }
void backendChanged() { ++g_generation; }

void missingEntry(const char* group, const char* name) {
  std::fprintf(stderr, "pxusb: %s.%s called with no Windows backend installed\n", group, name);
  std::abort();
}

}  // namespace win
