#pragma once
// Another program's window, on a thread of its own (its own input, as another process has),
// that takes the foreground when it opens and whenever it is told to.

#include <windows.h>

namespace patu::testing {

class OtherProgram {
 public:
  OtherProgram() {
    ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, run, this, 0, &thread_id_);
    WaitForSingleObject(ready_, 10000);
  }
  ~OtherProgram() {
    PostThreadMessageW(thread_id_, WM_QUIT, 0, 0);
    WaitForSingleObject(thread_, 10000);
    CloseHandle(thread_);
    CloseHandle(ready_);
  }
  OtherProgram(const OtherProgram&) = delete;
  OtherProgram& operator=(const OtherProgram&) = delete;

  HWND window() const { return window_; }
  void take_foreground() const { SendMessageW(window_, kTakeForeground, 0, 0); }

 private:
  static constexpr UINT kTakeForeground = WM_APP + 7;

  static LRESULT CALLBACK proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == kTakeForeground) {
      SetForegroundWindow(hwnd);
      return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
  }
  static DWORD WINAPI run(void* self_pointer) {
    auto* self = static_cast<OtherProgram*>(self_pointer);
    WNDCLASSW wc{};
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"pATU.Test.OtherProgram";
    RegisterClassW(&wc);
    self->window_ =
        CreateWindowExW(0, wc.lpszClassName, L"Outro programa", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                        10, 10, 300, 200, nullptr, nullptr, wc.hInstance, nullptr);
    SetForegroundWindow(self->window_);
    SetEvent(self->ready_);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    DestroyWindow(self->window_);
    return 0;
  }

  HANDLE ready_ = nullptr;
  HANDLE thread_ = nullptr;
  DWORD thread_id_ = 0;
  HWND window_ = nullptr;
};

}  // namespace patu::testing
