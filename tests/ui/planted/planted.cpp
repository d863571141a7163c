// A DLL named like a system DLL and planted beside a program. Loaded, it records it in a
// file beside itself, <its path>.loaded, holding the path of the program that loaded it. It
// answers the calls that Wine's own DLLs make of version.dll, imm32.dll and uxtheme.dll as if
// there were nothing to report, so that the program goes on.
//
// On request it stands in for a run-time load by the process: with PATU_PLANTED_PROBE=NAME
// in the environment, the first planted DLL loaded waits for a file load-now beside itself,
// then loads NAME by its bare name, as LoadLibrary callers do, and writes load-done there,
// holding the path of the module it got.

#include <windows.h>

#include <memory>
#include <string>

namespace {

std::wstring module_path(HMODULE module) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
  return length == 0 || length >= MAX_PATH ? std::wstring() : std::wstring(path, length);
}

void write_file(const std::wstring& path, const std::wstring& text) {
  const HANDLE file =
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written,
            nullptr);
  CloseHandle(file);
}

struct Probe {
  std::wstring folder;
  std::wstring name;
};

DWORD WINAPI run_probe(void* parameter) {
  const std::unique_ptr<Probe> probe(static_cast<Probe*>(parameter));
  const std::wstring now = probe->folder + L"load-now";
  for (int i = 0; i < 1200 && GetFileAttributesW(now.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) {
    Sleep(50);
  }
  const HMODULE module = LoadLibraryW(probe->name.c_str());
  write_file(probe->folder + L"load-done", module ? module_path(module) : L"none");
  return 0;
}

void start_probe(const std::wstring& self) {
  wchar_t name[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(L"PATU_PLANTED_PROBE", name, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  // One probe for the process, whichever planted DLL comes first.
  SetEnvironmentVariableW(L"PATU_PLANTED_PROBE", nullptr);
  auto* probe = new Probe{self.substr(0, self.find_last_of(L'\\') + 1), name};
  const HANDLE thread = CreateThread(nullptr, 0, run_probe, probe, 0, nullptr);
  if (thread != nullptr) CloseHandle(thread);
}

void record_load(HINSTANCE self) {
  const std::wstring path = module_path(self);
  if (path.empty()) return;
  write_file(path + L".loaded", module_path(nullptr));
  start_probe(path);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) record_load(self);
  return TRUE;
}

// Exported under the system DLLs' names by planted.def.
extern "C" {

// version.dll: no version information anywhere.
DWORD WINAPI planted_GetFileVersionInfoSizeW(LPCWSTR, LPDWORD handle) {
  if (handle) *handle = 0;
  SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
  return 0;
}
BOOL WINAPI planted_GetFileVersionInfoW(LPCWSTR, DWORD, DWORD, LPVOID) {
  SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
  return FALSE;
}
BOOL WINAPI planted_VerQueryValueW(LPCVOID, LPCWSTR, LPVOID*, PUINT length) {
  if (length) *length = 0;
  return FALSE;
}

// imm32.dll: no input method.
HANDLE WINAPI planted_ImmGetContext(HWND) { return nullptr; }
BOOL WINAPI planted_ImmReleaseContext(HWND, HANDLE) { return TRUE; }
LONG WINAPI planted_ImmGetCompositionString(HANDLE, DWORD, LPVOID, DWORD) { return 0; }
BOOL WINAPI planted_ImmProcessKey(HWND, HKL, UINT, LPARAM, DWORD) { return FALSE; }
BOOL WINAPI planted_ImmTranslateMessage(HWND, UINT, WPARAM, LPARAM) { return FALSE; }
// Through user32 as loaded: user32 imports version.dll, and an import back would be a cycle.
LRESULT WINAPI planted_ImeWndProcW(HWND window, UINT message, WPARAM w, LPARAM l) {
  using Proc = LRESULT(WINAPI*)(HWND, UINT, WPARAM, LPARAM);
  static const auto proc = reinterpret_cast<Proc>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "DefWindowProcW")));
  return proc(window, message, w, l);
}

// uxtheme.dll: no visual style, so nothing asks for theme parts.
HANDLE WINAPI planted_OpenThemeData(HWND, LPCWSTR) { return nullptr; }
HANDLE WINAPI planted_OpenThemeDataForDpi(HWND, LPCWSTR, UINT) { return nullptr; }
HANDLE WINAPI planted_GetWindowTheme(HWND) { return nullptr; }
HRESULT WINAPI planted_CloseThemeData(HANDLE) { return S_OK; }
BOOL WINAPI planted_IsThemeActive() { return FALSE; }
HRESULT WINAPI planted_EnableThemeDialogTexture(HWND, DWORD) { return S_OK; }
BOOL WINAPI planted_IsThemePartDefined(HANDLE, int, int) { return FALSE; }
BOOL WINAPI planted_IsThemeBackgroundPartiallyTransparent(HANDLE, int, int) { return FALSE; }
HRESULT WINAPI planted_DrawThemeParentBackground(HWND, HDC, const RECT*) { return E_FAIL; }

}  // extern "C"
