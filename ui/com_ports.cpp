#include "ui/com_ports.h"

#include <dbt.h>
#include <setupapi.h>

#include <cwchar>
#include <map>
#include <string>

#include "ui/form.h"
#include "ui/wide.h"

namespace patu {
namespace {

// The ports class of devices, and the interface that serial ports register.
constexpr GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr GUID kComPortInterface = {
    0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
// A device's drivers may still be writing its registry keys as its arrival is told: the list
// is read a moment later, well within a second.
constexpr UINT_PTR kReadTimer = 0x26;
constexpr UINT kReadDelayMs = 300;

// n for "COMn" with n 1 to 256, else 0.
int com_number(const std::wstring& name) {
  if (name.size() < 4 || name.size() > 6 || _wcsnicmp(name.c_str(), L"COM", 3) != 0) return 0;
  int n = 0;
  for (std::size_t i = 3; i < name.size(); ++i) {
    if (name[i] < L'0' || name[i] > L'9') return 0;
    n = n * 10 + (name[i] - L'0');
  }
  return name[3] != L'0' && n <= kHighestPort ? n : 0;
}

// A string value as stored: REG_SZ, or the first string of a REG_MULTI_SZ.
std::wstring stored_string(const std::vector<wchar_t>& data, DWORD bytes) {
  const std::size_t chars = bytes / sizeof(wchar_t);
  return std::wstring(data.data(), wcsnlen(data.data(), chars));
}

std::string device_property(HDEVINFO devices, SP_DEVINFO_DATA& device, DWORD property) {
  std::vector<wchar_t> data(512);
  DWORD type = 0;
  DWORD bytes = 0;
  if (!SetupDiGetDeviceRegistryPropertyW(
          devices, &device, property, &type, reinterpret_cast<BYTE*>(data.data()),
          static_cast<DWORD>(data.size() * sizeof(wchar_t)), &bytes) ||
      (type != REG_SZ && type != REG_MULTI_SZ)) {
    return {};
  }
  return narrow(stored_string(data, bytes));
}

std::wstring port_name_of(HDEVINFO devices, SP_DEVINFO_DATA& device) {
  const HKEY key =
      SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
  if (key == INVALID_HANDLE_VALUE) return {};
  std::vector<wchar_t> data(64);
  DWORD type = 0;
  DWORD bytes = static_cast<DWORD>(data.size() * sizeof(wchar_t));
  const bool read =
      RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                       &bytes) == ERROR_SUCCESS &&
      type == REG_SZ;
  RegCloseKey(key);
  return read ? stored_string(data, bytes) : std::wstring();
}

void read_serialcomm(std::map<int, PortName>& ports) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE,
                    &key) != ERROR_SUCCESS) {
    return;
  }
  for (DWORD i = 0;; ++i) {
    wchar_t value_name[256];
    DWORD name_chars = 256;
    std::vector<wchar_t> data(64);
    DWORD type = 0;
    DWORD bytes = static_cast<DWORD>(data.size() * sizeof(wchar_t));
    const LONG read = RegEnumValueW(key, i, value_name, &name_chars, nullptr, &type,
                                    reinterpret_cast<BYTE*>(data.data()), &bytes);
    if (read == ERROR_NO_MORE_ITEMS) break;
    if (read != ERROR_SUCCESS || type != REG_SZ) continue;
    if (const int n = com_number(stored_string(data, bytes))) ports[n].number = n;
  }
  RegCloseKey(key);
}

// The ports class's present devices that are COM ports: LPT ports are in the class too.
void read_ports_class(std::map<int, PortName>& ports) {
  const HDEVINFO devices = SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
  if (devices == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof(device);
  for (DWORD i = 0; SetupDiEnumDeviceInfo(devices, i, &device); ++i) {
    const int n = com_number(port_name_of(devices, device));
    if (n == 0) continue;
    PortName& port = ports[n];
    port.number = n;
    port.friendly = device_property(devices, device, SPDRP_FRIENDLYNAME);
    port.hardware_id = device_property(devices, device, SPDRP_HARDWAREID);
  }
  SetupDiDestroyDeviceInfoList(devices);
}

}  // namespace

std::vector<PortName> list_com_ports() {
  std::map<int, PortName> ports;
  read_serialcomm(ports);
  read_ports_class(ports);
  std::vector<PortName> list;
  for (auto& [n, port] : ports) list.push_back(std::move(port));
  return list;
}

PortPanelsView::PortPanelsView(const std::array<Panel*, kPanelCount>& panels, HWND status,
                               std::function<bool()> job_running)
    : panels_(panels),
      status_(status),
      job_running_(std::move(job_running)),
      choice_(list_com_ports()) {
  show();
}

PortPanelsView::~PortPanelsView() {
  if (notify_ != nullptr) UnregisterDeviceNotification(notify_);
  if (window_ != nullptr) KillTimer(window_, kReadTimer);
}

void PortPanelsView::watch(HWND window) {
  window_ = window;
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = kComPortInterface;
  notify_ = RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

void PortPanelsView::click(const Panel& sender) {
  choice_.click(sender.Tag);
  show();
}

bool PortPanelsView::handle_message(UINT msg, WPARAM wp) {
  if (msg == WM_DEVICECHANGE) {
    // Windows also tells every top-level window of legacy ports unasked.
    if (wp == DBT_DEVICEARRIVAL || wp == DBT_DEVICEREMOVECOMPLETE) {
      SetTimer(window_, kReadTimer, kReadDelayMs, nullptr);
    }
    return true;
  }
  if (msg != WM_TIMER || wp != kReadTimer) return false;
  KillTimer(window_, kReadTimer);
  if (choice_.update(list_com_ports(), job_running_())) show();
  return true;
}

void PortPanelsView::job_ended() {
  choice_.job_ended();
  show();
}

void PortPanelsView::show() {
  const auto& panels = choice_.panels();
  for (int i = 0; i < kPanelCount; ++i) {
    Panel& panel = *panels_[i];
    panel.Tag = panels[i].number;
    panel.set_caption("COM " + std::to_string(panels[i].number), !panels[i].present);
    panel.set_Color(panels[i].number == choice_.chosen() ? kYellow : kWhite);
  }
  if (!job_running_()) set_label(status_, choice_.status());
}

}  // namespace patu
