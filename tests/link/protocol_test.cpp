#include "link/protocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "tests/support/fake_port.h"

namespace patu {
namespace {

using testing::Bytes;
using testing::FakePort;
using testing::ScriptedDevice;
using Kind = FakePort::Call::Kind;

class ProtocolTest : public ::testing::Test {
 protected:
  ProtocolTest() {
    port.ABRE_PORTA(1);
    link.BYTE_SINC = 0x86;
  }

  // Each write call must have carried exactly one byte.
  void expect_byte_at_a_time() const {
    for (const Bytes& w : port.writes()) EXPECT_EQ(w.size(), 1u);
  }

  // The payload of a 'W' or 'F' frame, decoded.
  static Bytes payload(const Bytes& frame) {
    Bytes out;
    for (std::size_t i = 5; i < frame.size(); ++i) out.push_back(CODIFICA_BYTE(frame[i]));
    return out;
  }

  // Tick of the first call of `kind` at or after call `from`.
  std::uint32_t tick_of_next(Kind kind, std::size_t from) const {
    for (std::size_t i = from; i < port.calls.size(); ++i)
      if (port.calls[i].kind == kind) return port.calls[i].tick;
    ADD_FAILURE() << "no such call";
    return 0;
  }

  ManualClock clock{1000};
  FakePort port{clock};
  ScriptedDevice device{port};
  Protocol link{port, clock};
};

Block random_block(unsigned seed) {
  std::mt19937 gen(seed);
  Block b;
  for (auto& x : b) x = static_cast<std::uint8_t>(gen());
  return b;
}

std::string to_hex(const std::uint8_t* data, std::size_t n) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    s += digits[data[i] >> 4];
    s += digits[data[i] & 15];
  }
  return s;
}

TEST(CodificaByte, IsItsOwnInverseAndFixesExactlyTheSixteenComplementaryBytes) {
  int fixed = 0;
  for (int b = 0; b < 256; ++b) {
    const auto x = static_cast<std::uint8_t>(b);
    EXPECT_EQ(CODIFICA_BYTE(CODIFICA_BYTE(x)), x);
    if (CODIFICA_BYTE(x) == x) {
      ++fixed;
      EXPECT_EQ((x >> 4) + (x & 15), 15) << b;
    }
  }
  EXPECT_EQ(fixed, 16);
  EXPECT_EQ(CODIFICA_BYTE(0x00), 0xFF);
  EXPECT_EQ(CODIFICA_BYTE(0x12), 0xDE);
  EXPECT_EQ(CODIFICA_BYTE(0x80), 0xF7);
  EXPECT_EQ(CODIFICA_BYTE(0xAA), 0x55);
}

TEST_F(ProtocolTest, EraseSendsSyncThenFrameOneBytePerWriteAfterPurgingOutputThenInput) {
  device.replies = {ScriptedDevice::ack()};
  EXPECT_TRUE(link.APAGA_BLOCO(0x8000));
  EXPECT_EQ(link.ERRO_COM, kErroNenhum);

  const std::vector<Bytes> expected{{0x86}, {0x04}, {0x45}, {0x80}, {0x00}};
  EXPECT_EQ(port.writes(), expected);
  ASSERT_GE(port.calls.size(), 3u);
  EXPECT_EQ(port.calls[0].kind, Kind::purge);
  EXPECT_EQ(port.calls[0].queue, Purge::tx);
  EXPECT_EQ(port.calls[1].kind, Kind::purge);
  EXPECT_EQ(port.calls[1].queue, Purge::rx);
  EXPECT_EQ(port.calls[2].kind, Kind::write);

  // The reply is read only after the 80 ms pause that follows the last frame byte.
  const std::size_t last_write = 7;
  ASSERT_EQ(port.calls[last_write].bytes, Bytes{0x00});
  EXPECT_GE(tick_of_next(Kind::read, last_write) - port.calls[last_write].tick, 80u);
}

