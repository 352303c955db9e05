#include "framework/classes.h"

#include <algorithm>

// ---- TComponent ------------------------------------------------------------------

TComponent::TComponent(TComponent* owner) {
  if (owner) owner->InsertComponent(this);
}

TComponent::~TComponent() {
  // Reached without Free (a plain delete): do the steps now, as far as a destructor can.
  if (!tornDown_) Teardown();
}

void TComponent::Free() {
  BeforeDestruction();
  delete this;
}

void TComponent::BeforeDestruction() {
  if (!tornDown_) Teardown();
}

void TComponent::Teardown() {
  tornDown_ = true;
  Destroying();
  RemoveFreeNotifications();
  DestroyComponents();
  if (owner_) owner_->RemoveComponent(this);
}

void TComponent::SetName(const std::string& name) {
  if (name == name_) return;
  if (owner_ && !name.empty()) {
    TComponent* other = owner_->FindComponent(name);
    if (other && other != this) {
      throw EComponentError(Format("A component named %s already exists", {name}));
    }
  }
  name_ = name;
}

void TComponent::SetDesigning(bool designing) {
  state_ = designing ? (state_ | csDesigning) : (state_ & ~csDesigning);
  for (TComponent* component : components_) component->SetDesigning(designing);
}

void TComponent::SetLoading() { state_ |= csLoading | csReading; }

void TComponent::Loaded() { state_ &= ~(csLoading | csReading); }

TComponent* TComponent::Components(int index) const {
  if (index < 0 || index >= ComponentCount()) {
    throw EListError(Format("List index out of bounds (%d)", {index}));
  }
  return components_[static_cast<size_t>(index)];
}

TComponent* TComponent::FindComponent(const std::string& name) const {
  if (name.empty()) return nullptr;
  for (TComponent* component : components_) {
    if (CompareText(component->name_, name) == 0) return component;
  }
  return nullptr;
}

void TComponent::FreeNotification(TComponent* component) {
  if (!component || component == this) return;
  if (owner_ && component->owner_ == owner_) return;
  if (std::find(freeNotifies_.begin(), freeNotifies_.end(), component) != freeNotifies_.end()) return;
  freeNotifies_.push_back(component);
  component->FreeNotification(this);
}

void TComponent::RemoveFreeNotification(TComponent* component) {
  auto it = std::find(freeNotifies_.begin(), freeNotifies_.end(), component);
  if (it == freeNotifies_.end()) return;
  freeNotifies_.erase(it);
  component->RemoveFreeNotification(this);
}

void TComponent::Notification(TComponent* component, TOperation operation) {
  if (operation == opRemove && component) RemoveFreeNotification(component);
  // Last to first: a notice may make an owned component go away.
  for (size_t i = components_.size(); i-- > 0;) {
    if (i < components_.size()) components_[i]->Notification(component, operation);
  }
}

void TComponent::InsertComponent(TComponent* component) {
  component->owner_ = this;
  components_.push_back(component);
  Notification(component, opInsert);
}

void TComponent::RemoveComponent(TComponent* component) {
  Notification(component, opRemove);
  components_.erase(std::remove(components_.begin(), components_.end(), component),
                    components_.end());
  component->owner_ = nullptr;
}

void TComponent::Destroying() {
  if (state_ & csDestroying) return;
  state_ |= csDestroying;
  for (TComponent* component : components_) component->Destroying();
}

void TComponent::RemoveFreeNotifications() {
  while (!freeNotifies_.empty()) {
    TComponent* other = freeNotifies_.back();
    freeNotifies_.pop_back();
    other->RemoveFreeNotification(this);
    other->Notification(this, opRemove);
  }
}

void TComponent::DestroyComponents() {
  // Last created, first destroyed.
  while (!components_.empty()) {
    TComponent* component = components_.back();
    RemoveComponent(component);
    component->Free();
  }
}

// ---- TList -----------------------------------------------------------------------

void TList::Error(int index) { throw EListError(Format("List index out of bounds (%d)", {index})); }

int TList::Add(void* item) {
  items_.push_back(item);
  return Count() - 1;
}

void TList::Insert(int index, void* item) {
  if (index < 0 || index > Count()) Error(index);
  items_.insert(items_.begin() + index, item);
}

void TList::Delete(int index) {
  if (index < 0 || index >= Count()) Error(index);
  items_.erase(items_.begin() + index);
}

int TList::Remove(void* item) {
  int index = IndexOf(item);
  if (index >= 0) Delete(index);
  return index;
}

int TList::IndexOf(void* item) const {
  auto it = std::find(items_.begin(), items_.end(), item);
  return it == items_.end() ? -1 : static_cast<int>(it - items_.begin());
}

void* TList::Get(int index) const {
  if (index < 0 || index >= Count()) Error(index);
  return items_[static_cast<size_t>(index)];
}

