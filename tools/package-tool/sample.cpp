#include "tools/package-tool/sample.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

#include "tools/package-tool/hex_text.h"
#include "tools/package-tool/package_file.h"
#include "tools/package-tool/refusal.h"
#include "tools/package-tool/srec_cat.h"

namespace patu::pkg {
namespace {

namespace fs = std::filesystem;

// splitmix64: tiny and exactly defined, so the package comes out the same from every compiler
// and standard library (the standard distributions are not).
class SplitMix64 {
 public:
  explicit SplitMix64(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }

 private:
  std::uint64_t state_;
};

constexpr std::uint64_t kSeed = 0x7041545532303133ULL;

constexpr std::array<std::string_view, 28> kContents = {
    "GM",     "VW",       "Fiat",    "Ford",         "Renault",     "Peugeot",        "Citroen",
    "Honda",  "Toyota",   "Hyundai", "Kia",          "Nissan",      "Mitsubishi",     "Chery",
    "Suzuki", "Jeep",     "Audi",    "BMW",          "Mercedes",    "Volvo",          "Land Rover",
    "Subaru", "Chrysler", "Dodge",   "Imobilizador", "Telecomando", "Leitura de PIN", "Motos"};
constexpr std::size_t kEmptyContentsLines = 21;

constexpr std::uint32_t kSection1 = 0x8900;
constexpr std::uint32_t kSection2 = 0x8A80;
constexpr std::uint32_t kModuleArea = 0xAA00;

constexpr std::array<std::string_view, 18> kModuleCodes = {
    "GM",      "VW",     "Fiat",   "Ford",         "Renault",     "Peugeot",
    "Citroen", "Honda",  "Toyota", "Hyundai",      "Nissan",      "Mitsubishi",
    "Chery",   "Suzuki", "Jeep",   "Imobilizador", "Telecomando", "Motos"};
constexpr std::array<int, 18> kPagesPerModule = {61, 47, 37, 43, 47, 45, 15, 21, 16,
                                                 7,  12, 45, 39, 23, 11, 7,  14, 19};
constexpr std::size_t kSection1Blocks = 3;
constexpr std::size_t kSection2Blocks = 53;

constexpr std::size_t kBlockBytes = 128;
constexpr std::size_t kPageBytes = 256;
constexpr std::size_t kInfoBlockBytes = 128;

using Bytes = std::vector<std::uint8_t>;

Bytes random_bytes(SplitMix64& rng, std::size_t count) {
  Bytes bytes(count);
  for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>(rng.next() >> 56);
  return bytes;
}

std::string toml_string(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

void write_bytes(const fs::path& path, const Bytes& bytes) {
  fs::create_directories(path.parent_path());
  write_whole(path, std::string(bytes.begin(), bytes.end()));
}

// The firmware's load file, made by srec_cat from the section's bytes.
void write_load_file(const fs::path& path, const Bytes& bytes, std::uint32_t address,
                     const std::string& format, const std::vector<std::string>& options = {}) {
  const ScratchDir scratch;
  const fs::path binary = scratch.path() / "section.bin";
  write_bytes(binary, bytes);
  fs::create_directories(path.parent_path());
  std::vector<std::string> arguments = {binary.string(), "-binary", "-offset",
                                        "0x" + hex_address(address)};
  arguments.insert(arguments.end(), options.begin(), options.end());
  arguments.insert(arguments.end(), {"-o", path.string(), format});
  const SrecCatRun run = run_srec_cat(arguments);
  if (!run.started || run.status != 0) {
    throw Refusal(path.string() + ": srec_cat (Debian package srecord) could not write it" +
                  (run.messages.empty() ? std::string() : ": " + run.messages.back()));
  }
}

std::string module_file(std::string_view code) {
  std::string name(code);
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return "modulos/" + name + ".bin";
}

}  // namespace

void write_sample(const fs::path& dir) {
  SplitMix64 rng(kSeed);
  std::vector<std::string> contents;
  for (std::string_view name : kContents) {
    char version[8];
    std::snprintf(version, sizeof version, "%02u", static_cast<unsigned>(1 + rng.next() % 21));
    contents.push_back(std::string(name) + " - v5." + version);
  }
  contents.push_back("Firmware Versão v5.21");
  contents.push_back("Lista de modulos desta atualizacao");
  contents.insert(contents.end(), kEmptyContentsLines, "");

  const Bytes section1 = random_bytes(rng, kSection1Blocks * kBlockBytes);
  const Bytes section2 = random_bytes(rng, kSection2Blocks * kBlockBytes);
  write_load_file(dir / "fw/secao1.hex", section1, kSection1, "-intel");
  write_load_file(dir / "fw/secao2.s19", section2, kSection2, "-motorola", {"-header", "secao2"});
  for (std::size_t m = 0; m < kModuleCodes.size(); ++m) {
    write_bytes(dir / module_file(kModuleCodes[m]),
                random_bytes(rng, static_cast<std::size_t>(kPagesPerModule[m]) * kPageBytes));
  }
  // Only bytes 74 to 127 reach the device; these six carry the real package's values.
  Bytes info = random_bytes(rng, kInfoBlockBytes);
  info[74] = 0xCC;
  info[75] = 0x89;
  info[76] = 0xED;
  info[125] = 0xCC;
  info[126] = 0xA3;
  info[127] = 0x18;
  write_bytes(dir / "info/cauda.bin", info);

  std::string toml =
      "# The update package that pATU ships (resources/pacote.txt), written by\n"
      "# `patu-package sample`: the real layout and texts, synthetic firmware and module data.\n"
      "date = \"08/08/2013\"\n"
      "name = \"ATUALIZACAO GERAL\"\n"
      "version = 21\n"
      "contents = [\n";
  for (const std::string& line : contents) toml += "  " + toml_string(line) + ",\n";
  toml += "]\n\n[section1]\naddress = 0x" + hex_address(kSection1) +
          "\nimage = \"fw/secao1.hex\"\n\n[section2]\naddress = 0x" + hex_address(kSection2) +
          "\nimage = \"fw/secao2.s19\"\n\n[modules]\naddress = 0x" + hex_address(kModuleArea) +
          "\n";
  for (std::string_view code : kModuleCodes) {
    toml +=
        "\n[[module]]\ncode = " + toml_string(code) + "\ndata = \"" + module_file(code) + "\"\n";
  }
  toml += "\n[info]\ntail = \"info/cauda.bin\"\n";
  fs::create_directories(dir);
  write_whole(dir / "manifest.toml", toml);
}

}  // namespace patu::pkg
