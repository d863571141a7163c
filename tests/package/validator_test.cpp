#include "package/validator.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "package/lines.h"
#include "tests/package/sample_package.h"

namespace patu {
namespace {

using testing::SamplePackage;

std::string describe(const std::vector<PackageBreach>& breaches) {
  std::string text;
  for (const PackageBreach& b : breaches) text += std::to_string(b.line) + ": " + b.rule + "\n";
  return text;
}

TEST(Validator, AcceptsAValidPackage) {
  EXPECT_EQ(describe(validate_package(SamplePackage().lines())), "");

  SamplePackage edges;
  edges.version = "-1";
  edges.contents = {};
  edges.codes = {};
  edges.groups = {};
  edges.sections = {{testing::block(9)}, {"", "00", testing::block(8)}};  // short: 0xFF fill
  edges.addresses = {"7F80", "FE80", "0ABC"};  // right below the info block, up to the top
  std::vector<std::string> lines = edges.lines();
  lines.push_back("");  // empty lines after the end line are no text
  EXPECT_EQ(describe(validate_package(lines)), "");

  SamplePackage widest;
  widest.contents = {std::string(1023, 'x'),
                     std::string(511, 'x') + "\xC3\xA3" + std::string(511, 'x'),
                     "\xF0\x9F\x98\x80" + std::string(1021, 'x')};  // a surrogate pair counts 2
  widest.codes.assign(23, "GM");
  widest.groups.assign(23, {});
  EXPECT_EQ(describe(validate_package(widest.lines())), "");
}

struct Broken {
  const char* name;
  std::function<void(std::vector<std::string>&)> bend;  // on the sample's lines
  std::uint32_t line;
  const char* rule;  // a part of the rule's text
};

// With the sample's layout: contents 4-6, s1 7, addresses 8-10, codes 11-13, s2 14, blocks
// 15, 16, 18, pages 20, 21, 24, info tail 26, end line 27.
const Broken kBroken[] = {
    {"no end line", [](auto& l) { l[27] = "FIM "; }, 28, "no end line"},
    {"line 0 not empty", [](auto& l) { l[0].push_back('x'); }, 0, "line 0"},
    {"text after the end", [](auto& l) { l.push_back("*"); }, 28, "after the end line"},
    {"version", [](auto& l) { l[3] = "v21"; }, 3, "version"},
    {"no contents marker", [](auto& l) { l = {"", "d", "t", "21", "x", "FIM"}; }, 5, "contents"},
    {"no codes marker",
     [](auto& l) { l = {"", "d", "t", "21", "*", "8900", "8A80", "AA00", "GM", "FIM"}; }, 9,
     "module codes"},
    {"address lower case", [](auto& l) { l[9] = "8a80"; }, 9, "address line"},
    {"address of 5 digits", [](auto& l) { l[8] = "08900"; }, 8, "address line"},
    {"address of 3 digits", [](auto& l) { l[10] = "A00"; }, 10, "address line"},
    {"24 codes",
     [](auto& l) {
       l.insert(l.begin() + 14, 21, "VW");  // 24 codes, s2 = 35, last group closed by 46
       l.insert(l.begin() + 47, 21, "*");   // their empty groups
     },
     11 + 23, "more than 23 module codes"},
    {"section unclosed", [](auto& l) { l.erase(l.begin() + 19, l.begin() + 26); }, 20,
     "firmware section 2"},
    {"group unclosed", [](auto& l) { l.erase(l.begin() + 25); }, 26, "\"Fiat\""},
    {"a group too many", [](auto& l) { l.insert(l.begin() + 26, "*"); }, 26, "more module groups"},
    {"no info tail", [](auto& l) { l.erase(l.begin() + 26); }, 26, "no info tail line"},
    {"two info tails", [](auto& l) { l.insert(l.begin() + 26, l[26]); }, 27, "more than one line"},
    {"block too long", [](auto& l) { l[18] += "00"; }, 18, "block line"},
    {"block lower case", [](auto& l) { l[15][0] = 'a'; }, 15, "block line"},
    {"block odd length", [](auto& l) { l[16].pop_back(); }, 16, "block line"},
    {"block past the top", [](auto& l) { l[8] = "FF80"; }, 16, "past device address FFFF"},
    {"block on the info block", [](auto& l) { l[8] = "7F80"; }, 16, "overlap the info block"},
    {"page too long", [](auto& l) { l[24] += "00"; }, 24, "page line"},
    {"page not hex", [](auto& l) { l[20][100] = 'G'; }, 20, "page line"},
    {"info tail short", [](auto& l) { l[26].resize(254); }, 26, "info tail line"},
    {"info tail lower case", [](auto& l) { l[26][255] = 'f'; }, 26, "info tail line"},
    {"line too long", [](auto& l) { l[5] = std::string(1024, 'x'); }, 5, "1,023"},
    {"line too long in UTF-16", [](auto& l) { l[5] = std::string(1022, 'x') + "\xF0\x9F\x98\x80"; },
     5, "1,023"},
    {"not UTF-8", [](auto& l) { l[4] = "Vers\xE3o"; }, 4, "UTF-8"},
    {"overlong UTF-8", [](auto& l) { l[4] = "\xC0\xAA"; }, 4, "UTF-8"},
    {"too many lines", [](auto& l) { l.resize(kMaxPackageLines + 1, ""); }, 65536, "65,536"},
};

TEST(Validator, NamesTheLineAndTheRuleOfEachBreach) {
  for (const Broken& broken : kBroken) {
    std::vector<std::string> lines = SamplePackage().lines();
    broken.bend(lines);
    const std::vector<PackageBreach> breaches = validate_package(lines);
    ASSERT_EQ(breaches.size(), 1u) << broken.name << ":\n" << describe(breaches);
    EXPECT_EQ(breaches[0].line, broken.line) << broken.name;
    EXPECT_NE(breaches[0].rule.find(broken.rule), std::string::npos)
        << broken.name << ": " << breaches[0].rule;
  }
}

TEST(Validator, ReportsEveryBreachInLineOrder) {
  std::vector<std::string> lines = SamplePackage().lines();
  lines[24] = "0";
  lines[8] = "x";
  lines[3] = "";
  lines[15] = "FF FF";
  const std::vector<PackageBreach> breaches = validate_package(lines);
  ASSERT_EQ(breaches.size(), 4u) << describe(breaches);
  EXPECT_EQ(breaches[0].line, 3u);
  EXPECT_EQ(breaches[1].line, 8u);
  EXPECT_EQ(breaches[2].line, 15u);
  EXPECT_EQ(breaches[3].line, 24u);
}

}  // namespace
}  // namespace patu
