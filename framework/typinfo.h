// Published properties and the class registry: what the form reader needs to create
// components by class name and to set their properties by name.
//
// Each published class describes itself once (a static ClassInfo()): its name, its
// base class's description, how to create it, and its property table, which extends
// the base's. Forms publish their fields (the components they hold) and methods
// (event handlers a description names).
#pragma once

#include <any>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <typeindex>
#include <vector>

#include "framework/classes.h"
#include "framework/events.h"

// Raised by the form reader; the message names what was wrong and the line.
class EReadError : public Exception {
 public:
  using Exception::Exception;
};

// Names of an enumeration's values in declaration order, for the reader:
//   template <> struct TEnumNames<TAnchorKind> {
//     static constexpr const char* names[] = {"akLeft", ...};
//   };
template <class E>
struct TEnumNames;

// A set of enumeration values (up to 32).
template <class E>
class TSet {
 public:
  TSet() = default;
  TSet(std::initializer_list<E> values) {
    for (E value : values) Include(value);
  }
  static TSet FromBits(unsigned bits) {
    TSet set;
    set.bits_ = bits;
    return set;
  }
  bool Contains(E value) const { return (bits_ & Bit(value)) != 0; }
  TSet& Include(E value) {
    bits_ |= Bit(value);
    return *this;
  }
  TSet& Exclude(E value) {
    bits_ &= ~Bit(value);
    return *this;
  }
  unsigned Bits() const { return bits_; }
  friend bool operator==(TSet a, TSet b) { return a.bits_ == b.bits_; }
  friend bool operator!=(TSet a, TSet b) { return a.bits_ != b.bits_; }

 private:
  static unsigned Bit(E value) { return 1u << static_cast<unsigned>(value); }
  unsigned bits_ = 0;
};

template <class T>
struct IsSet : std::false_type {};
template <class E>
struct IsSet<TSet<E>> : std::true_type {};

template <class T>
struct IsEvent : std::false_type {};
template <class... A>
struct IsEvent<TEvent<A...>> : std::true_type {};

// A property value as a description writes it.
struct TValue {
  enum Kind { vaInteger, vaString, vaIdent, vaSet, vaList };
  Kind Type = vaInteger;
  long long Integer = 0;
  std::string Text;                // a string or an identifier
  std::vector<std::string> Items;  // the members of a set, the strings of a list
};

using TStringArray = std::vector<std::string>;

// What a property's setter may ask of the reader: references to other components
// are resolved once all are created; event handlers are methods of the form.
class TReaderContext {
 public:
  virtual ~TReaderContext() = default;
  virtual void DeferReference(const std::string& name, std::function<void(TComponent*)> set) = 0;
  virtual std::any Method(const std::string& name) = 0;
};

struct TPropInfo {
  std::string Name;
  std::function<void(TComponent&, const TValue&, TReaderContext&)> Set;
  std::function<TValue(const TComponent&)> Get;  // empty for events
};

