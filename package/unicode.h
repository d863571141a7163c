#pragma once
// Package lines are UTF-8 here and UTF-16 in the program's string table: the length a line
// takes there, and a code point written as UTF-8.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace patu {

// The text's length in UTF-16 code units, or nothing when it is not well-formed UTF-8.
std::optional<std::size_t> utf16_units(std::string_view text);

// Appends code point `c` (at most 0x10FFFF) to `out` as UTF-8.
void append_utf8(std::string& out, char32_t c);

}  // namespace patu