TEST_F(ProtocolTest, AddressesTravelAsTheirLowSixteenBitsHighByteFirst) {
  device.replies = {ScriptedDevice::ack(), ScriptedDevice::ack()};
  EXPECT_TRUE(link.APAGA_BLOCO(0x12345));
  EXPECT_TRUE(link.FINALIZA());
  ASSERT_EQ(device.frames.size(), 2u);
  EXPECT_EQ(device.frames[0], (Bytes{0x04, 'E', 0x23, 0x45}));
  EXPECT_EQ(device.frames[1], (Bytes{0x02, 'G'}));
  expect_byte_at_a_time();
}

TEST_F(ProtocolTest, ReadBlockDecodesTheDataAndIgnoresTheStatus) {
  const Block stored = random_block(1);
  device.replies = {ScriptedDevice::block_reply(stored, 0x00)};
  Block got{};
  EXPECT_TRUE(link.LE_BLOCO(0x8000, got));
  EXPECT_EQ(device.frames.at(0), (Bytes{0x04, 0x44, 0x80, 0x00}));
  EXPECT_EQ(got, stored);
  EXPECT_EQ(link.TAM_RESPOSTA, 130);
  // The reply stays in the buffer, still encoded, status first.
  EXPECT_EQ(link.BUF_RESPOSTA[0], 0x00);
  EXPECT_EQ(link.BUF_RESPOSTA[1], CODIFICA_BYTE(stored[0]));
  EXPECT_EQ(link.BUF_RESPOSTA[128], CODIFICA_BYTE(stored[127]));
}

TEST_F(ProtocolTest, ShortReadReplyFailsAndKeepsTheOlderBytesInTheBuffer) {
  const Block first = random_block(2);
  device.replies = {ScriptedDevice::block_reply(first)};
  Block got{};
  ASSERT_TRUE(link.LE_BLOCO(0x8000, got));

  // 100 bytes in all: status and 98 data bytes.
  Bytes short_reply{100, kAck};
  for (int i = 0; i < 98; ++i) short_reply.push_back(0x00);
  device.replies = {short_reply};
  EXPECT_FALSE(link.LE_BLOCO(0x8000, got));
  EXPECT_EQ(link.ERRO_COM, kErroNenhum);
  EXPECT_EQ(link.BUF_RESPOSTA[98], 0x00);
  EXPECT_EQ(link.BUF_RESPOSTA[99], CODIFICA_BYTE(first[98]));
  EXPECT_EQ(link.BUF_RESPOSTA[128], CODIFICA_BYTE(first[127]));
}

TEST_F(ProtocolTest, ReplyOfLengthOneIsReceivedButAcknowledgesNothing) {
  device.replies = {{1}, {1}};
  EXPECT_FALSE(link.APAGA_BLOCO(0x8000));
  EXPECT_EQ(link.ERRO_COM, kErroNenhum);
  EXPECT_EQ(link.TAM_RESPOSTA, 1);
  EXPECT_EQ(link.BUF_RESPOSTA[0], 1);

  Block got{};
  EXPECT_FALSE(link.LE_BLOCO(0x8000, got));
  EXPECT_EQ(link.ERRO_COM, kErroNenhum);
}

TEST_F(ProtocolTest, NegativeAcknowledgeFailsWithoutLinkError) {
  device.replies = {ScriptedDevice::ack(0x55)};
  EXPECT_FALSE(link.FINALIZA());
  EXPECT_EQ(link.ERRO_COM, kErroNenhum);
}

TEST_F(ProtocolTest, WriteBlockErasesPausesThenSendsTheEncodedBlock) {
  const Block data = random_block(3);
  device.replies = {ScriptedDevice::ack(), ScriptedDevice::ack()};
  EXPECT_TRUE(link.GRAVA_BLOCO(0x8A80, data));

  ASSERT_EQ(device.frames.size(), 2u);
  EXPECT_EQ(device.frames[0], (Bytes{0x04, 'E', 0x8A, 0x80}));
  const Bytes& w = device.frames[1];
  ASSERT_EQ(w.size(), 133u);
  EXPECT_EQ(Bytes(w.begin(), w.begin() + 5), (Bytes{0x85, 0x57, 0x08, 0x8A, 0x80}));
  EXPECT_EQ(payload(w), Bytes(data.begin(), data.end()));
  EXPECT_EQ(port.writes().size(), 2u + 4u + 133u);
  expect_byte_at_a_time();

  // 50 ms pass between the end of the erase's reply and the 'W' handshake.
  std::size_t erase_reply = 0, w_sync = 0;
  for (std::size_t i = 0, writes = 0; i < port.calls.size(); ++i) {
    if (port.calls[i].kind == Kind::read && writes == 5) erase_reply = i;
    if (port.calls[i].kind == Kind::write && ++writes == 6) w_sync = i;
  }
  ASSERT_GT(w_sync, erase_reply);
  const std::uint32_t erase_done = port.calls[erase_reply].tick;
  EXPECT_GE(port.calls[w_sync].tick - erase_done, 50u);
}

