// Forms, the application object and the screen.
#pragma once

#include <string>

#include "framework/controls.h"
#include "framework/reader.h"

enum TCloseAction { caNone, caHide, caFree };
using TCloseEvent = TEvent<TObject*, TCloseAction&>;

class TForm : public TWinControl {
 public:
  explicit TForm(TComponent* owner);
  static const TClassInfo& ClassInfo();

  // Shows the form (making its window) and runs OnShow; Hide hides it.
  void Show();
  void Hide();
  // Asks OnClose what to do; closing the main form ends the application.
  void Close();

  void SetClientWidth(int width);
  void SetClientHeight(int height);
  TSizeConstraints& Constraints() { return constraints_; }
  void SetBounds(int left, int top, int width, int height) override;

  // The control after (or before) `current` in tab order that takes the focus, as
  // the classic dialog navigation goes round; the first one with none given.
  TWinControl* FindNextControl(TWinControl* current, bool forward);
  // Gives the focus to that control; false when there is none.
  bool SelectNext(TWinControl* current, bool forward);

  TNotifyEvent OnShow;
  TCloseEvent OnClose;

 protected:
  void CreateParams(TCreateParams& params) override;
  void InitializeWindow() override;
  void WndProc(TMessage& message) override;
  void Notification(TComponent* component, TOperation operation) override;
  void ChildFocused(TWinControl* child) override { focused_ = child->Handle(); }
  // The classic frame of a sizeable window with a caption, until the window can tell.
  int NonClientWidth() const override { return 8; }
  int NonClientHeight() const override { return 27; }

 private:
  TSizeConstraints constraints_;
  HWND focused_ = nullptr;  // the control that had the focus last
  int clientWidth_ = -1;  // as set, kept when the window's frame differs
  int clientHeight_ = -1;
  bool settingClientSize_ = false;
};

enum TCursor : int { crDefault = 0, crHourGlass = -11 };

class TScreen : public TComponent {
 public:
  using TComponent::TComponent;
  TCursor Cursor() const { return cursor_; }
  // The cursor over the whole screen: crDefault gives the arrow back.
  void SetCursor(TCursor cursor);

 private:
  TCursor cursor_ = crDefault;
};

class TApplication : public TComponent {
 public:
  // The application object is made once per program, before the forms; it is the
  // `Application` and `Screen` of the framework while it lives.
  explicit TApplication(TComponent* owner);
  ~TApplication() override;

  void Initialize() {}
  // Makes a form of class T owned by the application, reads its description, and
  // makes it the main form if it is the first.
  template <class T>
  void CreateForm(T*& reference);
  // Shows the main form and handles messages until Terminate.
  void Run();
  // Handles the messages that are waiting, and the waiting Synchronize calls.
  void ProcessMessages();
  // Ends Run's loop (posts the quit message to the calling thread).
  void Terminate();
  bool Terminated() const { return terminated_; }

  // Shows the error's message in a message box.
  void ShowException(const Exception& error);
  // Called inside a catch block: OnException if assigned, otherwise ShowException.
  void HandleException(TObject* sender);

  TForm* MainForm() const { return mainForm_; }
  HWND Handle() const { return handle_; }
  // The program's name (its file's, without the extension) unless set: the caption
  // of the application's message boxes.
  std::string Title;
  TEvent<TObject*, const Exception&> OnException;

 protected:
  void BeforeDestruction() override;
  void Notification(TComponent* component, TOperation operation) override;

 private:
  void WndProc(TMessage& message);
  bool ProcessMessage();
  // Tab and Shift+Tab move the focus within a form; true when the key was that.
  bool IsDialogKey(const MSG& msg);
  void HandleMessage(const MSG& msg);

  HWND handle_ = nullptr;
  TForm* mainForm_ = nullptr;
  bool terminated_ = false;
};

extern TApplication* Application;
extern TScreen* Screen;

template <class T>
void TApplication::CreateForm(T*& reference) {
  TOwned<T> form = MakeComponent<T>(this);
  reference = form.get();
  try {
    ReadForm(*form);
  } catch (...) {
    reference = nullptr;
    throw;
  }
  if (!mainForm_) mainForm_ = form.get();
  form.release();  // owned by the application from now on
}
