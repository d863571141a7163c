// Hex text on arbitrary lines: HEX_PARA_INT against the digits it recognises, and the block
// and page writers against what reaches a device that acknowledges everything.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/check.h"
#include "link/protocol.h"
#include "package/hex.h"
#include "tests/support/fake_port.h"

namespace {

using patu::fuzz::require;
using patu::testing::Bytes;

// The recognised digits of `text` as one base-16 number, low 64 bits.
std::uint64_t digits_value(std::string_view text) {
  std::uint64_t value = 0;
  for (char c : text) {
    if (c >= '0' && c <= '9') value = value * 16 + static_cast<std::uint64_t>(c - '0');
    if (c >= 'A' && c <= 'F') value = value * 16 + static_cast<std::uint64_t>(c - 'A' + 10);
  }
  return value;
}

// The N bytes a line stands for: one per pair of characters (an empty line has one pair,
// of nothing), 0xFF where the line does not reach.
template <std::size_t N>
std::array<std::uint8_t, N> line_bytes(std::string_view line) {
  std::array<std::uint8_t, N> out;
  out.fill(0xFF);
  const std::size_t pairs = line.empty() ? 1 : (line.size() + 1) / 2;
  for (std::size_t i = 0; i < std::min(pairs, N); ++i) {
    out[i] = static_cast<std::uint8_t>(digits_value(line.substr(2 * i, 2)));
  }
  return out;
}

// The frames a writer sent to a device that acknowledges each of them.
template <typename Write>
std::vector<Bytes> frames_of(Write write) {
  patu::ManualClock clock;
  patu::testing::FakePort port(clock);
  patu::testing::ScriptedDevice device(port);
  device.replies = {patu::testing::ScriptedDevice::ack(), patu::testing::ScriptedDevice::ack()};
  port.ABRE_PORTA(1);
  patu::Protocol link(port, clock);
  link.BYTE_SINC = 0x86;
  require(write(link), "an acknowledged write succeeds");
  return device.frames;
}

void require_payload(const Bytes& frame, const std::uint8_t* expected, const char* what) {
  require(frame.size() == 133, what);
  for (std::size_t i = 0; i < 128; ++i) {
    require(patu::CODIFICA_BYTE(frame[5 + i]) == expected[i], what);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> lines = patu::fuzz::lines_of(text);
  for (std::size_t k = 0; k < lines.size() && k < 16; ++k) {
    const std::string& line = lines[k];
    require(patu::HEX_PARA_INT(line) == digits_value(line), "HEX_PARA_INT reads the digits");

    const auto address = static_cast<std::uint16_t>(0x8900 + 128 * k);
    const auto block = line_bytes<128>(line);
    const auto blocks =
        frames_of([&](patu::Protocol& link) { return link.GRAVA_BLOCO_HEX(address, line); });
    require(blocks.size() == 2, "a block is one erase and one write");
    const auto hi = static_cast<std::uint8_t>(address >> 8);
    const auto lo = static_cast<std::uint8_t>(address);
    require(blocks[0] == Bytes{4, 'E', hi, lo}, "the erase names the block");
    require(blocks[1].size() == 133, "a write frame is 133 bytes");
    require(Bytes(blocks[1].begin(), blocks[1].begin() + 5) == Bytes{133, 'W', 8, hi, lo},
            "the write names the block");
    require_payload(blocks[1], block.data(), "the block carries the line's bytes");

    const auto page_number = static_cast<std::uint16_t>(k * 37);
    const auto page = line_bytes<256>(line);
    const auto halves =
        frames_of([&](patu::Protocol& link) { return link.GRAVA_PAGINA_HEX(page_number, line); });
    require(halves.size() == 2, "a page is two halves");
    for (std::uint8_t half : {0, 1}) {
      require(halves[half].size() == 133, "a page frame is 133 bytes");
      const Bytes head{133, 'F', static_cast<std::uint8_t>(page_number >> 8),
                       static_cast<std::uint8_t>(page_number),
                       static_cast<std::uint8_t>(128 * half)};
      require(Bytes(halves[half].begin(), halves[half].begin() + 5) == head,
              "each half names the page and its offset");
      require_payload(halves[half], page.data() + 128 * half, "the page carries the line's bytes");
    }
  }
  return 0;
}
