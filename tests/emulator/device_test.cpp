// The device state machine fed by hand-made bytes: handshake, memory, violations, faults,
// triggers and line pacing.

#include "tools/emulator/device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "tests/emulator/device_bytes.h"

namespace patu::emu {
namespace {

using testing::Bytes;
using testing::filled;
using testing::frame_d;
using testing::frame_e;
using testing::frame_f;
using testing::frame_g;
using testing::frame_w;
using testing::Host;
using testing::pattern;
using testing::with_faults;

Bytes encoded(const Block& block) {
  Bytes out;
  for (std::uint8_t b : block) out.push_back(CODIFICA_BYTE(b));
  return out;
}

Bytes read_reply(const Block& block, std::uint8_t status = kAck) {
  Bytes reply{130, status};
  const Bytes data = encoded(block);
  reply.insert(reply.end(), data.begin(), data.end());
  return reply;
}

const Exchange& command(const Device& device, std::uint32_t number) {
  for (const Exchange& e : device.state().log) {
    if (e.kind == Exchange::Kind::command && e.number == number) return e;
  }
  static const Exchange none;
  ADD_FAILURE() << "no command " << number;
  return none;
}

TEST(DeviceHandshake, AnswersTheProbeAndOnlyItsOwnSyncByte) {
  Device device;
  Host host(device);
  host.send({0xAB});
  EXPECT_EQ(host.take(), Bytes{0x54});
  host.send({0x85, 0x00, 0x79, 0x44});
  EXPECT_EQ(host.take(), Bytes{});
  host.send({0x86});
  EXPECT_EQ(host.take(), Bytes{0x79});

  const auto& log = device.state().log;
  ASSERT_EQ(log.size(), 6u);
  EXPECT_EQ(log[0].kind, Exchange::Kind::probe);
  EXPECT_EQ(log[0].answer, Bytes{0x54});
  for (std::size_t i = 1; i <= 4; ++i) EXPECT_EQ(log[i].kind, Exchange::Kind::ignored);
  EXPECT_EQ(log[1].byte, 0x85);
  EXPECT_EQ(log[5].kind, Exchange::Kind::command);
  EXPECT_EQ(log[5].number, 1u);
  EXPECT_EQ(log[5].byte, 0x86);
}

TEST(DeviceHandshake, ProbeAnswerAndSilenceAreSettable) {
  DeviceConfig quiet;
  quiet.probe_answer = {};
  Device no_answer(quiet);
  Host a(no_answer);
  a.send({0xAB});
  EXPECT_EQ(a.take(), Bytes{});
  a.send({0x86});
  EXPECT_EQ(a.take(), Bytes{0x79}) << "no probe answer still leaves the commands";

  DeviceConfig other;
  other.probe_answer = {0x54, 0x00, 0x41};
  other.silent_after_probe = true;
  Device silent(other);
  Host b(silent);
  b.send({0xAB});
  EXPECT_EQ(b.take(), (Bytes{0x54, 0x00, 0x41}));
  b.send({0x86});
  b.send({0x85});
  EXPECT_EQ(b.take(), Bytes{});
}

TEST(DeviceHandshake, SyncLikeBytesInsideAFrameBelongToTheFrame) {
  Device device;
  Host host(device);
  // The 'W' frame's length byte is 0x85 and its data may hold 0x86 and 0xAB: none of them
  // may restart the handshake.
  Block data = filled(0x12);
  data[0] = CODIFICA_BYTE(0x86);
  data[1] = CODIFICA_BYTE(0xAB);
  EXPECT_EQ(host.command(frame_e(0x8900)), (Bytes{2, kAck}));
  EXPECT_EQ(host.command(frame_w(0x8900, data)), (Bytes{2, kAck}));
  EXPECT_EQ(device.block(0x8900), data);
}

TEST(DeviceMemory, DefaultInfoHoldsTheSerialAndNoFFByte) {
  const Block info = default_info({0x01, 0x02, 0x03});
  EXPECT_EQ(info[0], 0x01);
  EXPECT_EQ(info[1], 0x02);
  EXPECT_EQ(info[2], 0x03);
  std::set<std::uint8_t> others(info.begin() + 3, info.end());
  EXPECT_EQ(others.size(), 125u) << "every device byte distinct";
  EXPECT_EQ(others.count(0xFF), 0u);
}

TEST(DeviceMemory, EraseThenWriteStoresABlock) {
  Device device;
  Host host(device);
  EXPECT_EQ(host.command(frame_e(0x8A80)), (Bytes{2, kAck}));
  EXPECT_EQ(device.block(0x8A80), filled(0xFF));
  EXPECT_EQ(host.command(frame_w(0x8A80, pattern(1))), (Bytes{2, kAck}));
  EXPECT_EQ(device.block(0x8A80), pattern(1));
  EXPECT_EQ(host.command(frame_d(0x8A80)), read_reply(pattern(1)));
  EXPECT_EQ(host.command(frame_d(0x8B00)), read_reply(filled(0xFF))) << "never written";
  // The info block is written like any other block.
  host.command(frame_e(kInfoAddress));
  host.command(frame_w(kInfoAddress, pattern(2)));
  EXPECT_EQ(device.block(kInfoAddress), pattern(2));
  EXPECT_EQ(device.state().initial_info, default_info());

  EXPECT_TRUE(device.state().violations.empty());
  EXPECT_EQ(device.state().erases, (std::vector<Erase>{{1, 0x8A80}, {5, kInfoAddress}}));
}

TEST(DeviceMemory, PagesAreWrittenByHalvesAfterTheModuleAreaErase) {
  Device device;
  Host host(device);
  host.command(frame_e(kDefaultModuleArea));
  EXPECT_EQ(host.command(frame_f(0x01FC, 0, pattern(3))), (Bytes{2, kAck}));
  EXPECT_EQ(host.command(frame_f(0x01FC, 128, pattern(4))), (Bytes{2, kAck}));
  const Page page = device.page(0x01FC);
  EXPECT_TRUE(std::equal(page.begin(), page.begin() + 128, pattern(3).begin()));
  EXPECT_TRUE(std::equal(page.begin() + 128, page.end(), pattern(4).begin()));
  const Page other = device.page(0x01FB);
  EXPECT_TRUE(std::all_of(other.begin(), other.end(), [](std::uint8_t b) { return b == 0xFF; }));
  EXPECT_TRUE(device.state().violations.empty());
  EXPECT_EQ(device.state().log.back().argument, 0x01FC80u);

  // A new erase of the module area wipes every page and allows writing them again.
  host.command(frame_e(kDefaultModuleArea));
  EXPECT_TRUE(device.state().pages.empty());
  host.command(frame_f(0x01FC, 0, pattern(5)));
  EXPECT_TRUE(device.state().violations.empty());
}

TEST(DeviceMemory, OnlyTheConfiguredModuleAreaErasesPages) {
  DeviceConfig config;
  config.module_area = 0xB000;
  Device device(config);
  Host host(device);
  host.command(frame_e(0xAA00));
  host.command(frame_f(0, 0, pattern(1)));
  ASSERT_EQ(device.state().violations.size(), 1u);
  EXPECT_EQ(device.state().violations[0].kind, Violation::Kind::page_before_area_erase);
  host.command(frame_e(0xB000));
  EXPECT_TRUE(device.state().pages.empty());
  EXPECT_EQ(device.block(0xB000), filled(0xFF)) << "the area's own block is erased too";
}

TEST(DeviceViolations, FlashRulesAreRecordedAndWritesOnlyClearBits) {
  Device device;
  Host host(device);
  // A 'W' over the unerased info block programs like flash: old AND new.
  const Block data = pattern(9);
  host.command(frame_w(kInfoAddress, data));
  Block expected = default_info();
  for (std::size_t i = 0; i < expected.size(); ++i) expected[i] &= data[i];
  EXPECT_EQ(device.block(kInfoAddress), expected);
  // Erase, write, write again: the second write lacks its erase.
  host.command(frame_e(0x8900));
  host.command(frame_w(0x8900, data));
  host.command(frame_w(0x8900, data));
  // Pages before the module area erase, and a half written twice after it.
  host.command(frame_f(7, 0, data));
  host.command(frame_e(kDefaultModuleArea));
  host.command(frame_f(7, 128, data));
  host.command(frame_f(7, 128, data));

  const std::vector<Violation> expected_violations{
      {1, Violation::Kind::write_without_erase, 'W', 0x8000},
      {4, Violation::Kind::write_without_erase, 'W', 0x8900},
      {5, Violation::Kind::page_before_area_erase, 'F', 0x000700},
      {8, Violation::Kind::half_written_twice, 'F', 0x000780},
  };
  EXPECT_EQ(device.state().violations, expected_violations);
}

TEST(DeviceViolations, MalformedFramesAreRefusedAndChangeNothing) {
  Device device;
  Host host(device);
  Bytes bad_constant = frame_w(0x8900, pattern(1));
  bad_constant[2] = 9;
  Bytes bad_offset = frame_f(0, 0x40, pattern(1));
  const std::vector<Bytes> frames{
      {4, 'X', 0x89, 0x00},        // unknown letter
      {5, 'E', 0x89, 0x00, 0x00},  // wrong length
      {3, 'G', 0x00},              // wrong length
      bad_constant,                // 'W' without its constant 8
      bad_offset,                  // 'F' half that is neither 0 nor 128
      {1},                         // no room for a letter
  };
  for (const Bytes& frame : frames) {
    EXPECT_EQ(host.command(frame), (Bytes{2, 0x55})) << int(frame[1 % frame.size()]);
  }
  EXPECT_EQ(device.state().violations.size(), frames.size());
  for (const Violation& v : device.state().violations) {
    EXPECT_EQ(v.kind, Violation::Kind::bad_frame);
  }
  EXPECT_EQ(device.state().violations.back().letter, -1);
  EXPECT_TRUE(device.state().erases.empty());
  EXPECT_TRUE(device.state().pages.empty());
  EXPECT_FALSE(device.state().finalized);
  EXPECT_EQ(device.state().blocks.size(), 1u) << "only the info block";
}

TEST(DeviceFrames, AFrameSilentForOverASecondIsAbandoned) {
  Device device;
  Host host(device);
  host.send({0x86});
  host.take();
  const Bytes w = frame_w(0x8900, pattern(1));
  host.send(Bytes(w.begin(), w.begin() + 10));
  host.now += 900'000;  // a pause under a second: the frame goes on
  host.send(Bytes(w.begin() + 10, w.begin() + 20));
  host.now += 1'000'001;
  host.send({0x86});
  EXPECT_EQ(host.take(), Bytes{0x79}) << "the new sync byte is not taken as frame byte 21";

  const Exchange& first = command(device, 1);
  EXPECT_EQ(first.frame_length, 133);
  EXPECT_EQ(first.frame_received, 20);
  EXPECT_EQ(first.t_frame, -1);
  EXPECT_EQ(first.reply_length, -1);
  EXPECT_EQ(command(device, 2).frame_received, 0);
}

TEST(DeviceFrames, ASilentHostAfterTheComplementFreesTheDevice) {
  Device device;
  Host host(device);
  host.send({0x86});
  host.now += 5'000'000;
  EXPECT_EQ(host.command(frame_d(0x8000)), read_reply(default_info()));
}

struct ReplyCase {
  const char* fault;
  Bytes frame;
  Bytes expected_start;
  std::size_t expected_size;
};

TEST(DeviceFaults, EachKindShapesTheReplyAsNamed) {
  const Bytes d = frame_d(0x8000);
  const Bytes info_data = encoded(default_info());
  Bytes nak_d{130, 0x55};
  nak_d.insert(nak_d.end(), info_data.begin(), info_data.end());
  Bytes short_d{130, kAck};
  short_d.insert(short_d.end(), info_data.begin(), info_data.begin() + 63);
  Bytes shortlen_d{66, kAck};
  shortlen_d.insert(shortlen_d.end(), info_data.begin(), info_data.begin() + 64);
  const std::vector<ReplyCase> cases{
      {"nak@D", d, nak_d, 130},
      {"len0@D", d, {0}, 1},
      {"short@D", d, short_d, 65},
      {"shortlen@D", d, shortlen_d, 66},
      {"nak@E", frame_e(0x8900), {2, 0x55}, 2},
      {"len0@G", frame_g(), {0}, 1},
      {"short@E", frame_e(0x8900), {2}, 1},
      {"shortlen@G", frame_g(), {1}, 1},
      {"slow=10@E", frame_e(0x8900), {2, kAck}, 2},
  };
  for (const ReplyCase& c : cases) {
    Device device(with_faults({c.fault}));
    Host host(device);
    const Bytes reply = host.command(c.frame);
    EXPECT_EQ(reply.size(), c.expected_size) << c.fault;
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + std::min(reply.size(), c.expected_start.size())),
              c.expected_start)
        << c.fault;
    const Exchange& e = command(device, 1);
    EXPECT_EQ(e.fault, std::string(c.fault).substr(0, std::string(c.fault).find('@'))) << c.fault;
    EXPECT_EQ(e.reply_sent, static_cast<int>(reply.size())) << c.fault;
    EXPECT_EQ(e.reply_length, reply[0]) << c.fault;
  }
}

