#include "package/loader.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "package/lines.h"
#include "tests/package/sample_package.h"

namespace patu {
namespace {

using testing::SamplePackage;

LoadResult load(const std::vector<std::string>& lines, PackageState& state) {
  return load_package(LineTable(lines), state);
}

void expect_same_state(const PackageState& a, const PackageState& b) {
  EXPECT_EQ(a.VERSAO_PACOTE, b.VERSAO_PACOTE);
  EXPECT_EQ(a.END_SECAO1, b.END_SECAO1);
  EXPECT_EQ(a.END_SECAO2, b.END_SECAO2);
  EXPECT_EQ(a.END_MODULOS, b.END_MODULOS);
  EXPECT_EQ(a.LISTA_MODULOS, b.LISTA_MODULOS);
  EXPECT_EQ(a.LINHA_ATUAL, b.LINHA_ATUAL);
  EXPECT_EQ(a.loaded, b.loaded);
}

// Counts the lines read, and gives up loudly where a search without a bound would hang.
class CountingLines final : public PackageLines {
 public:
  explicit CountingLines(std::vector<std::string> lines) : table_(std::move(lines)) {}
  std::string line(std::uint16_t n) const override {
    if (++reads_ > 4 * kMaxPackageLines) throw std::runtime_error("the search does not stop");
    return table_.line(n);
  }
  std::size_t reads() const { return reads_; }

