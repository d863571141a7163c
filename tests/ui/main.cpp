#include <gtest/gtest.h>
#include <windows.h>

#include <commctrl.h>

namespace {

// Under Wine without a window manager, hiding a managed window waits two seconds for a
// manager that never answers; these tests show and hide windows all the time.
void unmanaged_windows_under_wine() {
  if (!GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")) return;
  HKEY key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\ui_test.exe\\X11 Driver", 0,
                      nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return;
  }
  RegSetValueExW(key, L"Managed", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"N"),
                 2 * sizeof(wchar_t));
  RegCloseKey(key);
}

}  // namespace

int main(int argc, char** argv) {
  unmanaged_windows_under_wine();
  const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                      ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
