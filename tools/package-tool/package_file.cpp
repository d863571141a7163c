#include "tools/package-tool/package_file.h"

#include <fstream>
#include <iterator>

#include "package/lines.h"
#include "package/validator.h"
#include "tools/package-compiler/compiler.h"
#include "tools/package-tool/refusal.h"
#include "tools/package-tool/string_table.h"

namespace patu::pkg {

namespace fs = std::filesystem;

namespace {

std::vector<std::uint8_t> read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Refusal(path.string() + ": cannot be read");
  std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
  if (in.bad()) throw Refusal(path.string() + ": cannot be read");
  return bytes;
}

bool executable(const std::vector<std::uint8_t>& bytes) {
  return bytes.size() >= 2 && bytes[0] == 'M' && bytes[1] == 'Z';
}

}  // namespace

std::vector<std::string> read_package(const fs::path& path) {
  std::vector<std::uint8_t> bytes = read_bytes(path);
  if (executable(bytes)) return executable_package(std::move(bytes), path.string());
  return split_package_text(std::string(bytes.begin(), bytes.end()));
}

std::vector<std::string> read_executable_package(const fs::path& path) {
  std::vector<std::uint8_t> bytes = read_bytes(path);
  if (!executable(bytes)) throw Refusal(path.string() + ": not a Windows program (no MZ header)");
  return executable_package(std::move(bytes), path.string());
}

void check_package(const std::vector<std::string>& lines, const fs::path& path) {
  const std::vector<PackageBreach> breaches = validate_package(lines);
  if (breaches.empty()) return;
  std::string message;
  for (const PackageBreach& breach : breaches) {
    if (!message.empty()) message += '\n';
    message += breach_message(path.string(), breach);
  }
  throw Refusal(message);
}

void write_whole(const fs::path& path, const std::string& text) {
  fs::path temporary = path;
  temporary += ".partial";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (out) {
      std::error_code renamed;
      fs::rename(temporary, path, renamed);
      if (!renamed) return;
    }
  }
  std::error_code ignored;
  fs::remove(temporary, ignored);
  throw Refusal(path.string() + ": cannot be written");
}

}  // namespace patu::pkg
