// EmulatedPort: the port contract on virtual time, and the device as the real protocol sees
// it, faults included.

#include "tools/emulator/emulated_port.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/protocol.h"
#include "tests/emulator/device_bytes.h"

namespace patu::emu {
namespace {

using testing::Bytes;
using testing::filled;
using testing::pattern;
using testing::with_faults;

// A device, the host's clock, the port between them and the protocol on top.
struct Bench {
  explicit Bench(DeviceConfig config = {}, std::uint32_t start_ms = 1000)
      : device(std::move(config)), clock(start_ms), port(device, clock), link(port, clock) {
    port.ABRE_PORTA(1);
    link.BYTE_SINC = 0x86;
  }
  Device device;
  ManualClock clock;
  EmulatedPort port;
  Protocol link;

  bool write(const Bytes& bytes) {
    std::uint32_t written = 0;
    return port.ESCREVE_PORTA(bytes.data(), static_cast<std::uint32_t>(bytes.size()), written);
  }
  // Reads `count` bytes; returns what came, and the ms the read took.
  std::pair<Bytes, std::uint32_t> read(std::uint32_t count) {
    Bytes buffer(count + 1, 0xEE);
    std::uint32_t got = 99;
    const std::uint32_t before = clock.tick_ms();
    const bool ok = port.LE_PORTA(count, buffer.data(), got);
    EXPECT_EQ(ok, got == count);
    buffer.resize(got);
    return {buffer, clock.tick_ms() - before};
  }
  std::vector<char> letters() const {
    std::vector<char> out;
    for (const Exchange& e : device.state().log) {
      if (e.kind == Exchange::Kind::command) out.push_back(static_cast<char>(e.letter));
    }
    return out;
  }
};

TEST(EmulatedPortReads, KeepTheContractTimeOutsOnVirtualTime) {
  Bench b;
  // Nothing there: a one-byte poll gives up after 100 ms.
  auto [none, polled] = b.read(1);
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(polled, 100u);
  // A zero-byte read is complete at once.
  auto [zero, instant] = b.read(0);
  EXPECT_TRUE(zero.empty());
  EXPECT_EQ(instant, 0u);
  // Three bytes for a ten-byte read: they come at once, then the interval runs out.
  DeviceConfig stutter;
  stutter.probe_answer = {0x54, 0x54, 0x54};
  Bench s(stutter);
  ASSERT_TRUE(s.write({0xAB}));
  auto [three, waited] = s.read(10);
  EXPECT_EQ(three, (Bytes{0x54, 0x54, 0x54}));
  EXPECT_EQ(waited, 100u);
  // A reply still on its way is waited for, up to the total time-out.
  Bench late(with_faults({"slow=250@D", "slow=1500@E"}));
  late.write({0x86});
  late.read(1);
  late.write({4, 'D', 0x80, 0x00});
  auto [short_poll, p] = late.read(1);
  EXPECT_TRUE(short_poll.empty());
  EXPECT_EQ(p, 100u);
  auto [reply, w] = late.read(5);
  EXPECT_EQ(reply.size(), 5u);
  EXPECT_EQ(w, 150u) << "the rest of the 250 ms";
  late.read(125);
  late.write({0x86});
  late.read(1);
  late.write({4, 'E', 0x89, 0x00});
  auto [nothing, total] = late.read(10);
  EXPECT_TRUE(nothing.empty());
  EXPECT_EQ(total, 1000u) << "100 ms per byte asked for";
}

TEST(EmulatedPortReads, AGapOfOver100MsBetweenBytesEndsTheRead) {
  Bench b;
  b.link.BUF_COMANDO[0] = 2;
  b.link.BUF_COMANDO[1] = 'G';
  ASSERT_TRUE(b.link.ENVIA_COMANDO());
  // The reply (2 bytes) is there; the next byte would come only with another command.
  auto [got, waited] = b.read(3);
  EXPECT_EQ(got, (Bytes{2, kAck}));
  EXPECT_EQ(waited, 100u);
}

TEST(EmulatedPortContract, OpenCloseAndThePortsThatExist) {
  Device device;
  ManualClock clock;
  EmulatedPort port(device, clock, 3);
  std::uint32_t count = 7;
  std::uint8_t byte = 0xAB;
  EXPECT_FALSE(port.ESCREVE_PORTA(&byte, 1, count));
  EXPECT_EQ(count, 0u);
  EXPECT_FALSE(port.LE_PORTA(1, &byte, count));
  EXPECT_EQ(count, 0u);
  EXPECT_FALSE(port.ABRE_PORTA(1)) << "unplugged";
  EXPECT_TRUE(port.ABRE_PORTA(3));
  EXPECT_FALSE(port.ABRE_PORTA(3)) << "second open";
  EXPECT_TRUE(port.PORTA_ABERTA());
  port.FECHA_PORTA();
  port.FECHA_PORTA();
  EXPECT_FALSE(port.PORTA_ABERTA());

  // A port that exists without the device is a silent line.
  port.set_present_ports({1, 3});
  ASSERT_TRUE(port.ABRE_PORTA(1));
  EXPECT_TRUE(port.ESCREVE_PORTA(&byte, 1, count));
  EXPECT_EQ(count, 1u);
  EXPECT_FALSE(port.LE_PORTA(1, &byte, count));
  EXPECT_TRUE(device.state().log.empty());
  port.FECHA_PORTA();
  ASSERT_TRUE(port.ABRE_PORTA(3));
  EXPECT_TRUE(port.ESCREVE_PORTA(&byte, 1, count));
  EXPECT_TRUE(port.LE_PORTA(1, &byte, count));
  EXPECT_EQ(byte, 0x54);
}

TEST(EmulatedPortContract, PurgeDropsWhatArrivedNotWhatIsOnItsWay) {
  Bench b(with_faults({"slow=300@G"}));
  b.write({0xAB});
  b.port.purge(Purge::rx);
  EXPECT_TRUE(b.read(1).first.empty());
  b.write({0x86});
  b.read(1);
  b.write({2, 'G'});
  b.port.purge(Purge::rx);
  EXPECT_EQ(b.read(4).first, (Bytes{2, kAck})) << "the late reply still arrives";
  // Closing the port purges too.
  b.write({0xAB});
  b.port.FECHA_PORTA();
  ASSERT_TRUE(b.port.ABRE_PORTA(1));
  EXPECT_TRUE(b.read(1).first.empty());
}

TEST(EmulatedPortContract, BytesWaitingBeforeTheOpenComeFirstUntilPurged) {
  DeviceConfig config;
  config.waiting = {0x00, 0x79};
  {
    Bench b(config);
    auto [first, took] = b.read(1);
    EXPECT_EQ(first, Bytes{0x00});
    EXPECT_EQ(took, 0u) << "already there";
    b.write({0xAB});
    EXPECT_EQ(b.read(1).first, Bytes{0x79}) << "a stale byte read as the probe's answer";
    EXPECT_EQ(b.read(1).first, Bytes{0x54});
  }
  Bench b(config);
  b.port.purge(Purge::rx);
  b.write({0xAB});
  EXPECT_EQ(b.read(2).first, Bytes{0x54});
  ASSERT_EQ(b.device.state().log.size(), 1u) << "the waiting bytes are in no log line";
  EXPECT_EQ(b.device.state().log[0].kind, Exchange::Kind::probe);
}

TEST(EmulatedPortContract, TimeKeepsCountingAcrossTheTickWrap) {
  Bench b({}, 0xFFFFFFC0);
  b.read(1);  // 100 ms: the tick count wraps
  EXPECT_EQ(b.clock.tick_ms(), 0x24u);
  b.clock.sleep_ms(80);
  ASSERT_TRUE(b.write({0xAB}));
  EXPECT_EQ(b.device.state().log[0].t_in, 180);
  EXPECT_EQ(b.port.now(), 180'000u);
}

TEST(DeviceWithProtocol, ReadsTheInfoBlock) {
  DeviceConfig config;
  config.info = pattern(7);
  Bench b(config);
  Block block{};
  ASSERT_TRUE(b.link.LE_BLOCO(kInfoAddress, block));
  EXPECT_EQ(block, pattern(7));
}

TEST(DeviceWithProtocol, StoresBlocksAndPagesAndFinalizes) {
  Bench b;
  ASSERT_TRUE(b.link.GRAVA_BLOCO(0x8A80, pattern(1)));
  ASSERT_TRUE(b.link.APAGA_BLOCO(kDefaultModuleArea));
  Page page{};
  for (std::size_t i = 0; i < page.size(); ++i) page[i] = static_cast<std::uint8_t>(255 - i);
  ASSERT_TRUE(b.link.GRAVA_PAGINA(0x01FC, page));
  ASSERT_TRUE(b.link.FINALIZA());

  EXPECT_EQ(b.device.block(0x8A80), pattern(1));
  EXPECT_EQ(b.device.page(0x01FC), page);
  EXPECT_TRUE(b.device.state().finalized);
  EXPECT_TRUE(b.device.state().violations.empty());
  EXPECT_EQ(b.letters(), (std::vector<char>{'E', 'W', 'E', 'F', 'F', 'G'}));
  // Only the host's pauses cost time: 80 ms before each reply, 50 ms before the 'W'.
  const auto& log = b.device.state().log;
  EXPECT_EQ(log[1].t_in - log[0].t_in, 80 + 50);
  EXPECT_EQ(log.back().t_in - log[0].t_in, 5 * 80 + 50);
}

struct HostCase {
  const char* fault;
  char command;  // 'E' erase at 0x8900, 'D' read at 0x8000
  bool result;
  std::uint8_t erro_com;
};

TEST(DeviceWithProtocol, EachFaultGivesTheHostTheEffectItStandsFor) {
  const HostCase cases[] = {
      {"silence@#1", 'E', false, kErroTempo},   {"noise@#1", 'E', true, kErroNenhum},
      {"nak@E", 'E', false, kErroNenhum},       {"len0@E", 'E', false, kErroTamanhoZero},
      {"short@E", 'E', false, kErroIncompleta}, {"shortlen@E", 'E', false, kErroNenhum},
      {"slow=1000@E", 'E', true, kErroNenhum},  {"slow=6000@E", 'E', false, kErroTempo},
      {"hangup@E", 'E', false, kErroTempo},     {"nak@D", 'D', true, kErroNenhum},
      {"shortlen@D", 'D', false, kErroNenhum},  {"short@D", 'D', false, kErroIncompleta},
      {"len0@D", 'D', false, kErroTamanhoZero}, {"silence@#1", 'D', false, kErroTempo},
  };
  for (const HostCase& c : cases) {
    Bench b(with_faults({c.fault}));
    Block block{};
    const bool result =
        c.command == 'E' ? b.link.APAGA_BLOCO(0x8900) : b.link.LE_BLOCO(kInfoAddress, block);
    EXPECT_EQ(result, c.result) << c.fault;
    EXPECT_EQ(b.link.ERRO_COM, c.erro_com) << c.fault;
    if (c.command == 'D' && c.result) {
      EXPECT_EQ(block, default_info()) << c.fault;
    }
  }
}

TEST(DeviceWithProtocol, AfterAHangupEveryCommandFails) {
  Bench b(with_faults({"hangup@W"}));
  EXPECT_FALSE(b.link.GRAVA_BLOCO(0x8900, pattern(1)));
  EXPECT_TRUE(b.device.hung_up());
  EXPECT_FALSE(b.link.FINALIZA());
  EXPECT_EQ(b.link.ERRO_COM, kErroEscrita);
  Block block{};
  EXPECT_FALSE(b.link.LE_BLOCO(kInfoAddress, block));
  auto [got, waited] = b.read(1);
  EXPECT_TRUE(got.empty());
  EXPECT_EQ(waited, 100u);
  EXPECT_EQ(b.device.block(0x8900), filled(0xFF));
  EXPECT_FALSE(b.device.state().finalized);
}

TEST(DeviceWithProtocol, AfterAPowerLossWritesGoOutAndEveryCommandTimesOut) {
  Bench b(with_faults({"poweroff@W"}));
  EXPECT_FALSE(b.link.GRAVA_BLOCO(0x8900, pattern(1)));
  EXPECT_EQ(b.link.ERRO_COM, kErroTempo);
  EXPECT_FALSE(b.link.FINALIZA());
  EXPECT_EQ(b.link.ERRO_COM, kErroTempo) << "the sync byte was written, never answered";
  EXPECT_EQ(b.device.block(0x8900), filled(0xFF));
  EXPECT_FALSE(b.device.state().finalized);
}

TEST(DeviceWithProtocol, RefusedFirstStepsStopTheWritersEarly) {
  Bench b(with_faults({"nak@E", "nak@F#1"}));
  EXPECT_FALSE(b.link.GRAVA_BLOCO(0x8900, pattern(1)));
  Page page{};
  EXPECT_FALSE(b.link.GRAVA_PAGINA(0, page));
  EXPECT_EQ(b.letters(), (std::vector<char>{'E', 'F'}));
}

TEST(DeviceWithProtocol, ALateReplyIsSkippedByTheNextHandshake) {
  Bench b(with_faults({"slow=6000@E#1"}));
  EXPECT_FALSE(b.link.APAGA_BLOCO(0x8900));
  EXPECT_EQ(b.link.ERRO_COM, kErroTempo);
  EXPECT_TRUE(b.link.APAGA_BLOCO(0x8980));
  EXPECT_EQ(b.device.state().erases.size(), 2u) << "a slow erase still erases";
}

TEST(DeviceWithProtocol, ADeviceOfAnotherVersionAnswersOnlyTheOtherSyncByte) {
  DeviceConfig config;
  config.sync85_only = true;
  Bench b(config);
  Block block{};
  EXPECT_FALSE(b.link.LE_BLOCO(kInfoAddress, block));
  EXPECT_EQ(b.link.ERRO_COM, kErroTempo);
  b.link.BYTE_SINC = 0x85;
  EXPECT_TRUE(b.link.LE_BLOCO(kInfoAddress, block));
  EXPECT_EQ(block, default_info());
}

TEST(DeviceWithProtocol, PacedLineCostsTheWireTimeOfEveryByte) {
  DeviceConfig config;
  config.baud = 9600;
  Bench b(config);
  const std::uint32_t start = b.clock.tick_ms();
  ASSERT_TRUE(b.link.GRAVA_BLOCO(0x8900, pattern(1)));
  // The 'E' frame and its reply fit in the host's 80 ms pause; around the 'W', the sync byte,
  // the complement, the 133-byte frame and the reply are all waited for, one after the other.
  const std::uint32_t expected_us = 2 * 1042 + 80'000 + 50'000 + (2 + 133 + 2) * 1042;
  EXPECT_EQ(b.clock.tick_ms() - start, expected_us / 1000);
  EXPECT_EQ(b.device.block(0x8900), pattern(1));
}

}  // namespace
}  // namespace patu::emu
