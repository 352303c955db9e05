#include "platform/sim/registry.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "platform/sim/machine.h"
#include "platform/sim/text.h"

namespace sim {

namespace {

// An open key: what the handle refers to and the access it was opened with.
class KeyObject : public KernelObject {
 public:
  KeyObject(std::shared_ptr<RegKey> key, REGSAM access, std::shared_ptr<std::atomic<size_t>> open)
      : key(std::move(key)), access(access), open_(std::move(open)) {
    ++*open_;
  }
  ~KeyObject() override { --*open_; }
  const char* typeName() const override { return "Key"; }

  std::shared_ptr<RegKey> key;
  REGSAM access;

 private:
  std::shared_ptr<std::atomic<size_t>> open_;
};

// HKEY_CLASSES_ROOT to HKEY_CURRENT_USER_LOCAL_SETTINGS, sign-extended on 64-bit.
bool isPredefined(HKEY key) {
  auto value = static_cast<LONG_PTR>(reinterpret_cast<ULONG_PTR>(key));
  return value >= static_cast<LONG>(0x80000000u) && value <= static_cast<LONG>(0x80000007u);
}

std::shared_ptr<RegKey> child(const std::shared_ptr<RegKey>& key, const std::string& name) {
  auto it = key->subkeys.find(lowerAscii(name));
  if (it == key->subkeys.end()) return nullptr;
  return it->second->link ? it->second->link : it->second;
}

std::shared_ptr<RegKey> addChild(const std::shared_ptr<RegKey>& key, const std::string& name) {
  auto made = std::make_shared<RegKey>();
  made->name = name;
  made->parent = key.get();
  key->subkeys[lowerAscii(name)] = made;
  return made;
}

std::vector<BYTE> bytesOf(const std::string& text) {
  std::vector<BYTE> data(text.begin(), text.end());
  data.push_back(0);
  return data;
}

}  // namespace

Registry::Registry(Kernel& kernel) : kernel_(kernel), root_(std::make_shared<RegKey>()) {
  root_->name = "REGISTRY";
  auto machine = addChild(root_, "MACHINE");
  auto system = addChild(machine, "SYSTEM");
  auto controlSet = addChild(system, "ControlSet001");
  addChild(system, "CurrentControlSet")->link = controlSet;
  createKey(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum");
  createKey(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Class");
  createKey(HKEY_LOCAL_MACHINE, "SYSTEM\\MountedDevices");
  createKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes");
  addChild(addChild(root_, "USER"), kUserSid);
  createKey(HKEY_CURRENT_USER, "Software");
}

std::shared_ptr<RegKey> Registry::predefined(HKEY root) const {
  auto machine = child(root_, "MACHINE");
  auto users = child(root_, "USER");
  if (root == HKEY_LOCAL_MACHINE) return machine;
  if (root == HKEY_USERS) return users;
  if (root == HKEY_CURRENT_USER) return child(users, kUserSid);
  if (root == HKEY_CLASSES_ROOT) return child(child(machine, "SOFTWARE"), "Classes");
  return nullptr;
}

LONG Registry::resolve(HKEY handle, Opened* out) const {
  if (isPredefined(handle)) {
    out->key = predefined(handle);
    out->access = KEY_ALL_ACCESS;
    return out->key ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
  }
  auto object = kernel_.objectAs<KeyObject>(handle);
  if (!object) return ERROR_INVALID_HANDLE;
  if (object->key->deleted) return ERROR_KEY_DELETED;
  out->key = object->key;
  out->access = object->access;
  return ERROR_SUCCESS;
}

LONG Registry::walk(const std::shared_ptr<RegKey>& from, const std::string& path, bool create,
                    std::shared_ptr<RegKey>* found, bool* created) {
  std::shared_ptr<RegKey> key = from;
  if (created) *created = false;
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    // "a\\b" and a leading "\" name no key; a single trailing "\" is allowed.
    if (part.empty()) return ERROR_BAD_PATHNAME;
    auto next = child(key, part);
    if (!next) {
      if (!create) return ERROR_FILE_NOT_FOUND;
      next = addChild(key, part);
      if (created) *created = true;
    }
    key = next;
    start = end + 1;
  }
  *found = key;
  return ERROR_SUCCESS;
}

HKEY Registry::addHandle(std::shared_ptr<RegKey> key, REGSAM access) {
  return static_cast<HKEY>(
      kernel_.addHandle(std::make_shared<KeyObject>(std::move(key), access, openKeys_)));
}

std::string Registry::nativeNameOf(const RegKey& key) const {
  std::string name;
  for (const RegKey* k = &key; k; k = k->parent) name = "\\" + k->name + name;
  return name;
}

// ---- builder ---------------------------------------------------------------------

void Registry::createKey(HKEY root, const std::string& path) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  std::shared_ptr<RegKey> key;
  walk(predefined(root), path, true, &key, nullptr);
}

void Registry::deleteTree(HKEY root, const std::string& path) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  std::shared_ptr<RegKey> key;
  if (walk(predefined(root), path, false, &key, nullptr) != ERROR_SUCCESS || !key->parent) return;
  std::function<void(RegKey&)> mark = [&](RegKey& k) {
    k.deleted = true;
    for (auto& sub : k.subkeys) mark(*sub.second);
  };
  mark(*key);
  key->parent->subkeys.erase(lowerAscii(key->name));
}

