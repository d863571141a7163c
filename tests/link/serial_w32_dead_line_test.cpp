// The Win32 port on a dead line, under Wine: what ESCREVE_PORTA and LE_PORTA return, and how
// long they take, once the device is gone. Two emulators are plugged in, each killed by the
// first command it takes: on COM4 the cable is pulled (hangup: the other end of the line
// closes), on COM5 the device loses power (poweroff: the line stays, nothing answers).
// The measured times are printed.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <utility>
#include <vector>

#include "link/serial_w32.h"

namespace patu {
namespace {

constexpr int kPulledCable = 4;
constexpr int kNoPower = 5;
// The port's read time-out for one byte, and its write time-out for one byte.
constexpr double kReadLimitMs = 100;
constexpr double kWriteLimitMs = 5000 + 5000;
// Calls of each kind measured on the dead line.
constexpr int kCalls = 5;

using Steady = std::chrono::steady_clock;

struct Call {
  bool result;
  std::uint32_t count;
  double ms;
};

template <typename F>
Call timed(F transfer) {
  std::uint32_t count = 99;
  const auto start = Steady::now();
  const bool result = transfer(count);
  return {result, count, std::chrono::duration<double, std::milli>(Steady::now() - start).count()};
}

class DeadLine : public ::testing::Test {
 protected:
  // Opens `number` and sends the command that kills its device: the sync byte, its
  // complement back, an erase frame. No reply comes.
  void kill_device(int number) {
    ASSERT_TRUE(port.ABRE_PORTA(number)) << "is the emulator on COM" << number << " up?";
    std::uint32_t count = 0;
    const std::uint8_t sync = 0x86;
    ASSERT_TRUE(port.ESCREVE_PORTA(&sync, 1, count));
    std::uint8_t complement = 0;
    ASSERT_TRUE(port.LE_PORTA(1, &complement, count));
    ASSERT_EQ(complement, 0x79);
    for (std::uint8_t b :
         {std::uint8_t{4}, std::uint8_t{'E'}, std::uint8_t{0x89}, std::uint8_t{0}}) {
      ASSERT_TRUE(port.ESCREVE_PORTA(&b, 1, count));
    }
    std::uint8_t reply[2] = {};
    EXPECT_FALSE(port.LE_PORTA(2, reply, count));
    EXPECT_EQ(count, 0u) << "a dead device replied";
  }

  // Writes of one byte, then reads of one byte, each timed; `line` names them in the
  // printed times.
  std::pair<std::vector<Call>, std::vector<Call>> measure(const char* line) {
    std::vector<Call> writes, reads;
    std::uint8_t byte = 0x86;
    for (int i = 0; i < kCalls; ++i) {
      writes.push_back(timed([&](std::uint32_t& n) { return port.ESCREVE_PORTA(&byte, 1, n); }));
    }
    for (int i = 0; i < kCalls; ++i) {
      reads.push_back(timed([&](std::uint32_t& n) { return port.LE_PORTA(1, &byte, n); }));
    }
    print(line, "ESCREVE_PORTA", writes);
    print(line, "LE_PORTA", reads);
    return {writes, reads};
  }

  static void print(const char* line, const char* what, const std::vector<Call>& calls) {
    double least = calls.front().ms, most = calls.front().ms;
    for (const Call& c : calls) {
      least = std::min(least, c.ms);
      most = std::max(most, c.ms);
    }
    std::printf("%s: %s of one byte: %d calls, %.1f to %.1f ms each\n", line, what,
                static_cast<int>(calls.size()), least, most);
  }

  // Every call answered `result` with `count` bytes, and took from `least_ms` to `most_ms`.
  static void expect_each(const std::vector<Call>& calls, bool result, std::uint32_t count,
                          double least_ms, double most_ms) {
    for (const Call& c : calls) {
      EXPECT_EQ(c.result, result);
      EXPECT_EQ(c.count, count);
      EXPECT_GE(c.ms, least_ms);
      EXPECT_LT(c.ms, most_ms);
    }
  }

  Win32SerialPort port;
};

// The other end closed: both calls fail with nothing transferred, within their time-outs
// (under Wine at once: the protocol's polls then keep their length themselves).
TEST_F(DeadLine, APulledCableFailsEveryWriteAndRead) {
  kill_device(kPulledCable);
  const auto [writes, reads] = measure("pulled cable");
  expect_each(writes, false, 0, 0, kWriteLimitMs);
  expect_each(reads, false, 0, 0, 10 * kReadLimitMs);
  port.FECHA_PORTA();
  EXPECT_FALSE(port.PORTA_ABERTA());
}

// The line stays: writes still go out, reads wait out their time-out and bring nothing.
TEST_F(DeadLine, ADeviceWithoutPowerTakesWritesAndLetsReadsTimeOut) {
  kill_device(kNoPower);
  const auto [writes, reads] = measure("no power");
  expect_each(writes, true, 1, 0, kWriteLimitMs);
  expect_each(reads, false, 0, kReadLimitMs / 2, 10 * kReadLimitMs);
}

}  // namespace
}  // namespace patu
