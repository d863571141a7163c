#pragma once
// The patu-emulator program run by a test: a directory of its own for its link, dump and
// stderr; stdout through a pipe. Killed, and its directory removed, when the object goes.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tools/emulator/dump_read.h"

namespace patu::testing {

class EmulatorProcess {
 public:
  EmulatorProcess();
  ~EmulatorProcess();
  EmulatorProcess(const EmulatorProcess&) = delete;
  EmulatorProcess& operator=(const EmulatorProcess&) = delete;

  // Starts the program with exactly `options`.
  void start(const std::vector<std::string>& options);
  // Starts it as a device linked at link() that dumps to dump_path(), and waits for the link.
  // False when the link never appeared.
  bool start_device(const std::vector<std::string>& extra = {});

  // A file name in the program's directory.
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  std::string link() const { return path("device"); }
  std::string dump_path() const { return path("dump"); }
  std::string stderr_text() const;

  // Its stdout up to the first newline (waits up to 5 s), or all of it once it ended.
  std::string first_line();
  std::string rest_of_stdout();
  // The slave path the program announced on its first line ("pty <path>"); "" if none.
  std::string pty();

  // Waits for the program to end by itself: its exit status, or -1.
  int wait_exit(std::chrono::milliseconds limit = std::chrono::milliseconds(5000));
  // SIGTERM, then wait_exit().
  int stop();
  // Stops the program if it runs, and reads its dump (a test failure when it does not parse).
  std::optional<emu::Dump> dump();

 private:
  std::string dir_;
  pid_t pid_ = -1;
  int stdout_ = -1;
};

}  // namespace patu::testing
