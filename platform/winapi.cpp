#include "platform/winapi.h"

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

void missingEntry(const char* group, const char* name) {
  std::fprintf(stderr, "pxusb: %s.%s called with no Windows backend installed\n", group, name);
  std::abort();
}

}  // namespace win
