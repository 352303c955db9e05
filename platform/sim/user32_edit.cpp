// EDIT: the built-in edit control of the headless user32.
#include <algorithm>

#include "platform/sim/user32_controls.h"
#include "platform/sim/text.h"

namespace sim {

using namespace controls;

namespace {

// What an edit holds before EM_SETLIMITTEXT: 30,000 characters, on Windows as under
// Wine (measured there: 40 blocks of 1,000 through EM_REPLACESEL leave 30,000).
// Microsoft's page names 32,767, but Windows itself stops at 30,000 as well.
constexpr size_t kDefaultEditLimit = 30000;

size_t countBreaks(const std::string& text, size_t from, size_t to) {
  size_t breaks = 0;
  for (size_t at = text.find("\r\n", from); at != std::string::npos && at + 2 <= to;
       at = text.find("\r\n", at + 2)) {
    ++breaks;
  }
  return breaks;
}

struct EditState : ControlState {
  std::string text;
  size_t anchor = 0;  // where the selection started
  size_t caret = 0;   // where it ends: the caret
  size_t limit = kDefaultEditLimit;
  size_t breaks = 0;  // CR LF pairs: the lines are one more
  bool changed = false;  // by the last replacement

  void setText(const std::string& with) {
    text = with;
    anchor = caret = 0;
    breaks = countBreaks(text, 0, text.size());
  }

  // Replaces the selection with as much of `with` as the limit leaves room for;
  // false when something was cut off; `changed` tells whether the text changed. The line count follows the change alone (a
  // pair may form or break at either edge), so a change costs what it changes.
  bool replaceSelection(const std::string& with) {
    size_t from = std::min(anchor, caret);
    size_t to = std::max(anchor, caret);
    size_t kept = text.size() - (to - from);
    size_t room = limit > kept ? limit - kept : 0;
    size_t length = std::min(with.size(), room);
    changed = to > from || length > 0;
    size_t edgeFrom = from > 0 ? from - 1 : 0;
    breaks -= countBreaks(text, edgeFrom, std::min(to + 1, text.size()));
    text.replace(from, to - from, with, 0, length);
    breaks += countBreaks(text, edgeFrom, std::min(from + length + 1, text.size()));
    anchor = caret = from + length;
    return length == with.size();
  }

  // The length of the line that holds character `index`.
  size_t lineLength(size_t index) const {
    index = std::min(index, text.size());
    size_t start = index < 2 ? std::string::npos : text.rfind("\r\n", index - 2);
    start = start == std::string::npos ? 0 : start + 2;
    size_t end = text.find("\r\n", start);
    return (end == std::string::npos ? text.size() : end) - start;
  }

  void typed(unsigned char c, DWORD style) {
    bool multiLine = (style & ES_MULTILINE) != 0;
    if (style & ES_READONLY) return;
    switch (c) {
      case '\b':
        if (anchor == caret && caret > 0) {
          // A line break is one step back: CR LF goes as a pair.
          bool lineBreak = multiLine && caret >= 2 && text.compare(caret - 2, 2, "\r\n") == 0;
          anchor = caret - (lineBreak ? 2 : 1);
        }
        replaceSelection("");
        return;
      case '\r':
      case '\n':
        if (multiLine) replaceSelection("\r\n");
        return;
      case '\t':
        if (multiLine) replaceSelection("\t");
        return;
      default:
        // Other control characters and DEL are no text.
        if (c >= ' ' && c != 127) replaceSelection(std::string(1, static_cast<char>(c)));
    }
  }
};

// A change of the text: EN_UPDATE before it shows, EN_CHANGE after.
void tellChange(HWND hwnd) {
  notifyParent(hwnd, EN_UPDATE);
  notifyParent(hwnd, EN_CHANGE);
}

}  // namespace

LRESULT CALLBACK EditWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  EditState* edit = user().state<EditState>(hwnd);
  if (!edit) return user().defWindowProc(hwnd, message, wParam, lParam);
  switch (message) {
    case WM_NCCREATE: {
      auto* cs = reinterpret_cast<const CREATESTRUCTA*>(lParam);
      edit->setText(cs && cs->lpszName ? cs->lpszName : "");
      return TRUE;
    }
    case WM_SETTEXT:
      // The program's text is taken whole, beyond the limit too (as Wine does). Only
      // a single-line edit tells of it (as EN_CHANGE's page says).
      edit->setText(textArg(lParam));
      if (!(styleOf(hwnd) & ES_MULTILINE)) tellChange(hwnd);
      return TRUE;
    case WM_GETTEXT:
      return copyText(edit->text, wParam, lParam);
    case WM_GETTEXTLENGTH:
      return static_cast<LRESULT>(edit->text.size());
    case WM_LBUTTONDOWN:
      user().setFocus(hwnd);
      return 0;
    case WM_CHAR:
      edit->changed = false;
      edit->typed(static_cast<unsigned char>(wParam & 0xff), styleOf(hwnd));
      if (edit->changed) tellChange(hwnd);
      return 0;
    case EM_REPLACESEL: {
      // A cut by the limit is told first, then the change.
      bool whole = edit->replaceSelection(textArg(lParam));
      bool changed = edit->changed;
      if (!whole) notifyParent(hwnd, EN_MAXTEXT);
      if (changed) tellChange(hwnd);
      return 0;
    }
    case EM_SETLIMITTEXT:
      // 0 lifts the limit (a single-line edit keeps 0x7FFFFFFE).
      edit->limit = wParam ? wParam : (styleOf(hwnd) & ES_MULTILINE) ? ~size_t{0} : 0x7FFFFFFE;
      return 0;
    case EM_GETLIMITTEXT:
      return static_cast<LRESULT>(std::min<size_t>(edit->limit, 0xFFFFFFFFu));
    case EM_LINELENGTH:
      if (!(styleOf(hwnd) & ES_MULTILINE)) return static_cast<LRESULT>(edit->text.size());
      return static_cast<LRESULT>(edit->lineLength(static_cast<size_t>(static_cast<DWORD>(wParam))));
    case EM_SETSEL: {
      // -1 as the start drops the selection where the caret is; ends past the text
      // (-1 among them) mean its end.
      size_t length = edit->text.size();
      if (static_cast<int>(wParam) == -1) {
        edit->anchor = edit->caret;
      } else {
        edit->anchor = std::min<size_t>(static_cast<DWORD>(wParam), length);
        edit->caret = std::min<size_t>(static_cast<DWORD>(lParam), length);
      }
      return 0;
    }
    case EM_GETSEL: {
      auto from = static_cast<DWORD>(std::min(edit->anchor, edit->caret));
      auto to = static_cast<DWORD>(std::max(edit->anchor, edit->caret));
      if (wParam) *reinterpret_cast<DWORD*>(wParam) = from;
      if (lParam) *reinterpret_cast<DWORD*>(lParam) = to;
      return MAKELONG(static_cast<WORD>(from), static_cast<WORD>(to));
    }
    case EM_GETLINECOUNT:
      return static_cast<LRESULT>(edit->breaks + 1);
    default:
      return user().defWindowProc(hwnd, message, wParam, lParam);
  }
}

}  // namespace sim