TEST(DeviceFaults, AFaultedWriteLeavesMemoryAloneUnlessOnlyLateOrNoisy) {
  for (const char* kind : {"nak", "len0", "short", "shortlen"}) {
    const std::string k = kind;
    Device device(with_faults(
        {(k + "@E#2").c_str(), (k + "@W").c_str(), (k + "@F").c_str(), (k + "@G").c_str()}));
    Host host(device);
    host.command(frame_e(0x8900));
    host.command(frame_e(kDefaultModuleArea));
    host.command(frame_w(0x8900, pattern(1)));
    host.command(frame_f(0, 0, pattern(2)));
    host.command(frame_g());
    EXPECT_EQ(device.block(0x8900), filled(0xFF)) << kind;
    EXPECT_TRUE(device.state().pages.empty()) << kind;
    EXPECT_FALSE(device.state().finalized) << kind;
    EXPECT_EQ(device.state().erases, (std::vector<Erase>{{1, 0x8900}})) << kind;
    EXPECT_TRUE(device.state().violations.empty()) << kind;
  }
  Device late(with_faults({"noise@#2", "slow=300@W"}));
  Host host(late);
  host.command(frame_e(0x8900));
  host.send({0x86});
  host.take();
  host.send(frame_w(0x8900, pattern(1)));
  host.take();
  EXPECT_EQ(late.block(0x8900), pattern(1));
}

