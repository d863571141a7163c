#pragma once
// A small valid update package described by its parts, for tests to read or to break.

#include <cstdint>
#include <string>
#include <vector>

namespace patu::testing {

// `count` bytes as upper-case hex, each line different for a different `seed`.
inline std::string hex_bytes(int seed, std::size_t count) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    const auto byte = static_cast<std::uint8_t>(seed * 37 + i * 11);
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}
inline std::string block(int seed) { return hex_bytes(seed, 128); }
inline std::string page(int seed) { return hex_bytes(seed, 256); }

struct SamplePackage {
  std::string date = "08/08/2013";
  std::string title = "TESTE";
  std::string version = "21";
  std::vector<std::string> contents = {"Fiat - v5.01", "", "Firmware Versão v5.21"};
  std::vector<std::string> addresses = {"8900", "8A80", "AA00"};
  std::vector<std::string> codes = {"GM", "VW", "Fiat"};
  std::vector<std::vector<std::string>> sections = {{block(1), block(2)}, {block(3)}};
  std::vector<std::vector<std::string>> groups = {{page(4), page(5)}, {}, {page(6)}};
  std::vector<std::string> tails = {hex_bytes(7, 128)};

  // With the defaults: contents 4-6, s1 = 7, addresses 8-10, codes 11-13, s2 = 14,
  // section 1 at 15-16 closed by 17, section 2 at 18 closed by 19, groups closed by 22, 23
  // and 25, info tail 26, end line 27.
  std::vector<std::string> lines() const {
    std::vector<std::string> out = {"", date, title, version};
    out.insert(out.end(), contents.begin(), contents.end());
    out.push_back("*");
    out.insert(out.end(), addresses.begin(), addresses.end());
    out.insert(out.end(), codes.begin(), codes.end());
    out.push_back("*");
    for (const auto& run : sections) {
      out.insert(out.end(), run.begin(), run.end());
      out.push_back("*");
    }
    for (const auto& run : groups) {
      out.insert(out.end(), run.begin(), run.end());
      out.push_back("*");
    }
    out.insert(out.end(), tails.begin(), tails.end());
    out.push_back("FIM");
    return out;
  }
};

}  // namespace patu::testing
