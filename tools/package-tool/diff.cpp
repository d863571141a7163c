#include "tools/package-tool/diff.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <utility>

#include "package/hex.h"
#include "package/layout.h"
#include "package/lines.h"
#include "tools/package-tool/hex_text.h"

namespace patu::pkg {
namespace {

constexpr std::size_t kBlockBytes = 128;
constexpr std::size_t kPageBytes = 256;
constexpr std::size_t kTailFrom = 74;  // the first info block byte taken from the tail

using Bytes = std::vector<std::uint8_t>;

// A data line as the device receives it: pairs of digits, then 0xFF to the full width.
Bytes device_bytes(const std::string& line, std::size_t width) {
  Bytes bytes(width, 0xFF);
  for (std::size_t i = 0; i < width && 2 * i < line.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(HEX_PARA_INT(std::string_view(line).substr(2 * i, 2)));
  }
  return bytes;
}

struct Module {
  std::string code;
  std::size_t occurrence = 0;  // among the modules of the same code, from 0
  std::uint32_t first_page = 0;
  std::vector<std::string> pages;
};

struct Parts {
  std::vector<std::string> contents;
  std::string addresses[3];
  std::vector<std::string> sections[2];
  std::vector<Module> modules;
  std::string tail;
};

Parts parts_of(const std::vector<std::string>& lines) {
  const LineTable table(lines);
  const PackageLayout layout = walk_layout(table, *find_end_line(table)).layout;
  Parts p;
  const std::uint32_t s1 = *layout.contents_marker;
  p.contents.assign(lines.begin() + kFirstContentsLine, lines.begin() + s1);
  for (std::size_t i = 0; i < 3; ++i) p.addresses[i] = lines[s1 + 1 + i];
  for (std::size_t i = 0; i < 2; ++i) {
    const LineRun& run = layout.sections[i];
    p.sections[i].assign(lines.begin() + run.first, lines.begin() + run.marker);
  }
  std::map<std::string, std::size_t> seen;
  std::uint32_t page = 0;
  for (std::size_t m = 0; m < layout.groups.size(); ++m) {
    const LineRun& run = layout.groups[m];
    Module module;
    module.code = lines[s1 + 4 + m];
    module.occurrence = seen[module.code]++;
    module.first_page = page;
    module.pages.assign(lines.begin() + run.first, lines.begin() + run.marker);
    page += run.marker - run.first;
    p.modules.push_back(std::move(module));
  }
  p.tail = lines[*layout.info_tail];
  return p;
}

// "3, 7-9, 12" for a sorted list.
std::string runs(const std::vector<std::size_t>& values, bool hex = false) {
  auto show = [hex](std::size_t v) { return hex ? hex_address(v) : std::to_string(v); };
  std::string out;
  for (std::size_t i = 0; i < values.size();) {
    std::size_t j = i;
    while (j + 1 < values.size() && values[j + 1] == values[j] + 1) ++j;
    if (!out.empty()) out += ", ";
    out += show(values[i]);
    if (j > i) out += "-" + show(values[j]);
    i = j + 1;
  }
  return out;
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

std::string pages(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " page" : " pages");
}

// The longest common subsequence's pairs of positions, for the contents lines.
std::vector<std::pair<std::size_t, std::size_t>> common(const std::vector<std::string>& a,
                                                        const std::vector<std::string>& b) {
  std::vector<std::vector<std::size_t>> length(a.size() + 1,
                                               std::vector<std::size_t>(b.size() + 1, 0));
  for (std::size_t i = a.size(); i-- > 0;) {
    for (std::size_t j = b.size(); j-- > 0;) {
      length[i][j] =
          a[i] == b[j] ? length[i + 1][j + 1] + 1 : std::max(length[i + 1][j], length[i][j + 1]);
    }
  }
  std::vector<std::pair<std::size_t, std::size_t>> pairs;
  for (std::size_t i = 0, j = 0; i < a.size() && j < b.size();) {
    if (a[i] == b[j]) {
      pairs.emplace_back(i++, j++);
    } else if (length[i + 1][j] >= length[i][j + 1]) {
      ++i;
    } else {
      ++j;
    }
  }
  return pairs;
}

void diff_contents(const Parts& a, const Parts& b, std::vector<std::string>& out) {
  auto number = [](std::size_t index) { return std::to_string(kFirstContentsLine + index); };
  std::size_t i = 0, j = 0;
  // Between two lines in common, lines removed and added pair up as changed lines.
  auto flush = [&](std::size_t to_i, std::size_t to_j) {
    for (; i < to_i && j < to_j; ++i, ++j) {
      const std::string where = i == j ? number(i) : number(i) + " -> " + number(j);
      out.push_back("contents: line " + where + ": " + quoted(a.contents[i]) + " -> " +
                    quoted(b.contents[j]));
    }
    for (; i < to_i; ++i) {
      out.push_back("contents: line " + number(i) + " removed: " + quoted(a.contents[i]));
    }
    for (; j < to_j; ++j) {
      out.push_back("contents: line " + number(j) + " added: " + quoted(b.contents[j]));
    }
  };
  for (const auto& [pi, pj] : common(a.contents, b.contents)) {
    flush(pi, pj);
    ++i;
    ++j;
  }
  flush(a.contents.size(), b.contents.size());
}

// Firmware blocks by device address, from both sections; consecutive blocks that changed
// alike are named as one run.
void diff_firmware(const Parts& a, const Parts& b, std::vector<std::string>& out) {
  auto blocks = [](const Parts& p) {
    std::map<std::uint32_t, Bytes> map;
    for (std::size_t s = 0; s < 2; ++s) {
      std::uint32_t address = static_cast<std::uint32_t>(HEX_PARA_INT(p.addresses[s]));
      for (const std::string& line : p.sections[s]) {
        map[address] = device_bytes(line, kBlockBytes);
        address += kBlockBytes;
      }
    }
    return map;
  };
  const auto before = blocks(a), after = blocks(b);
  std::map<std::uint32_t, std::string> kind;  // address -> "added", "removed", "changed"
  for (const auto& [address, bytes] : before) {
    const auto found = after.find(address);
    if (found == after.end()) {
      kind[address] = "removed";
    } else if (found->second != bytes) {
      kind[address] = "changed";
    }
  }
  for (const auto& [address, bytes] : after) {
    if (!before.contains(address)) kind[address] = "added";
  }
  for (auto it = kind.begin(); it != kind.end();) {
    auto last = it;
    std::size_t count = 1;
    for (auto next = std::next(it);
         next != kind.end() && next->first == last->first + kBlockBytes &&
         next->second == it->second;
         ++next, ++count) {
      last = next;
    }
    if (count == 1) {
      std::string text = "firmware: block " + hex_address(it->first) + " " + it->second;
      if (it->second == "changed") {
        const Bytes& x = before.at(it->first);
        const Bytes& y = after.at(it->first);
        std::vector<std::size_t> at;
        for (std::size_t k = 0; k < kBlockBytes; ++k) {
          if (x[k] != y[k]) at.push_back(it->first + k);
        }
        text += " (" + std::to_string(at.size()) + (at.size() == 1 ? " byte: " : " bytes: ") +
                runs(at, true) + ")";
      }
      out.push_back(text);
    } else {
      out.push_back("firmware: blocks " + hex_address(it->first) + " to " +
                    hex_address(last->first) + " " + it->second + " (" + std::to_string(count) +
                    " blocks)");
    }
    it = std::next(last);
  }
}

void diff_modules(const Parts& a, const Parts& b, std::vector<std::string>& out) {
  auto key = [](const Module& m) { return std::make_pair(m.code, m.occurrence); };
  auto label = [](const Module& m) {
    return m.code + (m.occurrence == 0 ? "" : " #" + std::to_string(m.occurrence + 1));
  };
  auto name = [&label](const Module& m) { return "module " + label(m); };
  std::map<std::pair<std::string, std::size_t>, const Module*> after;
  for (const Module& m : b.modules) after[key(m)] = &m;
  std::map<std::pair<std::string, std::size_t>, const Module*> before;
  for (const Module& m : a.modules) before[key(m)] = &m;

  std::vector<std::string> kept_before, kept_after;
  for (const Module& m : a.modules) {
    const auto found = after.find(key(m));
    if (found == after.end()) {
      out.push_back(name(m) + ": removed (" + pages(m.pages.size()) + ")");
      continue;
    }
    kept_before.push_back(label(m));
    const Module& n = *found->second;
    std::vector<std::size_t> changed;
    for (std::size_t p = 0; p < std::min(m.pages.size(), n.pages.size()); ++p) {
      if (device_bytes(m.pages[p], kPageBytes) != device_bytes(n.pages[p], kPageBytes)) {
        changed.push_back(p);
      }
    }
    std::string text;
    auto add = [&text](const std::string& part) { text += (text.empty() ? "" : "; ") + part; };
    if (!changed.empty()) {
      std::vector<std::size_t> device;
      for (std::size_t p : changed) device.push_back(n.first_page + p);
      add((changed.size() == 1 ? "page " : "pages ") + runs(changed) + " changed (device " +
          (changed.size() == 1 ? "page " : "pages ") + runs(device) + ")");
    }
    if (m.pages.size() != n.pages.size()) {
      add(std::to_string(m.pages.size()) + " -> " + pages(n.pages.size()));
    }
    if (m.first_page != n.first_page) {
      add("first page " + std::to_string(m.first_page) + " -> " + std::to_string(n.first_page));
    }
    if (!text.empty()) out.push_back(name(m) + ": " + text);
  }
  for (const Module& n : b.modules) {
    if (!before.contains(key(n))) {
      out.push_back(name(n) + ": added (" + pages(n.pages.size()) + " from page " +
                    std::to_string(n.first_page) + ")");
    } else {
      kept_after.push_back(label(n));
    }
  }
  if (kept_before != kept_after) {
    auto joined = [](const std::vector<std::string>& names) {
      std::string text;
      for (const std::string& n : names) text += (text.empty() ? "" : ", ") + n;
      return text;
    };
    out.push_back("module order: " + joined(kept_before) + " -> " + joined(kept_after));
  }
}

void diff_tail(const Parts& a, const Parts& b, std::vector<std::string>& out) {
  if (a.tail == b.tail) return;
  const Bytes x = device_bytes(a.tail, 128), y = device_bytes(b.tail, 128);
  std::vector<std::size_t> changed;
  for (std::size_t k = kTailFrom; k < 128; ++k) {
    if (x[k] != y[k]) changed.push_back(k);
  }
  if (changed.empty()) {
    out.push_back("info tail: only its first 148 characters differ, which the update never reads");
  } else {
    out.push_back("info tail: info block " + std::string(changed.size() == 1 ? "byte " : "bytes ") +
                  runs(changed) + " changed");
  }
}

}  // namespace

std::vector<std::string> package_differences(const std::vector<std::string>& before,
                                             const std::vector<std::string>& after) {
  std::vector<std::string> out;
  if (before == after) return out;
  static constexpr const char* kHeader[] = {"date", "name", "version"};
  for (std::size_t i = 1; i <= 3; ++i) {
    if (before[i] != after[i]) {
      out.push_back(std::string(kHeader[i - 1]) + ": " + quoted(before[i]) + " -> " +
                    quoted(after[i]));
    }
  }
  const Parts a = parts_of(before), b = parts_of(after);
  diff_contents(a, b, out);
  static constexpr const char* kAddress[] = {"section 1 address", "section 2 address",
                                             "module area"};
  for (std::size_t i = 0; i < 3; ++i) {
    if (a.addresses[i] != b.addresses[i]) {
      out.push_back(std::string(kAddress[i]) + ": " + a.addresses[i] + " -> " + b.addresses[i]);
    }
  }
  diff_firmware(a, b, out);
  diff_modules(a, b, out);
  diff_tail(a, b, out);
  if (out.empty()) {
    // Nothing the device gets differs: name the lines whose text does.
    std::vector<std::size_t> lines;
    for (std::size_t n = 0; n < std::max(before.size(), after.size()); ++n) {
      const std::string x = n < before.size() ? before[n] : "";
      const std::string y = n < after.size() ? after[n] : "";
      if (x != y) lines.push_back(n);
    }
    out.push_back("text only, the same bytes for the device: " +
                  std::string(lines.size() == 1 ? "line " : "lines ") + runs(lines));
  }
  return out;
}

}  // namespace patu::pkg
