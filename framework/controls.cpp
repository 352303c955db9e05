#include "framework/controls.h"

#include <algorithm>
#include <exception>
#include <mutex>

#include "framework/thread.h"

namespace {

const char* const kControlClass = "pxControlWindow";
const char* const kUtilClass = "pxUtilWindow";

// Window classes belong to the machine, so they are registered whenever a window is
// made; a second registration finds the first.
void RegisterWindowClass(const char* name, WNDPROC proc) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = proc;
  wc.lpszClassName = name;
  wc.hCursor = win::LoadCursorA(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
  if (!win::RegisterClassA(&wc) && win::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    throw EInvalidOperation(Format("Cannot register window class %s", {name}));
  }
}

[[noreturn]] void WindowCreationFailed(const std::string& name) {
  throw EInvalidOperation(Format("Error creating window for %s (%u)", {name, win::GetLastError()}));
}

[[noreturn]] void ListIndexError(int index) {
  throw EListError(Format("List index out of bounds (%d)", {index}));
}

}  // namespace

// ---- TControl --------------------------------------------------------------------

TControl::TControl(TComponent* owner) : TComponent(owner) {
  WindowProc = TWndMethod::Of<&TControl::WndProcEntry>(this);
}

TControl::~TControl() {
  if (parent_) parent_->RemoveControl(this);
}

void TControl::BeforeDestruction() {
  if (parent_) parent_->RemoveControl(this);
  TComponent::BeforeDestruction();
}

void TControl::SetParent(TWinControl* parent) {
  if (parent == parent_) return;
  if (parent == this) throw EInvalidOperation("A control cannot be its own parent");
  if (parent_) parent_->RemoveControl(this);
  if (parent) parent->InsertControl(this);
  RememberPlacement();
}

void TControl::SetBounds(int left, int top, int width, int height) {
  left_ = left;
  top_ = top;
  width_ = std::max(width, 0);
  height_ = std::max(height, 0);
  if (!anchoring_) RememberPlacement();
}

void TControl::SetAnchors(TAnchors anchors) {
  anchors_ = anchors;
  RememberPlacement();
}

void TControl::RememberPlacement() {
  placement_ = {left_, top_, width_, height_, parent_ ? parent_->ClientWidth() : 0,
                parent_ ? parent_->ClientHeight() : 0};
}

// Always from the placement the program gave, never by steps: a size the parent
// went through on the way (too small for the control, say) leaves no trace.
void TControl::ParentResized(int parentWidth, int parentHeight) {
  int dx = parentWidth - placement_.parentWidth;
  int dy = parentHeight - placement_.parentHeight;
  int left = placement_.left, top = placement_.top, width = placement_.width, height = placement_.height;
  if (anchors_.Contains(akRight)) {
    (anchors_.Contains(akLeft) ? width : left) += dx;
  }
  if (anchors_.Contains(akBottom)) {
    (anchors_.Contains(akTop) ? height : top) += dy;
  }
  anchoring_ = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{anchoring_};
  SetBounds(left, top, width, height);
}

void TControl::SetVisible(bool visible) { visible_ = visible; }
void TControl::SetEnabled(bool enabled) { enabled_ = enabled; }

LRESULT TControl::Perform(UINT msg, WPARAM wParam, LPARAM lParam) {
  TMessage message{msg, wParam, lParam, 0};
  if (WindowProc) {
    WindowProc(message);
  } else {
    WndProc(message);
  }
  return message.Result;
}

void TControl::SetMessageHandler(UINT msg, TWndMethod handler) { handlers_[msg] = handler; }
void TControl::RemoveMessageHandler(UINT msg) { handlers_.erase(msg); }

void TControl::WndProc(TMessage& message) {
  auto it = handlers_.find(message.Msg);
  if (it != handlers_.end() && it->second) {
    it->second(message);
    return;
  }
  DefaultHandler(message);
}

void TControl::Click() {
  if (OnClick) OnClick(this);
}

// ---- TWinControl -----------------------------------------------------------------

TWinControl::TWinControl(TComponent* owner) : TControl(owner) {}

TWinControl::~TWinControl() {
  // Reached without Free: as in BeforeDestruction, as far as a destructor can.
  DestroyHandle();
  for (TControl* control : controls_) control->parent_ = nullptr;
}

void TWinControl::BeforeDestruction() {
  DestroyHandle();
  // Children not owned by this control stay, without a parent (their windows went
  // with this one's).
  for (TControl* control : controls_) control->parent_ = nullptr;
  controls_.clear();
  TControl::BeforeDestruction();
}

