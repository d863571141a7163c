// The ports as Windows lists them, played at the import slots for every window test here:
// SERIALCOMM read from a key of the test's own, its ports' device names, the SetupAPI ports
// class and the device notifications (Wine has neither) from the stand-ins below.

#include <gtest/gtest.h>
#include <windows.h>

#include <dbt.h>
#include <setupapi.h>

#include <algorithm>
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
std::vector<std::wstring> g_serialcomm;  // "COMn" values
int g_lists_open = 0;
HWND g_notified = nullptr;
GUID g_notified_interface{};
const auto kList = reinterpret_cast<HDEVINFO>(0x2600);
const auto kNotify = reinterpret_cast<HDEVNOTIFY>(0x2601);
const wchar_t kTests[] = L"Software\\pATU-tests";

using Values = std::vector<std::pair<std::wstring, std::wstring>>;

// A fresh key of the test's own holding `values`.
HKEY test_key(const Values& values) {
  RegDeleteTreeW(HKEY_CURRENT_USER, kTests);
  HKEY key = nullptr;
  RegCreateKeyExW(HKEY_CURRENT_USER, kTests, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  for (const auto& [name, value] : values) {
    RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  }
  return key;
}

LSTATUS WINAPI stand_in_RegOpenKeyExW(HKEY key, LPCWSTR sub, DWORD options, REGSAM sam, PHKEY out) {
  if (key == HKEY_LOCAL_MACHINE && _wcsicmp(sub, L"HARDWARE\\DEVICEMAP\\SERIALCOMM") == 0) {
    Values values;
    for (const std::wstring& port : g_serialcomm) values.push_back({L"\\Device\\" + port, port});
    *out = test_key(values);
    return ERROR_SUCCESS;
  }
  static const auto real = reinterpret_cast<decltype(&RegOpenKeyExW)>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"advapi32.dll"), "RegOpenKeyExW")));
  return real(key, sub, options, sam, out);
}

HDEVINFO WINAPI stand_in_GetClassDevs(const GUID* cls, PCWSTR, HWND, DWORD flags) {
  const GUID ports = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
  if (!IsEqualGUID(*cls, ports) || flags != DIGCF_PRESENT) return INVALID_HANDLE_VALUE;
  ++g_lists_open;
  return kList;
}

BOOL WINAPI stand_in_Enum(HDEVINFO, DWORD i, PSP_DEVINFO_DATA data) {
  data->DevInst = i;
  if (i < g_devices.size()) return TRUE;
  SetLastError(ERROR_NO_MORE_ITEMS);
  return FALSE;
}

HKEY WINAPI stand_in_OpenKey(HDEVINFO, PSP_DEVINFO_DATA data, DWORD scope, DWORD, DWORD type,
                             REGSAM) {
  if (scope != DICS_FLAG_GLOBAL || type != DIREG_DEV)
    return static_cast<HKEY>(INVALID_HANDLE_VALUE);
  return test_key({{L"PortName", g_devices[data->DevInst].port_name}});
}

BOOL WINAPI stand_in_Property(HDEVINFO, PSP_DEVINFO_DATA data, DWORD property, PDWORD type,
                              PBYTE buffer, DWORD size, PDWORD needed) {
  const Device& device = g_devices[data->DevInst];
  const std::wstring& text = property == SPDRP_FRIENDLYNAME ? device.friendly : device.hardware_ids;
  const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
  if (text.empty() || bytes > size) return FALSE;
  *type = property == SPDRP_FRIENDLYNAME ? REG_SZ : REG_MULTI_SZ;
  std::memcpy(buffer, text.c_str(), bytes);
  *needed = bytes;
  return TRUE;
}

// A port of SERIALCOMM has a device name; no other.
DWORD WINAPI stand_in_QueryDosDeviceW(LPCWSTR name, LPWSTR target, DWORD size) {
  if (std::find(g_serialcomm.begin(), g_serialcomm.end(), name) == g_serialcomm.end()) return 0;
  lstrcpynW(target, L"\\Device\\Serial", static_cast<int>(size));
  return 15;
}

BOOL WINAPI stand_in_Destroy(HDEVINFO list) { return list == kList && g_lists_open-- > 0; }

HDEVNOTIFY WINAPI stand_in_Register(HANDLE window, LPVOID filter, DWORD flags) {
  const auto* asked = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(filter);
  if (flags != DEVICE_NOTIFY_WINDOW_HANDLE || asked->dbcc_devicetype != DBT_DEVTYP_DEVICEINTERFACE)
    return nullptr;
  g_notified = static_cast<HWND>(window);
  g_notified_interface = asked->dbcc_classguid;
  return kNotify;
}

BOOL WINAPI stand_in_Unregister(HDEVNOTIFY notify) {
  if (notify == kNotify) g_notified = nullptr;
  return notify == kNotify;
}

}  // namespace

