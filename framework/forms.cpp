#include "framework/forms.h"

#include <algorithm>
#include <vector>

#include "framework/thread.h"

TApplication* Application = nullptr;
TScreen* Screen = nullptr;

void ApplicationHandleException(TObject* sender) {
  if (Application) {
    Application->HandleException(sender);
    return;
  }
  // No application to show it: the debugger hears of it.
  try {
    throw;
  } catch (const std::exception& error) {
    win::OutputDebugStringA(error.what());
  } catch (...) {
    win::OutputDebugStringA("Unknown error");
  }
}

// ---- TForm -----------------------------------------------------------------------

TForm::TForm(TComponent* owner) : TWinControl(owner) {
  TControl::SetVisible(false);  // until shown
  SetColor(clBtnFace);
  SetBounds(0, 0, 320, 240);
}

void TForm::CreateParams(TCreateParams& params) {
  params.Style = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
}

void TForm::Show() {
  Handle();
  if (OnShow) OnShow(this);
  SetVisible(true);
  SelectNext(nullptr, true);
}

TWinControl* TForm::FindNextControl(TWinControl* current, bool forward) {
  // The controls that take the focus, in tab order; those without one after them, in
  // the order they came.
  std::vector<TWinControl*> stops;
  for (int i = 0; i < ControlCount(); ++i) {
    auto* control = dynamic_cast<TWinControl*>(Controls(i));
    if (!control || !control->HandleAllocated() || !win::IsWindowVisible(control->Handle()) ||
        !win::IsWindowEnabled(control->Handle()) ||
        !(win::GetWindowLongPtrA(control->Handle(), GWL_STYLE) & WS_TABSTOP)) {
      continue;
    }
    stops.push_back(control);
  }
  std::stable_sort(stops.begin(), stops.end(), [](TWinControl* a, TWinControl* b) {
    auto key = [](TWinControl* c) { return static_cast<unsigned>(c->TabOrder()); };  // -1 last
    return key(a) < key(b);
  });
  if (stops.empty()) return nullptr;
  auto at = std::find(stops.begin(), stops.end(), current);
  if (at == stops.end()) return forward ? stops.front() : stops.back();
  auto index = static_cast<size_t>(at - stops.begin());
  size_t count = stops.size();
  return stops[(index + (forward ? 1 : count - 1)) % count];
}

bool TForm::SelectNext(TWinControl* current, bool forward) {
  TWinControl* next = FindNextControl(current, forward);
  if (!next) return false;
  win::SetFocus(next->Handle());
  return true;
}

void TForm::Hide() { SetVisible(false); }

void TForm::Close() {
  TCloseAction action = caHide;
  if (OnClose) OnClose(this, action);
  if (action == caNone) return;
  if (Application && Application->MainForm() == this) {
    Application->Terminate();
    return;
  }
  Hide();
  // Freed once the message that closed it is done with it.
  if (action == caFree) win::PostMessageA(Handle(), CM_RELEASE, 0, 0);
}

void TForm::SetBounds(int left, int top, int width, int height) {
  auto limit = [](int value, int low, int high) {
    if (high > 0 && value > high) value = high;
    return value < low ? low : value;
  };
  if (!settingClientSize_) clientWidth_ = clientHeight_ = -1;
  TWinControl::SetBounds(left, top, limit(width, constraints_.MinWidth, constraints_.MaxWidth),
                         limit(height, constraints_.MinHeight, constraints_.MaxHeight));
}

void TForm::SetClientWidth(int width) {
  settingClientSize_ = true;
  SetWidth(width + Width() - ClientWidth());
  settingClientSize_ = false;
  clientWidth_ = width;
}

void TForm::SetClientHeight(int height) {
  settingClientSize_ = true;
  SetHeight(height + Height() - ClientHeight());
  settingClientSize_ = false;
  clientHeight_ = height;
}

void TForm::InitializeWindow() {
  // The window's real frame may differ from the assumed one: a client size that was
  // asked for is what the form keeps.
  int width = clientWidth_, height = clientHeight_;
  if (width >= 0) SetClientWidth(width);
  if (height >= 0) SetClientHeight(height);
}

