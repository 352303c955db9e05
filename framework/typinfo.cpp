#include "framework/typinfo.h"

#include <mutex>

namespace typinfo_detail {

void InvalidValue() { throw EReadError("Invalid property value"); }

long long EnumIndex(const std::string& ident, const char* const* names, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (CompareText(ident, names[i]) == 0) return static_cast<long long>(i);
  }
  InvalidValue();
}

}  // namespace typinfo_detail

TClassInfo::TClassInfo(std::string name, std::type_index type, const TClassInfo* parent,
                       Factory create)
    : name_(std::move(name)), type_(type), parent_(parent), create_(std::move(create)) {}

std::string TClassInfo::Key(const std::string& name) { return LowerCase(name); }

bool TClassInfo::InheritsFrom(const TClassInfo& other) const {
  for (const TClassInfo* c = this; c; c = c->parent_) {
    if (c->type_ == other.type_) return true;
  }
  return false;
}

void TClassInfo::AddProperty(TPropInfo info) {
  std::string key = Key(info.Name);
  properties_[key] = std::move(info);
}

const TPropInfo* TClassInfo::FindProperty(const std::string& name) const {
  std::string key = Key(name);
  for (const TClassInfo* c = this; c; c = c->parent_) {
    auto it = c->properties_.find(key);
    if (it != c->properties_.end()) return &it->second;
  }
  return nullptr;
}

std::vector<std::string> TClassInfo::PropertyNames() const {
  std::map<std::string, std::string> names;
  for (const TClassInfo* c = this; c; c = c->parent_) {
    for (auto& [key, info] : c->properties_) names.emplace(key, info.Name);
  }
  std::vector<std::string> result;
  for (auto& [key, name] : names) result.push_back(name);
  return result;
}

std::any TClassInfo::Method(TComponent& root, const std::string& name) const {
  std::string key = Key(name);
  for (const TClassInfo* c = this; c; c = c->parent_) {
    auto it = c->methods_.find(key);
    if (it != c->methods_.end()) return it->second(root);
  }
  return {};
}

const TClassInfo::FieldInfo* TClassInfo::FindField(const std::string& name) const {
  std::string key = Key(name);
  for (const TClassInfo* c = this; c; c = c->parent_) {
    auto it = c->fields_.find(key);
    if (it != c->fields_.end()) return &it->second;
  }
  return nullptr;
}

bool TClassInfo::HasField(const std::string& name) const { return FindField(name) != nullptr; }

void TClassInfo::SetField(TComponent& root, const std::string& name, TComponent* value) const {
  if (const FieldInfo* field = FindField(name)) field->set(root, value);
}

void TClassInfo::ClearFieldsOf(TComponent& root, TComponent* component) const {
  for (const TClassInfo* c = this; c; c = c->parent_) {
    for (auto& [key, field] : c->fields_) {
      if (field.get(root) == component) field.set(root, nullptr);
    }
  }
}

namespace {

struct Registry {
  std::mutex lock;
  std::map<std::string, const TClassInfo*> byName;
  std::map<std::type_index, const TClassInfo*> byType;
};

Registry& registry() {
  static Registry r;
  return r;
}

}  // namespace

void RegisterClass(const TClassInfo& info) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.byName[LowerCase(info.Name())] = &info;
  r.byType[info.Type()] = &info;
}

const TClassInfo* FindClass(const std::string& name) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  auto it = r.byName.find(LowerCase(name));
  return it == r.byName.end() ? nullptr : it->second;
}

const TClassInfo* ClassInfoOf(const TComponent& component) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  auto it = r.byType.find(typeid(component));
  return it == r.byType.end() ? nullptr : it->second;
}

const TClassInfo& TComponentClass::ClassInfo() {
  static const TClassInfo info("TComponent", typeid(TComponent), nullptr, {});
  return info;
}