TEST_F(ProtocolTest, FailedEraseSendsNoWriteFrame) {
  device.replies = {ScriptedDevice::ack(0x00), ScriptedDevice::ack()};
  EXPECT_FALSE(link.GRAVA_BLOCO(0x8A80, random_block(4)));
  EXPECT_EQ(device.frames.size(), 1u);
  EXPECT_EQ(port.writes().size(), 5u);
}

TEST_F(ProtocolTest, PageGoesOutAsTwoHalvesWithOffsetsAndNoErase) {
  Page data;
  std::mt19937 gen(5);
  for (auto& x : data) x = static_cast<std::uint8_t>(gen());
  device.replies = {ScriptedDevice::ack(), ScriptedDevice::ack()};
  EXPECT_TRUE(link.GRAVA_PAGINA(0x01FC, data));

  ASSERT_EQ(device.frames.size(), 2u);
  const Bytes& first = device.frames[0];
  const Bytes& second = device.frames[1];
  EXPECT_EQ(Bytes(first.begin(), first.begin() + 5), (Bytes{0x85, 0x46, 0x01, 0xFC, 0x00}));
  EXPECT_EQ(Bytes(second.begin(), second.begin() + 5), (Bytes{0x85, 0x46, 0x01, 0xFC, 0x80}));
  EXPECT_EQ(payload(first), Bytes(data.begin(), data.begin() + 128));
  EXPECT_EQ(payload(second), Bytes(data.begin() + 128, data.end()));
  EXPECT_EQ(port.writes().size(), 2u * 134u);
  expect_byte_at_a_time();
}

TEST_F(ProtocolTest, FailedFirstHalfSendsNoSecondAndFailedSecondFailsThePage) {
  Page data{};
  device.replies = {ScriptedDevice::ack(0x00)};
  EXPECT_FALSE(link.GRAVA_PAGINA(0x0123, data));
  ASSERT_EQ(device.frames.size(), 1u);
  EXPECT_EQ(device.frames[0][2], 0x01);
  EXPECT_EQ(device.frames[0][3], 0x23);

  device.replies = {ScriptedDevice::ack(), ScriptedDevice::ack(0x00)};
  EXPECT_FALSE(link.GRAVA_PAGINA(0x0123, data));
  EXPECT_EQ(device.frames.size(), 3u);
}

TEST_F(ProtocolTest, ComplementSearchSkipsOtherBytes) {
  device.noise = {0x00, 0x86, 0x7A};
  device.replies = {ScriptedDevice::ack()};
  EXPECT_TRUE(link.FINALIZA());
  EXPECT_EQ(device.frames.size(), 1u);

  // With 0x85 the handshake ends on 0x7A, not on 0x79.
  link.BYTE_SINC = 0x85;
  device.noise = {0x79};
  device.replies = {ScriptedDevice::ack()};
  EXPECT_TRUE(link.FINALIZA());
  EXPECT_EQ(device.frames.size(), 2u);
}

TEST_F(ProtocolTest, WrongComplementTimesOutWithCodeFiveAndNoFrame) {
  device.syncs.clear();
  device.raw_answers[0x86] = {0x7A};
  EXPECT_FALSE(link.FINALIZA());
  EXPECT_EQ(link.ERRO_COM, kErroTempo);
  EXPECT_EQ(port.writes().size(), 1u);
}

