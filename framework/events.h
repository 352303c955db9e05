// Events are method pointers: an object and a member function. Two events are equal
// when both their code and their object are equal; an event is assigned when its
// code is set.
#pragma once

class TObject;

template <class... Args>
class TEvent {
 public:
  using Code = void (*)(void* object, Args... args);

  TEvent() = default;
  TEvent(void* object, Code code) : object_(object), code_(code) {}

  // TEvent<...>::Of<&TForm1::Button1Click>(form)
  template <auto Method, class C>
  static TEvent Of(C* object) {
    return TEvent(object, &Thunk<C, Method>);
  }

  bool Assigned() const { return code_ != nullptr; }
  explicit operator bool() const { return Assigned(); }
  void operator()(Args... args) const { code_(object_, static_cast<Args>(args)...); }

  void* Object() const { return object_; }
  Code CodeAddress() const { return code_; }

  friend bool operator==(const TEvent& a, const TEvent& b) {
    return a.code_ == b.code_ && a.object_ == b.object_;
  }
  friend bool operator!=(const TEvent& a, const TEvent& b) { return !(a == b); }

 private:
  template <class C, auto Method>
  static void Thunk(void* object, Args... args) {
    (static_cast<C*>(object)->*Method)(static_cast<Args>(args)...);
  }

  void* object_ = nullptr;
  Code code_ = nullptr;
};

using TNotifyEvent = TEvent<TObject*>;
using TThreadMethod = TEvent<>;