extern "C" {
decltype(&RegOpenKeyExW) slot_open __asm__(PATU_IMPORT_SLOT(RegOpenKeyExW,
                                                            20)) = stand_in_RegOpenKeyExW;
decltype(&QueryDosDeviceW) slot_dos __asm__(PATU_IMPORT_SLOT(QueryDosDeviceW,
                                                             12)) = stand_in_QueryDosDeviceW;
decltype(&SetupDiGetClassDevsW) slot_list __asm__(PATU_IMPORT_SLOT(SetupDiGetClassDevsW,
                                                                   16)) = stand_in_GetClassDevs;
decltype(&SetupDiEnumDeviceInfo) slot_enum __asm__(PATU_IMPORT_SLOT(SetupDiEnumDeviceInfo,
                                                                    12)) = stand_in_Enum;
decltype(&SetupDiOpenDevRegKey) slot_key __asm__(PATU_IMPORT_SLOT(SetupDiOpenDevRegKey,
                                                                  24)) = stand_in_OpenKey;
decltype(&SetupDiGetDeviceRegistryPropertyW) slot_property __asm__(
    PATU_IMPORT_SLOT(SetupDiGetDeviceRegistryPropertyW, 28)) = stand_in_Property;
decltype(&SetupDiDestroyDeviceInfoList) slot_destroy __asm__(
    PATU_IMPORT_SLOT(SetupDiDestroyDeviceInfoList, 4)) = stand_in_Destroy;
decltype(&RegisterDeviceNotificationW) slot_register __asm__(
    PATU_IMPORT_SLOT(RegisterDeviceNotificationW, 12)) = stand_in_Register;
decltype(&UnregisterDeviceNotification) slot_unregister __asm__(
    PATU_IMPORT_SLOT(UnregisterDeviceNotification, 4)) = stand_in_Unregister;
}

namespace patu::testing {
namespace {

// "COM 1- [COM 2] COM 9": COM 1 greyed, COM 2 yellow.
std::string panels(const TfmATU& w) {
  std::string text;
  for (Panel* port : w.LISTA_PORTAS) {
    std::string caption = text_of(port->handle()) + (port->greyed() ? "-" : "");
    if (port->Color() == kYellow) caption = '[' + caption + ']';
    if (!text.empty()) text += ' ';
    text += caption;
  }
  return text;
}

// The ports now: "COMn" values of SERIALCOMM, and the ports class's devices.
void ports_are(std::vector<std::wstring> serialcomm, std::vector<Device> devices) {
  g_serialcomm = std::move(serialcomm);
  g_devices = std::move(devices);
}

// Windows tells the window that a port came or went; it has a second to show it.
void tell(Program& p, WPARAM event) {
  SendMessageW(p.fmATU.handle(), WM_DEVICECHANGE, event, 0);
  for (const DWORD start = GetTickCount(); GetTickCount() - start < 1000; Sleep(20)) {
    p.app.ProcessMessages();
  }
}

TEST(PortsW32, TheAdaptersNameFromTheDevicesOfThePortsClass) {
  ports_are({L"COM2", L"COM9"},
            {{L"LPT1", L"Porta de impressora (LPT1)", L"ACPI\\PNP0400"},
             {L"COM9", L"USB-SERIAL CH340 (COM9)", std::wstring(L"USB\\VID_1A86&REV_02\0USB", 23)},
             {L"COM2", L"", L""}});
  {
    Program p(sample_package());
    p.show();
    EXPECT_EQ(panels(p.fmATU), "COM 1- [COM 2] COM 3- COM 4- COM 5- COM 9");
    EXPECT_EQ(text_of(p.fmATU.lbGG), "COM 2: porta serial deste PC");
    click(p.fmATU.pnCOM6.handle());
    EXPECT_EQ(p.fmATU.PORTA_COM(), 9);
    EXPECT_EQ(text_of(p.fmATU.lbGG), "COM 9: USB-SERIAL CH340");
    EXPECT_EQ(g_lists_open, 0);
    EXPECT_EQ(g_notified, p.fmATU.handle());
    const GUID ports = {
        0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
    EXPECT_TRUE(IsEqualGUID(g_notified_interface, ports));
  }
  EXPECT_EQ(g_notified, nullptr) << "the window's notifications outlived it";
}

TEST(PortsW32, AnAdapterPluggedInAndPulledOut) {
  ports_are({}, {});
  Program p(sample_package());
  p.show();
  EXPECT_EQ(text_of(p.fmATU.lbGG), "COM 1: esta porta não existe neste PC");
  ports_are({L"COM12"}, {{L"COM12", L"Prolific USB-to-Serial Comm Port (COM12)", L"USB"}});
  tell(p, DBT_DEVICEARRIVAL);
  EXPECT_EQ(panels(p.fmATU), "COM 1- COM 2- COM 3- COM 4- COM 5- [COM 12]");
  EXPECT_EQ(text_of(p.fmATU.lbGG), "COM 12: Prolific USB-to-Serial Comm Port");
  ports_are({}, {});
  tell(p, DBT_DEVICEREMOVECOMPLETE);
  EXPECT_EQ(panels(p.fmATU), "[COM 1-] COM 2- COM 3- COM 4- COM 5- COM 6-");
  EXPECT_EQ(p.fmATU.PORTA_COM(), 1);
}

}  // namespace
}  // namespace patu::testing
