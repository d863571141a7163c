// The exploit mitigations of built Windows programs, read from their PE headers as Windows'
// own checkers read them:
//   pe_mitigations_check EXE...
// For each program a line per mitigation, then "EXE: missing: ..." naming every one it lacks
// (or "EXE: nothing missing"); exit status 1 when any program lacks one. The mitigations:
// ASLR (DYNAMIC_BASE, with the base relocations kept, without which the loader cannot move
// the image), high-entropy ASLR on x86-64 (HIGH_ENTROPY_VA), DEP (NX_COMPAT), no section both
// writable and executable, no writable section shared between processes, and on x86 a rule
// for exception handlers: NO_SEH, or a SafeSEH table of the handlers allowed to run.

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "tools/pe-load-config/pe.h"

namespace {

constexpr std::uint16_t kMachineI386 = 0x14C;
constexpr std::uint16_t kMachineAmd64 = 0x8664;
constexpr std::uint16_t kRelocsStripped = 0x0001;  // IMAGE_FILE_RELOCS_STRIPPED
constexpr std::uint16_t kHighEntropyVa = 0x0020;   // IMAGE_DLLCHARACTERISTICS_*
constexpr std::uint16_t kDynamicBase = 0x0040;
constexpr std::uint16_t kNxCompat = 0x0100;
constexpr std::uint16_t kNoSeh = 0x0400;
constexpr std::uint32_t kScnShared = 0x10000000;  // IMAGE_SCN_MEM_*
constexpr std::uint32_t kScnExecute = 0x20000000;
constexpr std::uint32_t kScnWrite = 0x80000000;
// SEHandlerTable and SEHandlerCount in the x86 load configuration.
constexpr std::uint32_t kSafeSehTable = 0x40;
constexpr std::uint32_t kSafeSehCount = 0x44;

struct Mitigation {
  std::string name;
  bool present;
  std::string detail;
};

// The names of the sections that have every one of `flags`, or "none".
std::string sections_with(const patu::pe::Image& image, std::uint32_t flags) {
  std::string names;
  for (const patu::pe::Section& section : image.sections()) {
    if ((section.characteristics & flags) == flags)
      names += (names.empty() ? "" : " ") + section.name;
  }
  return names.empty() ? "none" : names;
}

// The number of handlers in the x86 load configuration's SafeSEH table; 0 without one.
std::uint32_t safe_seh_handlers(const patu::pe::Image& image) {
  const auto directory = image.directory(patu::pe::kLoadConfigDirectory);
  if (!directory || directory->size < kSafeSehCount + 4) return 0;
  const auto start = image.file_offset(directory->rva, kSafeSehCount + 4);
  if (!start || image.u32(*start) < kSafeSehCount + 4) return 0;
  return image.u32(*start + kSafeSehTable) == 0 ? 0 : image.u32(*start + kSafeSehCount);
}

std::vector<Mitigation> mitigations(const patu::pe::Image& image) {
  const std::uint16_t dll = image.dll_characteristics();
  const auto relocations = image.directory(patu::pe::kBaseRelocationDirectory);
  const bool relocatable =
      (image.characteristics() & kRelocsStripped) == 0 && relocations && relocations->size > 0;
  std::vector<Mitigation> found;
  found.push_back({"ASLR", (dll & kDynamicBase) != 0 && relocatable,
                   std::string((dll & kDynamicBase) != 0 ? "DYNAMIC_BASE" : "no DYNAMIC_BASE") +
                       (relocatable ? ", base relocations kept"
                                    : ", no base relocations to move the image by")});
  if (image.machine() == kMachineAmd64) {
    found.push_back({"high-entropy ASLR", (dll & kHighEntropyVa) != 0,
                     (dll & kHighEntropyVa) != 0 ? "HIGH_ENTROPY_VA" : "no HIGH_ENTROPY_VA"});
  }
  found.push_back(
      {"DEP", (dll & kNxCompat) != 0, (dll & kNxCompat) != 0 ? "NX_COMPAT" : "no NX_COMPAT"});
  const std::string writable_executable = sections_with(image, kScnWrite | kScnExecute);
  found.push_back({"no writable and executable section", writable_executable == "none",
                   "writable and executable: " + writable_executable});
  const std::string shared_writable = sections_with(image, kScnWrite | kScnShared);
  found.push_back({"no shared writable section", shared_writable == "none",
                   "shared and writable: " + shared_writable});
  if (image.machine() == kMachineI386) {
    const std::uint32_t handlers = safe_seh_handlers(image);
    found.push_back({"SafeSEH", (dll & kNoSeh) != 0 || handlers > 0,
                     (dll & kNoSeh) != 0 ? "NO_SEH: no handler may be called in it"
                     : handlers > 0 ? "a SafeSEH table of " + std::to_string(handlers) + " handlers"
                                    : "neither NO_SEH nor a SafeSEH table: any address "
                                      "in it can serve as an exception handler"});
  }
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s EXE...\n", argv[0]);
    return 2;
  }
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string path = argv[i];
    std::ifstream in(path, std::ios::binary);
    std::string error = "cannot read it (build it first)";
    std::optional<patu::pe::Image> image;
    if (in) image = patu::pe::Image::parse({std::istreambuf_iterator<char>(in), {}}, error);
    if (!image) {
      std::printf("%s: %s\n", path.c_str(), error.c_str());
      status = 1;
      continue;
    }
    if (image->machine() != kMachineI386 && image->machine() != kMachineAmd64) {
      std::printf("%s: machine 0x%04X is neither x86 nor x86-64\n", path.c_str(), image->machine());
      status = 1;
      continue;
    }
    std::printf("%s (%s):\n", path.c_str(), image->machine() == kMachineI386 ? "x86" : "x86-64");
    std::string missing;
    for (const Mitigation& m : mitigations(*image)) {
      std::printf("  %-8s %s: %s\n", m.present ? "ok" : "MISSING", m.name.c_str(),
                  m.detail.c_str());
      if (!m.present) missing += (missing.empty() ? "" : ", ") + m.name;
    }
    if (missing.empty()) {
      std::printf("%s: nothing missing\n", path.c_str());
    } else {
      std::printf("%s: missing: %s\n", path.c_str(), missing.c_str());
      status = 1;
    }
  }
  return status;
}
