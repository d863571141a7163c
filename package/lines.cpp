#include "package/lines.h"

#include <utility>

namespace patu {

LineTable::LineTable(std::vector<std::string> lines) : lines_(std::move(lines)) {}

std::string LineTable::line(std::uint16_t n) const {
  return n < lines_.size() ? lines_[n] : std::string();
}

std::vector<std::string> split_package_text(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    if (lf != std::string_view::npos && !line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    lines.emplace_back(line);
    text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
  }
  return lines;
}

}  // namespace patu
