#pragma once
// A scratch folder holding a manifest and its images, for the package tool's tests: a small
// valid package by default, whose parts a test replaces or breaks.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/package-tool/builder.h"
#include "tools/package-tool/hex_text.h"
#include "tools/package-tool/manifest.h"
#include "tools/package-tool/refusal.h"
#include "tools/package-tool/srec_cat.h"

namespace patu::pkg::testing {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// `count` bytes that differ from one `seed` to another, 0xFF among them.
inline Bytes pattern(int seed, std::size_t count) {
  Bytes bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(seed * 53 + i * 7);
  return bytes;
}

// One Intel HEX record of `type` (0 data, 1 end, 4 upper address bits) with its checksum.
inline std::string intel_record(std::uint8_t type, std::uint16_t address, const Bytes& data) {
  Bytes record = {static_cast<std::uint8_t>(data.size()), static_cast<std::uint8_t>(address >> 8),
                  static_cast<std::uint8_t>(address), type};
  record.insert(record.end(), data.begin(), data.end());
  std::uint8_t sum = 0;
  for (std::uint8_t b : record) sum = static_cast<std::uint8_t>(sum + b);
  record.push_back(static_cast<std::uint8_t>(-sum));
  return ":" + hex_bytes(record) + "\n";
}

// An Intel HEX file of data records at 32-bit addresses, one line each after an
// upper-address record where the upper 16 bits change, then the end record.
inline std::string intel_hex(const std::vector<std::pair<std::uint32_t, Bytes>>& records) {
  std::string text;
  std::uint32_t upper = 0;
  for (const auto& [address, data] : records) {
    if (address >> 16 != upper) {
      upper = address >> 16;
      text += intel_record(
          4, 0, {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper)});
    }
    text += intel_record(0, static_cast<std::uint16_t>(address), data);
  }
  return text + intel_record(1, 0, {});
}

// The manifest's text, table by table; every image named here is written by ToolTest.
struct TestManifest {
  std::string top =
      "date = \"01/02/2024\"\nname = \"TESTE\"\nversion = 3\n"
      "contents = [\"Fiat - v5.01\", \"\", \"Firmware Versão v5.21\"]\n";
  std::string section1 = "address = 0x8900\nimage = \"s1.bin\"\n";
  std::string section2 = "address = 0x8A80\nimage = \"s2.bin\"\n";
  std::string modules = "address = 0xAA00\n";
  std::vector<std::string> module = {"code = \"GM\"\ndata = \"gm.bin\"\n",
                                     "code = \"VW\"\ndata = \"vw.bin\"\n"};
  std::string info = "tail = \"tail.bin\"\n";

  std::string text() const {
    std::string out =
        top + "\n[section1]\n" + section1 + "\n[section2]\n" + section2 + "\n[modules]\n" + modules;
    for (const std::string& m : module) out += "\n[[module]]\n" + m;
    return out + "\n[info]\n" + info;
  }
};

class ToolTest : public ::testing::Test {
 protected:
  // The default images: section 1 300 bytes (3 blocks), section 2 one block, GM 600 bytes
  // (3 pages), VW none, a 54-byte tail.
  const Bytes s1 = pattern(1, 300), s2 = pattern(2, 128), gm = pattern(3, 600),
              tail = pattern(4, 54);

  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) /
           ("patu-package-" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    binary("s1.bin", s1);
    binary("s2.bin", s2);
    binary("gm.bin", gm);
    binary("vw.bin", {});
    binary("tail.bin", tail);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Where a file of the folder is, as the tool names it.
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  std::string manifest_path() const { return path("manifest.toml"); }

  void text(const std::string& name, const std::string& content) const {
    std::ofstream out(dir_ / name, std::ios::binary);
    out << content;
  }
  void binary(const std::string& name, const Bytes& bytes) const {
    text(name, std::string(bytes.begin(), bytes.end()));
  }
  // An Intel HEX ("-intel") or S-record ("-motorola") file of `bytes` from `address`, as
  // srec_cat writes it.
  void load_file(const std::string& name, const Bytes& bytes, std::uint64_t address,
                 const std::string& format) const {
    binary(name + ".raw", bytes);
    const SrecCatRun run = run_srec_cat({path(name + ".raw"), "-binary", "-offset",
                                         "0x" + hex_address(address), "-o", path(name), format});
    ASSERT_TRUE(run.started && run.status == 0) << name;
  }
  std::string read(const std::string& name) const {
    std::ifstream in(dir_ / name, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }

  Build build(const TestManifest& manifest) const {
    text("manifest.toml", manifest.text());
    return build_package(read_manifest(manifest_path()));
  }
  // The refusal's message; "" when the package is built.
  std::string refusal(const TestManifest& manifest) const {
    try {
      build(manifest);
    } catch (const Refusal& refused) {
      return refused.what();
    }
    return "";
  }

  fs::path dir_;
};

}  // namespace patu::pkg::testing