namespace typinfo_detail {

[[noreturn]] void InvalidValue();
long long EnumIndex(const std::string& ident, const char* const* names, size_t count);

template <class E>
unsigned SetIndex(TSet<E>, const std::string& item) {
  const auto& names = TEnumNames<E>::names;
  return static_cast<unsigned>(EnumIndex(item, names, std::size(names)));
}

template <class E>
void SetNames(TSet<E> set, std::vector<std::string>* out) {
  const auto& names = TEnumNames<E>::names;
  for (size_t i = 0; i < std::size(names); ++i) {
    if (set.Contains(static_cast<E>(i))) out->push_back(names[i]);
  }
}

template <class T>
T FromValue(const TValue& v) {
  if constexpr (std::is_same_v<T, bool>) {
    if (v.Type == TValue::vaIdent && CompareText(v.Text, "True") == 0) return true;
    if (v.Type == TValue::vaIdent && CompareText(v.Text, "False") == 0) return false;
    InvalidValue();
  } else if constexpr (std::is_enum_v<T>) {
    if (v.Type != TValue::vaIdent) InvalidValue();
    const auto& names = TEnumNames<T>::names;
    return static_cast<T>(EnumIndex(v.Text, names, std::size(names)));
  } else if constexpr (std::is_integral_v<T>) {
    if (v.Type != TValue::vaInteger) InvalidValue();
    return static_cast<T>(v.Integer);
  } else if constexpr (std::is_same_v<T, std::string>) {
    if (v.Type != TValue::vaString) InvalidValue();
    return v.Text;
  } else if constexpr (std::is_same_v<T, TStringArray>) {
    if (v.Type != TValue::vaList) InvalidValue();
    return v.Items;
  } else if constexpr (IsSet<T>::value) {
    if (v.Type != TValue::vaSet) InvalidValue();
    T set;
    for (const std::string& item : v.Items) set = T::FromBits(set.Bits() | (1u << SetIndex(set, item)));
    return set;
  } else {
    static_assert(sizeof(T) == 0, "no conversion from a description value");
  }
}

template <class T>
TValue ToValue(const T& value) {
  TValue v;
  if constexpr (std::is_same_v<T, bool>) {
    v.Type = TValue::vaIdent;
    v.Text = value ? "True" : "False";
  } else if constexpr (std::is_enum_v<T>) {
    v.Type = TValue::vaIdent;
    v.Text = TEnumNames<T>::names[static_cast<size_t>(value)];
  } else if constexpr (std::is_integral_v<T>) {
    v.Integer = static_cast<long long>(value);
  } else if constexpr (std::is_same_v<T, std::string>) {
    v.Type = TValue::vaString;
    v.Text = value;
  } else if constexpr (std::is_same_v<T, TStringArray>) {
    v.Type = TValue::vaList;
    v.Items = value;
  } else if constexpr (IsSet<T>::value) {
    v.Type = TValue::vaSet;
    SetNames(value, &v.Items);
  } else if constexpr (std::is_pointer_v<T>) {
    v.Type = TValue::vaIdent;
    v.Text = value ? value->Name() : "nil";
  }
  return v;
}

template <class M>
struct MethodTraits;
template <class C, class... A>
struct MethodTraits<void (C::*)(A...)> {
  using Class = C;
  using Event = TEvent<A...>;
};

// Sets a property of type T on `target` through `assign`.
template <class T>
void Assign(const TValue& v, TReaderContext& context, std::function<void(T)> assign) {
  if constexpr (std::is_pointer_v<T>) {
    using Target = std::remove_pointer_t<T>;
    static_assert(std::is_base_of_v<TComponent, Target>, "references are to components");
    if (v.Type != TValue::vaIdent) InvalidValue();
    if (CompareText(v.Text, "nil") == 0) return assign(nullptr);
    context.DeferReference(v.Text, [assign](TComponent* found) {
      auto* typed = dynamic_cast<Target*>(found);
      if (!typed) InvalidValue();
      assign(typed);
    });
  } else if constexpr (IsEvent<T>::value) {
    if (v.Type != TValue::vaIdent) InvalidValue();
    std::any handler = context.Method(v.Text);
    const T* event = std::any_cast<T>(&handler);
    if (!event) throw EReadError(Format("Method %s has the wrong parameters", {v.Text}));
    assign(*event);
  } else {
    assign(FromValue<T>(v));
  }
}

}  // namespace typinfo_detail

class TClassInfo {
 public:
  using Factory = std::function<TComponent*(TComponent* owner)>;
  using Describe = std::function<void(TClassInfo&)>;

  TClassInfo(std::string name, std::type_index type, const TClassInfo* parent, Factory create);

  // The description of class C, whose published base is Base (TComponent at the root).
  template <class C, class Base>
  static TClassInfo Of(const char* name, const Describe& describe) {
    Factory create;
    if constexpr (!std::is_abstract_v<C> && std::is_constructible_v<C, TComponent*>) {
      create = [](TComponent* owner) -> TComponent* { return new C(owner); };
    }
    TClassInfo info(name, typeid(C), &Base::ClassInfo(), std::move(create));
    if (describe) describe(info);
    return info;
  }

  const std::string& Name() const { return name_; }
  std::type_index Type() const { return type_; }
  const TClassInfo* Parent() const { return parent_; }
  bool InheritsFrom(const TClassInfo& other) const;
  // A new component of this class (nullptr for abstract classes), owned by `owner`.
  TComponent* Create(TComponent* owner) const { return create_ ? create_(owner) : nullptr; }

  const TPropInfo* FindProperty(const std::string& name) const;  // case-insensitive
  std::vector<std::string> PropertyNames() const;  // own and inherited

