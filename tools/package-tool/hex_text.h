#pragma once
// Numbers and bytes as the package and its messages write them: upper-case hex.

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace patu::pkg {

// Two digits per byte, most significant first.
inline std::string hex_bytes(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(2 * bytes.size());
  for (std::uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  }
  return text;
}

// At least four digits: a device address.
inline std::string hex_address(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "%04llX", static_cast<unsigned long long>(value));
  return text;
}

}  // namespace patu::pkg
