// user32 behaviour the framework relies on: one body for the simulator and Windows.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "gui.h"
#include "platform/sim/variance.h"
#include "support/input.h"

using namespace guitest;
using pxtest::BackendTest;
using pxtest::kSentinel;

namespace {

WNDPROC g_original = nullptr;

// Swallows 'x', hands everything else to the class's own procedure.
LRESULT CALLBACK SwallowX(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_CHAR && wParam == 'x') return 0;
  return win::CallWindowProcA(g_original, hwnd, msg, wParam, lParam);
}

}  // namespace

class User32Test : public BackendTest {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    RegisterRecordingClass();
  }

  static void Type(HWND edit, const std::string& keys) {
    for (char c : keys) win::SendMessageA(edit, WM_CHAR, static_cast<unsigned char>(c), 1);
  }
  static std::pair<DWORD, DWORD> Selection(HWND edit) {
    DWORD from = kSentinel, to = kSentinel;
    win::SendMessageA(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&from), reinterpret_cast<LPARAM>(&to));
    return {from, to};
  }
};
PX_INSTANTIATE_BACKENDS(User32Test);

TEST_P(User32Test, SingleLineEditTakesTypedCharactersAtTheCaret) {
  Window parent(CreateTopLevel());
  Window edit(CreateChild("EDIT", ES_AUTOHSCROLL, parent, 1, "start"));
  ASSERT_NE(edit.get(), nullptr);
  EXPECT_EQ(WindowText(edit), "start");
  // A new text puts the caret at the front.
  EXPECT_EQ(Selection(edit), std::make_pair(DWORD{0}, DWORD{0}));

  win::SetWindowTextA(edit, "");
  Type(edit, "abc\r");  // CR is no text in a single-line edit
  EXPECT_EQ(WindowText(edit), "abc");
  EXPECT_EQ(Selection(edit), std::make_pair(DWORD{3}, DWORD{3}));

  Type(edit, "\b");
  EXPECT_EQ(WindowText(edit), "ab");
  win::SendMessageA(edit, EM_SETSEL, 0, 0);
  Type(edit, "\b");  // nothing before the caret
  Type(edit, "x");
  EXPECT_EQ(WindowText(edit), "xab");

  // A selection, in either direction, is replaced by what is typed.
  win::SetWindowTextA(edit, "hello");
  win::SendMessageA(edit, EM_SETSEL, 4, 1);
  EXPECT_EQ(Selection(edit), std::make_pair(DWORD{1}, DWORD{4}));
  Type(edit, "E");
  EXPECT_EQ(WindowText(edit), "hEo");
  win::SendMessageA(edit, EM_SETSEL, 0, -1);
  EXPECT_EQ(Selection(edit), std::make_pair(DWORD{0}, DWORD{3}));
  // Backspace with a selection erases just the selection.
  win::SendMessageA(edit, EM_SETSEL, 1, 3);
  Type(edit, "\b");
  EXPECT_EQ(WindowText(edit), "h");
  // -1 as the start drops the selection and leaves the caret where it was.
  win::SetWindowTextA(edit, "hello");
  win::SendMessageA(edit, EM_SETSEL, 1, 4);
  win::SendMessageA(edit, EM_SETSEL, static_cast<WPARAM>(-1), 0);
  EXPECT_EQ(Selection(edit), std::make_pair(DWORD{4}, DWORD{4}));
  // Positions past the end mean the end.
  win::SendMessageA(edit, EM_SETSEL, 99, 99);
  EXPECT_EQ(Selection(edit), std::make_pair(DWORD{5}, DWORD{5}));
}

TEST_P(User32Test, MultiLineEditBreaksLinesWithCrLfAndInsertsAtTheCaret) {
  Window parent(CreateTopLevel());
  Window memo(CreateChild("EDIT", ES_MULTILINE | ES_WANTRETURN | ES_AUTOVSCROLL, parent, 2));
  ASSERT_NE(memo.get(), nullptr);
  EXPECT_EQ(win::SendMessageA(memo, EM_GETLINECOUNT, 0, 0), 1);

  Type(memo, "ab\rc");
  EXPECT_EQ(WindowText(memo), "ab\r\nc");
  EXPECT_EQ(win::SendMessageA(memo, EM_GETLINECOUNT, 0, 0), 2);
  // One backspace after a line break takes the whole CR LF.
  Type(memo, "\b\b");
  EXPECT_EQ(WindowText(memo), "ab");

  // EM_REPLACESEL inserts at the caret, or replaces the selection, and moves the caret
  // behind what it put there.
  win::SendMessageA(memo, EM_SETSEL, 1, 1);
  win::SendMessageA(memo, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>("XY"));
  EXPECT_EQ(WindowText(memo), "aXYb");
  EXPECT_EQ(Selection(memo), std::make_pair(DWORD{3}, DWORD{3}));
  win::SendMessageA(memo, EM_SETSEL, 0, 3);
  win::SendMessageA(memo, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>("line\r\n"));
  EXPECT_EQ(WindowText(memo), "line\r\nb");
  EXPECT_EQ(Selection(memo), std::make_pair(DWORD{6}, DWORD{6}));
}

