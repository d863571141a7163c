#include "tools/emulator/image_check.h"

#include <cstdio>
#include <stdexcept>

namespace patu::emu {

namespace {

std::uint8_t hex_digit(char c) {
  if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
  throw std::invalid_argument(std::string("not an upper-case hex digit: ") + c);
}

// A full-width data line as bytes: exactly two digits per byte.
template <std::size_t N>
std::array<std::uint8_t, N> bytes_of(const std::string& line) {
  if (line.size() != 2 * N) throw std::invalid_argument("data line of the wrong width");
  std::array<std::uint8_t, N> out{};
  for (std::size_t i = 0; i < N; ++i) {
    out[i] = static_cast<std::uint8_t>(hex_digit(line[2 * i]) << 4 | hex_digit(line[2 * i + 1]));
  }
  return out;
}

std::uint16_t address_of(const std::string& line) {
  std::uint16_t value = 0;
  for (char c : line) value = static_cast<std::uint16_t>(value << 4 | hex_digit(c));
  return value;
}

std::string hex16(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value);
  return text;
}

}  // namespace

DeviceImage expected_image(const std::vector<std::string>& package, const Block& initial_info) {
  auto at = [&](std::size_t n) -> const std::string& { return package.at(n); };
  std::size_t n = 4;
  while (at(n) != "*") ++n;
  const std::size_t s1 = n;
  const std::uint16_t section1 = address_of(at(s1 + 1));
  const std::uint16_t section2 = address_of(at(s1 + 2));
  DeviceImage image;
  image.module_area = address_of(at(s1 + 3));
  std::size_t modules = 0;
  for (n = s1 + 4; at(n) != "*"; ++n) ++modules;

  ++n;
  for (std::uint16_t start : {section1, section2}) {
    for (std::uint16_t address = start; at(n) != "*"; ++n, address += 128) {
      image.blocks[address] = bytes_of<128>(at(n));
    }
    ++n;
  }

  Block info;
  info.fill(0xFF);
  for (int i : {0, 1, 2, 3, 4, 5, 7, 8, 9, 10, 11, 12, 13, 14, 15}) info[i] = initial_info[i];
  for (int i = 66; i <= 73; ++i) info[i] = initial_info[i];
  info[6] = static_cast<std::uint8_t>(std::stoi(at(3)) % 256);
  info[16] = static_cast<std::uint8_t>(image.module_area >> 8);
  info[17] = static_cast<std::uint8_t>(image.module_area);
  std::uint16_t page = 0;
  for (std::size_t m = 0; m <= modules; ++m) {
    info[18 + 2 * m] = static_cast<std::uint8_t>(page >> 8);
    info[19 + 2 * m] = static_cast<std::uint8_t>(page);
    if (m == modules) break;
    for (; at(n) != "*"; ++n) image.pages[page++] = bytes_of<256>(at(n));
    ++n;
  }
  const Block tail = bytes_of<128>(at(n));
  for (int i = 74; i < 128; ++i) info[i] = tail[i];
  image.blocks[kInfoAddress] = info;
  return image;
}

std::vector<std::string> image_differences(const DeviceImage& image, const Dump& dump) {
  std::vector<std::string> out;
  for (const auto& [address, block] : image.blocks) {
    const auto found = dump.blocks.find(address);
    if (found == dump.blocks.end()) {
      out.push_back("block " + hex16(address) + " never written");
    } else if (found->second != block) {
      out.push_back("block " + hex16(address) + " holds other bytes");
    }
  }
  for (const auto& [address, block] : dump.blocks) {
    if (!image.blocks.contains(address) && address != image.module_area) {
      out.push_back("block " + hex16(address) + " written outside the package's areas");
    }
  }
  for (const auto& [number, page] : image.pages) {
    const auto found = dump.pages.find(number);
    if (found == dump.pages.end()) {
      out.push_back("page " + hex16(number) + " never written");
    } else if (found->second != page) {
      out.push_back("page " + hex16(number) + " holds other bytes");
    }
  }
  for (const auto& [number, page] : dump.pages) {
    if (!image.pages.contains(number))
      out.push_back("page " + hex16(number) + " not in the package");
  }
  if (!dump.finalized) out.push_back("the update was not finalized");
  for (const Violation& v : dump.violations) {
    out.push_back("violation " + std::string(violation_name(v.kind)) + " at command " +
                  std::to_string(v.number));
  }
  return out;
}

}  // namespace patu::emu
