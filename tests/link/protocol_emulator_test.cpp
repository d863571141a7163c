// The protocol over a real pseudo-terminal, through the POSIX backend, against the device
// emulator program; the mandated pauses are skipped, the line sets the pace.

#include <gtest/gtest.h>

#include <random>
#include <span>
#include <string>
#include <vector>

#include "link/protocol.h"
#include "link/serial_posix.h"
#include "tests/support/emulator_process.h"
#include "tools/emulator/dump.h"

namespace patu {
namespace {

// A host session on the emulated device.
struct Session {
  explicit Session(const std::vector<std::string>& args) { started = device.start_device(args); }

  testing::EmulatorProcess device;
  bool started = false;
  PosixSerialPort port{[this](int) { return device.link(); }};
  SkippingClock clock;
  Protocol link{port, clock};

  bool open() {
    link.BYTE_SINC = 0x86;
    return started && port.ABRE_PORTA(1);
  }
};

template <typename Array>
Array random_bytes(unsigned seed) {
  std::mt19937 gen(seed);
  Array a;
  for (auto& x : a) x = static_cast<std::uint8_t>(gen());
  return a;
}

std::string hex_of(const std::uint8_t* data, std::size_t n) {
  return emu::to_hex(std::span<const std::uint8_t>(data, n));
}

int count_letter(const emu::Dump& dump, char letter) {
  int n = 0;
  for (const emu::Exchange& e : dump.log) n += e.letter == letter;
  return n;
}

TEST(ProtocolOnEmulator, CommandsLandInTheDeviceMemory) {
  Session s({"--serial", "123456", "--module-area", "7000"});
  ASSERT_TRUE(s.open());

  Block info{};
  ASSERT_TRUE(s.link.LE_BLOCO(0x8000, info));
  EXPECT_EQ(info[0], 0x12);
  EXPECT_EQ(info[1], 0x34);
  EXPECT_EQ(info[2], 0x56);

  const auto block = random_bytes<Block>(1);
  const auto hex_block = random_bytes<Block>(2);
  const auto page = random_bytes<Page>(3);
  const auto hex_page = random_bytes<Page>(4);
  EXPECT_TRUE(s.link.GRAVA_BLOCO(0x4000, block));
  EXPECT_TRUE(s.link.GRAVA_BLOCO_HEX(0x4080, hex_of(hex_block.data(), hex_block.size())));
  Block back{};
  EXPECT_TRUE(s.link.LE_BLOCO(0x4000, back));
  EXPECT_EQ(back, block);

  EXPECT_TRUE(s.link.APAGA_BLOCO(0x7000));
  EXPECT_TRUE(s.link.GRAVA_PAGINA(0, page));
  EXPECT_TRUE(s.link.GRAVA_PAGINA_HEX(0x0101, hex_of(hex_page.data(), hex_page.size())));
  EXPECT_TRUE(s.link.FINALIZA());
  s.port.FECHA_PORTA();

  const auto dump = s.device.dump();
  ASSERT_TRUE(dump);
  EXPECT_EQ(dump->initial_info, info);
  EXPECT_EQ(dump->blocks.at(0x4000), block);
  EXPECT_EQ(dump->blocks.at(0x4080), hex_block);
  EXPECT_EQ(dump->pages.at(0), page);
  EXPECT_EQ(dump->pages.at(0x0101), hex_page);
  EXPECT_TRUE(dump->finalized);
  EXPECT_TRUE(dump->violations.empty());
}

TEST(ProtocolOnEmulator, FaultsGiveTheirLinkErrors) {
  Session s({"--fault", "noise@#1", "--fault", "nak@E:4000", "--fault", "len0@#3", "--fault",
             "short@#4", "--fault", "shortlen@D#3"});
  ASSERT_TRUE(s.open());
  Block got{};

  EXPECT_TRUE(s.link.LE_BLOCO(0x8000, got));  // noise before the complement is skipped

  EXPECT_FALSE(s.link.APAGA_BLOCO(0x4000));  // refused
  EXPECT_EQ(s.link.ERRO_COM, kErroNenhum);

  EXPECT_FALSE(s.link.FINALIZA());
  EXPECT_EQ(s.link.ERRO_COM, kErroTamanhoZero);

  EXPECT_FALSE(s.link.LE_BLOCO(0x8000, got));
  EXPECT_EQ(s.link.ERRO_COM, kErroIncompleta);

  EXPECT_FALSE(s.link.LE_BLOCO(0x8000, got));  // complete, but without the whole block
  EXPECT_EQ(s.link.ERRO_COM, kErroNenhum);
  EXPECT_LT(s.link.TAM_RESPOSTA, 130);

  EXPECT_FALSE(s.link.GRAVA_BLOCO(0x4000, got));  // its erase is refused: no 'W'
  s.port.FECHA_PORTA();

  const auto dump = s.device.dump();
  ASSERT_TRUE(dump);
  EXPECT_EQ(count_letter(*dump, 'E'), 2);
  EXPECT_EQ(count_letter(*dump, 'W'), 0);
  EXPECT_FALSE(dump->finalized);
  EXPECT_EQ(dump->blocks.count(0x4000), 0u);
}

}  // namespace
}  // namespace patu