TEST_P(User32Test, GetTextCopiesWhatFitsWithATerminatingZero) {
  Window parent(CreateTopLevel());
  Window edit(CreateChild("EDIT", 0, parent, 1, "hello"));
  EXPECT_EQ(win::GetWindowTextLengthA(edit), 5);
  EXPECT_EQ(win::SendMessageA(edit, WM_GETTEXTLENGTH, 0, 0), 5);
  // Buffer sizes: none, too small, exact, larger.
  const struct {
    WPARAM size;
    LRESULT copied;
    const char* text;
  } cases[] = {{0, 0, "\x7f\x7f\x7f"}, {3, 2, "he"}, {6, 5, "hello"}, {10, 5, "hello"}};
  for (const auto& c : cases) {
    char buffer[16];
    std::memset(buffer, 0x7f, sizeof buffer);
    EXPECT_EQ(win::SendMessageA(edit, WM_GETTEXT, c.size, reinterpret_cast<LPARAM>(buffer)), c.copied)
        << "size " << c.size;
    EXPECT_EQ(std::string(buffer, std::strlen(c.text)), c.text) << "size " << c.size;
    if (c.size > 0) {
      EXPECT_EQ(buffer[c.copied], 0) << "size " << c.size;
    }
  }
  // The window's own text, for a window of a registered class.
  EXPECT_EQ(WindowText(parent), "test");
  EXPECT_TRUE(win::SetWindowTextA(parent, "renamed"));
  EXPECT_EQ(WindowText(parent), "renamed");
}

TEST_P(User32Test, SubclassedEditSeesMessagesFirstAndHandsOnTheRest) {
  Window parent(CreateTopLevel());
  Window edit(CreateChild("EDIT", 0, parent, 1));
  WNDPROC filter = &SwallowX;
  g_original = reinterpret_cast<WNDPROC>(
      win::SetWindowLongPtrA(edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(filter)));
  ASSERT_NE(g_original, nullptr);
  EXPECT_EQ(win::GetWindowLongPtrA(edit, GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(filter));
  Type(edit, "axbx");
  EXPECT_EQ(WindowText(edit), "ab");

  // Putting the original back ends the filtering.
  win::SetWindowLongPtrA(edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_original));
  Type(edit, "x");
  EXPECT_EQ(WindowText(edit), "abx");

  // User data is the program's.
  EXPECT_EQ(win::GetWindowLongPtrA(edit, GWLP_USERDATA), 0);
  win::SetWindowLongPtrA(edit, GWLP_USERDATA, 1234);
  EXPECT_EQ(win::GetWindowLongPtrA(edit, GWLP_USERDATA), 1234);
  EXPECT_EQ(win::GetWindowLongPtrA(edit, GWLP_ID), 1);
}

TEST_P(User32Test, SendFromAnotherThreadRunsOnTheOwnerWhileItPumps) {
  Window parent(CreateTopLevel());
  Window edit(CreateChild("EDIT", ES_MULTILINE, parent, 1));
  DWORD mainThread = win::GetCurrentThreadId();
  EXPECT_EQ(win::GetWindowThreadProcessId(edit, nullptr), mainThread);

  std::atomic<LRESULT> reply{-1};
  HWND target = parent;
  // Each send blocks until this thread looks at its queue.
  RunWhileServing([&] {
    win::SendMessageA(edit, WM_CHAR, 'q', 1);
    win::SendMessageA(edit, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>("rs"));
    reply = win::SendMessageA(target, WM_APP + 1, 41, 0);  // the recorder answers wParam + 1
  });
  EXPECT_EQ(WindowText(edit), "qrs");
  EXPECT_EQ(reply, 42);
  auto seen = LogOf(WM_APP + 1);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].hwnd, parent.get());
}

TEST_P(User32Test, ASendToAWindowDestroyedMeanwhileReturnsZero) {
  Window parent(CreateTopLevel());
  HWND target = parent;
  std::atomic<LRESULT> reply{-1};
  std::thread sender([&] { reply = win::SendMessageA(target, WM_APP + 2, 7, 0); });
  // The message waits in this thread's queue; the window goes before it is served.
  EXPECT_EQ(win::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10000, QS_SENDMESSAGE), WAIT_OBJECT_0);
  EXPECT_TRUE(win::DestroyWindow(parent));
  MSG msg;
  win::PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
  sender.join();
  EXPECT_EQ(reply, 0);
  EXPECT_TRUE(LogOf(WM_APP + 2).empty());
  // A send to a window that is gone fails at once.
  win::SetLastError(kSentinel);
  EXPECT_EQ(win::SendMessageA(target, WM_APP + 2, 7, 0), 0);
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

