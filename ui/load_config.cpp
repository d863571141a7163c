// The executable's load configuration: DependentLoadFlags LOAD_LIBRARY_SEARCH_SYSTEM32, so
// that the DLLs that the system's DLLs import are taken from the system folder only (Windows
// 10's loader reads the field; older loaders hold it reserved and ignore it). Every other
// field is zero: no security cookie, no SEH or guard tables. x86-64 only.
//
// GNU ld 2.40 does not point the PE's load-configuration directory at this structure; the
// post-link step patu-pe-load-config does, finding it by its section of its own.

#include <windows.h>

namespace {

// The headers of this toolchain predate the field's name: DependentLoadFlags is Reserved1.
constexpr IMAGE_LOAD_CONFIG_DIRECTORY64 load_config() {
  IMAGE_LOAD_CONFIG_DIRECTORY64 config{};
  config.Size = sizeof config;
  config.Reserved1 = LOAD_LIBRARY_SEARCH_SYSTEM32;
  return config;
}

}  // namespace

// The name the loader's tooling knows it by. Constant-initialised: the loader reads it from
// the file, before any code runs.
extern "C" {
[[gnu::section(".loadcfg"),
  gnu::used]] extern constinit const IMAGE_LOAD_CONFIG_DIRECTORY64 _load_config_used =
    load_config();
}
