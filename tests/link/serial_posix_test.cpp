// The POSIX backend's own side: the read time-outs it keeps itself, a hung-up line, the line
// settings over another program's, and the open steps' failures. The peer is this test, on the
// master side of a pseudo-terminal.

#include "link/serial_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace patu {
namespace {

using Steady = std::chrono::steady_clock;
using std::chrono::milliseconds;

long long ms_since(Steady::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Steady::now() - start).count();
}

// CPU time this process has used, in ms.
long long cpu_ms() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000LL +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
}

int open_descriptors() {
  int n = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (readdir(dir) != nullptr) ++n;
  closedir(dir);
  return n;
}

// A pseudo-terminal whose master side is raw, as the device's side of a line is.
void open_raw_pty(int& master, int& slave, std::string& slave_path) {
  char name[256];
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  termios raw{};
  tcgetattr(master, &raw);
  cfmakeraw(&raw);
  tcsetattr(master, TCSANOW, &raw);
  slave_path = name;
}

// A pseudo-terminal whose master side the test plays; port 1 is its slave.
class PtyPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    int slave = -1;
    ASSERT_NO_FATAL_FAILURE(open_raw_pty(master_, slave, slave_path_));
    // The master's reads see no hang-up while the port closes and reopens.
    held_slave_ = slave;
    ASSERT_TRUE(port.ABRE_PORTA(1));
  }
  void TearDown() override {
    port.FECHA_PORTA();
    if (held_slave_ >= 0) close(held_slave_);
    if (master_ >= 0) close(master_);
  }

  void send(std::uint8_t b) { ASSERT_EQ(write(master_, &b, 1), 1); }
  // The line goes dead: the device's side is closed.
  void hang_up() {
    close(held_slave_);
    held_slave_ = -1;
    close(master_);
    master_ = -1;
  }

  int master_ = -1;
  int held_slave_ = -1;
  std::string slave_path_;
  PosixSerialPort port{[this](int) { return slave_path_; }};
};

