// patu-emulator: the device on a pseudo-terminal. See README.md in this folder.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "tools/emulator/device.h"
#include "tools/emulator/dump.h"
#include "tools/emulator/fault.h"

namespace {

using patu::emu::Device;
using patu::emu::DeviceConfig;
using patu::emu::Exchange;
using patu::emu::Micros;

constexpr std::string_view kUsage = R"(usage: patu-emulator [options]
Plays the key-programming device in update mode on a pseudo-terminal. Prints
"pty <slave path>" and serves until SIGTERM/SIGINT or a hangup fault.

  --serial HEX6          serial number, info block bytes 0-2 (default 0A1BFF)
  --info HEX256          the whole initial info block (--serial then overrides bytes 0-2)
  --module-area HEX4     address whose erase also erases every module page (default AA00)
  --sync85-only          a device of another version: answers sync byte 0x85 only
  --probe-answer HEX     bytes that answer the probe 0xAB (default 54, "T"; empty: none)
  --silent-after-probe   answer the probe, then no sync byte ever
  --waiting HEX          bytes already waiting in the line when the host opens the port
  --fault KIND@TRIGGER   inject a fault (repeatable; the first that matches hits), e.g.
                         nak@W#3  silence@#12  hangup@F:01FC  poweroff@F#9  slow=6000@D
  --baud N               pace both directions at N baud 8N1 (e.g. 9600)
  --dump FILE            write the dump there when the run ends
  --path-file FILE       write the slave path there once it is ready
  --link PATH            make PATH a symbolic link to the slave (removed at exit)
  --help                 this text
)";

struct Options {
  DeviceConfig device;
  std::string dump_path;
  std::string path_file;
  std::string link_path;
};

volatile sig_atomic_t g_stop = 0;
void on_stop_signal(int) { g_stop = 1; }

template <std::size_t N>
bool hex_exactly(std::string_view text, std::array<std::uint8_t, N>& out) {
  const auto bytes = patu::emu::from_hex(text);
  if (!bytes || bytes->size() != N) return false;
  std::copy(bytes->begin(), bytes->end(), out.begin());
  return true;
}

// Reads argv into `o`. Returns nullopt to go on, or the exit status (0 after --help).
std::optional<int> parse_options(int argc, char** argv, Options& o) {
  std::optional<std::array<std::uint8_t, 3>> serial;
  auto fail = [](const std::string& why) {
    std::cerr << "patu-emulator: " << why << "\n(see patu-emulator --help)\n";
    return std::optional<int>(2);
  };
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    std::optional<std::string> inline_value;
    if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      inline_value = name.substr(eq + 1);
      name.resize(eq);
    }
    auto flag = [&]() { return !inline_value.has_value(); };
    auto value = [&]() -> std::optional<std::string> {
      if (inline_value) return inline_value;
      if (i + 1 < argc) return std::string(argv[++i]);
      return std::nullopt;
    };
    if (name == "--help" && flag()) {
      std::cout << kUsage;
      return 0;
    }
    if (name == "--sync85-only" && flag()) {
      o.device.sync85_only = true;
      continue;
    }
    if (name == "--silent-after-probe" && flag()) {
      o.device.silent_after_probe = true;
      continue;
    }
    const bool takes_value = name == "--serial" || name == "--info" || name == "--module-area" ||
                             name == "--probe-answer" || name == "--waiting" || name == "--fault" ||
                             name == "--baud" || name == "--dump" || name == "--path-file" ||
                             name == "--link";
    if (!takes_value) return fail("unknown option '" + std::string(argv[i]) + "'");
    const std::optional<std::string> v = value();
    if (!v) return fail(name + " needs a value");
    if (name == "--serial") {
      std::array<std::uint8_t, 3> s{};
      if (!hex_exactly(*v, s)) return fail("--serial takes 6 hex digits, not '" + *v + "'");
      serial = s;
    } else if (name == "--info") {
      if (!hex_exactly(*v, o.device.info)) return fail("--info takes 256 hex digits");
    } else if (name == "--module-area") {
      std::array<std::uint8_t, 2> a{};
      if (!hex_exactly(*v, a)) return fail("--module-area takes 4 hex digits, not '" + *v + "'");
      o.device.module_area = static_cast<std::uint16_t>(a[0] << 8 | a[1]);
    } else if (name == "--probe-answer") {
      const auto bytes = patu::emu::from_hex(*v);
      if (!bytes) return fail("--probe-answer takes pairs of hex digits, not '" + *v + "'");
      o.device.probe_answer = *bytes;
    } else if (name == "--waiting") {
      const auto bytes = patu::emu::from_hex(*v);
      if (!bytes || bytes->empty()) {
        return fail("--waiting takes one or more pairs of hex digits, not '" + *v + "'");
      }
      o.device.waiting = *bytes;
    } else if (name == "--fault") {
      std::string why;
      const auto fault = patu::emu::parse_fault(*v, &why);
      if (!fault) return fail("--fault " + *v + ": " + why);
      o.device.faults.push_back(*fault);
    } else if (name == "--baud") {
      std::uint32_t baud = 0;
      const auto [end, ec] = std::from_chars(v->data(), v->data() + v->size(), baud);
      if (ec != std::errc{} || end != v->data() + v->size() || baud == 0 || baud > 10'000'000) {
        return fail("--baud takes a rate from 1 to 10000000, not '" + *v + "'");
      }
      o.device.baud = baud;
    } else if (name == "--dump") {
      o.dump_path = *v;
    } else if (name == "--path-file") {
      o.path_file = *v;
    } else {
      o.link_path = *v;
    }
  }
  if (serial) std::copy(serial->begin(), serial->end(), o.device.info.begin());
  return std::nullopt;
}