TEST(DeviceFaults, SilenceAndNoiseActOnTheHandshake) {
  Device device(with_faults({"silence@#2", "noise@#3"}));
  Host host(device);
  host.command(frame_e(0x8900));
  host.send({0x86});
  EXPECT_EQ(host.take(), Bytes{}) << "command 2 gets no complement";
  host.send({0x86});
  Bytes expected(kNoise.begin(), kNoise.end());
  expected.push_back(0x79);
  EXPECT_EQ(host.take(), expected);
  host.send(frame_e(0x8980));
  EXPECT_EQ(host.take(), (Bytes{2, kAck}));

  EXPECT_EQ(command(device, 2).fault, "silence");
  EXPECT_EQ(command(device, 2).frame_length, -1);
  EXPECT_EQ(command(device, 3).fault, "noise");
  EXPECT_EQ(command(device, 3).answer, Bytes(kNoise.begin(), kNoise.end()));
  EXPECT_EQ(device.block(0x8980), filled(0xFF));
  ASSERT_EQ(device.state().erases.size(), 2u);
}

TEST(DeviceFaults, ASlowReplyComesLateAndHoldsBackWhatFollows) {
  Device device(with_faults({"slow=6000@E"}));
  Host host(device);
  host.send({0x86});
  host.take();
  host.send(frame_e(0x8900));
  const Emission* first = device.next_output();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->at, 6'000'000u);
  // The host gave up and starts another command: the late reply goes first on the line.
  host.now = 5'200'000;
  host.send({0x86});
  std::vector<Micros> times;
  for (const Emission* e = device.next_output(); e != nullptr; e = device.next_output()) {
    times.push_back(e->at);
    device.pop_output();
  }
  EXPECT_EQ(times, (std::vector<Micros>{6'000'000, 6'000'000, 6'000'000}));
  EXPECT_EQ(command(device, 1).t_out, 6000);
}

