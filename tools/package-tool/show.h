#pragma once
// What a package holds and what an update with it does, for a person: `show`.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/package-tool/rehearsal.h"

namespace patu::pkg {

// The line rate at which `show` gives the update's length.
inline constexpr std::uint32_t kShowBaud = 9600;

struct SectionFacts {
  std::uint32_t address = 0;
  std::uint32_t blocks = 0;
  std::uint32_t first_line = 0;  // of its block lines; its marker line follows them
};

struct ModuleFacts {
  std::string code;
  std::uint32_t first_page = 0;
  std::uint32_t pages = 0;
  std::uint32_t first_line = 0;
};

struct Summary {
  std::string date, name, version_line;
  std::uint8_t version = 0;  // as the device keeps it
  std::vector<std::string> contents;
  std::uint32_t lines = 0;
  std::uint32_t contents_marker = 0;  // s1
  std::uint32_t codes_marker = 0;     // s2
  std::uint32_t first_data_line = 0;  // where the update starts reading
  std::uint32_t info_tail = 0;
  std::uint32_t end_line = 0;  // F
  std::array<SectionFacts, 2> sections;
  std::uint32_t module_area = 0;
  std::vector<ModuleFacts> modules;
  std::uint32_t pages = 0;
  int progress_max = 0;
  Rehearsal update;  // at kShowBaud
};

// The facts of a valid package (check_package first), the loader's own reading of it
// included, and the update rehearsed with it.
Summary summarize(const std::vector<std::string>& lines);

// The summary as `show` prints it; `shown` names the package or executable.
std::string render_summary(const Summary& summary, const std::string& shown);

}  // namespace patu::pkg
