#pragma once
// Reads the update package's header, contents, addresses and module list into the package
// state, and tells the window what to show. Nothing here touches the device.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "package/lines.h"

namespace patu {

// How every refusal of a package's layout begins; a description of the breach follows.
inline constexpr std::string_view kInvalidPackage = "Pacote de atualização inválido: ";

// The package state: one per program, living for the whole run.
struct PackageState {
  std::uint8_t VERSAO_PACOTE = 0;
  std::uint32_t END_SECAO1 = 0;
  std::uint32_t END_SECAO2 = 0;
  std::uint32_t END_MODULOS = 0;
  std::vector<std::string> LISTA_MODULOS;  // module codes in package order
  std::int32_t LINHA_ATUAL = 0;            // next package line to consume
  // True only after a load that succeeded in full and that no update has consumed since.
  // Nothing may be written to a device from a package for which this is false.
  bool loaded = false;
};

// What a load gives the window. A field is set only when the load got as far as the step
// that fills it; the window leaves the controls of unset fields as they were.
struct LoadResult {
  bool ok = false;
  std::string error;  // for the user, when !ok
  std::optional<std::string> lbDATA;
  std::optional<std::string> lbATU;
  std::optional<std::vector<std::string>> mmA;  // one entry per memo line
  std::optional<int> pbAND_max;                 // the progress bar's new maximum
};

// The main window's package loading, run at each activation. Every search stops at the last
// line number; a package without its end line or a marker, with a version that is no
// integer, with more than 23 module codes or with a section or group left unclosed is
// refused, and then `state.loaded` is false.
LoadResult load_package(const PackageLines& lines, PackageState& state);

}  // namespace patu