void Registry::setValue(HKEY root, const std::string& path, const std::string& name, DWORD type,
                        std::vector<BYTE> data) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  std::shared_ptr<RegKey> key;
  walk(predefined(root), path, true, &key, nullptr);
  key->values[lowerAscii(name)] = RegValue{name, type, std::move(data)};
}

void Registry::setString(HKEY root, const std::string& path, const std::string& name,
                         const std::string& text) {
  setValue(root, path, name, REG_SZ, bytesOf(text));
}

// ---- advapi32 --------------------------------------------------------------------

LONG Registry::open(HKEY root, const char* subKey, REGSAM access, HKEY* result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::recursive_mutex> guard(lock_);
  Opened base;
  if (LONG error = resolve(root, &base)) return error;
  std::shared_ptr<RegKey> key;
  if (LONG error = walk(base.key, subKey ? subKey : "", false, &key, nullptr)) return error;
  *result = addHandle(key, access);
  return ERROR_SUCCESS;
}

LONG Registry::create(HKEY root, const char* subKey, REGSAM access, HKEY* result,
                      DWORD* disposition) {
  if (!result || !subKey) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::recursive_mutex> guard(lock_);
  Opened base;
  if (LONG error = resolve(root, &base)) return error;
  std::shared_ptr<RegKey> key;
  bool created = false;
  if (walk(base.key, subKey, false, &key, nullptr) != ERROR_SUCCESS) {
    if (!(base.access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
    if (LONG error = walk(base.key, subKey, true, &key, &created)) return error;
  }
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = addHandle(key, access);
  return ERROR_SUCCESS;
}

LONG Registry::queryValue(HKEY handle, const char* name, DWORD* type, BYTE* data, DWORD* size) {
  if (data && !size) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::recursive_mutex> guard(lock_);
  Opened opened;
  if (LONG error = resolve(handle, &opened)) return error;
  if (!(opened.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  auto it = opened.key->values.find(lowerAscii(name ? name : ""));
  if (it == opened.key->values.end()) return ERROR_FILE_NOT_FOUND;
  const RegValue& value = it->second;
  auto needed = static_cast<DWORD>(value.data.size());
  if (type) *type = value.type;
  if (!data) {
    if (size) *size = needed;
    return ERROR_SUCCESS;
  }
  if (*size < needed) {
    *size = needed;
    return ERROR_MORE_DATA;
  }
  std::copy(value.data.begin(), value.data.end(), data);
  *size = needed;
  return ERROR_SUCCESS;
}

LONG Registry::setValue(HKEY handle, const char* name, DWORD type, const BYTE* data, DWORD size) {
  if (!data && size) return ERROR_NOACCESS;
  std::lock_guard<std::recursive_mutex> guard(lock_);
  Opened opened;
  if (LONG error = resolve(handle, &opened)) return error;
  if (!(opened.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  std::string valueName = name ? name : "";
  opened.key->values[lowerAscii(valueName)] =
      RegValue{valueName, type, std::vector<BYTE>(data, data + size)};
  return ERROR_SUCCESS;
}

LONG Registry::deleteKey(HKEY root, const char* subKey) {
  if (!subKey) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::recursive_mutex> guard(lock_);
  Opened base;
  if (LONG error = resolve(root, &base)) return error;
  std::shared_ptr<RegKey> key;
  if (LONG error = walk(base.key, subKey, false, &key, nullptr)) return error;
  // Only a key without subkeys goes, and never a root.
  if (!key->subkeys.empty() || (isPredefined(root) && !*subKey)) return ERROR_ACCESS_DENIED;
  key->deleted = true;
  key->parent->subkeys.erase(lowerAscii(key->name));
  return ERROR_SUCCESS;
}

LONG Registry::close(HKEY handle) {
  if (isPredefined(handle)) return ERROR_SUCCESS;
  if (!kernel_.objectAs<KeyObject>(handle) || !kernel_.closeHandle(handle)) {
    return ERROR_INVALID_HANDLE;
  }
  return ERROR_SUCCESS;
}

size_t Registry::openKeys() const { return *openKeys_; }

// ---- ntdll -----------------------------------------------------------------------

NTSTATUS Registry::queryKey(HANDLE handle, ULONG infoClass, void* buffer, ULONG length,
                            ULONG* resultLength) {
  // ntdll knows nothing of advapi32's predefined roots.
  auto object = kernel_.object(handle);
  if (!object) return STATUS_INVALID_HANDLE;
  auto key = std::dynamic_pointer_cast<KeyObject>(object);
  if (!key) return STATUS_OBJECT_TYPE_MISMATCH;
  if (infoClass != KeyNameInformation) return STATUS_INVALID_INFO_CLASS;  // not modelled
  if (!resultLength) return STATUS_INVALID_PARAMETER;
  std::u16string name;
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (key->key->deleted) return STATUS_KEY_DELETED;
    for (char c : nativeNameOf(*key->key)) name += cp1252ToWide(static_cast<unsigned char>(c));
  }
  const ULONG header = offsetof(KEY_NAME_INFORMATION, Name);
  const auto nameBytes = static_cast<ULONG>(name.size() * sizeof(WCHAR));
  *resultLength = header + nameBytes;
  if (length < header || !buffer) return STATUS_BUFFER_TOO_SMALL;
  auto* info = static_cast<KEY_NAME_INFORMATION*>(buffer);
  info->NameLength = nameBytes;
  // A buffer too short for the whole name gets its beginning.
  ULONG copied = std::min(nameBytes, (length - header) & ~1u);
  std::memcpy(static_cast<BYTE*>(buffer) + header, name.data(), copied);
  return copied < nameBytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

namespace {

Registry& registry() { return SimMachine::current().registry(); }

LONG WINAPI SimRegOpenKeyExA(HKEY root, LPCSTR subKey, DWORD, REGSAM access, PHKEY result) {
  return registry().open(root, subKey, access, result);
}

LONG WINAPI SimRegCreateKeyExA(HKEY root, LPCSTR subKey, DWORD, LPSTR, DWORD, REGSAM access,
                               LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition) {
  return registry().create(root, subKey, access, result, disposition);
}

LONG WINAPI SimRegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                LPDWORD size) {
  if (reserved) return ERROR_INVALID_PARAMETER;
  return registry().queryValue(key, name, type, data, size);
}

LONG WINAPI SimRegSetValueExA(HKEY key, LPCSTR name, DWORD, DWORD type, const BYTE* data,
                              DWORD size) {
  return registry().setValue(key, name, type, data, size);
}

LONG WINAPI SimRegDeleteKeyA(HKEY root, LPCSTR subKey) {
  return registry().deleteKey(root, subKey);
}

LONG WINAPI SimRegCloseKey(HKEY key) { return registry().close(key); }

NTSTATUS WINAPI SimZwQueryKey(HANDLE key, ULONG infoClass, PVOID buffer, ULONG length,
                              PULONG resultLength) {
  return registry().queryKey(key, infoClass, buffer, length, resultLength);
}

}  // namespace

void installAdvapi32(win::Advapi32& table) {
#define PX_SIM(ret, name, params) table.name = &Sim##name;
  PX_ADVAPI32_ENTRIES(PX_SIM)
#undef PX_SIM
}

void addNtdllModule(Kernel& kernel) {
  kernel.addModule("ntdll.dll", {{"ZwQueryKey", asExport(&SimZwQueryKey)}});
}

}  // namespace sim
