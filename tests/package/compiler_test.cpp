// The package compiler as the build runs it, and what its two outputs hold once compiled.
#include "tools/package-compiler/compiler.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "package/lines.h"
#include "package/unicode.h"
#include "tests/package/sample_package.h"

namespace patu {
namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_lines(const fs::path& path, const std::vector<std::string>& lines) {
  std::ofstream out(path, std::ios::binary);
  for (const std::string& line : lines) out << line << '\n';
}

class PackageCompilerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) /
           ("patu-compiler-" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs the compiler on `package`; its exit status, and its error output in `errors`.
  int compile(const fs::path& package, std::string& errors) {
    const std::string command = std::string("\"") + PATU_PACKAGE_COMPILER_EXE + "\" \"" +
                                package.string() + "\" --rc \"" + rc().string() + "\" --cpp \"" +
                                cpp().string() + "\" 2> \"" + (dir_ / "errors").string() + "\"";
    const int status = std::system(command.c_str());
    errors = read_file(dir_ / "errors");
    return status;
  }
  fs::path rc() const { return dir_ / "out.rc"; }
  fs::path cpp() const { return dir_ / "out.cpp"; }

  fs::path dir_;
};

TEST_F(PackageCompilerTest, RefusesABrokenPackageNamingFileLineAndRule) {
  std::vector<std::string> lines = testing::SamplePackage().lines();
  lines[9] = "8a80";
  lines[20] += "0";
  const fs::path package = dir_ / "pacote.txt";
  write_lines(package, lines);
  std::string errors;
  EXPECT_NE(compile(package, errors), 0);
  const std::string prefix = package.string() + ":";
  EXPECT_EQ(errors, prefix +
                        "10: package line 9: an address line holds exactly 4 upper-case hex "
                        "digits\n" +
                        prefix +
                        "21: package line 20: a page line holds at most 512 upper-case "
                        "hex digits, in pairs\n");
  EXPECT_FALSE(fs::exists(rc()));
  EXPECT_FALSE(fs::exists(cpp()));

  EXPECT_NE(compile(dir_ / "missing.txt", errors), 0);
  EXPECT_NE(errors.find("missing.txt"), std::string::npos) << errors;
}

TEST_F(PackageCompilerTest, WritesBothOutputsForAValidPackage) {
  std::string errors;
  EXPECT_EQ(compile(PATU_ESCAPES_PACKAGE, errors), 0) << errors;
  EXPECT_EQ(errors, "");
  const std::string script = read_file(rc());
  EXPECT_NE(script.find("#pragma code_page(65001)\n"), std::string::npos);
  EXPECT_NE(script.find("LANGUAGE 0x16, 0x01\n"), std::string::npos);
  EXPECT_FALSE(read_file(cpp()).empty());
}

// A compiled string table (.res), read back: string id -> (language, UTF-8 text).
std::map<std::uint32_t, std::pair<std::uint16_t, std::string>> read_string_table(
    const std::string& res) {
  auto u16 = [&res](std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<std::uint8_t>(res.at(at)) |
                                      static_cast<std::uint8_t>(res.at(at + 1)) << 8);
  };
  auto u32 = [&u16](std::size_t at) {
    return std::uint32_t{u16(at)} | std::uint32_t{u16(at + 2)} << 16;
  };
  auto utf8 = [](const std::u16string& units) {
    std::string out;
    for (std::size_t i = 0; i < units.size(); ++i) {
      char32_t c = units[i];
      if (c >= 0xD800 && c < 0xDC00 && i + 1 < units.size()) {
        c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
      }
      append_utf8(out, c);
    }
    return out;
  };

  std::map<std::uint32_t, std::pair<std::uint16_t, std::string>> strings;
  for (std::size_t at = 0; at + 32 <= res.size();) {
    const std::uint32_t data_size = u32(at);
    const std::uint32_t header_size = u32(at + 4);
    const std::size_t data = at + header_size;
    // Type and name are numeric (0xFFFF, id) in a string table's entries.
    if (u16(at + 8) == 0xFFFF && u16(at + 10) == 6 && u16(at + 12) == 0xFFFF) {
      const std::uint32_t block = u16(at + 14);
      const std::uint16_t language = u16(at + 22);
      std::size_t p = data;
      for (std::uint32_t i = 0; i < 16; ++i) {
        const std::uint16_t count = u16(p);
        p += 2;
        std::u16string units;
        for (std::uint16_t k = 0; k < count; ++k, p += 2) units += static_cast<char16_t>(u16(p));
        if (count > 0) strings[(block - 1) * 16 + i] = {language, utf8(units)};
      }
    }
    at = (data + data_size + 3) & ~std::size_t{3};
  }
  return strings;
}

TEST_F(PackageCompilerTest, StringTableHoldsEveryLineExactly) {
  if (std::string(PATU_WINDRES).empty()) GTEST_SKIP() << "no windres on this machine";
  std::string errors;
  ASSERT_EQ(compile(PATU_ESCAPES_PACKAGE, errors), 0) << errors;
  const fs::path res = dir_ / "out.res";
  const std::string command = std::string("\"") + PATU_WINDRES + "\" -O res \"" + rc().string() +
                              "\" \"" + res.string() + "\"";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;

  const std::vector<std::string> lines = split_package_text(read_file(PATU_ESCAPES_PACKAGE));
  const auto strings = read_string_table(read_file(res));
  std::size_t stored = 0;
  for (std::uint32_t n = 0; n < lines.size(); ++n) {
    const auto found = strings.find(n);
    if (lines[n].empty()) {
      EXPECT_EQ(found, strings.end()) << "line " << n;
      continue;
    }
    ++stored;
    ASSERT_NE(found, strings.end()) << "line " << n;
    EXPECT_EQ(found->second.first, 0x0416) << "line " << n;  // Portuguese (Brazil)
    EXPECT_EQ(found->second.second, lines[n]) << "line " << n;
  }
  EXPECT_EQ(strings.size(), stored);
}

// In this test program shipped_package() is the table the build compiled from the escapes
// package, so it shows what the C++ output holds once compiled.
TEST(PackageCompilerTable, HoldsEveryLineExactly) {
  const std::vector<std::string> lines = split_package_text(read_file(PATU_ESCAPES_PACKAGE));
  ASSERT_GT(lines.size(), 30u);
  for (std::uint32_t n = 0; n < lines.size(); ++n) {
    EXPECT_EQ(shipped_package().line(static_cast<std::uint16_t>(n)), lines[n]) << "line " << n;
  }
  EXPECT_EQ(shipped_package().line(static_cast<std::uint16_t>(lines.size())), "");
}

}  // namespace
}  // namespace patu
