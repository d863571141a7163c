#pragma once
// One program's worth of state around the update job, against the emulated device
// in-process on virtual time: the tests press "Atualiza" and judge both sides, what the
// window was shown and what the device holds.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "link/clock.h"
#include "link/protocol.h"
#include "package/lines.h"
#include "package/loader.h"
#include "tests/support/recording_window.h"
#include "tools/emulator/device.h"
#include "tools/emulator/emulated_port.h"
#include "update/job.h"

namespace patu::testing {

// The lines of the package built into the program.
const std::vector<std::string>& shipped_text();

// A port that notes when it was opened and closed and when each command began (the
// protocol empties the output queue first thing in every command), in virtual time, and
// counts what went to or came from the line while the window did not hold the PC.
class WatchedPort final : public SerialPort {
 public:
  WatchedPort(SerialPort& port, Clock& clock, const bool& held)
      : port_(port), clock_(clock), held_(held) {}

  int opens = 0;
  int closes = 0;
  // Ticks of every open, command start and close, in order.
  std::vector<std::uint32_t> marks;
  // The longest time between two consecutive marks.
  std::uint32_t longest_gap() const;
  // Reads, writes and purges of an open port while `held` was false.
  int unguarded = 0;
  // Runs as each command begins, before anything of it reaches the line.
  std::function<void()> on_command;

  bool ABRE_PORTA(int porta) override;
  void FECHA_PORTA() override;
  bool ESCREVE_PORTA(const std::uint8_t* bytes, std::uint32_t count,
                     std::uint32_t& written) override {
    watch();
    return port_.ESCREVE_PORTA(bytes, count, written);
  }
  bool LE_PORTA(std::uint32_t count, std::uint8_t* buffer, std::uint32_t& read) override {
    watch();
    return port_.LE_PORTA(count, buffer, read);
  }
  void purge(Purge queue) override;
  bool PORTA_ABERTA() const override { return port_.PORTA_ABERTA(); }

 private:
  void watch() { unguarded += port_.PORTA_ABERTA() && !held_ ? 1 : 0; }

  SerialPort& port_;
  Clock& clock_;
  const bool& held_;
};

// The device on port 1; the package loaded as the window loads it (see `loaded`).
struct JobRun {
  JobRun(emu::DeviceConfig config, const std::vector<std::string>& package);
  void press() { job.btATUALIZAClick(); }
  const emu::Dump& dump() const { return device.state(); }

  emu::Device device;
  ManualClock clock;
  LineTable lines;
  PackageState state;
  LoadResult loaded;
  RecordingWindow window;
  emu::EmulatedPort emulated{device, clock, 1};
  WatchedPort port{emulated, clock, window.held};
  Protocol link{port, clock};
  UpdateJob job{port, link, lines, state, window};
};

// The PC was held once per opening of the port, over every exchange with the device, and
// let go before any report was shown.
void expect_pc_held_for_the_exchanges_only(const JobRun& run);

// Commands of the device's log that were framed commands, in order.
std::vector<const emu::Exchange*> commands(const emu::Dump& dump);

}  // namespace patu::testing
