#include "lib/pxsysutils.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "lib/pxwin32.h"

namespace {

// Native key names are UNICODE_STRINGs: at most 65534 bytes of name.
constexpr ULONG kMaxKeyNameInfo = offsetof(KEY_NAME_INFORMATION, Name) + 0xFFFE;
// Far above any value the library reads (device names, mount records); a larger
// size is a broken reply, not data.
constexpr DWORD kMaxValueSize = 1u << 20;

std::string ToAnsi(const WCHAR* text, int length) {
  if (length <= 0) return {};
  int size = win::WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string ansi(static_cast<size_t>(size), '\0');
  win::WideCharToMultiByte(CP_ACP, 0, text, length, &ansi[0], size, nullptr, nullptr);
  return ansi;
}

// The key's full native name (\REGISTRY\MACHINE\...), or empty.
std::string NativeKeyName(HKEY Key) {
  TpxLibrary ntdll("ntdll.dll");
  if (!ntdll.Get()) return {};
  auto query = win::procAddress<PFN_ZwQueryKey>(ntdll.Get(), "ZwQueryKey");
  if (!query) return {};
  const ULONG header = offsetof(KEY_NAME_INFORMATION, Name);
  ULONG needed = 0;
  // The size query answers "buffer too small" with the length it needs.
  NTSTATUS status = query(Key, KeyNameInformation, nullptr, 0, &needed);
  if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW) return {};
  if (needed < header || needed > kMaxKeyNameInfo) return {};
  // Two zeroed bytes beyond the record end the name, which has no terminator.
  TpxLocalBuffer buffer(needed + 2);
  if (!buffer.Data()) return {};
  if (query(Key, KeyNameInformation, buffer.Data(), needed + 2, &needed) < 0) return {};
  size_t capacity = (buffer.Size() - header) / sizeof(WCHAR);
  std::u16string name(capacity, u'\0');
  std::memcpy(&name[0], buffer.Data() + header, capacity * sizeof(WCHAR));
  name.resize(std::min(name.find(u'\0'), capacity));
  return ToAnsi(reinterpret_cast<const WCHAR*>(name.data()), static_cast<int>(name.size()));
}

}  // namespace

void GetRegKeyPath(HKEY Key, HKEY* Root, std::string& Path) {
  Path.clear();
  if (Key == reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE)) return;
  Path = NativeKeyName(Key);
  if (!Root || Path.empty()) return;
  // The native roots sit right after "\REGISTRY"; the test is case-sensitive.
  constexpr size_t kRootAt = 9;
  if (Path.find("\\MACHINE\\") == kRootAt) {
    *Root = HKEY_LOCAL_MACHINE;
    Path.erase(0, 18);
  } else if (Path.find("\\USER\\") == kRootAt) {
    *Root = HKEY_CURRENT_USER;
    Path.erase(0, 15);
    // Whatever user the SID names, the path is taken as the current user's.
    size_t sidEnd = Path.find('\\');
    if (sidEnd != std::string::npos) Path.erase(0, sidEnd + 1);
  } else {
    *Root = nullptr;
  }
}

void ReadRegString(HKEY Root, const std::string& SubKey, const std::string& ValueName,
                   std::string& Value) {
  Value.clear();
  TpxRegKey key;
  if (win::RegOpenKeyExA(Root, SubKey.c_str(), 0, KEY_READ, key.Receive()) != ERROR_SUCCESS) {
    return;
  }
  DWORD type = REG_NONE;
  DWORD size = 0;
  if (win::RegQueryValueExA(key.Get(), ValueName.c_str(), nullptr, &type, nullptr, &size) !=
          ERROR_SUCCESS ||
      size > kMaxValueSize) {
    return;
  }
  std::string data(size + 1, '\0');
  DWORD got = size + 1;
  if (win::RegQueryValueExA(key.Get(), ValueName.c_str(), nullptr, &type,
                            reinterpret_cast<BYTE*>(&data[0]), &got) != ERROR_SUCCESS) {
    return;
  }
  data.resize(std::min<size_t>(got, data.size()));
  if (type == REG_SZ && !data.empty() && data.back() == '\0') data.pop_back();
  Value = std::move(data);
}

void MultiSzToString(const char* Buffer, int Length, const std::string& Separator,
                     std::string& Text) {
  Text.clear();
  if (!Buffer || Length < 2) return;
  // The last byte is the list's final zero and is never read.
  for (int i = 0; i <= Length - 2; ++i) {
    if (Buffer[i]) {
      Text += Buffer[i];
    } else if (i == Length - 2) {
      break;
    } else {
      Text += Separator;
    }
  }
}

HWND GetOwnerWindow() { return win::GetForegroundWindow(); }