  // ---- describing the class ---------------------------------------------------------
  // A property with a getter and a setter.
  template <class CG, class G, class C, class S>
  TClassInfo& Property(const char* name, G (CG::*get)() const, void (C::*set)(S)) {
    using T = std::decay_t<S>;
    AddProperty({name,
                 [set](TComponent& c, const TValue& v, TReaderContext& context) {
                   auto& target = static_cast<C&>(c);
                   typinfo_detail::Assign<T>(v, context, [&target, set](T value) { (target.*set)(value); });
                 },
                 [get](const TComponent& c) {
                   return typinfo_detail::ToValue<T>((static_cast<const C&>(c).*get)());
                 }});
    return *this;
  }
  // A property that is a data member (events are).
  template <class C, class T>
  TClassInfo& Member(const char* name, T C::*member) {
    TPropInfo info{name,
                   [member](TComponent& c, const TValue& v, TReaderContext& context) {
                     auto& target = static_cast<C&>(c);
                     typinfo_detail::Assign<T>(v, context, [&target, member](T value) { target.*member = value; });
                   },
                   {}};
    if constexpr (!IsEvent<T>::value) {
      info.Get = [member](const TComponent& c) { return typinfo_detail::ToValue<T>(static_cast<const C&>(c).*member); };
    }
    AddProperty(std::move(info));
    return *this;
  }
  // A property that needs more than a setter (a list of strings of a sub-object).
  TClassInfo& Custom(const char* name,
                     std::function<void(TComponent&, const TValue&, TReaderContext&)> set) {
    AddProperty({name, std::move(set), {}});
    return *this;
  }
  // A component the form holds in a field: set when the reader creates it, cleared
  // when it goes. Publishing the field registers the component's class.
  template <class C, class T>
  TClassInfo& Field(const char* name, T* C::*member);
  // An event handler of the form that descriptions may name.
  template <auto Method>
  TClassInfo& Handler(const char* name) {
    using Traits = typinfo_detail::MethodTraits<decltype(Method)>;
    methods_[Key(name)] = [](TComponent& root) -> std::any {
      return Traits::Event::template Of<Method>(dynamic_cast<typename Traits::Class*>(&root));
    };
    return *this;
  }

  // The form description that a form class is read from.
  TClassInfo& SetDescription(std::string text) {
    description_ = std::move(text);
    return *this;
  }
  const std::string& Description() const { return description_; }

  // ---- what the reader uses ----------------------------------------------------------
  // The handler `name` of the form `root`, as an event (empty when there is none).
  std::any Method(TComponent& root, const std::string& name) const;
  bool HasField(const std::string& name) const;
  void SetField(TComponent& root, const std::string& name, TComponent* value) const;
  // Clears every field of `root` that holds `component`.
  void ClearFieldsOf(TComponent& root, TComponent* component) const;

 private:
  static std::string Key(const std::string& name);
  void AddProperty(TPropInfo info);
  struct FieldInfo {
    std::function<void(TComponent&, TComponent*)> set;
    std::function<TComponent*(TComponent&)> get;
  };
  const FieldInfo* FindField(const std::string& name) const;

  std::string name_;
  std::type_index type_;
  const TClassInfo* parent_;
  Factory create_;
  std::map<std::string, TPropInfo> properties_;
  std::map<std::string, std::function<std::any(TComponent&)>> methods_;
  std::map<std::string, FieldInfo> fields_;
  std::string description_;
};

// The registry of classes the reader can create by name.
void RegisterClass(const TClassInfo& info);
const TClassInfo* FindClass(const std::string& name);  // case-insensitive
// The most derived registered description of a component's class, if any.
const TClassInfo* ClassInfoOf(const TComponent& component);

// The root of every published class: TComponent publishes nothing itself (its Name is
// the reader's business).
struct TComponentClass {
  static const TClassInfo& ClassInfo();
};

template <class C, class T>
TClassInfo& TClassInfo::Field(const char* name, T* C::*member) {
  RegisterClass(T::ClassInfo());
  fields_[Key(name)] = FieldInfo{
      [member](TComponent& root, TComponent* value) {
        dynamic_cast<C&>(root).*member = dynamic_cast<T*>(value);
      },
      [member](TComponent& root) -> TComponent* { return dynamic_cast<C&>(root).*member; }};
  return *this;
}
