// Controls over user32 windows: the control base classes with bounds, anchors and a
// replaceable window procedure, and the edit, memo, combo box, check box and label.
//
// A window's messages reach MainWndProc, then WindowProc (a method any component may
// replace and later put back), then WndProc, then the message handlers registered
// for the message, and otherwise the default handling: the window class's own
// procedure.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "framework/classes.h"
#include "framework/messages.h"
#include "framework/typinfo.h"

// The framework's own messages: requests to a control (CM_) and notifications a
// parent hands back to the child control they are about (CN_).
constexpr UINT CM_BASE = 0xB000;
constexpr UINT CM_INVOKE = CM_BASE + 1;   // LParam: std::function<void()>* run on the window's thread
constexpr UINT CM_RELEASE = CM_BASE + 2;  // a form frees itself
constexpr UINT CN_BASE = 0xBC00;
constexpr UINT CN_COMMAND = CN_BASE + WM_COMMAND;

class EInvalidOperation : public Exception {
 public:
  using Exception::Exception;
};

enum TAnchorKind { akLeft, akTop, akRight, akBottom };
template <>
struct TEnumNames<TAnchorKind> {
  static constexpr const char* names[] = {"akLeft", "akTop", "akRight", "akBottom"};
};
using TAnchors = TSet<TAnchorKind>;

// Colours: an RGB value, or a system colour with the high byte set.
using TColor = int;
constexpr TColor clBlack = 0x000000;
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clBtnFace = static_cast<TColor>(0xFF000000u | COLOR_BTNFACE);
constexpr TColor clWindow = static_cast<TColor>(0xFF000005u);
constexpr TColor clWindowText = static_cast<TColor>(0xFF000008u);

// The font a control asks for (the windows keep the system's font).
struct TFont {
  std::string Name = "MS Sans Serif";
  int Size = 8;  // points
  TColor Color = clWindowText;
};

struct TSizeConstraints {
  int MinWidth = 0;
  int MinHeight = 0;
  int MaxWidth = 0;  // 0: no limit
  int MaxHeight = 0;
};

class TWinControl;

class TControl : public TComponent {
 public:
  explicit TControl(TComponent* owner);
  ~TControl() override;
  static const TClassInfo& ClassInfo();

  TWinControl* Parent() const { return parent_; }
  virtual void SetParent(TWinControl* parent);

  int Left() const { return left_; }
  int Top() const { return top_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  void SetLeft(int value) { SetBounds(value, top_, width_, height_); }
  void SetTop(int value) { SetBounds(left_, value, width_, height_); }
  void SetWidth(int value) { SetBounds(left_, top_, value, height_); }
  void SetHeight(int value) { SetBounds(left_, top_, width_, value); }
  virtual void SetBounds(int left, int top, int width, int height);
  virtual int ClientWidth() const { return width_; }
  virtual int ClientHeight() const { return height_; }

  // Which edges keep their distance to the parent's edges when the parent resizes.
  TAnchors Anchors() const { return anchors_; }
  void SetAnchors(TAnchors anchors);

  bool Visible() const { return visible_; }
  virtual void SetVisible(bool visible);
  bool Enabled() const { return enabled_; }
  virtual void SetEnabled(bool enabled);

  // Caption and Text are the same: the window's text.
  std::string Caption() const { return GetText(); }
  void SetCaption(const std::string& text) { SetText(text); }
  virtual std::string GetText() const { return text_; }
  virtual void SetText(const std::string& text) { text_ = text; }

  TFont& Font() { return font_; }
  TColor Color() const { return color_; }
  void SetColor(TColor color) { color_ = color; }

  // Sends a message straight to WindowProc; errors reach the caller.
  LRESULT Perform(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);
  // The window procedure method. A component may put its own in front and keep the
  // one it replaced, to hand messages on and to put it back.
  TWndMethod WindowProc;
  // A handler that takes `msg` instead of the default handling (nothing to unset it).
  void SetMessageHandler(UINT msg, TWndMethod handler);
  void RemoveMessageHandler(UINT msg);

  virtual void Click();
  TNotifyEvent OnClick;

 protected:
  virtual void WndProc(TMessage& message);
  // What the control does with a message nobody else took.
  virtual void DefaultHandler(TMessage& message) {}
  void BeforeDestruction() override;
  // The parent's client area is now this size: follow the anchors.
  void ParentResized(int parentWidth, int parentHeight);
  friend class TWinControl;

  std::string text_;

 private:
  void WndProcEntry(TMessage& message) { WndProc(message); }

  // The bounds the program gave and its parent's client size then: what the anchors
  // keep.
  struct Placement {
    int left, top, width, height, parentWidth, parentHeight;
  };
  void RememberPlacement();

  TWinControl* parent_ = nullptr;
  Placement placement_{};
  bool anchoring_ = false;
  int left_ = 0;
  int top_ = 0;
  int width_ = 0;
  int height_ = 0;
  TAnchors anchors_{akLeft, akTop};
  bool visible_ = true;
  bool enabled_ = true;
  TFont font_;
  TColor color_ = clWindow;
  std::map<UINT, TWndMethod> handlers_;
};

// What CreateWnd passes to CreateWindowExA.
struct TCreateParams {
  // A user32 class, subclassed once created; empty for the framework's own class.
  std::string ClassName;
  DWORD Style = 0;
  DWORD ExStyle = 0;
};

class TWinControl : public TControl {
 public:
  explicit TWinControl(TComponent* owner);
  ~TWinControl() override;
  static const TClassInfo& ClassInfo();