TControl* TWinControl::Controls(int index) const {
  if (index < 0 || index >= ControlCount()) ListIndexError(index);
  return controls_[static_cast<size_t>(index)];
}

void TWinControl::InsertControl(TControl* control) {
  controls_.push_back(control);
  control->parent_ = this;
  auto* win = dynamic_cast<TWinControl*>(control);
  if (win && HandleAllocated()) win->Handle();
}

void TWinControl::RemoveControl(TControl* control) {
  controls_.erase(std::remove(controls_.begin(), controls_.end(), control), controls_.end());
  control->parent_ = nullptr;
  auto* win = dynamic_cast<TWinControl*>(control);
  if (win) win->DestroyHandle();
}

HWND TWinControl::Handle() {
  if (!handle_) CreateHandle();
  return handle_;
}

HWND TWinControl::ParentWindow() {
  if (!Parent()) throw EInvalidOperation(Format("Control '%s' has no parent window", {Name()}));
  return Parent()->Handle();
}

void TWinControl::CreateParams(TCreateParams& params) {
  params.Style = WS_CHILD | WS_CLIPSIBLINGS;
}

void TWinControl::CreateHandle() {
  TCreateParams params;
  CreateParams(params);
  HWND parent = nullptr;
  if (params.Style & WS_CHILD) {
    parent = ParentWindow();
    if (handle_) return;  // the parent's window made this one's
  }
  DWORD style = params.Style | (Visible() ? WS_VISIBLE : 0) | (Enabled() ? 0 : WS_DISABLED);
  if (params.ClassName.empty()) {
    // Our own class: the window procedure is ours from the first message on.
    RegisterWindowClass(kControlClass, &ControlWndProc);
    defWndProc_ = win::api().user32.DefWindowProcA;
    HWND created = win::CreateWindowExA(params.ExStyle, kControlClass, text_.c_str(), style, Left(),
                                        Top(), Width(), WindowHeight(), parent, nullptr, nullptr, this);
    if (!created) WindowCreationFailed(Name());
    handle_ = created;
  } else {
    // A user32 class, subclassed: its own procedure becomes the default handling.
    HWND created = win::CreateWindowExA(params.ExStyle, params.ClassName.c_str(), text_.c_str(), style,
                                        Left(), Top(), Width(), WindowHeight(), parent, nullptr, nullptr,
                                        nullptr);
    if (!created) WindowCreationFailed(Name());
    win::SetWindowLongPtrA(created, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    defWndProc_ = reinterpret_cast<WNDPROC>(
        win::SetWindowLongPtrA(created, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ControlWndProc)));
    handle_ = created;
  }
  InitializeWindow();
  for (TControl* control : std::vector<TControl*>(controls_)) {
    if (auto* win = dynamic_cast<TWinControl*>(control)) win->Handle();
  }
}

void TWinControl::DestroyHandle() {
  if (!handle_) return;
  HWND window = handle_;
  // The window goes without its messages reaching this object, which may be half
  // destroyed; a subclassed window gets its class's procedure back for its own end.
  if (defWndProc_ != win::api().user32.DefWindowProcA) {
    win::SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(defWndProc_));
  }
  win::SetWindowLongPtrA(window, GWLP_USERDATA, 0);
  handle_ = nullptr;
  win::DestroyWindow(window);
}

TWinControl* TWinControl::FindControl(HWND window) {
  // Our windows run ControlWndProc and keep their control in the user data.
  if (!window || win::GetWindowLongPtrA(window, GWLP_WNDPROC) != reinterpret_cast<LONG_PTR>(&ControlWndProc)) {
    return nullptr;
  }
  return reinterpret_cast<TWinControl*>(win::GetWindowLongPtrA(window, GWLP_USERDATA));
}

LRESULT CALLBACK TWinControl::ControlWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* control = reinterpret_cast<TWinControl*>(win::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (!control && msg == WM_NCCREATE) {
    control = static_cast<TWinControl*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
    if (control) {
      win::SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(control));
      control->handle_ = hwnd;
    }
  }
  if (!control) return win::DefWindowProcA(hwnd, msg, wParam, lParam);
  TMessage message{msg, wParam, lParam, 0};
  control->MainWndProc(message);
  if (msg == WM_NCDESTROY) {
    // The window went with its parent's.
    control->handle_ = nullptr;
    win::SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
  }
  return message.Result;
}

