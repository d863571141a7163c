// pATU.exe as it was before its DLL loads were confined: the first step does nothing.

#include "ui/dll_search.h"

void patu::restrict_dll_search() {}
