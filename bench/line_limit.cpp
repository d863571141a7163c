// patu-bench-line: what the serial line allows for the run an emulator dump records, and
// how the run's time splits between the line and the host.
//   patu-bench-line DUMP
// Prints key=value lines (ms unless named otherwise):
//   commands, byte_us           the exchanges and the wire time of one byte
//   limit_ms                    the line limit: for every command the wire time of the sync
//                               byte, its complement and the frame, then the longer of the
//                               80 ms pause and the reply's wire time, 50 ms more before
//                               each 'W'; plus the probe and its answer
//   span_ms                     measured on the device's clock: from the probe's first bit to
//                               the last reply's last bit
//   start_ms, end_ms            those two moments on the device's clock (since its start)
//   floor_ms                    the least a host with no overhead of its own could take on
//                               this link, where a write ends as soon as the kernel has the
//                               bytes (a pseudo-terminal): the 80 ms pause then starts as the
//                               frame leaves the host, and runs beside the frame's wire time
//   host_ms                     the line waiting for the host, beyond the mandated pauses:
//                               from each complement to the frame, and from each reply's end
//                               (or the probe's answer) to the next sync byte
// Exit 1 when the dump cannot be read or records no probe and no command.

#include <algorithm>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>

#include "tools/emulator/dump.h"

namespace {

constexpr double kReplyPauseMs = 80;
constexpr double kWritePauseMs = 50;

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: patu-bench-line DUMP\n";
    return 2;
  }
  std::ifstream in(argv[1]);
  std::stringstream text;
  text << in.rdbuf();
  std::string error;
  const auto dump = patu::emu::parse_dump(text.str(), &error);
  if (!dump) {
    std::cerr << "patu-bench-line: " << argv[1] << ": " << error << "\n";
    return 1;
  }
  const double bt = dump->byte_time_us / 1000.0;

  double limit = 0, floor = 0, host = 0;
  double start = -1, previous_end = -1;
  // The earliest end of the previous command's mandated pause, when it could outlast the reply.
  double pause_end = -1;
  int commands = 0;
  for (const patu::emu::Exchange& e : dump->log) {
    using Kind = patu::emu::Exchange::Kind;
    if (e.kind == Kind::probe) {
      const auto answer = static_cast<double>(e.answer.size());
      limit += (1 + answer) * bt;
      floor += (1 + answer) * bt;
      if (start < 0) start = static_cast<double>(e.t_in) - bt;
      previous_end = e.t_out < 0 ? static_cast<double>(e.t_in) : e.t_out + answer * bt;
      pause_end = -1;
      continue;
    }
    if (e.kind != Kind::command) continue;
    ++commands;
    const double frame = e.frame_received, reply = e.reply_sent;
    const double before = e.letter == 'W' ? kWritePauseMs : 0;
    limit += (2 + frame) * bt + std::max(kReplyPauseMs, reply * bt) + before;
    floor += std::max(2 * bt + kReplyPauseMs, (2 + frame + reply) * bt) + before;

    const double sync_start = static_cast<double>(e.t_in) - bt;
    if (start < 0) start = sync_start;
    if (previous_end >= 0) {
      host += sync_start - std::max(previous_end, pause_end) - before;
    }
    if (e.t_frame >= 0) {
      host += static_cast<double>(e.t_frame) - frame * bt - (static_cast<double>(e.t_in) + bt);
      pause_end = static_cast<double>(e.t_frame) - frame * bt + kReplyPauseMs;
    }
    previous_end = e.t_out >= 0 ? e.t_out + reply * bt : -1;
  }
  if (start < 0) {
    std::cerr << "patu-bench-line: " << argv[1] << " records no exchange\n";
    return 1;
  }
  std::cout << std::fixed << std::setprecision(0) << "commands=" << commands
            << "\nbyte_us=" << dump->byte_time_us << "\nlimit_ms=" << limit
            << "\nspan_ms=" << previous_end - start << "\nstart_ms=" << start
            << "\nend_ms=" << previous_end << "\nfloor_ms=" << floor << "\nhost_ms=" << host
            << "\n";
  return 0;
}