// Writes `text` to `path` through a temporary name, so that readers never see half of it.
bool write_file(const std::string& path, const std::string& text) {
  const std::string tmp = path + ".tmp" + std::to_string(getpid());
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) return false;
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

bool make_link(const std::string& link, const std::string& target) {
  const std::string tmp = link + ".tmp" + std::to_string(getpid());
  std::remove(tmp.c_str());
  if (symlink(target.c_str(), tmp.c_str()) != 0) return false;
  if (std::rename(tmp.c_str(), link.c_str()) != 0) {
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

// Removes `link` only while it still points at `target`: a newer emulator may own it now.
void remove_link(const std::string& link, const std::string& target) {
  char buffer[4096];
  const ssize_t n = readlink(link.c_str(), buffer, sizeof buffer);
  if (n > 0 && std::string_view(buffer, static_cast<std::size_t>(n)) == target) {
    unlink(link.c_str());
  }
}

void make_raw(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return;
  cfmakeraw(&t);
  cfsetispeed(&t, B9600);
  cfsetospeed(&t, B9600);
  tcsetattr(fd, TCSANOW, &t);
}

int die(const std::string& what) {
  std::cerr << "patu-emulator: " << what << ": " << std::strerror(errno) << "\n";
  return 1;
}

// Tells whoever watches the run when the device stopped answering, so that what the host does
// next can be timed from it: the command that did it, its frame's end on the device's clock,
// and the wall clock now.
void tell_death(const Device& device) {
  const auto& log = device.state().log;
  const auto command = std::find_if(log.rbegin(), log.rend(), [](const Exchange& e) {
    return e.kind == Exchange::Kind::command;
  });
  if (command == log.rend()) return;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  char wall[32];
  std::snprintf(wall, sizeof wall, "%lld.%03ld", static_cast<long long>(now.tv_sec),
                now.tv_nsec / 1'000'000);
  std::cout << "dead n=" << command->number << " fault=" << command->fault
            << " t=" << command->t_frame << " unix=" << wall << std::endl;
}

// Serves the device on `master` until a stop signal or a hang-up.
int serve(int master, Device& device, const sigset_t& wait_mask) {
  const auto start = std::chrono::steady_clock::now();
  auto now = [&start]() -> Micros {
    const auto elapsed = std::chrono::steady_clock::now() - start;
    return static_cast<Micros>(
        std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count());
  };
  bool pty_full = false;
  while (g_stop == 0) {
    Micros t = now();
    pty_full = false;
    for (const patu::emu::Emission* e = device.next_output(); e != nullptr && e->at <= t;
         e = device.next_output()) {
      const ssize_t n = write(master, &e->byte, 1);
      if (n == 1) {
        device.pop_output();
      } else if (errno == EAGAIN) {
        pty_full = true;
        break;
      } else if (errno != EINTR) {
        return die("writing to the pseudo-terminal");
      }
    }
    if (device.hung_up()) return 0;

    pollfd pfd{master, static_cast<short>(POLLIN | (pty_full ? POLLOUT : 0)), 0};
    timespec wait{};
    const patu::emu::Emission* next = device.next_output();
    if (next != nullptr && !pty_full) {
      const Micros left = next->at > t ? next->at - t : 0;
      wait.tv_sec = static_cast<time_t>(left / 1'000'000);
      wait.tv_nsec = static_cast<long>(left % 1'000'000 * 1000);
    }
    const bool timed = next != nullptr && !pty_full;
    if (ppoll(&pfd, 1, timed ? &wait : nullptr, &wait_mask) < 0) {
      if (errno == EINTR) continue;
      return die("waiting on the pseudo-terminal");
    }
    if ((pfd.revents & POLLIN) != 0) {
      std::uint8_t buffer[256];
      const ssize_t n = read(master, buffer, sizeof buffer);
      if (n < 0 && errno != EAGAIN && errno != EINTR) return die("reading the pseudo-terminal");
      t = now();
      const bool was_dead = device.dead();
      for (ssize_t i = 0; i < n; ++i) device.receive(buffer[i], t);
      if (!was_dead && device.dead()) tell_death(device);
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const std::optional<int> status = parse_options(argc, argv, options)) return *status;

  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    return die("opening a pseudo-terminal");
  }
  const std::string slave = ptsname(master);
  // Held open by us too, so that the host closing and reopening the port is no hang-up.
  const int keep = open(slave.c_str(), O_RDWR | O_NOCTTY);
  if (keep < 0) return die("opening " + slave);
  make_raw(keep);
  make_raw(master);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

  sigset_t stop_signals;
  sigset_t wait_mask;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  // Blocked except inside ppoll: a stop signal can only land while we wait.
  sigprocmask(SIG_BLOCK, &stop_signals, &wait_mask);
  sigdelset(&wait_mask, SIGTERM);
  sigdelset(&wait_mask, SIGINT);
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // The bytes already waiting go into the line before anyone can know where it is, so that
  // no host opens the port ahead of them. Nobody reads yet: the buffer takes them all.
  Device device(options.device);
  for (const patu::emu::Emission* e = device.next_output(); e != nullptr && e->at == 0;
       e = device.next_output()) {
    if (write(master, &e->byte, 1) != 1) return die("writing to the pseudo-terminal");
    device.pop_output();
  }

  if (!options.link_path.empty()) {
    struct stat st {};
    if (lstat(options.link_path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
      std::cerr << "patu-emulator: " << options.link_path
                << " exists and is not a symbolic link: not replacing it\n";
      return 2;
    }
    if (!make_link(options.link_path, slave)) return die("linking " + options.link_path);
  }
  if (!options.path_file.empty() && !write_file(options.path_file, slave + "\n")) {
    return die("writing " + options.path_file);
  }
  std::cout << "pty " << slave << std::endl;

  int status = serve(master, device, wait_mask);

  // The host sees the line drop first; the dump follows.
  close(master);
  close(keep);
  if (!options.link_path.empty()) remove_link(options.link_path, slave);
  if (!options.dump_path.empty() && !write_file(options.dump_path, write_dump(device.state()))) {
    status = die("writing " + options.dump_path);
  }
  return status;
}