  // The window, created on first use (with the parents' windows).
  HWND Handle();
  bool HandleAllocated() const { return handle_ != nullptr; }

  int ControlCount() const { return static_cast<int>(controls_.size()); }
  TControl* Controls(int index) const;

  int TabOrder() const { return tabOrder_; }
  void SetTabOrder(int order) { tabOrder_ = order; }

  void SetBounds(int left, int top, int width, int height) override;
  int ClientWidth() const override;
  int ClientHeight() const override;
  void SetVisible(bool visible) override;
  void SetEnabled(bool enabled) override;
  std::string GetText() const override;
  void SetText(const std::string& text) override;

  // The control whose window `window` is, or none (no window of ours).
  static TWinControl* FindControl(HWND window);

  // Runs `action` on the thread that owns the window and returns when it has run:
  // at once on that thread, otherwise through a sent message. Safe from any thread
  // once the window exists.
  void Invoke(const std::function<void()>& action);

 protected:
  virtual void CreateParams(TCreateParams& params);
  // The window is there: give it what was set before it existed.
  virtual void InitializeWindow() {}
  void WndProc(TMessage& message) override;
  void DefaultHandler(TMessage& message) override;
  void BeforeDestruction() override;
  void DestroyHandle();
  // Frame widths a window of this control adds around its client area before it
  // has a window to ask.
  virtual int NonClientWidth() const { return 0; }
  // The height the window is made and moved with.
  virtual int WindowHeight() const { return Height(); }
  virtual int NonClientHeight() const { return 0; }
  HWND ParentWindow();
  // A control of ours took the focus (a form remembers it for when it is active again).
  virtual void ChildFocused(TWinControl* child) {}

 private:
  friend class TControl;
  static LRESULT CALLBACK ControlWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  void MainWndProc(TMessage& message);
  void CreateHandle();
  void InsertControl(TControl* control);
  void RemoveControl(TControl* control);
  void ClientResized();

  // Read by other threads (Invoke), written by the window's own.
  std::atomic<HWND> handle_{nullptr};
  WNDPROC defWndProc_ = nullptr;
  std::vector<TControl*> controls_;
  int tabOrder_ = -1;
  int lastClientWidth_ = 0;
  int lastClientHeight_ = 0;
};

// ---- edits -----------------------------------------------------------------------

class TCustomEdit : public TWinControl {
 public:
  explicit TCustomEdit(TComponent* owner);
  static const TClassInfo& ClassInfo();

