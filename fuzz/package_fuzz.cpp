// The update package on arbitrary text: its rules, its loader, the package compiler's
// outputs, and an update of the emulated device with whatever the loader accepts.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/check.h"
#include "package/lines.h"
#include "package/loader.h"
#include "package/validator.h"
#include "tests/support/recording_window.h"
#include "tools/emulator/device.h"
#include "tools/emulator/emulated_port.h"
#include "tools/package-compiler/compiler.h"
#include "update/job.h"

using patu::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> lines = patu::split_package_text(text);
  const std::vector<patu::PackageBreach> breaches = patu::validate_package(lines);
  for (std::size_t i = 1; i < breaches.size(); ++i) {
    require(breaches[i - 1].line <= breaches[i].line, "breaches come in line order");
  }
  const bool accepted = breaches.empty();
  if (accepted) {
    for (char c : patu::package_table_source(lines)) {
      require(static_cast<unsigned char>(c) < 0x80, "the native table is plain ASCII");
    }
    require(!patu::package_resource_script(lines).empty(), "a resource script is written");
  }

  const patu::LineTable table(lines);
  patu::PackageState state;
  const patu::LoadResult loaded = patu::load_package(table, state);
  require(loaded.ok == state.loaded, "the state says whether the load succeeded");
  require(!accepted || loaded.ok, "a package the rules accept loads");
  if (!loaded.ok) {
    require(!loaded.error.empty(), "a refusal says why");
    return 0;
  }
  require(state.LISTA_MODULOS.size() <= 23, "at most 23 module codes load");
  require(loaded.pbAND_max.has_value() && *loaded.pbAND_max > 0, "the bar gets a range");

  // Whatever loads, the job runs to its end against a device that answers everything.
  patu::emu::DeviceConfig config;
  config.module_area = static_cast<std::uint16_t>(state.END_MODULOS);
  patu::emu::Device device(config);
  patu::ManualClock clock;
  patu::emu::EmulatedPort port(device, clock);
  patu::Protocol link(port, clock);
  patu::testing::RecordingWindow window(*loaded.pbAND_max);
  patu::UpdateJob job(port, link, table, state, window);
  job.btATUALIZAClick();
  require(!port.PORTA_ABERTA(), "the port is closed after the job");
  require(window.end_requested, "an update ends the program");
  require(!state.loaded, "an update consumes the package");
  if (accepted) {
    require(window.messages == std::vector<int>{patu::kMsgPrompt, patu::kMsgDone},
            "a package the rules accept updates a willing device");
    require(device.state().finalized, "the device was finalized");
    require(device.state().violations.empty(), "the device saw no protocol violation");
  }
  return 0;
}