void TList::Put(int index, void* item) {
  if (index < 0 || index >= Count()) Error(index);
  items_[static_cast<size_t>(index)] = item;
}

void TList::Clear() { items_.clear(); }

// ---- TStrings --------------------------------------------------------------------

void TStrings::Put(int index, const std::string& text) {
  TObject* object = GetObject(index);
  Delete(index);
  InsertObject(index, text, object);
}

void TStrings::InsertObject(int index, const std::string& text, TObject* object) {
  Insert(index, text);
  PutObject(index, object);
}

int TStrings::Add(const std::string& text) { return AddObject(text, nullptr); }

int TStrings::AddObject(const std::string& text, TObject* object) {
  int index = Count();
  InsertObject(index, text, object);
  return index;
}

int TStrings::IndexOf(const std::string& text) const {
  for (int i = 0; i < Count(); ++i) {
    if (CompareText(Get(i), text) == 0) return i;
  }
  return -1;
}

int TStrings::IndexOfObject(TObject* object) const {
  for (int i = 0; i < Count(); ++i) {
    if (GetObject(i) == object) return i;
  }
  return -1;
}

void TStrings::AddStrings(const TStrings& strings) {
  BeginUpdate();
  for (int i = 0; i < strings.Count(); ++i) AddObject(strings.Get(i), strings.GetObject(i));
  EndUpdate();
}

void TStrings::Assign(const TStrings& strings) {
  if (&strings == this) return;
  BeginUpdate();
  Clear();
  AddStrings(strings);
  EndUpdate();
}

std::string TStrings::Text() const {
  std::string text;
  for (int i = 0; i < Count(); ++i) text += Get(i) + "\r\n";
  return text;
}

void TStrings::SetText(const std::string& text) {
  BeginUpdate();
  Clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) {
      Add(text.substr(start));
      break;
    }
    Add(text.substr(start, end - start));
    start = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
  }
  EndUpdate();
}

void TStrings::BeginUpdate() {
  if (updateCount_++ == 0) SetUpdateState(true);
}

void TStrings::EndUpdate() {
  if (--updateCount_ == 0) SetUpdateState(false);
}

// ---- TStringList -----------------------------------------------------------------

void TStringList::Check(int index) const {
  if (index < 0 || index >= Count()) {
    throw EStringListError(Format("List index out of bounds (%d)", {index}));
  }
}

std::string TStringList::Get(int index) const {
  Check(index);
  return items_[static_cast<size_t>(index)].text;
}

TObject* TStringList::GetObject(int index) const {
  Check(index);
  return items_[static_cast<size_t>(index)].object;
}

void TStringList::Put(int index, const std::string& text) {
  if (sorted_) throw EStringListError("Operation not allowed on sorted list");
  Check(index);
  items_[static_cast<size_t>(index)].text = text;
}

void TStringList::PutObject(int index, TObject* object) {
  Check(index);
  items_[static_cast<size_t>(index)].object = object;
}

void TStringList::Insert(int index, const std::string& text) { InsertObject(index, text, nullptr); }

void TStringList::InsertObject(int index, const std::string& text, TObject* object) {
  if (sorted_) throw EStringListError("Operation not allowed on sorted list");
  if (index < 0 || index > Count()) {
    throw EStringListError(Format("List index out of bounds (%d)", {index}));
  }
  items_.insert(items_.begin() + index, Item{text, object});
}

void TStringList::Delete(int index) {
  Check(index);
  items_.erase(items_.begin() + index);
}

void TStringList::Clear() { items_.clear(); }

int TStringList::AddObject(const std::string& text, TObject* object) {
  if (!sorted_) {
    items_.push_back(Item{text, object});
    return Count() - 1;
  }
  int index = 0;
  if (Find(text, &index)) {
    if (Duplicates == dupIgnore) return index;
    if (Duplicates == dupError) throw EStringListError("String list does not allow duplicates");
  }
  items_.insert(items_.begin() + index, Item{text, object});
  return index;
}

int TStringList::IndexOf(const std::string& text) const {
  if (!sorted_) return TStrings::IndexOf(text);
  int index = 0;
  return Find(text, &index) ? index : -1;
}

bool TStringList::Find(const std::string& text, int* index) const {
  auto it = std::lower_bound(items_.begin(), items_.end(), text,
                             [](const Item& item, const std::string& key) {
                               return CompareText(item.text, key) < 0;
                             });
  *index = static_cast<int>(it - items_.begin());
  return it != items_.end() && CompareText(it->text, text) == 0;
}

void TStringList::SetSorted(bool sorted) {
  if (sorted == sorted_) return;
  if (sorted) Sort();
  sorted_ = sorted;
}

void TStringList::Sort() {
  std::stable_sort(items_.begin(), items_.end(), [](const Item& a, const Item& b) {
    return CompareText(a.text, b.text) < 0;
  });
}