  // The selection, as the caret position and a length.
  int SelStart();
  int SelLength();
  void SetSelStart(int start);
  void SetSelLength(int length);
  // Replaces the selection (inserts at the caret when there is none).
  void SetSelText(const std::string& text);

 protected:
  void CreateParams(TCreateParams& params) override;
  void InitializeWindow() override;
};

class TEdit : public TCustomEdit {
 public:
  using TCustomEdit::TCustomEdit;
  static const TClassInfo& ClassInfo();
};

class TMemo : public TCustomEdit {
 public:
  explicit TMemo(TComponent* owner);
  ~TMemo() override;
  static const TClassInfo& ClassInfo();

  // The lines of the text. Every change is one message to the window, so it may be
  // made from any thread once the window exists.
  TStrings& Lines() { return *lines_; }

 protected:
  void CreateParams(TCreateParams& params) override;

 private:
  std::unique_ptr<TStrings> lines_;
};

// ---- combo boxes -----------------------------------------------------------------

enum TComboBoxStyle { csDropDown, csSimple, csDropDownList };
template <>
struct TEnumNames<TComboBoxStyle> {
  static constexpr const char* names[] = {"csDropDown", "csSimple", "csDropDownList"};
};

class TCustomComboBox : public TWinControl {
 public:
  explicit TCustomComboBox(TComponent* owner);
  ~TCustomComboBox() override;
  static const TClassInfo& ClassInfo();

  // The entries, with an object each; they live in the window.
  TStrings& Items() { return *items_; }
  int ItemIndex();
  void SetItemIndex(int index);  // as the program sets it: no Change
  TComboBoxStyle Style() const { return style_; }
  // The style is the window's: it is set before the window exists.
  void SetStyle(TComboBoxStyle style);
  bool Sorted() const { return sorted_; }
  void SetSorted(bool sorted);
  int ItemHeight() const { return itemHeight_; }
  void SetItemHeight(int height);
  int DropDownCount() const { return dropDownCount_; }
  void SetDropDownCount(int count) { dropDownCount_ = count; }

  TNotifyEvent OnChange;

 protected:
  // The user picked an entry.
  virtual void Change();
  void CreateParams(TCreateParams& params) override;
  void InitializeWindow() override;
  void WndProc(TMessage& message) override;
  // A drop-down combo box's window is its selection field; the height it is given is
  // that of the dropped list as well.
  int WindowHeight() const override;

 private:
  friend class TComboItems;
  std::unique_ptr<TStrings> items_;
  TComboBoxStyle style_ = csDropDown;
  bool sorted_ = false;
  int itemHeight_ = 13;
  int dropDownCount_ = 8;
  int told_ = -1;  // the selection Change last told of, or the one of the drop
};

class TComboBox : public TCustomComboBox {
 public:
  using TCustomComboBox::TCustomComboBox;
  static const TClassInfo& ClassInfo();
};

// ---- buttons and labels ----------------------------------------------------------

class TCheckBox : public TWinControl {
 public:
  explicit TCheckBox(TComponent* owner);
  static const TClassInfo& ClassInfo();

  bool Checked() const { return checked_; }
  // A new value ticks the box and runs Click, as the user's click does.
  void SetChecked(bool checked);

 protected:
  void CreateParams(TCreateParams& params) override;
  void InitializeWindow() override;
  void WndProc(TMessage& message) override;

 private:
  bool checked_ = false;
};

class TLabel : public TWinControl {
 public:
  explicit TLabel(TComponent* owner);
  static const TClassInfo& ClassInfo();

 protected:
  void CreateParams(TCreateParams& params) override;
};

// Reports the error being handled in a catch block (the application shows it): the
// end of an error raised while a window message was handled.
void ApplicationHandleException(TObject* sender);

// ---- hidden windows --------------------------------------------------------------

// A hidden top-level window whose messages go to `method` (timers, wake-ups).
HWND AllocateHWnd(const TWndMethod& method);
void DeallocateHWnd(HWND window);
