#pragma once
// The rules an update package must satisfy before it is built into the program.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace patu {

// Only this many UTF-16 units of a line fit the 1,024-unit read buffer with its terminator.
inline constexpr std::size_t kMaxLineUnits = 1023;

struct PackageBreach {
  std::uint32_t line;  // package line number (from 0) where the rule is broken
  std::string rule;    // which rule, in words a maintainer understands
};

// Every breach of the package rules in `lines` (line k = package line k), in line order;
// empty for a valid package.
std::vector<PackageBreach> validate_package(const std::vector<std::string>& lines);

}  // namespace patu