 private:
  LineTable table_;
  mutable std::size_t reads_ = 0;
};

TEST(Loader, ReadsTheHeaderContentsAddressesAndModules) {
  PackageState state;
  const LoadResult result = load(SamplePackage().lines(), state);
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_TRUE(state.loaded);
  EXPECT_EQ(result.lbDATA, "08/08/2013");
  EXPECT_EQ(result.lbATU, "TESTE");
  EXPECT_EQ(result.mmA, (std::vector<std::string>{"Fiat - v5.01", "", "Firmware Versão v5.21"}));
  EXPECT_EQ(state.VERSAO_PACOTE, 21);
  EXPECT_EQ(state.END_SECAO1, 0x8900u);
  EXPECT_EQ(state.END_SECAO2, 35456u);
  EXPECT_EQ(state.END_MODULOS, 0xAA00u);
  EXPECT_EQ(state.LISTA_MODULOS, (std::vector<std::string>{"GM", "VW", "Fiat"}));
  EXPECT_EQ(state.LINHA_ATUAL, 15);  // s2 = 14
  EXPECT_EQ(result.pbAND_max, 22);   // F = 27: 27 - 15 + 10
}

TEST(Loader, ContentsLinesBecomeMemoLinesInPlace) {
  SamplePackage package;
  package.contents = {};  // line 4 is the marker
  PackageState state;
  LoadResult result = load(package.lines(), state);
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(result.mmA, std::vector<std::string>{});
  EXPECT_EQ(state.END_SECAO1, 0x8900u);   // line 5
  EXPECT_EQ(state.END_MODULOS, 0xAA00u);  // line 7
  EXPECT_EQ(state.LINHA_ATUAL, 12);

  package.contents = {"", "a", "", "", "b", ""};
  result = load(package.lines(), state);
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(result.mmA, package.contents);
}

TEST(Loader, OnlyWholeLinesAreMarkersOrTheEnd) {
  SamplePackage package;
  package.contents = {"* ", " *", "**", "FIM ", "fim"};
  package.codes = {"GM", "* ", "FIM "};
  PackageState state;
  const LoadResult result = load(package.lines(), state);
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(result.mmA, package.contents);
  EXPECT_EQ(state.LISTA_MODULOS, package.codes);
}

TEST(Loader, PackageWithoutModuleCodes) {
  SamplePackage package;
  package.codes = {};
  package.groups = {};
  PackageState state;
  const LoadResult result = load(package.lines(), state);
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_TRUE(state.LISTA_MODULOS.empty());
  EXPECT_EQ(state.LINHA_ATUAL, 7 + 5);  // s1 + 5
}

TEST(Loader, DuplicateCodesAndEmptyGroupsAreKept) {
  SamplePackage package;
  package.codes = {"VW", "GM", "VW"};
  package.groups = {{}, {}, {}};
  PackageState state;
  ASSERT_TRUE(load(package.lines(), state).ok);
  EXPECT_EQ(state.LISTA_MODULOS, package.codes);
}

TEST(Loader, VersionIsTheDecimalValueModulo256) {
  const struct {
    const char* text;
    int version;
  } cases[] = {{"21", 21},   {"277", 21},         {"0", 0},          {"255", 255},
               {"256", 0},   {"-1", 255},         {"+7", 7},         {"  21", 21},
               {"0021", 21}, {"2147483647", 255}, {"-2147483648", 0}};
  for (const auto& c : cases) {
    SamplePackage package;
    package.version = c.text;
    PackageState state;
    const LoadResult result = load(package.lines(), state);
    EXPECT_TRUE(result.ok) << c.text << ": " << result.error;
    EXPECT_EQ(state.VERSAO_PACOTE, c.version) << c.text;
  }
}

TEST(Loader, VersionThatIsNoIntegerFailsAfterTheCaptions) {
  for (const char* text : {"", " ", "21 ", "2 1", "x21", "0x15", "$15", "1.0", "+", "-",
                           "2147483648", "-2147483649", "99999999999999999999"}) {
    SamplePackage package;
    package.version = text;
    PackageState state;
    const LoadResult result = load(package.lines(), state);
    EXPECT_FALSE(result.ok) << '"' << text << '"';
    EXPECT_FALSE(state.loaded);
    std::string expected = "'";  // (built up: "'" + text trips a GCC 12 -Wrestrict false alarm)
    expected += text;
    expected += "' is not a valid integer value";
    EXPECT_EQ(result.error, expected);
    EXPECT_EQ(result.lbDATA, "08/08/2013");
    EXPECT_EQ(result.lbATU, "TESTE");
    EXPECT_FALSE(result.mmA.has_value());
    EXPECT_FALSE(result.pbAND_max.has_value());
  }
}

TEST(Loader, AddressLinesSkipWhatIsNoUpperCaseHexDigit) {
  SamplePackage package;
  package.addresses = {"8a80", "", "12345678A"};
  PackageState state;
  ASSERT_TRUE(load(package.lines(), state).ok);
  EXPECT_EQ(state.END_SECAO1, 0x880u);
  EXPECT_EQ(state.END_SECAO2, 0u);
  EXPECT_EQ(state.END_MODULOS, 0x2345678Au);  // low 32 bits
}

TEST(Loader, ARefusedLoadLeavesNothingToWriteFrom) {
  PackageState state;
  ASSERT_TRUE(load(SamplePackage().lines(), state).ok);
  const PackageState before = state;

  SamplePackage broken;
  broken.codes = {"A", "B", "C", "D"};  // a fourth code without its group
  broken.version = "99";
  const LoadResult result = load(broken.lines(), state);
  EXPECT_FALSE(result.ok);
  EXPECT_FALSE(state.loaded);
  EXPECT_FALSE(result.error.empty());
  EXPECT_EQ(result.lbDATA, "08/08/2013");
  EXPECT_FALSE(result.mmA.has_value());
  EXPECT_FALSE(result.pbAND_max.has_value());
  // The earlier load's figures stay, as they were.
  EXPECT_EQ(state.VERSAO_PACOTE, before.VERSAO_PACOTE);
  EXPECT_EQ(state.LISTA_MODULOS, before.LISTA_MODULOS);
  EXPECT_EQ(state.LINHA_ATUAL, before.LINHA_ATUAL);
}

TEST(Loader, PackageWithoutEndLineIsRefusedAfterOneBoundedSearch) {
  std::vector<std::string> lines = SamplePackage().lines();
  lines.back() = "FIM ";
  CountingLines counting(lines);
  PackageState state;
  const LoadResult result = load_package(counting, state);
  EXPECT_FALSE(result.ok);
  EXPECT_FALSE(state.loaded);
  EXPECT_EQ(result.error, "Pacote de atualização inválido: falta a linha FIM.");
  EXPECT_FALSE(result.lbDATA.has_value());
  EXPECT_LE(counting.reads(), kMaxPackageLines);

  // Text stored beyond the last line number cannot be reached.
  std::vector<std::string> too_long(kMaxPackageLines, "");
  too_long.push_back("FIM");
  CountingLines beyond(too_long);
  EXPECT_FALSE(load_package(beyond, state).ok);
  EXPECT_LE(beyond.reads(), kMaxPackageLines);
}

TEST(Loader, EndLineOnTheLastLineNumberIsFound) {
  SamplePackage package;
  package.contents.assign(kMaxPackageLines - 1 - 24, "");  // puts the end line on 65535
  const std::vector<std::string> lines = package.lines();
  ASSERT_EQ(lines.size(), kMaxPackageLines);
  PackageState state;
  const LoadResult result = load(lines, state);
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(state.LINHA_ATUAL, 65535 - 12);
  EXPECT_EQ(result.pbAND_max, 22);
}

TEST(Loader, MissingMarkersAreRefusedWithoutSearchingPastTheEnd) {
  // Markers after the end line belong to no package.
  const std::vector<std::string> no_contents_marker = {"",  "d",   "t", "21", "a",
                                                       "b", "FIM", "*", "*"};
  const std::vector<std::string> no_codes_marker = {"",     "d",    "t",  "21",  "a", "*", "8900",
                                                    "8A80", "AA00", "GM", "FIM", "*", "*"};
  for (const auto& lines : {no_contents_marker, no_codes_marker}) {
    CountingLines counting(lines);
    PackageState state;
    const LoadResult result = load_package(counting, state);
    EXPECT_FALSE(result.ok);
    EXPECT_FALSE(state.loaded);
    EXPECT_NE(result.error.find("falta a linha *"), std::string::npos) << result.error;
    EXPECT_EQ(result.lbDATA, "d");
  }

  // The worst case: the end line on the last line number and no marker at all.
  std::vector<std::string> longest(kMaxPackageLines - 1, "x");
  longest.push_back("FIM");
  CountingLines counting(longest);
  PackageState state;
  EXPECT_FALSE(load_package(counting, state).ok);
  EXPECT_LE(counting.reads(), 2 * kMaxPackageLines + 3);
}

TEST(Loader, RefusesWhatTheUpdateWouldRunPastTheLayout) {
  const struct {
    const char* name;
    void (*bend)(SamplePackage&);
    const char* error;
  } cases[] = {
      {"24 codes",
       [](SamplePackage& p) {
         p.codes.assign(24, "VW");
         p.groups.assign(24, {});
       },
       "mais de 23 módulos (linha 34)"},
      {"section 2 unclosed",
       [](SamplePackage& p) {
         p.sections.resize(1);
         p.groups.clear();
         p.codes.clear();
       },
       "a seção 2 do firmware não termina com a linha *"},
      {"group unclosed", [](SamplePackage& p) { p.groups.pop_back(); },
       "o módulo \"Fiat\" não termina com a linha *"},
      {"no info tail", [](SamplePackage& p) { p.tails.clear(); },
       "falta a linha de informações antes da linha FIM"},
      {"two info tails", [](SamplePackage& p) { p.tails.push_back(p.tails[0]); },
       "mais de uma linha de informações"},
      {"a group too many", [](SamplePackage& p) { p.groups.push_back({testing::page(9)}); },
       "mais grupos de módulos que códigos"},
  };
  for (const auto& c : cases) {
    SamplePackage package;
    c.bend(package);
    PackageState state;
    const LoadResult result = load(package.lines(), state);
    EXPECT_FALSE(result.ok) << c.name;
    EXPECT_FALSE(state.loaded) << c.name;
    EXPECT_NE(result.error.find(c.error), std::string::npos) << c.name << ": " << result.error;
    EXPECT_EQ(result.error.rfind("Pacote de atualização inválido: ", 0), 0u) << c.name;
  }

  SamplePackage most;
  most.codes.assign(23, "GM");
  most.groups.assign(23, {});
  PackageState state;
  EXPECT_TRUE(load(most.lines(), state).ok);
}

TEST(Loader, LoadingAgainGivesTheFirstLoadsState) {
  const std::vector<std::string> lines = SamplePackage().lines();
  PackageState once;
  const LoadResult first = load(lines, once);

  SamplePackage other;
  other.version = "7";
  other.contents = {"x"};
  other.codes = {"A", "B", "C", "D", "E"};
  other.groups = {{}, {}, {}, {}, {}};
  PackageState again;
  ASSERT_TRUE(load(other.lines(), again).ok);
  const LoadResult second = load(lines, again);
  const LoadResult third = load(lines, again);

  expect_same_state(again, once);
  for (const LoadResult* result : {&second, &third}) {
    EXPECT_EQ(result->ok, first.ok);
    EXPECT_EQ(result->lbDATA, first.lbDATA);
    EXPECT_EQ(result->lbATU, first.lbATU);
    EXPECT_EQ(result->mmA, first.mmA);
    EXPECT_EQ(result->pbAND_max, first.pbAND_max);
  }
}

}  // namespace
}  // namespace patu
