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
#include "tests/support/recording_window.h"
#include "tools/emulator/device.h"
#include "tools/emulator/emulated_port.h"
#include "tools/emulator/image_check.h"
#include "update/job.h"

namespace patu::testing {

// The lines of the package built into the program.
const std::vector<std::string>& shipped_text();

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
  silent_end,    // nothing shown, the program ends
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

// A port that notes when it was opened and closed and when each command began (the
// protocol empties the output queue first thing in every command), in virtual time.
class WatchedPort final : public SerialPort {
 public:
  WatchedPort(SerialPort& port, Clock& clock) : port_(port), clock_(clock) {}

  int opens = 0;
  int closes = 0;
  // Ticks of every open, command start and close, in order.
  std::vector<std::uint32_t> marks;
  // The longest time between two consecutive marks.
  std::uint32_t longest_gap() const;

  bool ABRE_PORTA(int porta) override;
  void FECHA_PORTA() override;
  bool ESCREVE_PORTA(const std::uint8_t* bytes, std::uint32_t count,
                     std::uint32_t& written) override {
    return port_.ESCREVE_PORTA(bytes, count, written);
  }
  bool LE_PORTA(std::uint32_t count, std::uint8_t* buffer, std::uint32_t& read) override {
    return port_.LE_PORTA(count, buffer, read);
  }
  void purge(Purge queue) override;
  bool PORTA_ABERTA() const override { return port_.PORTA_ABERTA(); }

 private:
  SerialPort& port_;
  Clock& clock_;
};

// One program's worth of state around the job, the device on port 1, the package loaded.
struct JobRun {
  JobRun(emu::DeviceConfig config, const std::vector<std::string>& package);
  void press() { job.btATUALIZAClick(); }
  const emu::Dump& dump() const { return device.state(); }
  Outcome outcome() const { return outcome_of(window, job.NUM_SERIE); }

  emu::Device device;
  ManualClock clock;
  emu::EmulatedPort emulated{device, clock};
  WatchedPort port{emulated, clock};
  Protocol link{port, clock};
  LineTable lines;
  PackageState state;
  LoadResult loaded;
  RecordingWindow window;
  UpdateJob job{port, link, lines, state, window};
};

// Commands of the device's log that were framed commands, in order.
std::vector<const emu::Exchange*> commands(const emu::Dump& dump);

// The device holds what it held before the run: its own info block and nothing else, no
// page, no erase, not finalized. One line per difference.
std::vector<std::string> written_anything(const emu::Dump& dump);

// image_differences, except that when the device never erased the module area (the job
// goes on whatever that erase answered) the pages written over it are not held against it.
std::vector<std::string> differences(const emu::DeviceImage& image, const emu::Dump& dump);

}  // namespace patu::testing
