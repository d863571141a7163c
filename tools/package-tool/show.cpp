#include "tools/package-tool/show.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "package/layout.h"
#include "package/lines.h"
#include "package/loader.h"
#include "tools/package-tool/hex_text.h"
#include "tools/package-tool/refusal.h"

namespace patu::pkg {
namespace {

constexpr std::uint32_t kBlockBytes = 128;
constexpr std::uint32_t kInfoBlock = 0x8000;
constexpr int kPageTable = 18;   // info block byte of the first module's first page
constexpr int kDeviceData = 66;  // bytes 66 to 73 are kept from the device
constexpr std::size_t kTailFrom = 74;
constexpr std::size_t kInfoBlockBytes = 128;

std::string format(const char* pattern, auto... values) {
  char text[512];
  std::snprintf(text, sizeof text, pattern, values...);
  return text;
}

// "56-58", or "56" for one number; `end` is past the last.
std::string numbers(std::uint32_t first, std::uint32_t end) {
  if (end - first == 1) return std::to_string(first);
  return std::to_string(first) + "-" + std::to_string(end - 1);
}

std::string lines_range(std::uint32_t first, std::uint32_t end) {
  if (first == end) return "no lines";
  return (end - first == 1 ? "line " : "lines ") + numbers(first, end);
}

std::string duration(double ms) {
  const double seconds = ms / 1000;
  const long whole = std::lround(seconds);
  return format("%.1f s (%ld min %02ld s)", seconds, whole / 60, whole % 60);
}

}  // namespace

Summary summarize(const std::vector<std::string>& lines) {
  const LineTable table(lines);
  PackageState state;
  const LoadResult loaded = load_package(table, state);
  if (!loaded.ok) throw Refusal(loaded.error);
  const std::uint32_t end = *find_end_line(table);
  const PackageLayout layout = walk_layout(table, end).layout;

  Summary s;
  s.date = lines[1];
  s.name = lines[2];
  s.version_line = lines[3];
  s.version = state.VERSAO_PACOTE;
  s.contents = *loaded.mmA;
  s.lines = static_cast<std::uint32_t>(lines.size());
  s.contents_marker = *layout.contents_marker;
  s.codes_marker = *layout.codes_marker;
  s.first_data_line = static_cast<std::uint32_t>(state.LINHA_ATUAL);
  s.info_tail = *layout.info_tail;
  s.end_line = end;
  const std::uint32_t addresses[] = {state.END_SECAO1, state.END_SECAO2};
  for (std::size_t i = 0; i < 2; ++i) {
    const LineRun& run = layout.sections[i];
    s.sections[i] = {addresses[i], run.marker - run.first, run.first};
  }
  s.module_area = state.END_MODULOS;
  for (std::size_t m = 0; m < layout.groups.size(); ++m) {
    const LineRun& run = layout.groups[m];
    s.modules.push_back({state.LISTA_MODULOS[m], s.pages, run.marker - run.first, run.first});
    s.pages += run.marker - run.first;
  }
  s.progress_max = *loaded.pbAND_max;
  s.update = rehearse_update(lines, kShowBaud);
  return s;
}

std::string render_summary(const Summary& s, const std::string& shown) {
  std::string out;
  auto line = [&out](const std::string& text) { out += text + "\n"; };

  line("package  " + shown);
  line("date     " + s.date + "   (line 1)");
  line("name     " + s.name + "   (line 2)");
  line("version  " + s.version_line + "   (line 3; the device keeps " + std::to_string(s.version) +
       ")");
  line("contents " + std::to_string(s.contents.size()) + " lines (" +
       lines_range(kFirstContentsLine, s.contents_marker) + ")");
  for (std::size_t i = 0; i < s.contents.size();) {
    const auto first = static_cast<std::uint32_t>(kFirstContentsLine + i);
    std::size_t end = i + 1;
    if (s.contents[i].empty()) {  // a run of empty lines, as one
      while (end < s.contents.size() && s.contents[end].empty()) ++end;
      const std::size_t count = end - i;
      line(format("  %5s  ", numbers(first, first + static_cast<std::uint32_t>(count)).c_str()) +
           "(" + std::to_string(count) + (count == 1 ? " empty line)" : " empty lines)"));
    } else {
      line(format("  %5u  ", first) + s.contents[i]);
    }
    i = end;
  }
  auto entry = [&line](const std::string& where, const std::string& what) {
    line(format("  %-12s ", where.c_str()) + what);
  };
  line("lines    " + std::to_string(s.lines) + " (0 to " + std::to_string(s.lines - 1) + ")");
  entry("s1 = " + std::to_string(s.contents_marker), "marker after the contents");
  entry(numbers(s.contents_marker + 1, s.contents_marker + 4), "addresses");
  if (s.contents_marker + 4 < s.codes_marker) {
    entry(numbers(s.contents_marker + 4, s.codes_marker), "module codes");
  }
  entry("s2 = " + std::to_string(s.codes_marker), "marker after the module codes");
  entry(std::to_string(s.first_data_line), "first data line, where the update starts reading");
  entry(std::to_string(s.info_tail), "info tail");
  entry("F = " + std::to_string(s.end_line), "end line \"FIM\"");

  line("");
  line("device memory");
  std::multimap<std::uint32_t, std::string> map;
  map.emplace(kInfoBlock, "8000-807F  info block, written last, then the final command 'G'");
  for (std::size_t i = 0; i < 2; ++i) {
    const SectionFacts& f = s.sections[i];
    const std::string what = "firmware section " + std::to_string(i + 1) + ": " +
                             std::to_string(f.blocks) + (f.blocks == 1 ? " block" : " blocks") +
                             " (" + lines_range(f.first_line, f.first_line + f.blocks) + ")";
    const std::string where =
        f.blocks == 0
            ? hex_address(f.address) + "     "
            : hex_address(f.address) + "-" + hex_address(f.address + f.blocks * kBlockBytes - 1);
    map.emplace(f.address, where + "  " + what);
  }
  map.emplace(s.module_area,
              hex_address(s.module_area) + "       module area, erased before the module pages");
  for (const auto& [address, text] : map) line("  " + text);

  line("");
  line("modules  " + std::to_string(s.modules.size()) + ", " + std::to_string(s.pages) + " pages" +
       (s.pages == 0 ? "" : " (pages 0 to " + std::to_string(s.pages - 1) + ")"));
  for (std::size_t m = 0; m < s.modules.size(); ++m) {
    const ModuleFacts& f = s.modules[m];
    line(format("  %2zu  %-16s first page %5u  %5u pages  (", m + 1, f.code.c_str(), f.first_page,
                f.pages) +
         lines_range(f.first_line, f.first_line + f.pages) + ")");
  }

  line("");
  line("new info block (bytes from the device's current block are kept: 0-5, 7-15, 66-73)");
  const Block& info = s.update.info;
  line(format("  byte 6         %02X (the version)", info[6]));
  line(format("  bytes 16-17    %02X%02X (the module area)", info[16], info[17]));
  const int n = static_cast<int>(s.modules.size());
  line(format("  bytes %d-%d    page table: each module's first page, then the count of pages",
              kPageTable, kPageTable + 2 * n + 1));
  constexpr int kPerLine = 10;
  for (int i = 0; i <= n; i += kPerLine) {
    std::string table = "                ";
    for (int k = i; k <= std::min(n, i + kPerLine - 1); ++k) {
      table += format(" %02X%02X", info[kPageTable + 2 * k], info[kPageTable + 2 * k + 1]);
    }
    line(table);
  }
  if (kPageTable + 2 * n + 2 < kDeviceData) {
    line(format("  bytes %d-%d    FF", kPageTable + 2 * n + 2, kDeviceData - 1));
  }
  constexpr std::size_t kTailHalf = (kInfoBlockBytes - kTailFrom) / 2;
  line(format("  bytes %d-127   from the info tail", kTailFrom));
  line("                 " + hex_bytes(std::span(info).subspan(kTailFrom, kTailHalf)));
  line("                 " + hex_bytes(std::span(info).subspan(kTailFrom + kTailHalf)));

  line("");
  auto figure = [&line](const std::string& what, const std::string& value) {
    line(format("%-22s ", what.c_str()) + value);
  };
  figure("progress bar maximum", std::to_string(s.progress_max));
  figure("commands sent", std::to_string(s.update.commands) +
                              " (identification and the update, as the emulated device "
                              "received them)");
  figure(format("update at %u baud", kShowBaud),
         duration(s.update.floor_ms) + ", as the link's floor gives it");
  return out;
}

}  // namespace patu::pkg