void TWinControl::MainWndProc(TMessage& message) {
  // An error must not unwind through the system's frames: the application shows it.
  try {
    if (WindowProc) {
      WindowProc(message);
    } else {
      WndProc(message);
    }
  } catch (...) {
    ApplicationHandleException(this);
  }
}

void TWinControl::WndProc(TMessage& message) {
  switch (message.Msg) {
    case WM_SIZE: {
      // A minimized window keeps its place and its controls theirs.
      if (message.WParam == SIZE_MINIMIZED) break;
      RECT rect{};
      if (handle_ && win::GetWindowRect(handle_, &rect)) {
        TControl::SetBounds(Left(), Top(), rect.right - rect.left, rect.bottom - rect.top);
      }
      ClientResized();
      break;
    }
    case WM_COMMAND:
      // A notification from one of our controls goes back to that control. Any other
      // sender (a combo box's own dropped list, say) talks to the window's own
      // procedure, which must hear it.
      if (TWinControl* sender = FindControl(reinterpret_cast<HWND>(message.LParam))) {
        message.Result = win::SendMessageA(sender->handle_, CN_COMMAND, message.WParam, message.LParam);
        return;
      }
      break;
    case WM_SETFOCUS:
      if (TWinControl* parent = Parent()) parent->ChildFocused(this);
      break;
    case CM_INVOKE:
      (*reinterpret_cast<const std::function<void()>*>(message.LParam))();
      return;
    default:
      break;
  }
  TControl::WndProc(message);
}

void TWinControl::DefaultHandler(TMessage& message) {
  if (!handle_ || !defWndProc_) return;
  message.Result = win::CallWindowProcA(defWndProc_, handle_, message.Msg, message.WParam, message.LParam);
}

void TWinControl::SetBounds(int left, int top, int width, int height) {
  TControl::SetBounds(left, top, width, height);
  if (handle_) win::MoveWindow(handle_, Left(), Top(), Width(), WindowHeight(), TRUE);
  ClientResized();
}

void TWinControl::ClientResized() {
  int width = ClientWidth();
  int height = ClientHeight();
  if (width == lastClientWidth_ && height == lastClientHeight_) return;
  lastClientWidth_ = width;
  lastClientHeight_ = height;
  for (TControl* control : std::vector<TControl*>(controls_)) control->ParentResized(width, height);
}

int TWinControl::ClientWidth() const {
  RECT rect{};
  if (handle_ && win::GetClientRect(handle_, &rect)) return rect.right;
  return std::max(Width() - NonClientWidth(), 0);
}

int TWinControl::ClientHeight() const {
  RECT rect{};
  if (handle_ && win::GetClientRect(handle_, &rect)) return rect.bottom;
  return std::max(Height() - NonClientHeight(), 0);
}

void TWinControl::SetVisible(bool visible) {
  TControl::SetVisible(visible);
  if (handle_) win::ShowWindow(handle_, visible ? SW_SHOW : SW_HIDE);
}

void TWinControl::SetEnabled(bool enabled) {
  TControl::SetEnabled(enabled);
  if (handle_) win::EnableWindow(handle_, enabled ? TRUE : FALSE);
}

std::string TWinControl::GetText() const {
  if (!handle_) return text_;
  int length = win::GetWindowTextLengthA(handle_);
  std::string text(static_cast<size_t>(std::max(length, 0)) + 1, '\0');
  int copied = win::GetWindowTextA(handle_, text.data(), static_cast<int>(text.size()));
  text.resize(static_cast<size_t>(std::max(copied, 0)));
  return text;
}

void TWinControl::SetText(const std::string& text) {
  text_ = text;
  if (handle_) win::SetWindowTextA(handle_, text.c_str());
}

void TWinControl::Invoke(const std::function<void()>& action) {
  if (!handle_ && !IsMainThread()) {
    throw EInvalidOperation(Format("Control '%s' has no window", {Name()}));
  }
  HWND window = Handle();
  if (win::GetWindowThreadProcessId(window, nullptr) == win::GetCurrentThreadId()) {
    action();
    return;
  }
  std::exception_ptr error;
  const std::function<void()> guarded = [&] {
    try {
      action();
    } catch (...) {
      error = std::current_exception();
    }
  };
  win::SendMessageA(window, CM_INVOKE, 0, reinterpret_cast<LPARAM>(&guarded));
  if (error) std::rethrow_exception(error);
}

