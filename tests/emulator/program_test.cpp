// The patu-emulator program on a real pseudo-terminal, through the POSIX serial backend.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "link/clock.h"
#include "link/protocol.h"
#include "link/serial_posix.h"
#include "tools/emulator/device.h"
#include "tools/emulator/dump.h"

extern char** environ;

namespace patu::emu {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A directory of the test's own, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/patu-emulator-test-XXXXXX";
    dir_ = mkdtemp(pattern);
  }
  ~TempDir() { fs::remove_all(dir_); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
};

// One run of the program; stdout comes through a pipe, stderr into a file.
class Program {
 public:
  explicit Program(const std::vector<std::string>& options) {
    std::vector<std::string> args{PATU_EMULATOR_PATH};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    EXPECT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const std::string err = dir_.path("stderr");
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    stdout_ = out[0];
  }
  ~Program() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(stdout_);
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  std::string stderr_text() const { return slurp(dir_.path("stderr")); }

  // Its stdout up to the first newline, or all of it once it ended.
  std::string first_line() {
    std::string line;
    char c = 0;
    pollfd pfd{stdout_, POLLIN, 0};
    while (poll(&pfd, 1, 5000) == 1 && read(stdout_, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }
  std::string rest_of_stdout() {
    std::string text;
    char buffer[256];
    ssize_t n = 0;
    while ((n = read(stdout_, buffer, sizeof buffer)) > 0) text.append(buffer, std::size_t(n));
    return text;
  }
  // The slave path the program announced.
  std::string pty() {
    const std::string line = first_line();
    EXPECT_EQ(line.rfind("pty /dev/", 0), 0u) << line;
    return line.size() > 4 ? line.substr(4) : "";
  }

  // Waits for the program to end by itself; its exit status, or -1.
  int wait_exit(milliseconds limit = milliseconds(5000)) {
    const auto end = steady_clock::now() + limit;
    int status = 0;
    while (steady_clock::now() < end) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(milliseconds(10));
    }
    return -1;
  }
  int stop() {
    kill(pid_, SIGTERM);
    return wait_exit();
  }

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  int stdout_ = -1;
};

// The POSIX port with every number mapped to `device`.
struct Line {
  explicit Line(const std::string& device)
      : port([device](int) { return device; }), link(port, clock) {
    EXPECT_TRUE(port.ABRE_PORTA(1));
    link.BYTE_SINC = 0x86;
  }
  bool write(const Bytes& bytes) {
    std::uint32_t n = 0;
    for (std::uint8_t b : bytes) {
      if (!port.ESCREVE_PORTA(&b, 1, n)) return false;
    }
    return true;
  }
  Bytes read(std::uint32_t count) {
    Bytes buffer(count);
    std::uint32_t n = 0;
    port.LE_PORTA(count, buffer.data(), n);
    buffer.resize(n);
    return buffer;
  }
  PosixSerialPort port;
  SkippingClock clock;
  Protocol link;
};

std::optional<Dump> read_dump(const std::string& path) {
  std::string error;
  auto parsed = parse_dump(slurp(path), &error);
  EXPECT_TRUE(parsed.has_value()) << error;
  return parsed;
}

Block pattern() {
  Block b{};
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(7 * i + 1);
  return b;
}

TEST(EmulatorProgram, ServesTheHostAndLeavesItsDumpWhenStopped) {
  TempDir files;
  Program emulator({"--serial", "123456", "--dump", files.path("dump"), "--path-file",
                    files.path("path"), "--link", files.path("com1")});
  const std::string pty = emulator.pty();
  EXPECT_EQ(slurp(files.path("path")), pty + "\n");
  EXPECT_EQ(fs::read_symlink(files.path("com1")), pty);
  {
    Line line(files.path("com1"));
    ASSERT_TRUE(line.write({0xAB}));
    EXPECT_EQ(line.read(1), Bytes{0x54});
    Block info{};
    ASSERT_TRUE(line.link.LE_BLOCO(kInfoAddress, info));
    EXPECT_EQ(Bytes(info.begin(), info.begin() + 3), (Bytes{0x12, 0x34, 0x56}));
    EXPECT_EQ(info[3], 0x03);
    ASSERT_TRUE(line.link.GRAVA_BLOCO(0x8900, pattern()));
    // Closing and reopening the port is no hang-up.
    line.port.FECHA_PORTA();
    ASSERT_TRUE(line.port.ABRE_PORTA(1));
    ASSERT_TRUE(line.link.FINALIZA());
  }
  EXPECT_EQ(emulator.stop(), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(files.path("com1"))));
  const auto dump = read_dump(files.path("dump"));
  ASSERT_TRUE(dump.has_value());
  EXPECT_EQ(dump->blocks.at(0x8900), pattern());
  EXPECT_TRUE(dump->finalized);
  EXPECT_TRUE(dump->violations.empty());
  ASSERT_EQ(dump->log.size(), 5u);
  EXPECT_EQ(dump->log[0].kind, Exchange::Kind::probe);
  std::string letters;
  for (std::size_t i = 1; i < dump->log.size(); ++i) letters += char(dump->log[i].letter);
  EXPECT_EQ(letters, "DEWG");
}

