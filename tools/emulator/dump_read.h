#pragma once
// Reading the emulator's record back.

#include <optional>
#include <string>
#include <string_view>

#include "tools/emulator/dump.h"

namespace patu::emu {

// Parses what write_dump wrote. On failure: nullopt, and `error` (when given) says where.
std::optional<Dump> parse_dump(std::string_view text, std::string* error = nullptr);

}  // namespace patu::emu
