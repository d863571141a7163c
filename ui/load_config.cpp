// The executable's load configuration: DependentLoadFlags LOAD_LIBRARY_SEARCH_SYSTEM32, the
// load flags that the loader uses when it resolves the program's statically linked imports,
// so that those DLLs are searched for in the system folder only. Windows 10 1607 and later
// honour it; earlier versions ignore the field. Every other field is zero: no security
// cookie, no SEH or guard tables.
//
// The x86 structure carries the SafeSEH fields (SEHandlerTable, SEHandlerCount), and a loader
// that finds a table there lets only the handlers listed in it run. Ours ends before them
// (Size 0x40, the structure's size before those fields were added), and the 8 bytes after it
// are zero for a loader that reads them anyway: no table. The i686 program says NO_SEH
// instead (it registers no frame-based handler).
//
// GNU ld 2.40 does not point the PE's load-configuration directory at this structure; the
// post-link step patu-pe-load-config does, finding it by its section of its own.

#include <windows.h>

#include <cstddef>

namespace {

#ifdef _WIN64
using LoadConfig = IMAGE_LOAD_CONFIG_DIRECTORY64;
constexpr DWORD kSize = sizeof(LoadConfig);
#else
using LoadConfig = IMAGE_LOAD_CONFIG_DIRECTORY32;
constexpr DWORD kSize = offsetof(LoadConfig, SEHandlerTable);
static_assert(kSize == 0x40);
#endif

// The headers of this toolchain predate the field's name: DependentLoadFlags is Reserved1.
constexpr LoadConfig load_config() {
  LoadConfig config{};
  config.Size = kSize;
  config.Reserved1 = LOAD_LIBRARY_SEARCH_SYSTEM32;
  return config;
}

}  // namespace

// The name the loader's tooling knows it by. Constant-initialised: the loader reads it from
// the file, before any code runs.
extern "C" {
[[gnu::section(".loadcfg"), gnu::used]] extern constinit const LoadConfig _load_config_used =
    load_config();
}
