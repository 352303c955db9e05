// The registry of the simulated machine: one tree of keys below \REGISTRY, typed
// values, the predefined roots, and key handles in the kernel's handle table (so
// ntdll's ZwQueryKey and CloseHandle see them as Windows does).
//
// Key and value names compare without regard to case and keep the case they were
// created with; HKEY_CURRENT_USER is \REGISTRY\USER\<the user's SID>, and
// SYSTEM\CurrentControlSet is a link to SYSTEM\ControlSet001, so a key opened through
// it is named ...\ControlSet001\... by ZwQueryKey, as on Windows.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/sim/kernel.h"
#include "platform/win32.h"

namespace sim {

struct RegValue {
  std::string name;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

struct RegKey {
  std::string name;
  RegKey* parent = nullptr;  // null for \REGISTRY
  std::shared_ptr<RegKey> link;  // a symbolic link stands for this key
  bool deleted = false;
  std::map<std::string, std::shared_ptr<RegKey>> subkeys;  // by lower-case name
  std::map<std::string, RegValue> values;                  // by lower-case name
};

class Registry {
 public:
  static constexpr const char* kUserSid = "S-1-5-21-3623811015-3361044348-30300820-1013";

  explicit Registry(Kernel& kernel);
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // Builder for machine descriptions and tests; paths are relative to a predefined
  // root (HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_USERS, HKEY_CLASSES_ROOT).
  void createKey(HKEY root, const std::string& path);
  void deleteTree(HKEY root, const std::string& path);
  void setValue(HKEY root, const std::string& path, const std::string& name, DWORD type,
                std::vector<BYTE> data);
  // REG_SZ with its terminating zero, as RegSetValueExA stores a C string.
  void setString(HKEY root, const std::string& path, const std::string& name,
                 const std::string& text);

  // The advapi32 and ntdll entry points, with Windows' codes.
  LONG open(HKEY root, const char* subKey, REGSAM access, HKEY* result);
  LONG create(HKEY root, const char* subKey, REGSAM access, HKEY* result, DWORD* disposition);
  LONG queryValue(HKEY key, const char* name, DWORD* type, BYTE* data, DWORD* size);
  LONG setValue(HKEY key, const char* name, DWORD type, const BYTE* data, DWORD size);
  LONG deleteKey(HKEY root, const char* subKey);
  LONG close(HKEY key);
  NTSTATUS queryKey(HANDLE key, ULONG infoClass, void* buffer, ULONG length, ULONG* resultLength);

  // Key handles still open (for leak checks).
  size_t openKeys() const;

 private:
  struct Opened {
    std::shared_ptr<RegKey> key;
    REGSAM access = 0;
  };
  LONG resolve(HKEY handle, Opened* out) const;
  std::shared_ptr<RegKey> predefined(HKEY root) const;
  LONG walk(const std::shared_ptr<RegKey>& from, const std::string& path, bool create,
            std::shared_ptr<RegKey>* found, bool* created);
  HKEY addHandle(std::shared_ptr<RegKey> key, REGSAM access);
  std::string nativeNameOf(const RegKey& key) const;

  Kernel& kernel_;
  mutable std::recursive_mutex lock_;
  std::shared_ptr<RegKey> root_;
  // Shared with the open handles, which may outlive the registry in the handle table.
  std::shared_ptr<std::atomic<size_t>> openKeys_ = std::make_shared<std::atomic<size_t>>(0);
};

// Fills the advapi32 group and adds ntdll.dll (ZwQueryKey) to the machine's modules.
void installAdvapi32(win::Advapi32& table);
void addNtdllModule(Kernel& kernel);

}  // namespace sim
