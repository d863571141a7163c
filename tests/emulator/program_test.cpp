// The patu-emulator program on a real pseudo-terminal, through the POSIX serial backend.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "link/clock.h"
#include "link/protocol.h"
#include "link/serial_posix.h"
#include "tests/support/emulator_process.h"
#include "tools/emulator/device.h"
#include "tools/emulator/dump.h"

namespace patu::emu {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using patu::testing::EmulatorProcess;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

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

// The line the program prints when the device goes dead: command `n`, hit by `fault`, at a
// time on the device's clock within the program's run so far and on the wall clock now.
// The handshake and the frame of an 'E', for a fault to hit.
void send_erase(Line& line) {
  ASSERT_TRUE(line.write({0x86}));
  ASSERT_EQ(line.read(1), Bytes{0x79});
  ASSERT_TRUE(line.write({4, 'E', 0x89, 0x00}));
}

void expect_death_told(const std::string& line, int n, const std::string& fault,
                       steady_clock::time_point started) {
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      line, m, std::regex(R"(dead n=(\d+) fault=(\S+) t=(\d+) unix=(\d+\.\d{3})\n?)")))
      << line;
  EXPECT_EQ(std::stoi(m[1]), n);
  EXPECT_EQ(m[2], fault);
  EXPECT_LE(std::stoll(m[3]),
            std::chrono::duration_cast<milliseconds>(steady_clock::now() - started).count());
  const double wall =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  EXPECT_NEAR(std::stod(m[4]), wall, 5.0);
}

Block pattern() {
  Block b{};
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(7 * i + 1);
  return b;
}

TEST(EmulatorProgram, ServesTheHostAndLeavesItsDumpWhenStopped) {
  EmulatorProcess emulator;
  const auto files = [&](const std::string& name) { return emulator.path(name); };
  emulator.start({"--serial", "123456", "--dump", files("dump"), "--path-file", files("path"),
                  "--link", files("com1")});
  const std::string pty = emulator.pty();
  EXPECT_EQ(slurp(files("path")), pty + "\n");
  EXPECT_EQ(fs::read_symlink(files("com1")), pty);
  {
    Line line(files("com1"));
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
  EXPECT_FALSE(fs::exists(fs::symlink_status(files("com1"))));
  const auto dump = emulator.dump();
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
  EmulatorProcess emulator;
  emulator.start({"--sync85-only"});
  Line line(emulator.pty());
  ASSERT_TRUE(line.write({0x86}));
  EXPECT_EQ(line.read(1), Bytes{}) << "0x86 goes unanswered";
  line.link.BYTE_SINC = 0x85;
  Block info{};
  ASSERT_TRUE(line.link.LE_BLOCO(kInfoAddress, info));
  EXPECT_EQ(info, default_info());
  EXPECT_EQ(emulator.stop(), 0);
}

// Opened as soon as the link shows, the line already holds the bytes: a purge right after the
// open leaves only the probe's answer.
TEST(EmulatorProgram, BytesWaitingAreInTheLineBeforeItIsAnnounced) {
  for (const bool purged : {false, true}) {
    SCOPED_TRACE(purged ? "input purged after the open" : "input kept");
    EmulatorProcess emulator;
    ASSERT_TRUE(emulator.start_device({"--waiting", "00FF54"})) << emulator.stderr_text();
    Line line(emulator.link());
    if (purged) line.port.purge(Purge::rx);
    ASSERT_TRUE(line.write({0xAB}));
    EXPECT_EQ(line.read(4), purged ? Bytes{0x54} : (Bytes{0x00, 0xFF, 0x54, 0x54}));
    const auto dump = emulator.dump();
    ASSERT_TRUE(dump.has_value());
    ASSERT_EQ(dump->log.size(), 1u) << "the waiting bytes are in no log line";
    EXPECT_EQ(dump->log[0].kind, Exchange::Kind::probe);
  }
}

TEST(EmulatorProgram, PacesTheLineAtTheGivenBaud) {
  EmulatorProcess emulator;
  emulator.start({"--baud", "9600"});
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
  EmulatorProcess hanging;
  const auto started = steady_clock::now();
  hanging.start({"--fault", "hangup@E", "--dump", hanging.dump_path()});
  Line line(hanging.pty());
  send_erase(line);
  EXPECT_EQ(hanging.wait_exit(), 0);
  EXPECT_FALSE(line.write({0x86})) << "nobody at the other end";
  expect_death_told(hanging.rest_of_stdout(), 1, "hangup", started);
  // The dump is written even when the program ends by itself.
  const auto dump = hanging.dump();
  ASSERT_TRUE(dump.has_value());
  EXPECT_TRUE(dump->hung_up);
  EXPECT_TRUE(dump->erases.empty());
}

TEST(EmulatorProgram, APowerLossKeepsTheLineButAnswersNothing) {
  EmulatorProcess dead;
  const auto started = steady_clock::now();
  dead.start({"--fault", "poweroff@E", "--dump", dead.dump_path()});
  Line line(dead.pty());
  send_erase(line);
  EXPECT_EQ(line.read(2), Bytes{}) << "no reply";
  expect_death_told(dead.first_line(), 1, "poweroff", started);
  EXPECT_TRUE(line.write({0x86})) << "the line is still there";
  EXPECT_EQ(line.read(1), Bytes{}) << "no complement";
  EXPECT_EQ(dead.stop(), 0);
  const auto dump = dead.dump();
  ASSERT_TRUE(dump.has_value());
  EXPECT_FALSE(dump->hung_up);
  EXPECT_TRUE(dump->erases.empty());
  ASSERT_EQ(dump->log.size(), 2u);
  EXPECT_EQ(dump->log[0].fault, "poweroff");
  EXPECT_EQ(dump->log[1].kind, Exchange::Kind::ignored);
}

TEST(EmulatorProgram, BadOptionsEndWithStatus2AndHelpWith0) {
  const std::vector<std::vector<std::string>> bad{
      {"--serial", "12345"},   {"--serial", "12345G"},
      {"--info", "00"},        {"--module-area", "AA0"},
      {"--probe-answer", "5"}, {"--fault", "nak"},
      {"--fault", "noise@D"},  {"--baud", "0"},
      {"--baud", "96OO"},      {"--dump"},
      {"--frobnicate"},        {"--sync85-only=1"},
      {"--waiting", ""},       {"--waiting", "0"},
  };
  for (const auto& args : bad) {
    EmulatorProcess program;
    program.start(args);
    EXPECT_EQ(program.wait_exit(), 2) << args[0];
    EXPECT_NE(program.stderr_text().find("patu-emulator: "), std::string::npos) << args[0];
  }
  EmulatorProcess help;
  help.start({"--help"});
  EXPECT_EQ(help.wait_exit(), 0);
  EXPECT_NE(help.rest_of_stdout().find("--fault KIND@TRIGGER"), std::string::npos);

  EmulatorProcess refused;
  std::ofstream(refused.path("regular")) << "keep me";
  refused.start({"--link", refused.path("regular")});
  EXPECT_EQ(refused.wait_exit(), 2);
  EXPECT_EQ(slurp(refused.path("regular")), "keep me");
}

}  // namespace
}  // namespace patu::emu
