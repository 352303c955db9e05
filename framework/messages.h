// A window message as the framework's window procedures see it.
#pragma once

#include "framework/events.h"
#include "platform/win32.h"

struct TMessage {
  UINT Msg;
  WPARAM WParam;
  LPARAM LParam;
  LRESULT Result;
};

// A window procedure that is a method (a control's WindowProc, a hidden window's
// handler).
using TWndMethod = TEvent<TMessage&>;