// ---- edits -----------------------------------------------------------------------

TCustomEdit::TCustomEdit(TComponent* owner) : TWinControl(owner) { SetBounds(0, 0, 121, 21); }

void TCustomEdit::InitializeWindow() {
  // No limit but memory: without this the window takes some 30,000 characters.
  win::SendMessageA(Handle(), EM_SETLIMITTEXT, 0, 0);
}

void TCustomEdit::CreateParams(TCreateParams& params) {
  TWinControl::CreateParams(params);
  params.ClassName = "EDIT";
  params.Style |= WS_TABSTOP | ES_AUTOHSCROLL;
  params.ExStyle |= WS_EX_CLIENTEDGE;
}

int TCustomEdit::SelStart() {
  DWORD from = 0;
  win::SendMessageA(Handle(), EM_GETSEL, reinterpret_cast<WPARAM>(&from), 0);
  return static_cast<int>(from);
}

int TCustomEdit::SelLength() {
  DWORD from = 0, to = 0;
  win::SendMessageA(Handle(), EM_GETSEL, reinterpret_cast<WPARAM>(&from), reinterpret_cast<LPARAM>(&to));
  return static_cast<int>(to - from);
}

void TCustomEdit::SetSelStart(int start) {
  win::SendMessageA(Handle(), EM_SETSEL, static_cast<WPARAM>(start), start);
}

void TCustomEdit::SetSelLength(int length) {
  int start = SelStart();
  win::SendMessageA(Handle(), EM_SETSEL, static_cast<WPARAM>(start), start + length);
}