TEST(DeviceFaults, HangupAndPowerLossSilenceTheDeviceForGood) {
  for (const bool hangup : {true, false}) {
    const char* kind = hangup ? "hangup" : "poweroff";
    SCOPED_TRACE(kind);
    Device device(with_faults({hangup ? "hangup@E:8980" : "poweroff@E#2"}));
    Host host(device);
    host.command(frame_e(0x8900));
    host.send({0x86});
    host.take();
    host.send(frame_e(0x8980));
    EXPECT_EQ(host.take(), Bytes{});
    EXPECT_EQ(device.hung_up(), hangup);
    EXPECT_EQ(device.state().hung_up, hangup);
    host.send({0xAB, 0x86});
    EXPECT_EQ(host.take(), Bytes{});
    EXPECT_EQ(command(device, 2).fault, kind);
    EXPECT_EQ(device.state().erases.size(), 1u) << "the erase it went dead over did not act";
    // Off the line nothing is heard; without power, what the host still sends is on record.
    const auto& log = device.state().log;
    ASSERT_EQ(log.size(), hangup ? 2u : 4u);
    for (std::size_t i = 2; i < log.size(); ++i) {
      EXPECT_EQ(log[i].kind, Exchange::Kind::ignored);
      EXPECT_EQ(log[i].byte, i == 2 ? 0xAB : 0x86);
    }
  }
}

