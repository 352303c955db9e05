// The Windows backend: every entry of the table is the real function.
#include "platform/winapi.h"

namespace win {

Api nativeApi() {
  Api table;
#define PX_BIND(group, name) table.group.name = &::name;
#define PX_KERNEL32_BIND(ret, name, params) PX_BIND(kernel32, name)
#define PX_ADVAPI32_BIND(ret, name, params) PX_BIND(advapi32, name)
#define PX_USER32_BIND(ret, name, params) PX_BIND(user32, name)
#define PX_OLE32_BIND(ret, name, params) PX_BIND(ole32, name)
  PX_KERNEL32_ENTRIES(PX_KERNEL32_BIND)
  PX_ADVAPI32_ENTRIES(PX_ADVAPI32_BIND)
  PX_USER32_ENTRIES(PX_USER32_BIND)
  PX_OLE32_ENTRIES(PX_OLE32_BIND)
#undef PX_BIND
#undef PX_KERNEL32_BIND
#undef PX_ADVAPI32_BIND
#undef PX_USER32_BIND
#undef PX_OLE32_BIND
  return table;
}

}  // namespace win
