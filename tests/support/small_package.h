#pragma once
// A small valid package for tests that need a whole update but not the shipped one's length:
// one block in each firmware section (at 0x0100 and 0x0200), the module area at 0x4000, and
// `groups` giving the page count of each module.

#include <cstddef>
#include <string>
#include <vector>

namespace patu::testing {

inline std::vector<std::string> small_package(const std::vector<int>& groups) {
  auto hex_line = [](std::size_t bytes, int seed) {
    std::string line;
    for (std::size_t i = 0; i < bytes; ++i) {
      const char* digits = "0123456789ABCDEF";
      const int b = static_cast<int>((seed * 37 + i * 11) % 251);
      line += digits[b >> 4];
      line += digits[b & 15];
    }
    return line;
  };
  std::vector<std::string> p{"",  "01/02/2024", "TESTE", "3",   "Conteúdo",
                             "*", "0100",       "0200",  "4000"};
  for (std::size_t m = 0; m < groups.size(); ++m) p.push_back("M" + std::to_string(m));
  p.push_back("*");
  p.push_back(hex_line(128, 1));
  p.push_back("*");
  p.push_back(hex_line(128, 2));
  p.push_back("*");
  int seed = 10;
  for (int pages : groups) {
    for (int i = 0; i < pages; ++i) p.push_back(hex_line(256, seed++));
    p.push_back("*");
  }
  p.push_back(hex_line(128, 99));
  p.push_back("FIM");
  return p;
}

}  // namespace patu::testing
