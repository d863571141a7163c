#pragma once
// The rules an update package must satisfy before it is built into the program.

#include <cstdint>
#include <string>
#include <vector>

namespace patu {

struct PackageBreach {
  std::uint32_t line;  // package line number (from 0) where the rule is broken
  std::string rule;    // which rule, in words a maintainer understands
};

// Every breach of the package rules in `lines` (line k = package line k), in line order;
// empty for a valid package.
std::vector<PackageBreach> validate_package(const std::vector<std::string>& lines);

}  // namespace patu