TEST_F(PtyPeer, BytesSpacedUnderTheIntervalAllArrive) {
  std::thread peer([this] {
    for (std::uint8_t b = 1; b <= 5; ++b) {
      std::this_thread::sleep_for(milliseconds(60));
      send(b);
    }
  });
  std::uint8_t buffer[5] = {};
  std::uint32_t count = 0;
  EXPECT_TRUE(port.LE_PORTA(5, buffer, count));
  peer.join();
  EXPECT_EQ(count, 5u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(buffer[i], i + 1);
}

TEST_F(PtyPeer, GapOverTheIntervalEndsTheRead) {
  std::thread peer([this] {
    send(1);
    send(2);
    std::this_thread::sleep_for(milliseconds(400));
    send(3);
  });
  std::uint8_t buffer[8] = {};
  std::uint32_t count = 0;
  const auto start = Steady::now();
  EXPECT_FALSE(port.LE_PORTA(8, buffer, count));
  const long long took = ms_since(start);
  peer.join();
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(buffer[1], 2);
  EXPECT_LT(took, 380);  // not the 800 ms total, nor waiting for the third byte
}

TEST_F(PtyPeer, HungUpLineReadsAsSilenceWithoutSpinning) {
  hang_up();
  std::uint8_t buffer[4];
  std::uint32_t count = 99;
  const long long cpu_before = cpu_ms();
  const auto start = Steady::now();
  EXPECT_FALSE(port.LE_PORTA(4, buffer, count));
  const long long took = ms_since(start);
  EXPECT_EQ(count, 0u);
  EXPECT_GE(took, 300);
  EXPECT_LT(cpu_ms() - cpu_before, took / 4);

  const std::uint8_t b = 0x86;
  EXPECT_FALSE(port.ESCREVE_PORTA(&b, 1, count));
  EXPECT_EQ(count, 0u);
}

// Another program may leave the line with two stop bits and flow control on: the port sets
// the whole line, so that the device's 0x13 and 0x11 (the wire form of data bytes 0xCE and
// 0xEE) are data, not XOFF and XON. Whether the line hangs up on close (the modem lines, which a
// device or cable may draw on) stays as found.
TEST(PosixSerialPort, AnotherProgramsStopBitsAndFlowControlAreReplaced) {
  for (const bool hang_up_on_close : {true, false}) {
    SCOPED_TRACE(hang_up_on_close ? "HUPCL left on" : "HUPCL left off");
    int master = -1;
    int slave = -1;
    std::string path;
    ASSERT_NO_FATAL_FAILURE(open_raw_pty(master, slave, path));

    termios left{};
    ASSERT_EQ(tcgetattr(slave, &left), 0);
    cfmakeraw(&left);
    left.c_cflag |= CSTOPB | CRTSCTS;
    left.c_cflag = hang_up_on_close ? left.c_cflag | HUPCL : left.c_cflag & ~HUPCL;
    left.c_iflag |= IXON | IXOFF | IXANY;
    cfsetispeed(&left, B2400);
    cfsetospeed(&left, B2400);
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &left), 0);
    termios held{};
    ASSERT_EQ(tcgetattr(slave, &held), 0);
    ASSERT_EQ(held.c_cflag & (CSTOPB | CRTSCTS), CSTOPB | CRTSCTS) << "the terminal kept none";
    ASSERT_EQ(held.c_iflag & (IXON | IXOFF | IXANY), IXON | IXOFF | IXANY);

    PosixSerialPort port([&](int) { return path; });
    ASSERT_TRUE(port.ABRE_PORTA(1));
    termios line{};
    ASSERT_EQ(tcgetattr(slave, &line), 0);
    EXPECT_EQ(line.c_cflag & CSTOPB, 0u) << "two stop bits";
    EXPECT_EQ(line.c_cflag & CRTSCTS, 0u) << "RTS/CTS flow control";
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF | IXANY), 0u) << "XON/XOFF flow control";
    EXPECT_EQ(line.c_cflag & (CSIZE | PARENB), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(cfgetispeed(&line), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B9600));
    EXPECT_EQ((line.c_cflag & HUPCL) != 0, hang_up_on_close);

    // XOFF and XON from the device arrive as data, and do not stop what the host sends.
    const std::uint8_t from_device[] = {0x13, 0x11, 0x13};
    ASSERT_EQ(write(master, from_device, sizeof from_device), 3);
    std::uint8_t got[3] = {};
    std::uint32_t count = 0;
    EXPECT_TRUE(port.LE_PORTA(3, got, count));
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(std::vector<std::uint8_t>(got, got + count),
              (std::vector<std::uint8_t>{0x13, 0x11, 0x13}));
    const std::uint8_t sync = 0x86;
    EXPECT_TRUE(port.ESCREVE_PORTA(&sync, 1, count));
    pollfd sent{master, POLLIN, 0};
    std::uint8_t echoed = 0;
    ASSERT_EQ(poll(&sent, 1, 2000), 1) << "the host's byte never left";
    EXPECT_EQ(read(master, &echoed, 1), 1);
    EXPECT_EQ(echoed, 0x86);

    port.FECHA_PORTA();
    close(slave);
    close(master);
  }
}

TEST(PosixSerialPort, DeviceThatIsNoTerminalIsClosedAgain) {
  const std::string file =
      std::filesystem::temp_directory_path() / ("patu-not-a-tty-" + std::to_string(getpid()));
  std::FILE* f = std::fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);

  PosixSerialPort port([&](int) { return file; });
  const int before = open_descriptors();
  EXPECT_FALSE(port.ABRE_PORTA(1));
  EXPECT_EQ(port.last_open_code(), OpenCode::timeouts_failed);
  EXPECT_FALSE(port.PORTA_ABERTA());
  EXPECT_EQ(open_descriptors(), before);
  std::filesystem::remove(file);
}

}  // namespace
}  // namespace patu
