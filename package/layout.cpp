#include "package/layout.h"

#include <limits>

namespace patu {
namespace {

// First marker line in [from, end), if any.
std::optional<std::uint32_t> find_marker(const PackageLines& lines, std::uint32_t from,
                                         std::uint32_t end) {
  for (std::uint32_t n = from; n < end; ++n) {
    if (lines.line(static_cast<std::uint16_t>(n)) == kMarkerLine) return n;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::uint32_t> find_end_line(const PackageLines& lines) {
  for (std::uint32_t n = 0; n < kMaxPackageLines; ++n) {
    if (lines.line(static_cast<std::uint16_t>(n)) == kEndLine) return n;
  }
  return std::nullopt;
}

LayoutWalk walk_layout(const PackageLines& lines, std::uint32_t end) {
  LayoutWalk walk;
  PackageLayout& layout = walk.layout;
  layout.end = end;
  auto stop = [&walk](LayoutFault fault, std::uint32_t line, std::size_t item = 0) {
    walk.breach = LayoutBreach{fault, line, item};
    return walk;
  };

  layout.contents_marker = find_marker(lines, kFirstContentsLine, end);
  if (!layout.contents_marker) return stop(LayoutFault::kNoContentsMarker, end);
  const std::uint32_t first_code = *layout.contents_marker + 4;  // after three address lines
  layout.codes_marker = find_marker(lines, first_code, end);
  if (!layout.codes_marker) return stop(LayoutFault::kNoCodesMarker, end);
  const std::size_t codes = *layout.codes_marker - first_code;
  if (codes > kMaxModuleCodes) {
    return stop(LayoutFault::kTooManyCodes,
                first_code + static_cast<std::uint32_t>(kMaxModuleCodes));
  }

  std::uint32_t next = *layout.codes_marker + 1;
  auto run = [&](std::vector<LineRun>& runs) {
    const std::optional<std::uint32_t> marker = find_marker(lines, next, end);
    if (marker) {
      runs.push_back({next, *marker});
      next = *marker + 1;
    }
    return marker.has_value();
  };
  for (std::size_t section = 0; section < 2; ++section) {
    if (!run(layout.sections)) return stop(LayoutFault::kSectionOpen, end, section);
  }
  for (std::size_t group = 0; group < codes; ++group) {
    if (!run(layout.groups)) return stop(LayoutFault::kGroupOpen, end, group);
  }

  if (next == end) return stop(LayoutFault::kNoInfoTail, end);
  if (const auto extra = find_marker(lines, next, end)) {
    return stop(LayoutFault::kExtraGroup, *extra);
  }
  if (next + 1 < end) return stop(LayoutFault::kExtraInfoTail, next + 1);
  layout.info_tail = next;
  return walk;
}

std::optional<std::int32_t> parse_decimal(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return std::nullopt;
  // The magnitude may reach 2^31 for the most negative value.
  const std::int64_t limit =
      std::int64_t{std::numeric_limits<std::int32_t>::max()} + (negative ? 1 : 0);
  std::int64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return std::nullopt;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > limit) return std::nullopt;
  }
  return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

}  // namespace patu
