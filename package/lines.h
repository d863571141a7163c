#pragma once
// Where the update package's numbered lines come from.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace patu {

// Line numbers are 16-bit resource identifiers: a package has at most this many lines.
inline constexpr std::uint32_t kMaxPackageLines = 65536;

// A source of package lines: line n as UTF-8 text, "" when no text is stored under n.
// Reading never fails; every call reads afresh.
class PackageLines {
 public:
  virtual ~PackageLines() = default;
  virtual std::string line(std::uint16_t n) const = 0;
};

// Lines held in memory, line k = element k.
class LineTable final : public PackageLines {
 public:
  explicit LineTable(std::vector<std::string> lines);
  std::string line(std::uint16_t n) const override;

 private:
  std::vector<std::string> lines_;
};

// Splits the text of a package file into its lines: file line k is package line k, lines end
// with LF (a CR before it is dropped), and a final LF does not start another line.
std::vector<std::string> split_package_text(std::string_view text);

// The package built into this program: the executable's string table on Windows, a
// generated table in native builds.
const PackageLines& shipped_package();

}  // namespace patu
