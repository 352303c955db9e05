// The component framework's core classes: persistent objects, components with
// owners and removal notices, pointer lists and string lists.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "framework/events.h"
#include "framework/sysutils.h"

class TPersistent : public TObject {};

enum TOperation { opInsert, opRemove };

// Component state flags (a set: combine with |).
enum TComponentStateFlag : unsigned {
  csLoading = 1u << 0,
  csReading = 1u << 1,
  csDestroying = 1u << 2,
  csDesigning = 1u << 3,
};
using TComponentState = unsigned;

// A component has an owner that destroys it, a name, a state, and removal notices:
// components that refer to each other ask for each other's FreeNotification and
// hear Notification(other, opRemove) when the other goes away.
//
// Components live on the heap and end through Free() (or their owner): the removal
// notices go out while the whole object, derived parts included, is still alive.
class TComponent : public TPersistent {
 public:
  explicit TComponent(TComponent* owner);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  // Destroys the component: BeforeDestruction (state, notices, owned components, the
  // owner's list), then the destructors. Free() of nullptr does nothing.
  void Free();
  struct Deleter {
    void operator()(TComponent* component) const { component->Free(); }
  };

  TComponent* Owner() const { return owner_; }
  const std::string& Name() const { return name_; }
  void SetName(const std::string& name);

  TComponentState ComponentState() const { return state_; }
  bool HasState(TComponentStateFlag flag) const { return (state_ & flag) != 0; }
  // The designer's switch; applies to the owned components too.
  void SetDesigning(bool designing);
  // Set by the form reader before the properties are read; Loaded clears it.
  void SetLoading();

  int ComponentCount() const { return static_cast<int>(components_.size()); }
  TComponent* Components(int index) const;
  TComponent* FindComponent(const std::string& name) const;  // case-insensitive

  // Both components hear of each other's removal from now on (not needed, and not
  // recorded, between two components of the same owner: the owner tells them).
  void FreeNotification(TComponent* component);
  void RemoveFreeNotification(TComponent* component);

  // Called once every property has been read from a form description.
  virtual void Loaded();

 protected:
  // Another component was inserted into or removed from this one's owner, or a
  // component this one asked FreeNotification of is going away. Overrides call the
  // base, which passes the notice on to the owned components.
  virtual void Notification(TComponent* component, TOperation operation);
  // The first step of Free, with full virtual dispatch; overrides call the base last.
  virtual void BeforeDestruction();

 private:
  void InsertComponent(TComponent* component);
  void RemoveComponent(TComponent* component);
  void Destroying();
  void RemoveFreeNotifications();
  void DestroyComponents();
  void Teardown();

  TComponent* owner_ = nullptr;
  std::string name_;
  TComponentState state_ = 0;
  bool tornDown_ = false;
  std::vector<TComponent*> components_;
  std::vector<TComponent*> freeNotifies_;
};

// A component owned by a unique_ptr ends through Free().
template <class T>
using TOwned = std::unique_ptr<T, TComponent::Deleter>;

template <class T, class... A>
TOwned<T> MakeComponent(A&&... args) {
  return TOwned<T>(new T(std::forward<A>(args)...));
}

// A list of untyped pointers; a bad position raises EListError.
class TList : public TObject {
 public:
  ~TList() override = default;
  int Add(void* item);
  void Insert(int index, void* item);
  void Delete(int index);
  int Remove(void* item);  // position it had, or -1
  int IndexOf(void* item) const;
  int Count() const { return static_cast<int>(items_.size()); }
  void* Get(int index) const;
  void Put(int index, void* item);
  void* operator[](int index) const { return Get(index); }
  virtual void Clear();

 protected:
  [[noreturn]] static void Error(int index);

 private:
  std::vector<void*> items_;
};

// Strings with an associated object each.
class TStrings : public TPersistent {
 public:
  virtual int Count() const = 0;
  virtual std::string Get(int index) const = 0;
  virtual TObject* GetObject(int index) const = 0;
  virtual void Put(int index, const std::string& text);
  virtual void PutObject(int index, TObject* object) = 0;
  virtual void Insert(int index, const std::string& text) = 0;
  virtual void InsertObject(int index, const std::string& text, TObject* object);
  virtual void Delete(int index) = 0;
  virtual void Clear() = 0;
  virtual int Add(const std::string& text);
  virtual int AddObject(const std::string& text, TObject* object);
  virtual int IndexOf(const std::string& text) const;  // case-insensitive
  int IndexOfObject(TObject* object) const;
  void AddStrings(const TStrings& strings);
  void Assign(const TStrings& strings);

  std::string Strings(int index) const { return Get(index); }
  TObject* Objects(int index) const { return GetObject(index); }

  // Every line followed by CR LF; setting it splits on CR LF, CR or LF.
  virtual std::string Text() const;
  virtual void SetText(const std::string& text);

  void BeginUpdate();
  void EndUpdate();

 protected:
  virtual void SetUpdateState(bool updating) {}

 private:
  int updateCount_ = 0;
};

enum TDuplicates { dupIgnore, dupAccept, dupError };

class TStringList : public TStrings {
 public:
  int Count() const override { return static_cast<int>(items_.size()); }
  std::string Get(int index) const override;
  TObject* GetObject(int index) const override;
  void Put(int index, const std::string& text) override;
  void PutObject(int index, TObject* object) override;
  void Insert(int index, const std::string& text) override;
  void InsertObject(int index, const std::string& text, TObject* object) override;
  void Delete(int index) override;
  void Clear() override;
  int AddObject(const std::string& text, TObject* object) override;
  int IndexOf(const std::string& text) const override;

  // A sorted list keeps case-insensitive order: Add finds the place, Insert and Put
  // are refused.
  bool Sorted() const { return sorted_; }
  void SetSorted(bool sorted);
  TDuplicates Duplicates = dupIgnore;
  // Position of the first entry not below `text`; true when it is equal.
  bool Find(const std::string& text, int* index) const;

 private:
  struct Item {
    std::string text;
    TObject* object;
  };
  void Check(int index) const;
  void Sort();
  std::vector<Item> items_;
  bool sorted_ = false;
};
