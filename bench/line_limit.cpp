// patu-bench-line: what the serial line allows for the run an emulator dump records, and
// how the run's time splits between the line and the host (tools/emulator/line_time.h).
//   patu-bench-line DUMP
// Prints key=value lines (ms unless named otherwise):
//   commands, byte_us           the exchanges and the wire time of one byte
//   limit_ms                    the line limit
//   span_ms                     measured on the device's clock: from the probe's first bit to
//                               the last reply's last bit
//   start_ms, end_ms            those two moments on the device's clock (since its start)
//   floor_ms                    the least a host with no overhead of its own could take on
//                               this link (a pseudo-terminal)
//   host_ms                     the line waiting for the host, beyond the mandated pauses
// Exit 1 when the dump cannot be read or records no probe and no command.

#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>

#include "tools/emulator/dump_read.h"
#include "tools/emulator/line_time.h"

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
  const auto t = patu::emu::line_time(*dump);
  if (!t) {
    std::cerr << "patu-bench-line: " << argv[1] << " records no exchange\n";
    return 1;
  }
  std::cout << std::fixed << std::setprecision(0) << "commands=" << t->commands
            << "\nbyte_us=" << dump->byte_time_us << "\nlimit_ms=" << t->limit_ms
            << "\nspan_ms=" << t->end_ms - t->start_ms << "\nstart_ms=" << t->start_ms
            << "\nend_ms=" << t->end_ms << "\nfloor_ms=" << t->floor_ms
            << "\nhost_ms=" << t->host_ms << "\n";
  return 0;
}