TEST(EmulatorProgram, PlaysADeviceOfAnotherVersion) {
  Program emulator({"--sync85-only", "--dump", "/dev/null"});
  Line line(emulator.pty());
  ASSERT_TRUE(line.write({0x86}));
  EXPECT_EQ(line.read(1), Bytes{}) << "0x86 goes unanswered";
  line.link.BYTE_SINC = 0x85;
  Block info{};
  ASSERT_TRUE(line.link.LE_BLOCO(kInfoAddress, info));
  EXPECT_EQ(info, default_info());
  EXPECT_EQ(emulator.stop(), 0);
}

TEST(EmulatorProgram, PacesTheLineAtTheGivenBaud) {
  Program emulator({"--baud", "9600"});
  Line line(emulator.pty());
  ASSERT_TRUE(line.write({0x86}));
  ASSERT_EQ(line.read(1), Bytes{0x79});
  Bytes frame{133, 'W', 8, 0x89, 0x00};
  frame.resize(133, 0x00);
  const auto start = steady_clock::now();
  ASSERT_TRUE(line.write(frame));
  EXPECT_EQ(line.read(2), (Bytes{2, kAck}));
  // 135 bytes of 10 bits at 9600 baud take 141 ms; allow for rounding only downwards.
  EXPECT_GE(steady_clock::now() - start, milliseconds(130));
  EXPECT_EQ(emulator.stop(), 0);
}

TEST(EmulatorProgram, AHangupFaultDropsTheLineAndEndsTheProgram) {
  TempDir files;
  Program hanging({"--fault", "hangup@E", "--dump", files.path("dump")});
  Line line(hanging.pty());
  ASSERT_TRUE(line.write({0x86}));
  ASSERT_EQ(line.read(1), Bytes{0x79});
  ASSERT_TRUE(line.write({4, 'E', 0x89, 0x00}));
  EXPECT_EQ(hanging.wait_exit(), 0);
  EXPECT_FALSE(line.write({0x86})) << "nobody at the other end";
  // The dump is written even when the program ends by itself.
  const auto dump = read_dump(files.path("dump"));
  ASSERT_TRUE(dump.has_value());
  EXPECT_TRUE(dump->hung_up);
  EXPECT_TRUE(dump->erases.empty());
}

TEST(EmulatorProgram, BadOptionsEndWithStatus2AndHelpWith0) {
  const std::vector<std::vector<std::string>> bad{
      {"--serial", "12345"},   {"--serial", "12345G"},
      {"--info", "00"},        {"--module-area", "AA0"},
      {"--probe-answer", "5"}, {"--fault", "nak"},
      {"--fault", "noise@D"},  {"--baud", "0"},
      {"--baud", "96OO"},      {"--dump"},
      {"--frobnicate"},        {"--sync85-only=1"},
  };
  for (const auto& args : bad) {
    Program program(args);
    EXPECT_EQ(program.wait_exit(), 2) << args[0];
    EXPECT_NE(program.stderr_text().find("patu-emulator: "), std::string::npos) << args[0];
  }
  Program help({"--help"});
  EXPECT_EQ(help.wait_exit(), 0);
  EXPECT_NE(help.rest_of_stdout().find("--fault KIND@TRIGGER"), std::string::npos);

  TempDir files;
  std::ofstream(files.path("regular")) << "keep me";
  Program refused({"--link", files.path("regular")});
  EXPECT_EQ(refused.wait_exit(), 2);
  EXPECT_EQ(slurp(files.path("regular")), "keep me");
}

}  // namespace
}  // namespace patu::emu
