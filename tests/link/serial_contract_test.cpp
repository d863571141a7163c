// What every serial backend promises, checked against the device emulator on a
// pseudo-terminal plugged in as port 1 (started with --probe-answer 545454, so that the
// probe byte 0xAB brings three bytes back). Port 2 has nothing behind it.
//
// Windows: Win32SerialPort on COM1 of the build's Wine prefix. Elsewhere: PosixSerialPort
// with port n mapped to $PATU_TEST_PORTS/com<n>.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#ifdef _WIN32
#include "link/serial_w32.h"
#else
#include "link/serial_posix.h"
#endif

namespace patu {
namespace {

#ifdef _WIN32
using Backend = Win32SerialPort;
std::unique_ptr<Backend> make_port() { return std::make_unique<Backend>(); }
// Wine's serial driver does not refuse a port with no device behind it (it opens, and its
// settings cannot be read).
bool under_wine() {
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}
#else
using Backend = PosixSerialPort;
std::unique_ptr<Backend> make_port() {
  const char* dir = std::getenv("PATU_TEST_PORTS");
  const std::string ports = dir ? dir : ".";
  return std::make_unique<Backend>([ports](int n) { return ports + "/com" + std::to_string(n); });
}
bool under_wine() { return false; }
#endif

constexpr int kDevicePort = 1;
constexpr int kAbsentPort = 2;
constexpr std::uint8_t kProbe = 0xAB;

using Steady = std::chrono::steady_clock;

long long ms_since(Steady::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - start).count();
}

class SerialContract : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(port->ABRE_PORTA(kDevicePort)) << "is the emulator up?"; }

  // The probe out, the three-byte answer back.
  void expect_probe_answered(SerialPort& p) {
    std::uint32_t count = 99;
    ASSERT_TRUE(p.ESCREVE_PORTA(&kProbe, 1, count));
    EXPECT_EQ(count, 1u);
    std::uint8_t answer[3] = {};
    EXPECT_TRUE(p.LE_PORTA(3, answer, count));
    ASSERT_EQ(count, 3u);
    for (std::uint8_t b : answer) EXPECT_EQ(b, 0x54);
  }

  std::unique_ptr<Backend> port = make_port();
};

TEST_F(SerialContract, SecondOpenFailsAndLeavesTheFirstOpenAndUsable) {
  EXPECT_TRUE(port->PORTA_ABERTA());
  EXPECT_EQ(port->last_open_code(), OpenCode::ok);
  EXPECT_FALSE(port->ABRE_PORTA(kDevicePort));
  EXPECT_FALSE(port->ABRE_PORTA(kAbsentPort));
  EXPECT_TRUE(port->PORTA_ABERTA());
  expect_probe_answered(*port);
}

TEST_F(SerialContract, CloseReleasesThePortForTheNextOpen) {
  port->FECHA_PORTA();
  EXPECT_FALSE(port->PORTA_ABERTA());
  port->FECHA_PORTA();
  EXPECT_FALSE(port->PORTA_ABERTA());

  std::uint32_t count = 99;
  EXPECT_FALSE(port->ESCREVE_PORTA(&kProbe, 1, count));
  EXPECT_EQ(count, 0u);
  std::uint8_t byte = 0;
  count = 99;
  EXPECT_FALSE(port->LE_PORTA(1, &byte, count));
  EXPECT_EQ(count, 0u);

  ASSERT_TRUE(port->ABRE_PORTA(kDevicePort));
  expect_probe_answered(*port);
}

// Another program's open, played by a thread (the Win32 backend's lock belongs to a thread).
// Under Wine, whose driver lets a second open through, it is that lock that refuses it.
TEST_F(SerialContract, PortIsExclusive) {
  auto other = make_port();
  std::thread([&] { EXPECT_FALSE(other->ABRE_PORTA(kDevicePort)); }).join();
  EXPECT_FALSE(other->PORTA_ABERTA());
  EXPECT_EQ(other->last_open_code(), OpenCode::not_opened);
  expect_probe_answered(*port);
}

TEST_F(SerialContract, PortWithNothingBehindItDoesNotOpenAndLeavesNothingOpen) {
  port->FECHA_PORTA();
  EXPECT_FALSE(port->ABRE_PORTA(kAbsentPort));
  EXPECT_FALSE(port->PORTA_ABERTA());
  EXPECT_EQ(port->last_open_code(),
            under_wine() ? OpenCode::settings_failed : OpenCode::not_opened);
  ASSERT_TRUE(port->ABRE_PORTA(kDevicePort));
  expect_probe_answered(*port);
}

TEST_F(SerialContract, OneByteReadWithNothingArrivingTimesOutEmpty) {
  std::uint8_t byte = 0;
  std::uint32_t count = 99;
  const auto start = Steady::now();
  EXPECT_FALSE(port->LE_PORTA(1, &byte, count));
  const long long took = ms_since(start);
  EXPECT_EQ(count, 0u);
  EXPECT_GE(took, 50);
  EXPECT_LE(took, 1000);
}

TEST_F(SerialContract, ShortReadKeepsWhatArrivedAtTheStart) {
  std::uint32_t count = 0;
  ASSERT_TRUE(port->ESCREVE_PORTA(&kProbe, 1, count));
  std::uint8_t buffer[10];
  for (auto& b : buffer) b = 0xEE;
  const auto start = Steady::now();
  EXPECT_FALSE(port->LE_PORTA(10, buffer, count));
  const long long took = ms_since(start);
  ASSERT_EQ(count, 3u);
  EXPECT_EQ(buffer[0], 0x54);
  EXPECT_EQ(buffer[1], 0x54);
  EXPECT_EQ(buffer[2], 0x54);
  EXPECT_EQ(buffer[3], 0xEE);
  // Ended by the silence after the third byte, well before the 1000 ms total.
  EXPECT_LT(took, 900);
}

TEST_F(SerialContract, ZeroByteReadSucceedsWithNothing) {
  std::uint8_t byte = 0xEE;
  std::uint32_t count = 99;
  EXPECT_TRUE(port->LE_PORTA(0, &byte, count));
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(byte, 0xEE);
}

TEST_F(SerialContract, PurgeDropsWhatWaitsInTheInputQueue) {
  std::uint32_t count = 0;
  ASSERT_TRUE(port->ESCREVE_PORTA(&kProbe, 1, count));
  // Time for the answer to land in the input queue.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  port->purge(Purge::rx);
  std::uint8_t answer[3];
  EXPECT_FALSE(port->LE_PORTA(3, answer, count));
  EXPECT_EQ(count, 0u);
}

}  // namespace
}  // namespace patu
