// pATU.exe's start and no more: its imports, manifest, load configuration and first step;
// then it ends, before any window. The planted DLLs that it loads are those that the loader
// brings in before a program can act.

#include <windows.h>

#include <commctrl.h>
#include <objbase.h>
#include <setupapi.h>

#include "ui/dll_search.h"

// Referenced, never called: the program imports from the DLLs that pATU.exe imports from.
[[gnu::used]] const void* const imports[] = {reinterpret_cast<const void*>(&InitCommonControlsEx),
                                             reinterpret_cast<const void*>(&GetStockObject),
                                             reinterpret_cast<const void*>(&MessageBoxW),
                                             reinterpret_cast<const void*>(&CoUninitialize),
                                             reinterpret_cast<const void*>(&RegCloseKey),
                                             reinterpret_cast<const void*>(&SetupDiEnumDeviceInfo)};

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  patu::restrict_dll_search();
  return 0;
}