// As device broadcasts are sent: a thread busy past the time-out makes the send give
// up and the message never runs; a thread that serves in time answers.
TEST_P(User32Test, SendMessageTimeoutGivesUpOnABusyThreadAndTheMessageIsLost) {
  Window window(CreateTopLevel());
  HWND target = window;
  static const DEV_BROADCAST_HDR record{sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_PORT, 0};
  std::pair<LRESULT, DWORD> result;  // the send's result and last error
  auto send = [&](UINT timeout) {
    DWORD_PTR answer = 0;
    win::SetLastError(0);
    result.first = win::SendMessageTimeoutA(target, WM_DEVICECHANGE, DBT_DEVICEARRIVAL,
                                            reinterpret_cast<LPARAM>(&record), SMTO_ABORTIFHUNG, timeout, &answer);
    result.second = win::GetLastError();
  };
  std::thread([&] { send(50); }).join();  // this thread does not look at its queue meanwhile
  EXPECT_EQ(result, (std::pair<LRESULT, DWORD>{0, ERROR_TIMEOUT}));
  MSG msg;
  win::PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
  EXPECT_TRUE(LogOf(WM_DEVICECHANGE).empty());

  RunWhileServing([&] { send(10000); });
  EXPECT_NE(result.first, 0);
  EXPECT_EQ(LogOf(WM_DEVICECHANGE).size(), 1u);
}