// A byte that comes after 5000 ms fails the command even though it was read.
class LateByteTest : public ProtocolTest, public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(LateByteTest, ComplementAtTheLimitPassesAndJustAfterItFailsWithCodeFive) {
  clock.advance(GetParam());
  device.complement_delay_ms = 5000;
  device.replies = {ScriptedDevice::ack()};
  EXPECT_TRUE(link.FINALIZA());

  device.complement_delay_ms = 5001;
  device.replies = {ScriptedDevice::ack()};
  const std::size_t before = port.writes().size();
  EXPECT_FALSE(link.FINALIZA());
  EXPECT_EQ(link.ERRO_COM, kErroTempo);
  EXPECT_EQ(port.writes().size(), before + 1);
  EXPECT_EQ(port.calls.back().bytes, Bytes{0x79});
}

TEST_P(LateByteTest, ReplyLengthAtTheLimitPassesAndJustAfterItFailsWithCodeFive) {
  clock.advance(GetParam());
  // Counted from the last frame byte; the wait starts after the 80 ms pause.
  device.reply_delay_ms = 80 + 5000;
  device.replies = {ScriptedDevice::ack()};
  EXPECT_TRUE(link.FINALIZA());

  device.reply_delay_ms = 80 + 5001;
  device.replies = {ScriptedDevice::ack()};
  EXPECT_FALSE(link.FINALIZA());
  EXPECT_EQ(link.ERRO_COM, kErroTempo);
  EXPECT_EQ(link.TAM_RESPOSTA, 2);
}

// The tick counter wraps from 2^32 - 1 to 0 during the waits.
INSTANTIATE_TEST_SUITE_P(TickCounter, LateByteTest,
                         ::testing::Values(0u, 0xFFFFFFFFu - 1000u - 2500u,
                                           0xFFFFFFFFu - 1000u - 2580u));

TEST_F(ProtocolTest, SilentDeviceTimesOutWithCodeFive) {
  device.syncs.clear();
  const std::uint32_t start = clock.tick_ms();
  EXPECT_FALSE(link.APAGA_BLOCO(0x8000));
  EXPECT_EQ(link.ERRO_COM, kErroTempo);
  EXPECT_GT(clock.tick_ms() - start, 5000u);
  EXPECT_LT(clock.tick_ms() - start, 5200u);
  EXPECT_EQ(port.writes().size(), 1u);

  device.syncs = {0x86};
  EXPECT_FALSE(link.APAGA_BLOCO(0x8000));
  EXPECT_EQ(link.ERRO_COM, kErroTempo);
}

TEST_F(ProtocolTest, WaitOnADeadLineKeepsItsLengthWithoutSpinning) {
  // The device takes the frame, then the line dies: every poll for the reply fails at once.
  std::size_t calls_at_death = 0;
  port.on_byte_written = [&, device_takes = port.on_byte_written](std::uint8_t b) {
    device_takes(b);
    if (b == 'G') {
      port.line_gone = true;
      calls_at_death = port.calls.size();
    }
  };
  const std::uint32_t start = clock.tick_ms();
  EXPECT_FALSE(link.FINALIZA());
  EXPECT_EQ(link.ERRO_COM, kErroTempo);
  const std::uint32_t waited = clock.tick_ms() - start;
  EXPECT_GT(waited, 5080u);
  EXPECT_LT(waited, 5300u);
  // A poll every tenth of a second, as on a live line, not thousands of failed calls.
  EXPECT_EQ(port.calls.size() - calls_at_death, 51u);
}

TEST_F(ProtocolTest, ReplyOfLengthZeroGivesCodeTwo) {
  device.replies = {{0}};
  EXPECT_FALSE(link.FINALIZA());
  EXPECT_EQ(link.ERRO_COM, kErroTamanhoZero);
}

TEST_F(ProtocolTest, ReplyThatStopsShortGivesCodeFour) {
  device.replies = {{5, kAck, 1}};
  EXPECT_FALSE(link.FINALIZA());
  EXPECT_EQ(link.ERRO_COM, kErroIncompleta);

  device.replies = {{5, kAck, 1}};
  Block got{};
  EXPECT_FALSE(link.LE_BLOCO(0x8000, got));
  EXPECT_EQ(link.ERRO_COM, kErroIncompleta);
}