void TCustomEdit::SetSelText(const std::string& text) {
  win::SendMessageA(Handle(), EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

namespace {

// The lines of a memo, read from and written to its window. Each operation is one
// CM_INVOKE on the window's thread, so it sees and changes the text in one piece.
class TMemoStrings : public TStrings {
 public:
  explicit TMemoStrings(TMemo& memo) : memo_(memo) {}

  int Count() const override {
    int count = 0;
    memo_.Invoke([&] { count = static_cast<int>(Split(memo_.GetText()).size()); });
    return count;
  }
  std::string Get(int index) const override {
    std::string line;
    memo_.Invoke([&] {
      std::string text = memo_.GetText();
      Line at = Find(text, index);
      line = text.substr(at.start, at.end - at.start);
    });
    return line;
  }
  // Lines of a memo carry no objects.
  TObject* GetObject(int) const override { return nullptr; }
  void PutObject(int, TObject*) override {}

  void Put(int index, const std::string& text) override {
    memo_.Invoke([&] {
      Line at = Find(memo_.GetText(), index);
      Replace(at.start, at.end, text);
    });
  }
  void Insert(int index, const std::string& text) override {
    memo_.Invoke([&] {
      std::string current = memo_.GetText();
      auto lines = Split(current);
      if (index < 0 || index > static_cast<int>(lines.size())) ListIndexError(index);
      if (index < static_cast<int>(lines.size())) {
        size_t at = lines[static_cast<size_t>(index)].start;
        Replace(at, at, text + "\r\n");
        return;
      }
      // A new last line; the one before it may have no line break yet.
      bool open = !current.empty() && current.back() != '\n' && current.back() != '\r';
      Replace(current.size(), current.size(), (open ? "\r\n" : "") + text + "\r\n");
    });
  }
  // A new last line, at the cost of the line alone: the end is selected and the
  // selection replaced, whatever the memo holds already. The index counts the lines
  // as the window does (a wrapped line counts as the window shows it).
  int Add(const std::string& text) override {
    LRESULT lines = 0;
    memo_.Invoke([&] {
      HWND window = memo_.Handle();
      auto end = win::SendMessageA(window, WM_GETTEXTLENGTH, 0, 0);
      // The last line has text when no line break ends the memo.
      bool open = end > 0 && win::SendMessageA(window, EM_LINELENGTH, static_cast<WPARAM>(end), 0) > 0;
      Replace(static_cast<size_t>(end), static_cast<size_t>(end), (open ? "\r\n" : "") + text + "\r\n");
      lines = win::SendMessageA(window, EM_GETLINECOUNT, 0, 0);
    });
    return static_cast<int>(lines) - 2;  // the window counts the empty line after the break
  }
  int AddObject(const std::string& text, TObject*) override { return Add(text); }
  void Delete(int index) override {
    memo_.Invoke([&] {
      Line at = Find(memo_.GetText(), index);
      Replace(at.start, at.next, "");
    });
  }
  void Clear() override {
    memo_.Invoke([&] { memo_.SetText(""); });
  }
  std::string Text() const override { return memo_.GetText(); }
  void SetText(const std::string& text) override {
    memo_.Invoke([&] { memo_.SetText(text); });
  }

 private:
  struct Line {
    size_t start;
    size_t end;   // where its text ends
    size_t next;  // where the next line starts
  };

  // Lines end at CR LF, CR or LF; a break at the very end starts no further line.
  static std::vector<Line> Split(const std::string& text) {
    std::vector<Line> lines;
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find_first_of("\r\n", start);
      if (end == std::string::npos) {
        lines.push_back({start, text.size(), text.size()});
        break;
      }
      size_t next = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
      lines.push_back({start, end, next});
      start = next;
    }
    return lines;
  }

  static Line Find(const std::string& text, int index) {
    auto lines = Split(text);
    if (index < 0 || index >= static_cast<int>(lines.size())) ListIndexError(index);
    return lines[static_cast<size_t>(index)];
  }

  void Replace(size_t from, size_t to, const std::string& text) const {
    HWND window = memo_.Handle();
    win::SendMessageA(window, EM_SETSEL, from, static_cast<LPARAM>(to));
    win::SendMessageA(window, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(text.c_str()));
  }

  TMemo& memo_;
};

}  // namespace

TMemo::TMemo(TComponent* owner) : TCustomEdit(owner), lines_(std::make_unique<TMemoStrings>(*this)) {
  SetBounds(0, 0, 185, 89);
}

TMemo::~TMemo() = default;

void TMemo::CreateParams(TCreateParams& params) {
  TCustomEdit::CreateParams(params);
  params.Style = (params.Style & ~ES_AUTOHSCROLL) | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN;
}

// ---- combo boxes -----------------------------------------------------------------

class TComboItems : public TStrings {
 public:
  explicit TComboItems(TCustomComboBox& combo) : combo_(combo) {}

  int Count() const override {
    return combo_.HandleAllocated() ? static_cast<int>(Send(CB_GETCOUNT)) : 0;
  }
  std::string Get(int index) const override {
    Check(index);
    auto length = Send(CB_GETLBTEXTLEN, static_cast<WPARAM>(index));
    std::string text(static_cast<size_t>(std::max<LRESULT>(length, 0)) + 1, '\0');
    auto copied = Send(CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(std::max<LRESULT>(copied, 0)));
    return text;
  }
  TObject* GetObject(int index) const override {
    Check(index);
    return reinterpret_cast<TObject*>(Send(CB_GETITEMDATA, static_cast<WPARAM>(index)));
  }
  void PutObject(int index, TObject* object) override {
    Check(index);
    Send(CB_SETITEMDATA, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(object));
  }
  void Put(int index, const std::string& text) override {
    TObject* object = GetObject(index);
    int selected = combo_.ItemIndex();
    Delete(index);
    InsertObject(index, text, object);
    if (selected == index) combo_.SetItemIndex(index);
  }
  void Insert(int index, const std::string& text) override { InsertObject(index, text, nullptr); }
  void InsertObject(int index, const std::string& text, TObject* object) override {
    if (index < 0 || index > Count()) ListIndexError(index);
    auto at = Send(CB_INSERTSTRING, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.c_str()));
    if (at < 0) throw EListError("Cannot insert an entry into the list");
    Send(CB_SETITEMDATA, static_cast<WPARAM>(at), reinterpret_cast<LPARAM>(object));
  }
  int AddObject(const std::string& text, TObject* object) override {
    int index = combo_.Sorted() ? SortedPosition(text) : Count();
    InsertObject(index, text, object);
    return index;
  }
  void Delete(int index) override {
    Check(index);
    Send(CB_DELETESTRING, static_cast<WPARAM>(index));
  }
  void Clear() override {
    if (combo_.HandleAllocated()) Send(CB_RESETCONTENT);
  }

 private:
  LRESULT Send(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) const {
    return win::SendMessageA(combo_.Handle(), msg, wParam, lParam);
  }
  void Check(int index) const {
    if (index < 0 || index >= Count()) ListIndexError(index);
  }
  // After the last entry that does not sort after `text`.
  int SortedPosition(const std::string& text) const {
    int low = 0, high = Count();
    while (low < high) {
      int middle = (low + high) / 2;
      if (CompareText(Get(middle), text) <= 0) {
        low = middle + 1;
      } else {
        high = middle;
      }
    }
    return low;
  }

  TCustomComboBox& combo_;
};

