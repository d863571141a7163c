#include "tools/package-tool/builder.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <iterator>
#include <map>
#include <optional>

#include "package/lines.h"
#include "package/validator.h"
#include "tools/package-tool/hex_text.h"
#include "tools/package-tool/image.h"
#include "tools/package-tool/refusal.h"

namespace patu::pkg {
namespace {

constexpr std::uint64_t kAddressSpace = 0x10000;
constexpr std::uint64_t kInfoBlock = 0x8000;
constexpr std::uint64_t kBlockBytes = 128;
constexpr std::uint64_t kPageBytes = 256;
// Page numbers and the page count the info block ends its table with are 16-bit.
constexpr std::uint64_t kMaxPages = 0xFFFF;
constexpr std::size_t kInfoBlockBytes = 128;
constexpr std::size_t kInfoTailBytes = 54;  // info block bytes 74 to 127

bool on_info_block(std::uint64_t first, std::uint64_t end) {
  return first < kInfoBlock + kBlockBytes && end > kInfoBlock;
}

// Bytes laid out from offset 0 of a part, record by record; holes hold 0xFF.
class Layout {
 public:
  Layout(std::string key, std::size_t size) : key_(std::move(key)), bytes_(size, 0xFF) {}

  // `record`'s bytes from `offset`, which the caller keeps inside the part; a byte that an
  // earlier record gave already is refused, named by `place` (of an offset).
  void put(std::size_t offset, const ImageRecord& record,
           const std::function<std::string(std::size_t)>& place) {
    const std::size_t end = offset + record.bytes.size();
    // Records placed so far never overlap: only the neighbours can.
    auto next = placed_.lower_bound(offset);
    if (next != placed_.end() && next->first < end) {
      refuse(record, *next->second.second, next->first, place);
    }
    if (next != placed_.begin()) {
      const auto before = std::prev(next);
      if (before->second.first > offset) refuse(record, *before->second.second, offset, place);
    }
    placed_.emplace(offset, std::make_pair(end, &record));
    std::copy(record.bytes.begin(), record.bytes.end(),
              bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
    set_ += record.bytes.size();
  }
  std::size_t size() const { return bytes_.size(); }
  std::size_t filled() const { return bytes_.size() - set_; }
  // Lines of `width` bytes each, the last one padded with 0xFF (counted as filled).
  std::vector<std::string> lines(std::size_t width) {
    bytes_.resize((bytes_.size() + width - 1) / width * width, 0xFF);
    std::vector<std::string> out;
    for (std::size_t at = 0; at < bytes_.size(); at += width) {
      out.push_back(hex_bytes(std::span(bytes_).subspan(at, width)));
    }
    return out;
  }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  [[noreturn]] void refuse(const ImageRecord& record, const ImageRecord& earlier,
                           std::size_t offset,
                           const std::function<std::string(std::size_t)>& place) const {
    throw Refusal(key_ + ": " + record.where + ": data at " + place(offset) +
                  " given twice (also by " + earlier.where + ")");
  }

  std::string key_;
  std::vector<std::uint8_t> bytes_;
  std::map<std::size_t, std::pair<std::size_t, const ImageRecord*>> placed_;  // offset -> end
  std::size_t set_ = 0;
};

struct SectionBuild {
  std::uint64_t address = 0;
  std::uint64_t end = 0;  // past its last block
  std::vector<std::string> lines;
  std::size_t filled = 0;
};

std::string range(std::uint64_t first, std::uint64_t end) {
  return hex_address(first) + " to " + hex_address(end - 1);
}

SectionBuild build_section(const SectionEntry& entry) {
  const std::vector<ImageRecord> records = read_image(entry.image);
  const std::uint64_t base = entry.address;
  const bool raw = entry.image.format == ImageFormat::binary;
  const std::optional<std::uint64_t> limit =
      entry.size ? std::optional<std::uint64_t>(base + *entry.size) : std::nullopt;
  const std::string& key = entry.image.key;

  // Every byte's device address is checked before anything is laid out.
  std::uint64_t top = base;
  for (const ImageRecord& record : records) {
    const std::uint64_t first = raw ? base + record.address : record.address;
    const std::uint64_t end = first + record.bytes.size();
    const std::string at = key + ": " + record.where + ": data at ";
    if (first < base) {
      throw Refusal(at + hex_address(first) + " lie before the section's address " +
                    hex_address(base) + " (" + entry.key + ".address)");
    }
    if (end > kAddressSpace) {
      throw Refusal(at + hex_address(std::max(first, kAddressSpace)) +
                    " lie past device address FFFF");
    }
    if (limit && end > *limit) {
      throw Refusal(at + hex_address(std::max(first, *limit)) +
                    " lie outside the section's range " + range(base, *limit) + " (" + entry.key +
                    ".size)");
    }
    if (on_info_block(first, end)) {
      throw Refusal(at + hex_address(std::max(first, kInfoBlock)) +
                    " lie on the info block (8000 to 807F), which the update writes last");
    }
    top = std::max(top, end);
  }

  SectionBuild out;
  out.address = base;
  const std::uint64_t blocks = (top - base + kBlockBytes - 1) / kBlockBytes;
  out.end = base + blocks * kBlockBytes;
  if (out.end > kAddressSpace) {
    throw Refusal(entry.key + ": its last block, at " + hex_address(out.end - kBlockBytes) +
                  ", would run past device address FFFF (blocks are 128 bytes from " +
                  hex_address(base) + ")");
  }
  for (std::uint64_t block = base; block < out.end; block += kBlockBytes) {
    if (on_info_block(block, block + kBlockBytes)) {
      throw Refusal(entry.key + ": its block at " + hex_address(block) +
                    " would lie on the info block (8000 to 807F), which the update writes last");
    }
  }

  Layout layout(key, static_cast<std::size_t>(out.end - base));
  for (const ImageRecord& record : records) {
    const std::uint64_t first = raw ? base + record.address : record.address;
    layout.put(static_cast<std::size_t>(first - base), record,
               [base](std::size_t offset) { return hex_address(base + offset); });
  }
  out.filled = layout.filled();
  out.lines = layout.lines(kBlockBytes);
  return out;
}

// The bytes of a part whose data start at offset 0: a module's from page `first_page` on, or
// the info tail when there is no first page.
Layout build_from_zero(const ImageRef& image, std::optional<std::uint64_t> first_page) {
  const std::vector<ImageRecord> records = read_image(image);
  std::uint64_t top = 0;
  for (const ImageRecord& record : records) {
    const std::uint64_t end = record.address + record.bytes.size();
    // Checked before anything is laid out, so that a stray address costs no memory.
    if (first_page) {
      const std::uint64_t last_page = *first_page + (end - 1) / kPageBytes;
      if (last_page >= kMaxPages) {
        throw Refusal(image.key + ": " + record.where + ": data from offset " +
                      hex_address(record.address) + " would reach page " +
                      std::to_string(last_page) +
                      ": page numbers are 16-bit, and a package holds at most 65,535 pages "
                      "(pages 0 to 65534)");
      }
    } else if (end > kInfoBlockBytes) {
      throw Refusal(image.key + ": " + record.where + ": data at offset " +
                    hex_address(std::max<std::uint64_t>(record.address, kInfoBlockBytes)) +
                    " lie past the 128 bytes of the info block");
    }
    top = std::max(top, end);
  }
  Layout layout(image.key, static_cast<std::size_t>(top));
  for (const ImageRecord& record : records) {
    layout.put(static_cast<std::size_t>(record.address), record,
               [](std::size_t offset) { return "offset " + hex_address(offset); });
  }
  return layout;
}

std::string info_tail_line(const ImageRef& tail) {
  Layout layout = build_from_zero(tail, std::nullopt);
  if (layout.size() != kInfoTailBytes && layout.size() != kInfoBlockBytes) {
    throw Refusal(tail.key + ": " + tail.path.string() + " holds " + std::to_string(layout.size()) +
                  " bytes: an info tail is 54 bytes (info block bytes 74 to 127) or the whole "
                  "128-byte block, of which only those are read");
  }
  std::string line = hex_bytes(layout.bytes());
  if (layout.size() == kInfoTailBytes) {
    line.insert(0, 2 * (kInfoBlockBytes - kInfoTailBytes), 'F');
  }
  return line;
}

std::string plural(std::size_t count, const std::string& one, const std::string& many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

Build build_package(const Manifest& m) {
  Build build;
  const std::string manifest = m.file.string();
  std::vector<SectionBuild> sections;
  std::size_t filled = 0;
  for (const SectionEntry& entry : m.sections) {
    sections.push_back(build_section(entry));
    const SectionBuild& s = sections.back();
    filled += s.filled;
    build.notes.push_back(entry.key + ": " + plural(s.lines.size(), "block", "blocks") +
                          (s.lines.empty() ? "" : ", " + range(s.address, s.end)) + ", " +
                          plural(s.filled, "byte", "bytes") + " filled with FF");
  }
  const SectionBuild& one = sections[0];
  const SectionBuild& two = sections[1];
  const std::uint64_t overlap_first = std::max(one.address, two.address);
  const std::uint64_t overlap_end = std::min(one.end, two.end);
  if (!one.lines.empty() && !two.lines.empty() && overlap_first < overlap_end) {
    throw Refusal("section1 (" + range(one.address, one.end) + ") and section2 (" +
                  range(two.address, two.end) + ") overlap at " +
                  range(overlap_first, overlap_end));
  }
  // The erase of the module area runs after both sections and before the info block.
  const std::uint64_t area = m.module_area;
  if (on_info_block(area, area + 1)) {
    throw Refusal(manifest + ": modules.address: " + hex_address(area) +
                  " lies on the info block (8000 to 807F): the erase of the module area would "
                  "leave the device without one until the update ends");
  }
  for (std::size_t s = 0; s < 2; ++s) {
    if (area >= sections[s].address && area < sections[s].end) {
      const std::uint64_t block =
          sections[s].address + (area - sections[s].address) / kBlockBytes * kBlockBytes;
      throw Refusal(manifest + ": modules.address: " + hex_address(area) + " lies in " +
                    m.sections[s].key + "'s block at " + hex_address(block) +
                    ", which the erase of the module area would wipe after it is written");
    }
  }

  std::vector<Layout> modules;
  std::uint64_t pages = 0;
  for (const ModuleEntry& module : m.modules) {
    modules.push_back(build_from_zero(module.data, pages));
    const std::uint64_t count = (modules.back().size() + kPageBytes - 1) / kPageBytes;
    const std::size_t module_filled =
        count * kPageBytes - modules.back().size() + modules.back().filled();
    filled += module_filled;
    build.notes.push_back(module.key + " " + module.code + ": " + plural(count, "page", "pages") +
                          " from page " + std::to_string(pages) + ", " +
                          plural(module_filled, "byte", "bytes") + " filled with FF");
    pages += count;
  }
  const std::string tail = info_tail_line(m.tail);

  // Counted before the page lines are made: an oversized package costs no more memory.
  std::uint64_t count = 4 + m.contents.size() + 1 + 3 + m.modules.size() + 1 + 2 + 1 + 1;
  for (const SectionBuild& s : sections) count += s.lines.size();
  count += pages + m.modules.size();
  if (count > kMaxPackageLines) {
    throw Refusal(manifest + ": the package would have " + std::to_string(count) +
                  " lines, more than the 65,536 that line numbers reach (0 to 65535)");
  }

  std::vector<std::string>& lines = build.lines;
  lines = {"", m.date, m.name, std::to_string(m.version)};
  lines.insert(lines.end(), m.contents.begin(), m.contents.end());
  lines.push_back("*");
  lines.push_back(hex_address(m.sections[0].address));
  lines.push_back(hex_address(m.sections[1].address));
  lines.push_back(hex_address(m.module_area));
  for (const ModuleEntry& module : m.modules) lines.push_back(module.code);
  lines.push_back("*");
  for (SectionBuild& s : sections) {
    std::move(s.lines.begin(), s.lines.end(), std::back_inserter(lines));
    lines.push_back("*");
  }
  for (Layout& module : modules) {
    for (std::string& page : module.lines(kPageBytes)) lines.push_back(std::move(page));
    lines.push_back("*");
  }
  lines.push_back(tail);
  lines.push_back("FIM");

  const std::vector<PackageBreach> breaches = validate_package(lines);
  if (!breaches.empty()) {
    throw Refusal(manifest + ": the package made from it breaks a package rule at line " +
                  std::to_string(breaches.front().line) + ": " + breaches.front().rule);
  }
  build.notes.push_back("info.tail: " + m.tail.path.string());
  build.notes.push_back(plural(lines.size(), "line", "lines") + ", " +
                        plural(pages, "page", "pages") + ", " + plural(filled, "byte", "bytes") +
                        " filled with FF in all");
  return build;
}

std::string package_text(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + '\n';
  return text;
}

}  // namespace patu::pkg
