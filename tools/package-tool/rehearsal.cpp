#include "tools/package-tool/rehearsal.h"

#include "link/clock.h"
#include "package/lines.h"
#include "package/loader.h"
#include "tools/emulator/device.h"
#include "tools/emulator/emulated_port.h"
#include "tools/emulator/line_time.h"
#include "tools/package-tool/refusal.h"
#include "update/job.h"
#include "update/window.h"

namespace patu::pkg {
namespace {

// A technician who confirms the prompt and reads the outcome.
class ConfirmingWindow final : public JobWindow {
 public:
  explicit ConfirmingWindow(int progress_max) : max_(progress_max) {}

  bool done = false;
  std::string box;  // a message box's text, if one showed

  int PORTA_COM() const override { return 1; }
  bool SHOW_MSG(int code) override {
    if (code == kMsgDone) done = true;
    return code == kMsgPrompt || code == kMsgDone;
  }
  void set_status(std::string_view) override {}
  void step_progress(int) override {}
  int progress_max() const override { return max_; }
  void message_box(std::string_view text, Box) override { box = text; }
  void set_cursor(Cursor) override {}
  void request_end() override {}
  void hold_pc(bool) override {}

 private:
  int max_;
};

}  // namespace

Rehearsal rehearse_update(const std::vector<std::string>& lines, std::uint32_t baud) {
  const LineTable table(lines);
  PackageState state;
  const LoadResult loaded = load_package(table, state);
  if (!loaded.ok) throw Refusal("the rehearsed update cannot load the package: " + loaded.error);

  emu::DeviceConfig config;
  config.module_area = static_cast<std::uint16_t>(state.END_MODULOS);
  config.baud = baud;
  emu::Device device(config);
  ManualClock clock;
  emu::EmulatedPort port(device, clock);
  Protocol link(port, clock);
  ConfirmingWindow window(loaded.pbAND_max.value_or(0));
  UpdateJob job(port, link, table, state, window);
  job.btATUALIZAClick();

  const emu::Dump& dump = device.state();
  if (!window.done || !window.box.empty() || !dump.finalized || !dump.violations.empty()) {
    throw Refusal("the update rehearsed against the emulated device did not complete" +
                  (window.box.empty() ? std::string() : ": " + window.box));
  }
  const auto time = emu::line_time(dump);
  Rehearsal out;
  out.commands = time->commands;
  out.floor_ms = time->floor_ms;
  out.info = device.block(emu::kInfoAddress);
  return out;
}

}  // namespace patu::pkg
