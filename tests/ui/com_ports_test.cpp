// The names Windows gives the ports and the news of their arrivals and removals, which Wine
// lacks: the SetupAPI ports class and the device notifications played by stand-ins at their
// import slots for every window test here. The ports themselves are the prefix's, COM 1 to 6.

#include <gtest/gtest.h>
#include <windows.h>

#include <dbt.h>
#include <setupapi.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/import_slot.h"
#include "tests/ui/driver.h"
#include "tests/ui/program.h"

namespace {

struct Device {
  std::wstring port_name, friendly, hardware_ids;  // hardware_ids: REG_MULTI_SZ less its last NUL
};
std::vector<Device> g_devices;
int g_lists_open = 0;
HWND g_notified = nullptr;
GUID g_interface{};
const auto kList = reinterpret_cast<HDEVINFO>(0x2600);
const auto kNotify = reinterpret_cast<HDEVNOTIFY>(0x2601);

HDEVINFO WINAPI stand_in_list(const GUID* cls, PCWSTR, HWND, DWORD flags) {
  const GUID ports = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
  if (!IsEqualGUID(*cls, ports) || flags != DIGCF_PRESENT) return INVALID_HANDLE_VALUE;
  ++g_lists_open;
  return kList;
}

BOOL WINAPI stand_in_enum(HDEVINFO, DWORD i, PSP_DEVINFO_DATA data) {
  data->DevInst = i;
  return i < g_devices.size();
}

HKEY WINAPI stand_in_key(HDEVINFO, PSP_DEVINFO_DATA data, DWORD scope, DWORD, DWORD type, REGSAM) {
  if (scope != DICS_FLAG_GLOBAL || type != DIREG_DEV)
    return static_cast<HKEY>(INVALID_HANDLE_VALUE);
  HKEY key = nullptr;
  RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\pATU-tests", 0, nullptr, REG_OPTION_VOLATILE,
                  KEY_ALL_ACCESS, nullptr, &key, nullptr);
  const std::wstring& name = g_devices[data->DevInst].port_name;
  RegSetValueExW(key, L"PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                 static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t)));
  return key;
}

BOOL WINAPI stand_in_property(HDEVINFO, PSP_DEVINFO_DATA data, DWORD property, PDWORD type,
                              PBYTE buffer, DWORD size, PDWORD needed) {
  const Device& device = g_devices[data->DevInst];
  const std::wstring& text = property == SPDRP_FRIENDLYNAME ? device.friendly : device.hardware_ids;
  *needed = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
  if (text.empty() || *needed > size) return FALSE;
  *type = property == SPDRP_FRIENDLYNAME ? REG_SZ : REG_MULTI_SZ;
  std::memcpy(buffer, text.c_str(), *needed);
  return TRUE;
}

BOOL WINAPI stand_in_destroy(HDEVINFO list) { return list == kList && g_lists_open-- > 0; }

HDEVNOTIFY WINAPI stand_in_register(HANDLE window, LPVOID filter, DWORD flags) {
  const auto* asked = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(filter);
  if (flags != DEVICE_NOTIFY_WINDOW_HANDLE || asked->dbcc_devicetype != DBT_DEVTYP_DEVICEINTERFACE)
    return nullptr;
  g_notified = static_cast<HWND>(window);
  g_interface = asked->dbcc_classguid;
  return kNotify;
}

BOOL WINAPI stand_in_unregister(HDEVNOTIFY notify) {
  if (notify == kNotify) g_notified = nullptr;
  return notify == kNotify;
}

}  // namespace

#define PATU_SLOT(name, bytes, stand_in) \
  decltype(&name) slot_##name __asm__(PATU_IMPORT_SLOT(name, bytes)) = stand_in
extern "C" {
PATU_SLOT(SetupDiGetClassDevsW, 16, stand_in_list);
PATU_SLOT(SetupDiEnumDeviceInfo, 12, stand_in_enum);
PATU_SLOT(SetupDiOpenDevRegKey, 24, stand_in_key);
PATU_SLOT(SetupDiGetDeviceRegistryPropertyW, 28, stand_in_property);
PATU_SLOT(SetupDiDestroyDeviceInfoList, 4, stand_in_destroy);
PATU_SLOT(RegisterDeviceNotificationW, 12, stand_in_register);
PATU_SLOT(UnregisterDeviceNotification, 4, stand_in_unregister);
}

namespace patu::testing {
namespace {

// Windows tells the window that a port came or went; it has a second to show it.
void tell(Program& p, WPARAM event) {
  SendMessageW(p.fmATU.handle(), WM_DEVICECHANGE, event, 0);
  for (const DWORD start = GetTickCount(); GetTickCount() - start < 1000; Sleep(20)) {
    p.app.ProcessMessages();
  }
}

TEST(PortsW32, AnAdaptersNameComesAndGoesWithIt) {
  {
    Program p(sample_package());
    p.show();
    EXPECT_EQ(g_notified, p.fmATU.handle());
    const GUID com_ports = {
        0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
    EXPECT_TRUE(IsEqualGUID(g_interface, com_ports));
    click(p.fmATU.pnCOM3.handle());
    EXPECT_EQ(text_of(p.fmATU.lbGG), "COM 3: porta serial deste PC");

    g_devices = {{L"LPT1", L"Porta de impressora (LPT1)", L"ACPI\\PNP0400"},
                 {L"COM3", L"USB-SERIAL CH340 (COM3)",
                  std::wstring(L"USB\\VID_1A86&REV_02\0USB\\VID_1A86", 32)}};
    tell(p, DBT_DEVICEARRIVAL);
    EXPECT_EQ(text_of(p.fmATU.lbGG), "COM 3: USB-SERIAL CH340");
    g_devices[1].friendly.clear();
    tell(p, DBT_DEVICEARRIVAL);
    EXPECT_EQ(text_of(p.fmATU.lbGG), "COM 3: USB\\VID_1A86&REV_02");
    g_devices.clear();
    tell(p, DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(text_of(p.fmATU.lbGG), "COM 3: porta serial deste PC");
    EXPECT_EQ(g_lists_open, 0);
  }
  EXPECT_EQ(g_notified, nullptr) << "the window's notifications outlived it";
}

}  // namespace
}  // namespace patu::testing