TEST_P(User32Test, PostedMessagesComeInOrderAndQuitComesLast) {
  Window window(CreateTopLevel());
  EXPECT_TRUE(win::PostMessageA(window, WM_APP + 1, 1, 0));
  win::PostQuitMessage(3);
  EXPECT_TRUE(win::PostMessageA(window, WM_APP + 2, 2, 0));
  MSG msg{};
  ASSERT_EQ(win::GetMessageA(&msg, nullptr, 0, 0), TRUE);
  EXPECT_EQ(msg.message, WM_APP + 1);
  EXPECT_EQ(msg.hwnd, window.get());
  win::DispatchMessageA(&msg);
  ASSERT_EQ(win::GetMessageA(&msg, nullptr, 0, 0), TRUE);
  EXPECT_EQ(msg.message, WM_APP + 2);
  win::DispatchMessageA(&msg);
  EXPECT_EQ(win::GetMessageA(&msg, nullptr, 0, 0), FALSE);
  EXPECT_EQ(msg.message, WM_QUIT);
  EXPECT_EQ(msg.wParam, 3u);
  EXPECT_EQ(LogOf(WM_APP + 1).size(), 1u);
  EXPECT_EQ(LogOf(WM_APP + 2).size(), 1u);
  // PM_NOREMOVE leaves the message where it is.
  win::PostMessageA(window, WM_APP + 3, 0, 0);
  ASSERT_TRUE(win::PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
  ASSERT_TRUE(win::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, WM_APP + 3);
  EXPECT_FALSE(win::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  // Posting to no window at all fails.
  win::SetLastError(kSentinel);
  EXPECT_FALSE(win::PostMessageA(reinterpret_cast<HWND>(static_cast<ULONG_PTR>(0x7ffe)), WM_APP, 0, 0));
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST_P(User32Test, TimersTickThroughTheQueueUntilKilled) {
  Window window(CreateTopLevel());
  ASSERT_EQ(win::SetTimer(window, 7, 20, nullptr), 7u);
  // The same id again restarts the one timer rather than adding one.
  ASSERT_EQ(win::SetTimer(window, 7, 20, nullptr), 7u);
  int ticks = 0;
  while (ticks < 3) {
    MSG msg{};
    ASSERT_EQ(win::GetMessageA(&msg, nullptr, 0, 0), TRUE);
    win::DispatchMessageA(&msg);
    if (msg.message == WM_TIMER) {
      EXPECT_EQ(msg.hwnd, window.get());
      EXPECT_EQ(msg.wParam, 7u);
      ++ticks;
    }
  }
  EXPECT_EQ(LogOf(WM_TIMER).size(), 3u);
  EXPECT_TRUE(win::KillTimer(window, 7));
  EXPECT_FALSE(win::KillTimer(window, 7));
  // No tick comes any more (a bounded wait for something that must not happen).
  EXPECT_EQ(win::MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_TIMER),
            static_cast<DWORD>(WAIT_TIMEOUT));
  MSG msg;
  EXPECT_FALSE(win::PeekMessageA(&msg, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE));
}

TEST_P(User32Test, ComboBoxKeepsItemsWithDataAndTellsTheParentOfAPick) {
  Window parent(CreateTopLevel());
  // As high as the list it drops: room for every entry.
  Window combo(win::CreateWindowExA(0, "COMBOBOX", "", WS_CHILD | WS_VISIBLE | CBS_DROPDOWNLIST | WS_VSCROLL, 5, 5,
                                    120, 150, parent, reinterpret_cast<HMENU>(9), nullptr, nullptr));
  ASSERT_NE(combo.get(), nullptr);
  auto send = [&](UINT msg, WPARAM w = 0, LPARAM l = 0) { return win::SendMessageA(combo, msg, w, l); };
  auto text = [](const char* s) { return reinterpret_cast<LPARAM>(s); };
  EXPECT_EQ(send(CB_GETCURSEL), CB_ERR);
  EXPECT_EQ(send(CB_ADDSTRING, 0, text("beta")), 0);
  EXPECT_EQ(send(CB_ADDSTRING, 0, text("gamma")), 1);
  EXPECT_EQ(send(CB_INSERTSTRING, 0, text("alpha")), 0);
  EXPECT_EQ(send(CB_INSERTSTRING, static_cast<WPARAM>(-1), text("delta")), 3);
  EXPECT_EQ(send(CB_INSERTSTRING, 9, text("far")), CB_ERR);
  EXPECT_EQ(send(CB_GETCOUNT), 4);

  char buffer[32] = {};
  EXPECT_EQ(send(CB_GETLBTEXTLEN, 2), 5);
  EXPECT_EQ(send(CB_GETLBTEXT, 2, reinterpret_cast<LPARAM>(buffer)), 5);
  EXPECT_STREQ(buffer, "gamma");
  EXPECT_EQ(send(CB_GETLBTEXT, 4, reinterpret_cast<LPARAM>(buffer)), CB_ERR);

  EXPECT_NE(send(CB_SETITEMDATA, 1, 0x1234), CB_ERR);
  EXPECT_EQ(send(CB_GETITEMDATA, 1), 0x1234);
  EXPECT_EQ(send(CB_GETITEMDATA, 7), CB_ERR);

  // The selection follows its entry when entries come and go before it.
  EXPECT_EQ(send(CB_SETCURSEL, 1), 1);
  EXPECT_EQ(WindowText(combo), "beta");
  send(CB_INSERTSTRING, 0, text("first"));
  EXPECT_EQ(send(CB_GETCURSEL), 2);
  EXPECT_EQ(send(CB_DELETESTRING, 0), 4);
  EXPECT_EQ(send(CB_GETCURSEL), 1);
  EXPECT_EQ(send(CB_GETITEMDATA, 1), 0x1234);
  // Deleting the selected entry leaves none selected; -1 clears it too (and says
  // CB_ERR).
  EXPECT_EQ(send(CB_DELETESTRING, 1), 3);
  EXPECT_EQ(send(CB_GETCURSEL), CB_ERR);
  EXPECT_EQ(send(CB_SETCURSEL, 0), 0);
  EXPECT_EQ(send(CB_SETCURSEL, static_cast<WPARAM>(-1)), CB_ERR);
  EXPECT_EQ(send(CB_GETCURSEL), CB_ERR);
  EXPECT_EQ(WindowText(combo), "");

  // Selecting by message tells nobody; a user's pick with the mouse tells the parent
  // that the list dropped, that an entry was picked and that the list closed.
  EXPECT_TRUE(LogOf(WM_COMMAND).empty());
  win::ShowWindow(parent, SW_SHOW);
  ASSERT_TRUE(userinput::PickWithMouse(combo, 1, pxtest::Pumping(Pump)));
  std::vector<WORD> codes;
  for (const Recorded& r : LogOf(WM_COMMAND)) {
    EXPECT_EQ(LOWORD(r.wParam), 9);
    EXPECT_EQ(r.lParam, reinterpret_cast<LPARAM>(combo.get()));
    codes.push_back(HIWORD(r.wParam));
  }
  auto at = [&](WORD code) { return std::find(codes.begin(), codes.end(), code) - codes.begin(); };
  EXPECT_LT(at(CBN_DROPDOWN), at(CBN_CLOSEUP));
  EXPECT_LT(at(CBN_SELCHANGE), static_cast<long>(codes.size()));
  EXPECT_LT(at(CBN_CLOSEUP), static_cast<long>(codes.size()));
  EXPECT_EQ(send(CB_GETCURSEL), 1);

  send(CB_RESETCONTENT);  // documented as CB_OKAY; Wine answers TRUE
  EXPECT_EQ(send(CB_GETCOUNT), 0);
  EXPECT_EQ(send(CB_GETCURSEL), CB_ERR);
}

TEST_P(User32Test, CheckBoxClickTogglesAndNotifiesButSettingDoesNot) {
  Window parent(CreateTopLevel());
  Window box(CreateChild("BUTTON", BS_AUTOCHECKBOX, parent, 4, "Active"));
  ASSERT_NE(box.get(), nullptr);
  EXPECT_EQ(WindowText(box), "Active");
  EXPECT_EQ(win::SendMessageA(box, BM_GETCHECK, 0, 0), static_cast<LRESULT>(BST_UNCHECKED));
  win::SendMessageA(box, BM_SETCHECK, BST_CHECKED, 0);
  EXPECT_EQ(win::SendMessageA(box, BM_GETCHECK, 0, 0), static_cast<LRESULT>(BST_CHECKED));
  EXPECT_TRUE(LogOf(WM_COMMAND).empty());

  // A program's BM_CLICK, then the user's click.
  win::SendMessageA(box, BM_CLICK, 0, 0);
  EXPECT_EQ(win::SendMessageA(box, BM_GETCHECK, 0, 0), static_cast<LRESULT>(BST_UNCHECKED));
  win::ShowWindow(parent, SW_SHOW);
  userinput::ClickCenter(box);
  EXPECT_TRUE(pxtest::PumpUntil(Pump, [&] {
    return win::SendMessageA(box, BM_GETCHECK, 0, 0) == static_cast<LRESULT>(BST_CHECKED);
  }));
  auto commands = LogOf(WM_COMMAND);
  ASSERT_EQ(commands.size(), 2u);
  for (const Recorded& r : commands) {
    EXPECT_EQ(r.wParam, MAKEWPARAM(4, BN_CLICKED));
    EXPECT_EQ(r.lParam, reinterpret_cast<LPARAM>(box.get()));
  }
}

// An edit takes 30,000 characters until its limit is set; 0 lifts the limit.
TEST_P(User32Test, AnEditHoldsThirtyThousandCharactersUntilTheLimitIsLifted) {
  Window parent(CreateTopLevel());
  Window edit(CreateChild("EDIT", ES_MULTILINE | ES_AUTOVSCROLL, parent, 1));
  const std::string block(1000, 'x');
  auto add = [&](int blocks) {
    for (int i = 0; i < blocks; ++i) {
      win::SendMessageA(edit, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(block.c_str()));
    }
  };
  EXPECT_EQ(win::SendMessageA(edit, EM_GETLIMITTEXT, 0, 0), 30000);
  add(40);
  EXPECT_EQ(win::GetWindowTextLengthA(edit), 30000);
  auto commands = LogOf(WM_COMMAND);
  EXPECT_TRUE(std::any_of(commands.begin(), commands.end(), [](const Recorded& r) {
    return HIWORD(r.wParam) == EN_MAXTEXT;
  }));
  win::SendMessageA(edit, EM_SETLIMITTEXT, 0, 0);
  add(40);
  EXPECT_EQ(win::GetWindowTextLengthA(edit), 70000);
  // The length of a line, by the index of a character in it.
  win::SetWindowTextA(edit, "one\r\nthree\r\n");
  for (auto [index, length] : {std::pair<int, int>{0, 3}, {5, 5}, {10, 5}, {12, 0}}) {
    EXPECT_EQ(win::SendMessageA(edit, EM_LINELENGTH, static_cast<WPARAM>(index), 0), length) << index;
  }
}

TEST_P(User32Test, DestroyingAWindowTakesItsChildrenParentFirst) {
  HWND parent = CreateTopLevel();
  HWND child = win::CreateWindowExA(0, kRecordingClass, "child", WS_CHILD, 0, 0, 10, 10, parent,
                                    nullptr, nullptr, nullptr);
  HWND edit = CreateChild("EDIT", 0, parent);
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(win::GetParent(child), parent);
  EXPECT_TRUE(win::SetTimer(parent, 1, 10000, nullptr));
  EXPECT_TRUE(win::DestroyWindow(parent));
  EXPECT_FALSE(win::IsWindow(parent));
  EXPECT_FALSE(win::IsWindow(child));
  EXPECT_FALSE(win::IsWindow(edit));
  std::vector<std::pair<HWND, UINT>> order;
  for (const Recorded& r : Log()) order.emplace_back(r.hwnd, r.msg);
  std::vector<std::pair<HWND, UINT>> expected = {
      {parent, WM_DESTROY}, {child, WM_DESTROY}, {child, WM_NCDESTROY}, {parent, WM_NCDESTROY}};
  EXPECT_EQ(order, expected);
  // A window that is gone takes no timer and cannot be destroyed twice.
  win::SetLastError(kSentinel);
  EXPECT_FALSE(win::DestroyWindow(parent));
  // Windows answers ERROR_INVALID_WINDOW_HANDLE; Wine is known to answer
  // ERROR_ACCESS_DENIED for any window not of the calling thread, gone ones included.
  DWORD error = win::GetLastError();
  EXPECT_TRUE(error == ERROR_INVALID_WINDOW_HANDLE || (!Simulated() && error == ERROR_ACCESS_DENIED))
      << error;
  EXPECT_EQ(win::SetTimer(parent, 1, 10, nullptr), 0u);
}

TEST_P(User32Test, CreationFailsForUnknownClassesAndOrphanChildren) {
  win::SetLastError(kSentinel);
  EXPECT_EQ(win::CreateWindowExA(0, "NoSuchClass", "", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr),
            nullptr);
  // Windows answers ERROR_CANNOT_FIND_WND_CLASS; Wine is known to answer
  // ERROR_CLASS_DOES_NOT_EXIST.
  DWORD error = win::GetLastError();
  EXPECT_TRUE(error == ERROR_CANNOT_FIND_WND_CLASS || (!Simulated() && error == ERROR_CLASS_DOES_NOT_EXIST))
      << error;
  win::SetLastError(kSentinel);
  EXPECT_EQ(win::CreateWindowExA(0, "EDIT", "", WS_CHILD, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(win::GetLastError(), ERROR_TLW_WITH_WSCHILD);
}

namespace {
BOOL CALLBACK Collect(HWND hwnd, LPARAM into) {
  auto* seen = reinterpret_cast<std::vector<HWND>*>(into);
  seen->push_back(hwnd);
  return seen->size() < 1000 ? TRUE : FALSE;  // 1000: stop at once
}
}  // namespace

// How device changes find their listeners: every top-level window, hidden ones too;
// no children, no message-only windows. (Windows lists other processes' windows as
// well; the process ID tells them apart.)
TEST_P(User32Test, EnumWindowsListsTopLevelWindowsOfTheProcess) {
  Window hidden(CreateTopLevel());
  Window child(CreateChild("EDIT", 0, hidden, 1));
  Window messageOnly(win::CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr));
  ASSERT_TRUE(messageOnly.get());
  std::vector<HWND> seen;
  EXPECT_TRUE(win::EnumWindows(&Collect, reinterpret_cast<LPARAM>(&seen)));
  auto listed = [&](HWND hwnd) { return std::find(seen.begin(), seen.end(), hwnd) != seen.end(); };
  EXPECT_TRUE(listed(hidden));
  EXPECT_FALSE(listed(child));
  EXPECT_FALSE(listed(messageOnly));
  DWORD process = kSentinel;
  EXPECT_EQ(win::GetWindowThreadProcessId(hidden, &process), win::GetCurrentThreadId());
  EXPECT_EQ(process, win::GetCurrentProcessId());

  seen.assign(999, nullptr);
  EXPECT_FALSE(win::EnumWindows(&Collect, reinterpret_cast<LPARAM>(&seen)));
  EXPECT_EQ(seen.size(), 1000u);
}

TEST_P(User32Test, CursorAndGeometry) {
  HCURSOR wait = win::LoadCursorA(nullptr, IDC_WAIT);
  HCURSOR arrow = win::LoadCursorA(nullptr, IDC_ARROW);
  ASSERT_NE(wait, nullptr);
  ASSERT_NE(arrow, nullptr);
  EXPECT_NE(wait, arrow);
  EXPECT_EQ(win::LoadCursorA(nullptr, IDC_WAIT), wait);  // shared system cursors
  win::SetCursor(wait);
  EXPECT_EQ(win::GetCursor(), wait);
  EXPECT_EQ(win::SetCursor(arrow), wait);

  Window parent(CreateTopLevel());
  Window child(CreateChild("STATIC", 0, parent));
  RECT outer{}, client{};
  ASSERT_TRUE(win::GetWindowRect(parent, &outer));
  ASSERT_TRUE(win::GetClientRect(parent, &client));
  EXPECT_EQ(outer.right - outer.left, 300);
  EXPECT_EQ(outer.bottom - outer.top, 200);
  // The frame takes room: the client area is smaller, and starts at 0, 0.
  EXPECT_EQ(client.left, 0);
  EXPECT_LT(client.right, 300);
  EXPECT_LT(client.bottom, 200);
  ASSERT_TRUE(win::MoveWindow(child, 7, 8, 50, 20, TRUE));
  ASSERT_TRUE(win::GetClientRect(child, &client));
  EXPECT_EQ(client.right, 50);
  EXPECT_EQ(client.bottom, 20);

  EXPECT_TRUE(win::IsWindowEnabled(child));
  EXPECT_FALSE(win::EnableWindow(child, FALSE));  // it was enabled
  EXPECT_FALSE(win::IsWindowEnabled(child));
  EXPECT_TRUE(win::EnableWindow(child, TRUE));
  EXPECT_FALSE(win::IsWindowVisible(child));  // its parent is hidden
  win::ShowWindow(parent, SW_SHOW);
  EXPECT_TRUE(win::IsWindowVisible(child));
}

TEST_P(User32Test, ADropDownComboBoxIsAsHighAsItsField) {
  Window parent(CreateTopLevel());
  // The height given is the dropped list's; the window is the selection field.
  Window combo(win::CreateWindowExA(0, "COMBOBOX", "", WS_CHILD | CBS_DROPDOWNLIST, 0, 0, 100, 200, parent,
                                    nullptr, nullptr, nullptr));
  RECT rect{};
  ASSERT_TRUE(win::GetWindowRect(combo, &rect));
  int field = rect.bottom - rect.top;
  EXPECT_GT(field, 10);
  EXPECT_LT(field, 40);
  ASSERT_TRUE(win::MoveWindow(combo, 0, 0, 120, 300, TRUE));
  ASSERT_TRUE(win::GetWindowRect(combo, &rect));
  EXPECT_EQ(rect.bottom - rect.top, field);
  EXPECT_EQ(rect.right - rect.left, 120);
}

namespace {
// The notification codes a control sent its parent, in order, without the focus ones
// unless asked for.
std::vector<WORD> Codes(bool withFocus = false) {
  std::vector<WORD> codes;
  for (const Recorded& r : LogOf(WM_COMMAND)) {
    WORD code = HIWORD(r.wParam);
    if (withFocus || (code != CBN_SETFOCUS && code != CBN_KILLFOCUS)) codes.push_back(code);
  }
  Log().clear();
  return codes;
}
}  // namespace

// A drop-down list's notifications in Windows' order: a mouse pick, arrows (list closed
// or dropped), and a click elsewhere that puts back the selection of the drop.
TEST_P(User32Test, ComboBoxNotifiesInWindowsOrderAndACancelPutsTheSelectionBack) {
  Window parent(CreateTopLevel());
  Window combo(win::CreateWindowExA(0, "COMBOBOX", "", WS_CHILD | WS_VISIBLE | CBS_DROPDOWNLIST, 5, 5, 120, 150,
                                    parent, reinterpret_cast<HMENU>(9), nullptr, nullptr));
  for (const char* text : {"a", "b", "c"}) win::SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
  auto selected = [&] { return win::SendMessageA(combo, CB_GETCURSEL, 0, 0); };
  auto key = [&](WPARAM vk) { win::SendMessageA(combo, WM_KEYDOWN, vk, 1); };
  using Codes_ = std::vector<WORD>;
  // The list exists from the start: a hidden child window of the list box kind.
  COMBOBOXINFO info{};
  info.cbSize = sizeof info;
  ASSERT_TRUE(win::GetComboBoxInfo(combo, &info));
  ASSERT_NE(info.hwndList, nullptr);
  auto listStyle = static_cast<DWORD>(win::GetWindowLongPtrA(info.hwndList, GWL_STYLE));
  EXPECT_EQ(listStyle & (WS_CHILD | WS_POPUP | WS_VISIBLE | LBS_COMBOBOX), WS_CHILD | LBS_COMBOBOX) << listStyle;

  win::ShowWindow(parent, SW_SHOW);
  win::SetFocus(combo);
  EXPECT_EQ(Codes(true), Codes_{CBN_SETFOCUS});

  win::SendMessageA(combo, CB_SETCURSEL, 1, 0);
  for (int atEnd = 0; atEnd < 2; ++atEnd) {
    key(VK_DOWN);
    EXPECT_EQ(Codes(), (Codes_{CBN_SELENDOK, CBN_SELCHANGE})) << atEnd;
    EXPECT_EQ(selected(), 2);
  }

  ASSERT_TRUE(userinput::PickWithMouse(combo, 0, pxtest::Pumping(Pump)));
  Codes_ codes = Codes();
  Codes_ pick{CBN_DROPDOWN, CBN_SELENDOK, CBN_CLOSEUP, CBN_SELCHANGE};
  ASSERT_GE(codes.size(), pick.size());  // a pick tried again shows its first drop too
  EXPECT_EQ(Codes_(codes.end() - 4, codes.end()), pick);

  win::SendMessageA(combo, CB_SHOWDROPDOWN, TRUE, 0);
  key(VK_DOWN);
  key(VK_DOWN);
  EXPECT_EQ(selected(), 2);
  EXPECT_EQ(Codes(), (Codes_{CBN_DROPDOWN, CBN_SELCHANGE, CBN_SELCHANGE}));
  userinput::Click(parent, 250, 150);
  ASSERT_TRUE(pxtest::PumpUntil(Pump, [&] { return !win::SendMessageA(combo, CB_GETDROPPEDSTATE, 0, 0); }));
  EXPECT_EQ(selected(), 0);
  EXPECT_EQ(Codes(), (Codes_{CBN_SELENDCANCEL, CBN_CLOSEUP}));

  // Escape closes the list unpicked too, but keeps what the arrows chose.
  win::SendMessageA(combo, CB_SHOWDROPDOWN, TRUE, 0);
  key(VK_DOWN);
  key(VK_ESCAPE);
  EXPECT_EQ(selected(), 1);
  EXPECT_EQ(Codes(), (Codes_{CBN_DROPDOWN, CBN_SELCHANGE, CBN_SELENDCANCEL, CBN_CLOSEUP}));

  // Losing the focus ends a choice even with the list closed.
  win::SetFocus(parent);
  EXPECT_EQ(Codes(true), (Codes_{CBN_SELENDCANCEL, CBN_KILLFOCUS}));
}

// What an edit tells its parent of a change: EN_UPDATE before EN_CHANGE, for what the
// user types and what the program replaces; for a new text only on a single line.
TEST_P(User32Test, AnEditTellsOfEachChangeBeforeAndAfterItShows) {
  Window parent(CreateTopLevel());
  for (DWORD style : {DWORD{0}, DWORD{ES_MULTILINE}}) {
    Window edit(CreateChild("EDIT", style, parent, 1));
    using Codes_ = std::vector<WORD>;
    const Codes_ change{EN_UPDATE, EN_CHANGE};
    Codes();
    Type(edit, "a");
    EXPECT_EQ(Codes(), change) << style;
    Type(edit, "\b\b");  // the second finds nothing to erase
    EXPECT_EQ(Codes(), change) << style;
    win::SendMessageA(edit, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>("bc"));
    EXPECT_EQ(Codes(), change) << style;
    win::SetWindowTextA(edit, "new");
    EXPECT_EQ(Codes(), style ? Codes_{} : change) << style;
    // Cut short by the limit: the parent hears of the cut before the change.
    win::SendMessageA(edit, EM_SETLIMITTEXT, 4, 0);
    win::SendMessageA(edit, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>("long"));
    EXPECT_EQ(Codes(), (Codes_{EN_MAXTEXT, EN_UPDATE, EN_CHANGE})) << style;
    EXPECT_EQ(WindowText(edit), "lnew") << style;
  }
}

// Minimizing the active window activates the next one; restoring activates it again.
// Each hears it: the one left first, and an activated window takes the focus.
TEST_P(User32Test, MinimizeActivatesTheNextWindowAndRestoreThisOne) {
  Window first(CreateTopLevel("first"));
  Window second(CreateTopLevel("second"));
  win::ShowWindow(first, SW_SHOW);
  win::ShowWindow(second, SW_SHOW);
  Pump();
  ASSERT_EQ(win::GetForegroundWindow(), second.get());
  auto activations = [] {
    std::vector<std::pair<HWND, WORD>> seen;
    for (const Recorded& r : LogOf(WM_ACTIVATE)) seen.emplace_back(r.hwnd, LOWORD(r.wParam));
    Log().clear();
    return seen;
  };
  activations();
  using Seen = std::vector<std::pair<HWND, WORD>>;
  win::ShowWindow(second, SW_MINIMIZE);
  Pump();
  // Windows activates the next window; Wine without a window manager (and the unkind
  // simulator) leaves the minimized one active, without the focus.
  bool nextActive = win::GetForegroundWindow() == first.get();
  EXPECT_TRUE(nextActive || !Simulated() || sim::Variance::instance().unkind());
  EXPECT_EQ(win::GetFocus(), nextActive ? first.get() : nullptr);
  EXPECT_EQ(activations(), (nextActive ? Seen{{second, WA_INACTIVE}, {first, WA_ACTIVE}} : Seen{}));
  win::ShowWindow(second, SW_RESTORE);
  Pump();
  EXPECT_EQ(win::GetForegroundWindow(), second.get());
  EXPECT_EQ(win::GetFocus(), second.get());
  EXPECT_EQ(activations(), (nextActive ? Seen{{first, WA_INACTIVE}, {second, WA_ACTIVE}} : Seen{{second, WA_ACTIVE}}));
}
