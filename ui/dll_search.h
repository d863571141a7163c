#pragma once
// DLLs named like the system's and placed beside pATU.exe, or in the folder it runs in, are
// never loaded: run-time loads look in the system folder only. The DLLs that the system's
// own DLLs import are covered by the executable's load configuration (ui/load_config.cpp).

namespace patu {

// The program's first step. Where the system lacks SetDefaultDllDirectories (Windows 7
// without update KB2533623) it does nothing and the program starts as before, with the
// system's usual search order.
void restrict_dll_search();

}  // namespace patu
