#pragma once
// The serial ports this PC has, as Windows lists them, and the main window's port panels and
// idle status line kept to them as ports come and go.

#include <windows.h>

#include <array>
#include <functional>
#include <vector>

#include "ui/panel.h"
#include "update/port_panels.h"

namespace patu {

// COM 1 to COM 256 as HARDWARE\DEVICEMAP\SERIALCOMM names them (Wine fills it too), with the
// friendly name and hardware id of the ports class's device whose PortName is the same.
std::vector<PortName> list_com_ports();

class PortPanelsView {
 public:
  // `job_running` tells whether a job runs: meanwhile the panels and the status line stay.
  PortPanelsView(const std::array<Panel*, kPanelCount>& panels, HWND status,
                 std::function<bool()> job_running);
  ~PortPanelsView();
  PortPanelsView(const PortPanelsView&) = delete;
  PortPanelsView& operator=(const PortPanelsView&) = delete;

  // Arrivals and removals of serial ports are told to `window` from now on.
  void watch(HWND window);
  void click(const Panel& sender);
  // WM_DEVICECHANGE and the timer it starts: true when `msg` was one of them.
  bool handle_message(UINT msg, WPARAM wp);
  // A job has returned: what it held back is shown.
  void job_ended();
  int chosen() const { return choice_.chosen(); }

 private:
  void show();

  std::array<Panel*, kPanelCount> panels_;
  HWND status_;
  std::function<bool()> job_running_;
  PortChoice choice_;
  HWND window_ = nullptr;
  HDEVNOTIFY notify_ = nullptr;
};

}  // namespace patu
