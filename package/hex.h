#pragma once
// Hex text of the update package to numbers.

#include <cstdint>
#include <string_view>

namespace patu {

// Reads the recognised digits of `text` ('0'-'9' and upper-case 'A'-'F'), in order, as one
// base-16 number. Every other character, lower-case letters included, is skipped and the
// digits on either side close up; no digit at all gives 0. From 16 recognised digits on,
// the result keeps the low 64 bits of that number (callers pass at most 4 digits).
std::uint64_t HEX_PARA_INT(std::string_view text);

}  // namespace patu