TCustomComboBox::TCustomComboBox(TComponent* owner)
    : TWinControl(owner), items_(std::make_unique<TComboItems>(*this)) {
  SetBounds(0, 0, 145, 21);
}

TCustomComboBox::~TCustomComboBox() = default;

void TCustomComboBox::CreateParams(TCreateParams& params) {
  TWinControl::CreateParams(params);
  params.ClassName = "COMBOBOX";
  static const DWORD styles[] = {CBS_DROPDOWN, CBS_SIMPLE, CBS_DROPDOWNLIST};
  params.Style |= WS_TABSTOP | WS_VSCROLL | styles[style_];
}

void TCustomComboBox::InitializeWindow() {
  win::SendMessageA(Handle(), CB_SETITEMHEIGHT, 0, itemHeight_);
  // The field's own height is the system's.
  RECT rect{};
  if (win::GetWindowRect(Handle(), &rect)) TControl::SetBounds(Left(), Top(), Width(), rect.bottom - rect.top);
}

int TCustomComboBox::WindowHeight() const {
  return style_ == csSimple ? Height() : Height() + itemHeight_ * dropDownCount_ + 2;
}

int TCustomComboBox::ItemIndex() {
  return HandleAllocated() ? static_cast<int>(win::SendMessageA(Handle(), CB_GETCURSEL, 0, 0)) : -1;
}

void TCustomComboBox::SetItemIndex(int index) {
  win::SendMessageA(Handle(), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void TCustomComboBox::SetStyle(TComboBoxStyle style) {
  if (style == style_) return;
  if (HandleAllocated()) {
    throw EInvalidOperation(Format("The style of %s is fixed once it has a window", {Name()}));
  }
  style_ = style;
}

void TCustomComboBox::SetSorted(bool sorted) {
  if (sorted == sorted_) return;
  sorted_ = sorted;
  if (!sorted || Items().Count() == 0) return;
  // Sort what is there, keeping the selected entry selected.
  int selected = ItemIndex();
  TObject* selectedObject = selected >= 0 ? Items().Objects(selected) : nullptr;
  std::string selectedText = selected >= 0 ? Items().Strings(selected) : std::string();
  TStringList entries;
  entries.Duplicates = dupAccept;
  entries.SetSorted(true);
  entries.AddStrings(Items());
  Items().Assign(entries);
  for (int i = 0; selected >= 0 && i < Items().Count(); ++i) {
    if (Items().Objects(i) == selectedObject && Items().Strings(i) == selectedText) {
      SetItemIndex(i);
      break;
    }
  }
}

void TCustomComboBox::SetItemHeight(int height) {
  itemHeight_ = height;
  if (HandleAllocated()) win::SendMessageA(Handle(), CB_SETITEMHEIGHT, 0, height);
}

void TCustomComboBox::Change() {
  if (OnChange) OnChange(this);
}

void TCustomComboBox::WndProc(TMessage& message) {
  if (message.Msg == CN_COMMAND) {
    switch (HIWORD(message.WParam)) {
      case CBN_DROPDOWN:
        told_ = ItemIndex();
        break;
      case CBN_SELCHANGE:
        told_ = ItemIndex();
        Click();
        Change();
        return;
      case CBN_SELENDCANCEL:
        // A dropped list closed by a click elsewhere gets back the selection it had
        // when it dropped, without a CBN_SELCHANGE; what the arrows chose meanwhile
        // was told, so the way back is told too.
        if (win::SendMessageA(Handle(), CB_GETDROPPEDSTATE, 0, 0) && ItemIndex() != told_) {
          told_ = ItemIndex();
          Click();
          Change();
        }
        return;
      default:
        break;
    }
  }
  TWinControl::WndProc(message);
}

// ---- check boxes and labels ------------------------------------------------------

TCheckBox::TCheckBox(TComponent* owner) : TWinControl(owner) { SetBounds(0, 0, 97, 17); }

void TCheckBox::CreateParams(TCreateParams& params) {
  TWinControl::CreateParams(params);
  params.ClassName = "BUTTON";
  params.Style |= WS_TABSTOP | BS_AUTOCHECKBOX;
}

void TCheckBox::InitializeWindow() {
  win::SendMessageA(Handle(), BM_SETCHECK, checked_ ? BST_CHECKED : BST_UNCHECKED, 0);
}

void TCheckBox::SetChecked(bool checked) {
  if (checked == checked_) return;
  checked_ = checked;
  if (HandleAllocated()) {
    win::SendMessageA(Handle(), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
  }
  // A stored state is no click.
  if (!HasState(csLoading)) Click();
}

void TCheckBox::WndProc(TMessage& message) {
  if (message.Msg == CN_COMMAND && HIWORD(message.WParam) == BN_CLICKED) {
    // The button has ticked or unticked itself already.
    bool checked = win::SendMessageA(Handle(), BM_GETCHECK, 0, 0) == BST_CHECKED;
    if (checked != checked_) {
      checked_ = checked;
      Click();
    }
    return;
  }
  TWinControl::WndProc(message);
}

TLabel::TLabel(TComponent* owner) : TWinControl(owner) { SetBounds(0, 0, 65, 13); }

void TLabel::CreateParams(TCreateParams& params) {
  TWinControl::CreateParams(params);
  params.ClassName = "STATIC";
  params.Style |= SS_LEFT;
}

// ---- hidden windows --------------------------------------------------------------

namespace {

struct UtilWindows {
  std::mutex lock;
  std::map<HWND, std::unique_ptr<TWndMethod>> methods;
};

UtilWindows& utilWindows() {
  static UtilWindows windows;
  return windows;
}

LRESULT CALLBACK UtilWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* method = reinterpret_cast<TWndMethod*>(win::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (!method || !*method) return win::DefWindowProcA(hwnd, msg, wParam, lParam);
  TMessage message{msg, wParam, lParam, 0};
  try {
    (*method)(message);
  } catch (...) {
    ApplicationHandleException(nullptr);
  }
  return message.Result;
}

}  // namespace

HWND AllocateHWnd(const TWndMethod& method) {
  // Created with the default procedure, then handed to the method: the method sees
  // the window's messages from the first one after creation.
  RegisterWindowClass(kUtilClass, win::api().user32.DefWindowProcA);
  HWND window = win::CreateWindowExA(WS_EX_TOOLWINDOW, kUtilClass, "", WS_POPUP, 0, 0, 0, 0, nullptr,
                                     nullptr, nullptr, nullptr);
  if (!window) WindowCreationFailed("a hidden window");
  auto owned = std::make_unique<TWndMethod>(method);
  win::SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(owned.get()));
  win::SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&UtilWndProc));
  std::lock_guard<std::mutex> guard(utilWindows().lock);
  utilWindows().methods[window] = std::move(owned);
  return window;
}

