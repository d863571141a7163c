// The package built into this program, read the way the program reads it: through the
// generated table natively, through the executable's string table on Windows.
#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "package/hex.h"
#include "package/lines.h"
#include "package/loader.h"

namespace patu {
namespace {

const PackageLines& shipped = shipped_package();

bool upper_hex(const std::string& text) {
  return text.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

std::uint8_t byte_at(const std::string& hex_line, std::size_t index) {
  return static_cast<std::uint8_t>(HEX_PARA_INT(hex_line.substr(2 * index, 2)));
}

TEST(ShippedPackage, LoadsToItsKnownFigures) {
  PackageState state;
  const LoadResult result = load_package(shipped, state);
  ASSERT_TRUE(result.ok) << result.error;
  ASSERT_TRUE(state.loaded);
  EXPECT_EQ(result.lbDATA, "08/08/2013");
  EXPECT_EQ(state.VERSAO_PACOTE, 21);
  EXPECT_EQ(state.END_SECAO1, 35072u);
  EXPECT_EQ(state.END_SECAO2, 35456u);
  EXPECT_EQ(state.END_MODULOS, 43520u);
  ASSERT_EQ(state.LISTA_MODULOS.size(), 18u);
  EXPECT_EQ(state.LISTA_MODULOS[0], "GM");
  EXPECT_EQ(state.LISTA_MODULOS[1], "VW");
  EXPECT_EQ(state.LISTA_MODULOS[2], "Fiat");
  EXPECT_EQ(state.LINHA_ATUAL, 78);
  EXPECT_EQ(result.pbAND_max, 596);

  ASSERT_TRUE(result.mmA.has_value());
  const std::vector<std::string>& memo = *result.mmA;
  ASSERT_EQ(memo.size(), 51u);
  for (std::size_t i = 0; i < memo.size(); ++i) {
    EXPECT_EQ(memo[i].empty(), i >= 30) << "memo line " << i;
  }
  // The one accented line comes through unchanged.
  EXPECT_EQ(memo[28], "Firmware Vers\xC3\xA3o v5.21");
  EXPECT_EQ(shipped.line(32), "Firmware Vers\xC3\xA3o v5.21");
}

TEST(ShippedPackage, HeaderTextsAndEmptyLines) {
  EXPECT_EQ(shipped.line(0), "");
  const std::string title = shipped.line(2);
  EXPECT_FALSE(title.empty());
  EXPECT_LE(title.size(), 40u);
  for (char c : title) EXPECT_FALSE(c >= 'a' && c <= 'z') << title;
  EXPECT_EQ(shipped.line(3), "21");
  EXPECT_EQ(shipped.line(55), "*");
  EXPECT_EQ(shipped.line(77), "*");
  EXPECT_EQ(shipped.line(664), "FIM");
  for (std::uint32_t n = 665; n < kMaxPackageLines; n += 97) {
    EXPECT_EQ(shipped.line(static_cast<std::uint16_t>(n)), "") << n;
  }
  EXPECT_EQ(shipped.line(65535), "");
}

TEST(ShippedPackage, DataLinesHaveTheShippedProportions) {
  const std::array<int, 18> pages = {61, 47, 37, 43, 47, 45, 15, 21, 16,
                                     7,  12, 45, 39, 23, 11, 7,  14, 19};
  std::set<std::string> data;
  std::uint32_t n = 78;
  auto run = [&](int lines, std::size_t width) {
    for (int i = 0; i < lines; ++i, ++n) {
      const std::string line = shipped.line(static_cast<std::uint16_t>(n));
      EXPECT_EQ(line.size(), width) << "line " << n;
      EXPECT_TRUE(upper_hex(line)) << "line " << n;
      // No constant fill: at least two different bytes.
      EXPECT_NE(line.find_first_not_of(line.substr(0, 2)), std::string::npos) << "line " << n;
      data.insert(line);
    }
    EXPECT_EQ(shipped.line(static_cast<std::uint16_t>(n)), "*") << "line " << n;
    ++n;
  };
  run(3, 256);
  EXPECT_EQ(n, 82u);
  run(53, 256);
  EXPECT_EQ(n, 136u);
  int total = 0;
  for (int count : pages) {
    run(count, 512);
    total += count;
  }
  EXPECT_EQ(total, 509);
  EXPECT_EQ(n, 663u);
  EXPECT_EQ(data.size(), 3u + 53u + 509u) << "every block and page is distinct";

  const std::string tail = shipped.line(663);
  ASSERT_EQ(tail.size(), 256u);
  EXPECT_TRUE(upper_hex(tail));
  EXPECT_EQ(byte_at(tail, 74), 0xCC);
  EXPECT_EQ(byte_at(tail, 75), 0x89);
  EXPECT_EQ(byte_at(tail, 76), 0xED);
  EXPECT_EQ(byte_at(tail, 125), 0xCC);
  EXPECT_EQ(byte_at(tail, 126), 0xA3);
  EXPECT_EQ(byte_at(tail, 127), 0x18);
}

// Every line as the program reads it is the line of the package file it was built from.
TEST(ShippedPackage, ReadsExactlyThePackageFile) {
  std::ifstream in(PATU_PACKAGE_FILE, std::ios::binary);
  ASSERT_TRUE(in) << PATU_PACKAGE_FILE;
  std::ostringstream text;
  text << in.rdbuf();
  const std::vector<std::string> lines = split_package_text(text.str());
  ASSERT_EQ(lines.size(), 665u);
  for (std::size_t n = 0; n < lines.size(); ++n) {
    EXPECT_EQ(shipped.line(static_cast<std::uint16_t>(n)), lines[n]) << "line " << n;
  }
}

}  // namespace
}  // namespace patu
