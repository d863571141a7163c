#include "tools/package-generator/generator.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

namespace patu {
namespace {

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

constexpr std::array<std::string_view, 3> kAddresses = {"8900", "8A80", "AA00"};

constexpr std::array<std::string_view, 18> kModuleCodes = {
    "GM",      "VW",     "Fiat",   "Ford",         "Renault",     "Peugeot",
    "Citroen", "Honda",  "Toyota", "Hyundai",      "Nissan",      "Mitsubishi",
    "Chery",   "Suzuki", "Jeep",   "Imobilizador", "Telecomando", "Motos"};
constexpr std::array<int, 18> kPagesPerModule = {61, 47, 37, 43, 47, 45, 15, 21, 16,
                                                 7,  12, 45, 39, 23, 11, 7,  14, 19};
constexpr int kSection1Blocks = 3;
constexpr int kSection2Blocks = 53;

constexpr std::size_t kBlockBytes = 128;
constexpr std::size_t kPageBytes = 256;
constexpr std::size_t kInfoBlockBytes = 128;

std::string hex(const std::vector<std::uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (std::uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  }
  return text;
}

std::vector<std::uint8_t> random_bytes(SplitMix64& rng, std::size_t count) {
  std::vector<std::uint8_t> bytes(count);
  for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>(rng.next() >> 56);
  return bytes;
}

}  // namespace

std::string generate_package_text() {
  SplitMix64 rng(kSeed);
  std::vector<std::string> lines = {"", "08/08/2013", "ATUALIZACAO GERAL", "21"};

  for (std::string_view name : kContents) {
    char version[8];
    std::snprintf(version, sizeof version, "%02u", static_cast<unsigned>(1 + rng.next() % 21));
    lines.push_back(std::string(name) + " - v5." + version);
  }
  lines.push_back("Firmware Versão v5.21");
  lines.push_back("Lista de modulos desta atualizacao");
  lines.insert(lines.end(), kEmptyContentsLines, "");
  lines.push_back("*");

  lines.insert(lines.end(), kAddresses.begin(), kAddresses.end());
  lines.insert(lines.end(), kModuleCodes.begin(), kModuleCodes.end());
  lines.push_back("*");

  for (int blocks : {kSection1Blocks, kSection2Blocks}) {
    for (int i = 0; i < blocks; ++i) lines.push_back(hex(random_bytes(rng, kBlockBytes)));
    lines.push_back("*");
  }
  for (int pages : kPagesPerModule) {
    for (int i = 0; i < pages; ++i) lines.push_back(hex(random_bytes(rng, kPageBytes)));
    lines.push_back("*");
  }

  // Only bytes 74 to 127 reach the device; these six carry the real package's values.
  std::vector<std::uint8_t> info = random_bytes(rng, kInfoBlockBytes);
  info[74] = 0xCC;
  info[75] = 0x89;
  info[76] = 0xED;
  info[125] = 0xCC;
  info[126] = 0xA3;
  info[127] = 0x18;
  lines.push_back(hex(info));
  lines.push_back("FIM");

  std::string text;
  for (const std::string& line : lines) text += line + '\n';
  return text;
}

}  // namespace patu
