#include "tests/ui/driver.h"

#include <gtest/gtest.h>

#include "ui/form.h"

namespace patu::testing {
namespace {

ModalDriver* current = nullptr;
constexpr int kGiveUpTicks = 1000;
constexpr DWORD kSettleMs = 30;

struct Search {
  HWND found = nullptr;
};

BOOL CALLBACK find_box(HWND hwnd, LPARAM context) {
  wchar_t name[16];
  if (IsWindowVisible(hwnd) && GetClassNameW(hwnd, name, 16) &&
      std::wstring_view(name) == L"#32770") {
    reinterpret_cast<Search*>(context)->found = hwnd;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK find_icon(HWND hwnd, LPARAM context) {
  if (IsWindowVisible(hwnd) && (GetWindowLongW(hwnd, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
    reinterpret_cast<Search*>(context)->found = hwnd;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK close_open(HWND hwnd, LPARAM) {
  if (IsWindowVisible(hwnd) && IsWindowEnabled(hwnd)) PostMessageW(hwnd, WM_CLOSE, 0, 0);
  return TRUE;
}

}  // namespace

ModalDriver::ModalDriver() {
  current = this;
  timer_ = SetTimer(nullptr, 0, 10, tick);
}

ModalDriver::~ModalDriver() {
  KillTimer(nullptr, timer_);
  current = nullptr;
  EXPECT_TRUE(done()) << "step " << next_ + 1 << " of " << steps_.size() << " never came";
  // The X server's word that a window closed comes late under Wine; taken after the next
  // window opens, it would take the focus away from that one.
  const DWORD until = GetTickCount() + kSettleMs;
  while (static_cast<int>(until - GetTickCount()) > 0) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    Sleep(1);
  }
}

ModalDriver& ModalDriver::then(Find find, Act act) {
  steps_.push_back({std::move(find), std::move(act)});
  return *this;
}

void CALLBACK ModalDriver::tick(HWND, UINT, UINT_PTR, DWORD) {
  if (current) current->run_step();
}

void ModalDriver::run_step() {
  if (done()) {
    // A message box nobody waits for, or a window still waiting long after the last step,
    // would hold the test for ever.
    if (HWND box = message_box()()) {
      ADD_FAILURE() << "unexpected message box: " << box_text(box);
      PostMessageW(box, WM_CLOSE, 0, 0);
    } else if (++idle_ticks_ >= kGiveUpTicks) {
      give_up();
    }
    return;
  }
  HWND window = steps_[next_].find();
  if (!window) {
    if (++idle_ticks_ >= kGiveUpTicks) give_up();
    return;
  }
  idle_ticks_ = 0;
  const Step step = steps_[next_++];
  step.act(window);
}

void ModalDriver::give_up() {
  if (done()) {
    ADD_FAILURE() << "still waiting after the last step";
  } else {
    ADD_FAILURE() << "step " << next_ + 1 << " of " << steps_.size() << " never came";
    next_ = steps_.size();
  }
  idle_ticks_ = 0;
  EnumThreadWindows(GetCurrentThreadId(), close_open, 0);
}

ModalDriver::Find shown(HWND window) {
  return [window] { return IsWindowVisible(window) ? window : nullptr; };
}

ModalDriver::Find message_box() {
  return [] {
    Search search;
    EnumThreadWindows(GetCurrentThreadId(), find_box, reinterpret_cast<LPARAM>(&search));
    return search.found;
  };
}

std::string box_text(HWND box) { return text_of(GetDlgItem(box, 0xFFFF)); }

HICON box_icon(HWND box) {
  Search search;
  EnumChildWindows(box, find_icon, reinterpret_cast<LPARAM>(&search));
  return search.found ? reinterpret_cast<HICON>(SendMessageW(search.found, STM_GETICON, 0, 0))
                      : nullptr;
}

void press(HWND button) {
  ASSERT_TRUE(IsWindowEnabled(button)) << "pressed a disabled button: " << text_of(button);
  SendMessageW(button, BM_CLICK, 0, 0);
}

void press_box_ok(HWND box) { press(GetDlgItem(box, IDOK)); }

void post_key(WPARAM key) {
  HWND focus = GetFocus();
  const UINT scan = MapVirtualKeyW(static_cast<UINT>(key), MAPVK_VK_TO_VSC);
  PostMessageW(focus, WM_KEYDOWN, key, 1 | (scan << 16));
  PostMessageW(focus, WM_KEYUP, key, 1 | (scan << 16) | 0xC0000000u);
}

void click(HWND window) {
  RECT r;
  GetClientRect(window, &r);
  const LPARAM at = MAKELPARAM(r.right / 2, r.bottom / 2);
  SendMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, at);
  SendMessageW(window, WM_LBUTTONUP, 0, at);
}

std::vector<std::string> edit_lines(HWND edit) {
  const std::string text = text_of(edit);
  std::vector<std::string> lines;
  if (text.empty()) return lines;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find("\r\n", start);
    lines.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return lines;
    start = end + 2;
  }
}

std::string text_of(HWND window) { return window_text(window); }

}  // namespace patu::testing