void TForm::WndProc(TMessage& message) {
  switch (message.Msg) {
    case WM_CLOSE:
      Close();
      return;
    case CM_RELEASE:
      Free();
      return;
    case WM_ACTIVATE: {
      // As a dialog does: the control that had the focus last gets it back when the
      // form is active again (the first in tab order at first). It is remembered as
      // it takes the focus: a minimized form may lose the focus without being left.
      if (LOWORD(message.WParam) == WA_INACTIVE) {
        TWinControl::WndProc(message);
        return;
      }
      // The default handling gives the focus to the form itself; a control of ours
      // that has it keeps it.
      HWND current = win::GetFocus();
      TWinControl::WndProc(message);
      for (HWND window : {current, focused_}) {
        TWinControl* control = FindControl(window);
        if (control && control->Parent() == this && win::IsWindowVisible(window)) {
          win::SetFocus(window);
          return;
        }
      }
      SelectNext(nullptr, true);
      return;
    }
    case WM_GETMINMAXINFO: {
      TWinControl::WndProc(message);
      auto* info = reinterpret_cast<MINMAXINFO*>(message.LParam);
      if (constraints_.MinWidth > 0) info->ptMinTrackSize.x = constraints_.MinWidth;
      if (constraints_.MinHeight > 0) info->ptMinTrackSize.y = constraints_.MinHeight;
      if (constraints_.MaxWidth > 0) info->ptMaxTrackSize.x = constraints_.MaxWidth;
      if (constraints_.MaxHeight > 0) info->ptMaxTrackSize.y = constraints_.MaxHeight;
      return;
    }
    default:
      TWinControl::WndProc(message);
  }
}

void TForm::Notification(TComponent* component, TOperation operation) {
  if (operation == opRemove) {
    if (const TClassInfo* info = ClassInfoOf(*this)) info->ClearFieldsOf(*this, component);
  }
  TWinControl::Notification(component, operation);
}

const TClassInfo& TForm::ClassInfo() {
  static const TClassInfo info = TClassInfo::Of<TForm, TWinControl>("TForm", [](TClassInfo& c) {
    using typinfo_detail::FromValue;
    auto constraint = [](int TSizeConstraints::*field) {
      return [field](TComponent& o, const TValue& v, TReaderContext&) {
        static_cast<TForm&>(o).Constraints().*field = FromValue<int>(v);
      };
    };
    c.Property("ClientWidth", &TForm::ClientWidth, &TForm::SetClientWidth)
        .Property("ClientHeight", &TForm::ClientHeight, &TForm::SetClientHeight)
        .Custom("Constraints.MinWidth", constraint(&TSizeConstraints::MinWidth))
        .Custom("Constraints.MinHeight", constraint(&TSizeConstraints::MinHeight))
        .Custom("Constraints.MaxWidth", constraint(&TSizeConstraints::MaxWidth))
        .Custom("Constraints.MaxHeight", constraint(&TSizeConstraints::MaxHeight))
        .Member("OnShow", &TForm::OnShow)
        .Member("OnClose", &TForm::OnClose);
  });
  return info;
}

// ---- TScreen ---------------------------------------------------------------------

void TScreen::SetCursor(TCursor cursor) {
  cursor_ = cursor;
  win::SetCursor(win::LoadCursorA(nullptr, cursor == crHourGlass ? IDC_WAIT : IDC_ARROW));
}

// ---- TApplication ----------------------------------------------------------------

namespace {

std::string ProgramName() {
  char path[260] = {};
  DWORD length = win::GetModuleFileNameA(nullptr, path, sizeof path);
  std::string name(path, std::min<DWORD>(length, sizeof path));
  name = name.substr(name.find_last_of("\\/") + 1);
  return name.substr(0, name.rfind('.'));
}

}  // namespace

