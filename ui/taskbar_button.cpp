#include "ui/taskbar_button.h"

#include <objbase.h>
#include <shobjidl.h>

namespace patu {

TaskbarButton::TaskbarButton(HWND owner)
    : owner_(owner), created_message_(RegisterWindowMessageW(L"TaskbarButtonCreated")) {
  // An elevated program (a technician may start pATU as administrator) gets no message from
  // the taskbar, which runs unelevated, unless it lets this one in.
  if (created_message_ != 0) {
    ChangeWindowMessageFilterEx(owner_, created_message_, MSGFLT_ALLOW, nullptr);
  }
}

TaskbarButton::~TaskbarButton() {
  if (list_) list_->Release();
  if (com_) CoUninitialize();
}

bool TaskbarButton::on_message(UINT msg, WPARAM wp) {
  if (msg == WM_ACTIVATEAPP && wp && flashing_) {
    flashing_ = false;
    FLASHWINFO stop{sizeof(stop), owner_, FLASHW_STOP, 0, 0};
    FlashWindowEx(&stop);
    return false;
  }
  if (msg != created_message_ || created_message_ == 0) return false;
  // The interface of a taskbar made anew (Explorer restarted): the old one served the old
  // taskbar.
  if (list_) {
    list_->Release();
    list_ = nullptr;
  }
  make_interface();
  // A button made anew shows nothing yet.
  shown_state_ = State::none;
  show();
  return true;
}

void TaskbarButton::make_interface() {
  if (!com_) {
    // The window's thread is a single-threaded apartment, as the shell's objects expect.
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return;
    com_ = true;
  }
  ITaskbarList3* list = nullptr;
  // The identifiers from the headers' declarations: the import library of them all would bring
  // a thousand more into the program.
  if (FAILED(CoCreateInstance(__uuidof(TaskbarList), nullptr, CLSCTX_INPROC_SERVER,
                              __uuidof(ITaskbarList3), reinterpret_cast<void**>(&list))) ||
      !list) {
    return;
  }
  if (FAILED(list->HrInit())) {
    list->Release();
    return;
  }
  list_ = list;
}

void TaskbarButton::progress(int position, int maximum) {
  state_ = position > 0 ? State::normal : State::none;
  position_ = position;
  maximum_ = maximum;
  show();
}

void TaskbarButton::error() {
  state_ = State::error;
  show();
}

void TaskbarButton::clear() {
  state_ = State::none;
  show();
}

void TaskbarButton::call_attention() {
  const HWND front = GetForegroundWindow();
  // Every window of the program belongs to this thread.
  if (front && GetWindowThreadProcessId(front, nullptr) == GetCurrentThreadId()) return;
  FLASHWINFO flash{sizeof(flash), owner_, FLASHW_TRAY | FLASHW_TIMERNOFG, 0, 0};
  FlashWindowEx(&flash);
  flashing_ = true;
}

void TaskbarButton::show() {
  if (!list_) return;
  // The error state keeps the value reached; a button that shows no progress has none.
  const bool valued = state_ != State::none && position_ > 0;
  if (valued &&
      (shown_state_ == State::none || position_ != shown_position_ || maximum_ != shown_maximum_)) {
    list_->SetProgressValue(owner_, static_cast<ULONGLONG>(position_),
                            static_cast<ULONGLONG>(maximum_));
    shown_position_ = position_;
    shown_maximum_ = maximum_;
  }
  if (state_ != shown_state_) {
    TBPFLAG flag = TBPF_NOPROGRESS;
    if (state_ == State::normal) flag = TBPF_NORMAL;
    if (state_ == State::error) flag = TBPF_ERROR;
    list_->SetProgressState(owner_, flag);
    shown_state_ = state_;
  }
}

}  // namespace patu