// The commands of a short update, numbered 1 to 10.
void short_update(Host& host) {
  host.command(frame_d(0x8000));                   // 1
  host.command(frame_e(0x8900));                   // 2
  host.command(frame_w(0x8900, pattern(1)));       // 3
  host.command(frame_e(0x8980));                   // 4
  host.command(frame_w(0x8980, pattern(2)));       // 5
  host.command(frame_e(kDefaultModuleArea));       // 6
  host.command(frame_f(0x01FC, 0, pattern(3)));    // 7
  host.command(frame_f(0x01FC, 128, pattern(4)));  // 8
  host.command(frame_f(0x01FD, 0, pattern(5)));    // 9
  host.command(frame_g());                         // 10
}

TEST(DeviceTriggers, EachTriggerHitsExactlyTheCommandsItNames) {
  const std::vector<std::pair<const char*, std::set<std::uint32_t>>> cases{
      {"nak@#4", {4}},        {"nak@W", {3, 5}},   {"nak@W#2", {5}}, {"nak@E:8980", {4}},
      {"nak@F:01FC", {7, 8}}, {"nak@F#3", {9}},    {"nak@G", {10}},  {"nak@D:8001", {}},
      {"nak@E#4", {}},        {"silence@#7", {7}},
  };
  for (const auto& [fault, hit] : cases) {
    Device device(with_faults({fault}));
    Host host(device);
    if (std::string(fault).rfind("silence", 0) == 0) {
      // The silenced command never gets its frame through.
      for (int i = 0; i < 6; ++i) host.command(frame_d(0x8000));
      host.send({0x86});
    } else {
      short_update(host);
    }
    std::set<std::uint32_t> faulted;
    for (const Exchange& e : device.state().log) {
      if (!e.fault.empty()) faulted.insert(e.number);
    }
    EXPECT_EQ(faulted, hit) << fault;
  }
}

TEST(DeviceTriggers, TheFirstMatchingFaultWinsAndPhasesCombine) {
  Device device(with_faults({"nak@W#1", "len0@W", "short@W", "noise@#3", "nak@#3"}));
  Host host(device);
  short_update(host);
  EXPECT_EQ(command(device, 3).fault, "noise,nak");
  EXPECT_EQ(command(device, 5).fault, "len0");
}

TEST(DeviceLine, BaudPacesBothDirectionsOneByteAfterTheOther) {
  DeviceConfig config;
  config.baud = 9600;
  Device device(config);
  EXPECT_EQ(device.state().byte_time_us, 1042u);
  Host host(device);
  host.now = 1'000'000;
  host.send({0x86});
  ASSERT_NE(device.next_output(), nullptr);
  EXPECT_EQ(device.next_output()->at, 1'000'000u + 2 * 1042);
  host.take();
  // The host hands the whole frame over at once; the line still takes it byte by byte.
  host.send(frame_d(0x8000));
  std::vector<Micros> times;
  for (const Emission* e = device.next_output(); e != nullptr; e = device.next_output()) {
    times.push_back(e->at);
    device.pop_output();
  }
  const Micros frame_in = 1'000'000 + 5 * 1042;
  ASSERT_EQ(times.size(), 130u);
  EXPECT_EQ(times.front(), frame_in + 1042);
  EXPECT_EQ(times.back(), frame_in + 130 * 1042);
  const Exchange& e = command(device, 1);
  EXPECT_EQ(e.t_in, 1001);
  EXPECT_EQ(e.t_frame, static_cast<std::int64_t>(frame_in / 1000));
  EXPECT_EQ(e.t_out, static_cast<std::int64_t>(frame_in / 1000));
}

}  // namespace
}  // namespace patu::emu