TApplication::TApplication(TComponent* owner) : TComponent(owner), Title(ProgramName()) {
  Application = this;
  Screen = new TScreen(this);  // owned by the application
  handle_ = AllocateHWnd(TWndMethod::Of<&TApplication::WndProc>(this));
  // A Synchronize request from another thread wakes the message loop.
  HWND window = handle_;
  SetWakeMainThread([window] { win::PostMessageA(window, WM_NULL, 0, 0); });
}

TApplication::~TApplication() {
  if (handle_) DeallocateHWnd(handle_);
  if (Application == this) Application = nullptr;
}

void TApplication::BeforeDestruction() {
  SetWakeMainThread(nullptr);
  TComponent::BeforeDestruction();  // the forms go while the application still serves them
  DeallocateHWnd(handle_);
  handle_ = nullptr;
}

void TApplication::Notification(TComponent* component, TOperation operation) {
  if (operation == opRemove) {
    if (component == mainForm_) mainForm_ = nullptr;
    if (component == Screen) Screen = nullptr;
  }
  TComponent::Notification(component, operation);
}

void TApplication::WndProc(TMessage& message) {
  if (message.Msg == WM_NULL) {
    CheckSynchronize();
    return;
  }
  message.Result = win::DefWindowProcA(handle_, message.Msg, message.WParam, message.LParam);
}

void TApplication::Run() {
  if (mainForm_) mainForm_->Show();
  while (!terminated_) {
    MSG msg;
    // 0 is WM_QUIT; -1 a failure, after which there is no loop to run either.
    if (win::GetMessageA(&msg, nullptr, 0, 0) <= 0) {
      terminated_ = true;
      break;
    }
    HandleMessage(msg);
    CheckSynchronize();
  }
}

void TApplication::HandleMessage(const MSG& msg) {
  if (IsDialogKey(msg)) return;
  win::TranslateMessage(&msg);
  win::DispatchMessageA(&msg);
}

bool TApplication::IsDialogKey(const MSG& msg) {
  if (msg.message != WM_KEYDOWN || msg.wParam != VK_TAB) return false;
  if (win::GetKeyState(VK_CONTROL) < 0 || win::GetKeyState(VK_MENU) < 0) return false;
  // The control with the focus (or the one whose inner window has it), in its form.
  TWinControl* control = nullptr;
  for (HWND window = msg.hwnd; window && !control; window = win::GetParent(window)) {
    control = TWinControl::FindControl(window);
  }
  TControl* form = control;
  while (form && !dynamic_cast<TForm*>(form)) form = form->Parent();
  if (!form) return false;
  return static_cast<TForm*>(form)->SelectNext(control, win::GetKeyState(VK_SHIFT) >= 0);
}

bool TApplication::ProcessMessage() {
  MSG msg;
  if (!win::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) return false;
  if (msg.message == WM_QUIT) {
    terminated_ = true;
    return false;
  }
  HandleMessage(msg);
  return true;
}

void TApplication::ProcessMessages() {
  while (ProcessMessage()) {
  }
  CheckSynchronize();
}

void TApplication::Terminate() { win::PostQuitMessage(0); }

void TApplication::ShowException(const Exception& error) {
  std::string text = error.Message;
  if (!text.empty() && static_cast<unsigned char>(text.back()) > '.') text += '.';
  HWND owner = mainForm_ && mainForm_->HandleAllocated() ? mainForm_->Handle() : nullptr;
  win::MessageBoxA(owner, text.c_str(), Title.c_str(), MB_OK | MB_ICONSTOP);
}

void TApplication::HandleException(TObject* sender) {
  auto report = [&](const Exception& error) {
    try {
      if (OnException) {
        OnException(sender, error);
      } else {
        ShowException(error);
      }
    } catch (...) {
      // An error in the error handler is dropped: nothing is left to report it to.
    }
  };
  try {
    throw;
  } catch (const Exception& error) {
    report(error);
  } catch (const std::exception& error) {
    report(Exception(error.what()));
  } catch (...) {
    report(Exception("Unknown error"));
  }
}
