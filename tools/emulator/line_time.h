#pragma once
// What the serial line itself needs for the exchanges an emulator log records, and how a
// run's time splits between the line and the host. The benchmark reads it off a measured run;
// the package tool off an update rehearsed on virtual time.

#include <optional>

#include "tools/emulator/dump.h"

namespace patu::emu {

// Milliseconds unless named otherwise.
struct LineTime {
  int commands = 0;  // framed commands
  // For every command the wire time of the sync byte, its complement and the frame, then the
  // longer of the 80 ms pause and the reply's wire time, 50 ms more before each 'W'; plus the
  // probe and its answer.
  double limit_ms = 0;
  // The least a host with no overhead of its own could take on a link where a write ends as
  // soon as the kernel has the bytes (a pseudo-terminal): the 80 ms pause then starts as the
  // frame leaves the host, and runs beside the frame's wire time.
  double floor_ms = 0;
  // The line waiting for the host, beyond the mandated pauses: from each complement to the
  // frame, and from each reply's end (or the probe's answer) to the next sync byte.
  double host_ms = 0;
  // On the device's clock (since its start): the probe's first bit and the last reply's last
  // bit.
  double start_ms = 0;
  double end_ms = 0;
};

// Nothing when the log holds neither a probe nor a command.
std::optional<LineTime> line_time(const Dump& dump);

}  // namespace patu::emu
