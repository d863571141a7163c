#include "package/validator.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "package/hex.h"
#include "package/layout.h"
#include "package/lines.h"
#include "package/unicode.h"

namespace patu {
namespace {

constexpr std::size_t kBlockLineChars = 256;
constexpr std::size_t kPageLineChars = 512;
constexpr std::size_t kInfoTailChars = 256;
constexpr std::uint32_t kBlockBytes = 128;
constexpr std::uint32_t kAddressSpace = 0x10000;
constexpr std::uint32_t kInfoBlock = 0x8000;

bool upper_hex(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

// Data lines are byte pairs: at most `max_chars` upper-case hex digits, an even number.
bool data_line(std::string_view text, std::size_t max_chars) {
  return text.size() <= max_chars && text.size() % 2 == 0 && upper_hex(text);
}

std::string layout_rule(const LayoutBreach& breach, const std::vector<std::string>& lines,
                        const PackageLayout& layout) {
  switch (breach.fault) {
    case LayoutFault::kNoContentsMarker:
      return "no marker line \"*\" ends the contents lines before the end line";
    case LayoutFault::kNoCodesMarker:
      return "no marker line \"*\" ends the module codes before the end line";
    case LayoutFault::kTooManyCodes:
      return "more than 23 module codes";
    case LayoutFault::kSectionOpen:
      return "firmware section " + std::to_string(breach.item + 1) +
             " is not closed by a marker line \"*\" before the end line";
    case LayoutFault::kGroupOpen:
      return "the module group of code \"" + lines[*layout.contents_marker + 4 + breach.item] +
             "\" (module " + std::to_string(breach.item + 1) +
             ") is not closed by a marker line \"*\" before the end line";
    case LayoutFault::kNoInfoTail:
      return "no info tail line between the last module group and the end line";
    case LayoutFault::kExtraGroup:
      return "more module groups than module codes";
    case LayoutFault::kExtraInfoTail:
      return "more than one line between the last module group and the end line";
  }
  return "layout";
}

}  // namespace

std::vector<PackageBreach> validate_package(const std::vector<std::string>& lines) {
  std::vector<PackageBreach> breaches;
  auto breach = [&breaches](std::uint32_t line, std::string rule) {
    breaches.push_back({line, std::move(rule)});
  };

  // Lines beyond the last line number cannot be stored; the rest is judged on its own.
  const std::size_t stored = std::min<std::size_t>(lines.size(), kMaxPackageLines);
  if (lines.size() > kMaxPackageLines) {
    breach(kMaxPackageLines, "more than 65,536 lines");
  }
  for (std::uint32_t n = 0; n < stored; ++n) {
    const std::optional<std::size_t> units = utf16_units(lines[n]);
    if (!units) {
      breach(n, "not valid UTF-8");
    } else if (*units > kMaxLineUnits) {
      breach(n, "longer than 1,023 characters (UTF-16 units)");
    }
  }

  const LineTable table(std::vector<std::string>(lines.begin(), lines.begin() + stored));
  const std::optional<std::uint32_t> end = find_end_line(table);
  if (!end) {
    breach(static_cast<std::uint32_t>(stored), "no end line \"FIM\"");
  } else {
    if (!table.line(0).empty()) breach(0, "line 0 must be empty");
    for (std::uint32_t n = *end + 1; n < stored; ++n) {
      if (!lines[n].empty()) breach(n, "text after the end line \"FIM\", which is never read");
    }
    if (!parse_decimal(table.line(3))) breach(3, "the version is not a decimal integer");

    const LayoutWalk walk = walk_layout(table, *end);
    const PackageLayout& layout = walk.layout;
    if (walk.breach) breach(walk.breach->line, layout_rule(*walk.breach, lines, layout));
    if (layout.contents_marker) {
      for (std::uint32_t n = *layout.contents_marker + 1;
           n <= *layout.contents_marker + 3 && n < *end; ++n) {
        if (lines[n].size() != 4 || !upper_hex(lines[n])) {
          breach(n, "an address line holds exactly 4 upper-case hex digits");
        }
      }
    }
    for (std::size_t s = 0; s < layout.sections.size(); ++s) {
      const LineRun& section = layout.sections[s];
      // Blocks are addressed in 16 bits and the info block is written last: a block past the
      // top would land at the bottom, one on the info block would be overwritten by it.
      std::uint32_t address =
          static_cast<std::uint32_t>(HEX_PARA_INT(lines[*layout.contents_marker + 1 + s]));
      for (std::uint32_t n = section.first; n < section.marker; ++n, address += kBlockBytes) {
        if (!data_line(lines[n], kBlockLineChars)) {
          breach(n, "a block line holds at most 256 upper-case hex digits, in pairs");
        }
        if (address + kBlockBytes > kAddressSpace) {
          breach(n, "this firmware block would lie past device address FFFF");
        } else if (address < kInfoBlock + kBlockBytes && address + kBlockBytes > kInfoBlock) {
          breach(n, "this firmware block would overlap the info block at device address 8000");
        }
      }
    }
    for (const LineRun& group : layout.groups) {
      for (std::uint32_t n = group.first; n < group.marker; ++n) {
        if (!data_line(lines[n], kPageLineChars)) {
          breach(n, "a page line holds at most 512 upper-case hex digits, in pairs");
        }
      }
    }
    if (layout.info_tail) {
      const std::string& tail = lines[*layout.info_tail];
      if (tail.size() != kInfoTailChars || !upper_hex(tail)) {
        breach(*layout.info_tail, "the info tail line holds exactly 256 upper-case hex digits");
      }
    }
  }

  std::stable_sort(breaches.begin(), breaches.end(),
                   [](const PackageBreach& a, const PackageBreach& b) { return a.line < b.line; });
  return breaches;
}

}  // namespace patu
