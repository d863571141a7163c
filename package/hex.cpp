#include "package/hex.h"

namespace patu {

std::uint64_t HEX_PARA_INT(std::string_view text) {
  // Unsigned arithmetic: from the 17th digit on the high digits fall off, the low 64 bits stay.
  std::uint64_t value = 0;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      value = (value << 4) | static_cast<std::uint64_t>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      value = (value << 4) | static_cast<std::uint64_t>(c - 'A' + 10);
    }
  }
  return value;
}

}  // namespace patu