void DeallocateHWnd(HWND window) {
  std::unique_ptr<TWndMethod> method;
  {
    std::lock_guard<std::mutex> guard(utilWindows().lock);
    auto it = utilWindows().methods.find(window);
    if (it == utilWindows().methods.end()) return;
    method = std::move(it->second);
    utilWindows().methods.erase(it);
  }
  win::SetWindowLongPtrA(window, GWLP_USERDATA, 0);
  win::DestroyWindow(window);
}

// ---- published properties --------------------------------------------------------

namespace {

TColor ColorValue(const TValue& value) {
  static const std::pair<const char*, TColor> names[] = {{"clBlack", clBlack},
                                                         {"clWhite", clWhite},
                                                         {"clBtnFace", clBtnFace},
                                                         {"clWindow", clWindow},
                                                         {"clWindowText", clWindowText}};
  if (value.Type == TValue::vaInteger) return static_cast<TColor>(value.Integer);
  for (auto& [name, color] : names) {
    if (value.Type == TValue::vaIdent && CompareText(value.Text, name) == 0) return color;
  }
  typinfo_detail::InvalidValue();
}

// A font's height in pixels is negative for the character height: -11 is 8 points
// at 96 pixels per inch.
int PointsOfHeight(long long height) {
  long long pixels = height < 0 ? -height : height;
  return static_cast<int>((pixels * 72 + 48) / 96);
}

}  // namespace