TEST_F(ProtocolTest, FailedWritesGiveCodeOneAndStopTheCommand) {
  port.failing_write = 0;  // the sync byte
  EXPECT_FALSE(link.FINALIZA());
  EXPECT_EQ(link.ERRO_COM, kErroEscrita);
  EXPECT_EQ(port.calls.size(), 3u);  // two purges and the failed write

  port.failing_write = 1 + 1 + 2;  // the third frame byte of the next command
  device.replies = {ScriptedDevice::ack()};
  Block untouched{};
  untouched.fill(0x33);
  EXPECT_FALSE(link.LE_BLOCO(0x8000, untouched));
  EXPECT_EQ(link.ERRO_COM, kErroEscrita);
  EXPECT_EQ(port.calls.back().kind, Kind::write);
  EXPECT_EQ(port.sent().back(), 'D');
  Block all33;
  all33.fill(0x33);
  EXPECT_EQ(untouched, all33);
}

TEST_F(ProtocolTest, HexLinesFillTheWorkAreaPairByPair) {
  struct Case {
    std::string line;
    Bytes start;  // the first bytes; the rest are 0xFF
  };
  const Case cases[] = {
      {"", {0x00}},
      {"ABC", {0xAB, 0x0C}},
      {"0", {0x00}},
      {"FE01", {0xFE, 0x01}},
  };
  for (const Case& c : cases) {
    device.replies = {ScriptedDevice::ack(), ScriptedDevice::ack()};
    device.frames.clear();
    EXPECT_TRUE(link.GRAVA_BLOCO_HEX(0x4000, c.line));
    ASSERT_EQ(device.frames.size(), 2u);
    Bytes expected(128, 0xFF);
    std::copy(c.start.begin(), c.start.end(), expected.begin());
    EXPECT_EQ(payload(device.frames[1]), expected) << '"' << c.line << '"';
  }
}

TEST_F(ProtocolTest, FullWidthHexLinesFillBlockAndPageExactly) {
  const Block block = random_block(6);
  device.replies = {ScriptedDevice::ack(), ScriptedDevice::ack()};
  EXPECT_TRUE(link.GRAVA_BLOCO_HEX(0x4000, to_hex(block.data(), block.size())));
  EXPECT_EQ(payload(device.frames.at(1)), Bytes(block.begin(), block.end()));

  Page page;
  std::mt19937 gen(7);
  for (auto& x : page) x = static_cast<std::uint8_t>(gen());
  device.replies = {ScriptedDevice::ack(), ScriptedDevice::ack()};
  device.frames.clear();
  EXPECT_TRUE(link.GRAVA_PAGINA_HEX(3, to_hex(page.data(), page.size())));
  ASSERT_EQ(device.frames.size(), 2u);
  EXPECT_EQ(payload(device.frames[0]), Bytes(page.begin(), page.begin() + 128));
  EXPECT_EQ(payload(device.frames[1]), Bytes(page.begin() + 128, page.end()));
}

TEST_F(ProtocolTest, OverlongHexLinesKeepToTheWorkArea) {
  const Block block = random_block(8);
  const std::string tail(300, '7');
  device.replies = {ScriptedDevice::ack(), ScriptedDevice::ack()};
  EXPECT_TRUE(link.GRAVA_BLOCO_HEX(0x4000, to_hex(block.data(), block.size()) + tail));
  EXPECT_EQ(payload(device.frames.at(1)), Bytes(block.begin(), block.end()));

  Page page{};
  page.fill(0x5A);
  device.replies = {ScriptedDevice::ack(), ScriptedDevice::ack()};
  device.frames.clear();
  EXPECT_TRUE(link.GRAVA_PAGINA_HEX(3, to_hex(page.data(), page.size()) + tail + "1"));
  ASSERT_EQ(device.frames.size(), 2u);
  EXPECT_EQ(payload(device.frames[1]), Bytes(128, 0x5A));
}

}  // namespace
}  // namespace patu
