#pragma once
// One press of "Atualiza" against the emulated device, in-process on virtual time, for the
// fault matrix and the soak: what the job should send (worked out from the package text),
// how each run ended as the window saw it, and how long the host waited between commands.

#include <cstdint>
#include <string>
#include <vector>

#include "link/clock.h"
#include "link/protocol.h"
#include "package/lines.h"
#include "package/loader.h"
#include "tests/support/job_rig.h"
#include "tools/emulator/device.h"
#include "tools/emulator/emulated_port.h"
#include "tools/emulator/image_check.h"
#include "update/job.h"

namespace patu::testing {

// Where a command stands in the update.
enum class Stage {
  identification,  // the first reading of the info block
  second_reading,
  firmware,
  module_area,  // the erase before the pages
  page,
  info_block,  // its erase and its write
  finalize,
};

struct PlannedCommand {
  int letter = 0;
  std::uint32_t argument = 0;  // as the emulator's command log gives it
  Stage stage = Stage::identification;
  int section = 0;  // firmware: 1 or 2
};

// The commands of a clean update with `package` (a valid package), in order; command
// number n of the device's log is element n - 1.
std::vector<PlannedCommand> plan_of(const std::vector<std::string>& package);

// How a run ended, as the window showed it.
enum class Outcome {
  no_device,     // message 3, the program keeps running
  incompatible,  // message 4, the program keeps running
  gone_quiet,    // message 3 after identification, the program ends
  wrong_serial,  // the serial number box, the program ends
  failed,        // "not completed" status and box, the program ends
  done,          // message 7 with the bar full, the program ends
  unknown,       // anything else
};
const char* name(Outcome outcome);

// The shape of each outcome, checked in full (messages, boxes, status, bar, end request,
// cursor); `serial` is the job's NUM_SERIE for the serial number box.
Outcome outcome_of(const RecordingWindow& window, const std::string& serial);

// The longest a single exchange may keep the host waiting under the port's time-outs:
// the handshake (5000 ms and the poll under way), the pause before a 'W', the pause before
// the reply, the wait for its length byte, and the rest of a 255-byte reply byte by byte.
inline constexpr std::uint32_t kLongestExchangeMs = 5100 + 50 + 80 + 5100 + 100 * 254;

// How a run ended, as its window showed it.
inline Outcome outcome_of(const JobRun& run) { return outcome_of(run.window, run.job.NUM_SERIE); }

// The device holds what it held before the run: its own info block and nothing else, no
// page, no erase, not finalized. One line per difference.
std::vector<std::string> written_anything(const emu::Dump& dump);

// image_differences, except that when the device never erased the module area (the job
// goes on whatever that erase answered) the pages written over it are not held against it.
std::vector<std::string> differences(const emu::DeviceImage& image, const emu::Dump& dump);

}  // namespace patu::testing