const TClassInfo& TControl::ClassInfo() {
  using typinfo_detail::FromValue;
  static const TClassInfo info = TClassInfo::Of<TControl, TComponentClass>("TControl", [](TClassInfo& c) {
    c.Property("Left", &TControl::Left, &TControl::SetLeft)
        .Property("Top", &TControl::Top, &TControl::SetTop)
        .Property("Width", &TControl::Width, &TControl::SetWidth)
        .Property("Height", &TControl::Height, &TControl::SetHeight)
        .Property("Anchors", &TControl::Anchors, &TControl::SetAnchors)
        .Property("Visible", &TControl::Visible, &TControl::SetVisible)
        .Property("Enabled", &TControl::Enabled, &TControl::SetEnabled)
        .Property("Caption", &TControl::Caption, &TControl::SetCaption)
        .Property("Text", &TControl::Caption, &TControl::SetCaption)
        .Member("OnClick", &TControl::OnClick)
        .Custom("Color", [](TComponent& o, const TValue& v, TReaderContext&) {
          static_cast<TControl&>(o).SetColor(ColorValue(v));
        })
        .Custom("Font.Name", [](TComponent& o, const TValue& v, TReaderContext&) {
          static_cast<TControl&>(o).Font().Name = FromValue<std::string>(v);
        })
        .Custom("Font.Size", [](TComponent& o, const TValue& v, TReaderContext&) {
          static_cast<TControl&>(o).Font().Size = FromValue<int>(v);
        })
        .Custom("Font.Height", [](TComponent& o, const TValue& v, TReaderContext&) {
          static_cast<TControl&>(o).Font().Size = PointsOfHeight(FromValue<long long>(v));
        })
        .Custom("Font.Color", [](TComponent& o, const TValue& v, TReaderContext&) {
          static_cast<TControl&>(o).Font().Color = ColorValue(v);
        });
  });
  return info;
}

const TClassInfo& TWinControl::ClassInfo() {
  static const TClassInfo info = TClassInfo::Of<TWinControl, TControl>("TWinControl", [](TClassInfo& c) {
    c.Property("TabOrder", &TWinControl::TabOrder, &TWinControl::SetTabOrder);
  });
  return info;
}

const TClassInfo& TCustomEdit::ClassInfo() {
  static const TClassInfo info = TClassInfo::Of<TCustomEdit, TWinControl>("TCustomEdit", {});
  return info;
}

const TClassInfo& TEdit::ClassInfo() {
  static const TClassInfo info = TClassInfo::Of<TEdit, TCustomEdit>("TEdit", {});
  return info;
}

const TClassInfo& TMemo::ClassInfo() {
  static const TClassInfo info = TClassInfo::Of<TMemo, TCustomEdit>("TMemo", [](TClassInfo& c) {
    c.Custom("Lines.Strings", [](TComponent& o, const TValue& v, TReaderContext&) {
      TStringList lines;
      for (const std::string& line : typinfo_detail::FromValue<TStringArray>(v)) lines.Add(line);
      static_cast<TMemo&>(o).SetText(lines.Text());
    });
  });
  return info;
}

const TClassInfo& TCustomComboBox::ClassInfo() {
  static const TClassInfo info =
      TClassInfo::Of<TCustomComboBox, TWinControl>("TCustomComboBox", [](TClassInfo& c) {
        c.Property("Style", &TCustomComboBox::Style, &TCustomComboBox::SetStyle)
            .Property("Sorted", &TCustomComboBox::Sorted, &TCustomComboBox::SetSorted)
            .Property("ItemHeight", &TCustomComboBox::ItemHeight, &TCustomComboBox::SetItemHeight)
            .Property("DropDownCount", &TCustomComboBox::DropDownCount, &TCustomComboBox::SetDropDownCount)
            .Member("OnChange", &TCustomComboBox::OnChange)
            .Custom("Items.Strings", [](TComponent& o, const TValue& v, TReaderContext&) {
              TStrings& items = static_cast<TCustomComboBox&>(o).Items();
              items.Clear();
              for (const std::string& item : typinfo_detail::FromValue<TStringArray>(v)) items.Add(item);
            });
      });
  return info;
}

const TClassInfo& TComboBox::ClassInfo() {
  static const TClassInfo info = TClassInfo::Of<TComboBox, TCustomComboBox>("TComboBox", {});
  return info;
}

const TClassInfo& TCheckBox::ClassInfo() {
  static const TClassInfo info = TClassInfo::Of<TCheckBox, TWinControl>("TCheckBox", [](TClassInfo& c) {
    c.Property("Checked", &TCheckBox::Checked, &TCheckBox::SetChecked);
  });
  return info;
}

const TClassInfo& TLabel::ClassInfo() {
  static const TClassInfo info = TClassInfo::Of<TLabel, TWinControl>("TLabel", {});
  return info;
}
