#pragma once
// Where the parts of an update package stand, found the way the loader searches for them.
// The loader and the package rules both walk the package through here, so a package the
// rules accept is read by the loader exactly as the rules saw it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "package/lines.h"

namespace patu {

inline constexpr std::string_view kMarkerLine = "*";
inline constexpr std::string_view kEndLine = "FIM";
inline constexpr std::uint32_t kFirstContentsLine = 4;
// The info block's page table holds the first pages of at most this many modules.
inline constexpr std::size_t kMaxModuleCodes = 23;

// A firmware section or module group: data lines [first, marker), closed by line `marker`.
struct LineRun {
  std::uint32_t first = 0;
  std::uint32_t marker = 0;
};

// The parts found, in package order; a walk that stops at a breach leaves the later ones
// unset or short.
struct PackageLayout {
  std::uint32_t end = 0;                         // F, the end line
  std::optional<std::uint32_t> contents_marker;  // s1
  std::optional<std::uint32_t> codes_marker;     // s2
  std::vector<LineRun> sections;                 // firmware sections 1 and 2
  std::vector<LineRun> groups;                   // one per module code, in code order
  std::optional<std::uint32_t> info_tail;        // F - 1 when complete
};

enum class LayoutFault {
  kNoContentsMarker,  // no "*" from line 4 up to the end line; line = F
  kNoCodesMarker,     // no "*" after the address lines before the end line; line = F
  kTooManyCodes,      // line = the first module code beyond the limit
  kSectionOpen,       // firmware section `item` (0 or 1) unclosed at the end line; line = F
  kGroupOpen,         // module group `item` unclosed at the end line; line = F
  kNoInfoTail,        // the last group's marker stands right before the end line; line = F
  kExtraGroup,        // a marker line after the last module group; line = that marker
  kExtraInfoTail,     // a second line between the last group and the end line; line = it
};

struct LayoutBreach {
  LayoutFault fault;
  std::uint32_t line = 0;
  std::size_t item = 0;
};

struct LayoutWalk {
  PackageLayout layout;
  std::optional<LayoutBreach> breach;  // the first one; the walk stops there
};

// The first line, counting from 0, that reads "FIM"; nothing when no line number has it.
std::optional<std::uint32_t> find_end_line(const PackageLines& lines);

// Everything between line 4 and the end line `end`, searched only below `end`.
LayoutWalk walk_layout(const PackageLines& lines, std::uint32_t end);

// The package version as the window toolkit converts decimal text: leading spaces skipped,
// an optional sign, then decimal digits only, up to the end of the text, in the signed
// 32-bit range. Anything else (trailing blanks included) is no integer.
std::optional<std::int32_t> parse_decimal(std::string_view text);

}  // namespace patu
