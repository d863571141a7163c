// `diff`: what one package changes against another, named by what the device gets.
#include "tools/package-tool/diff.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "package/lines.h"
#include "tests/package/sample_package.h"

namespace patu::pkg {
namespace {

using patu::testing::block;
using patu::testing::page;
using patu::testing::SamplePackage;
using Lines = std::vector<std::string>;

Lines shipped_lines() {
  std::ifstream in(PATU_PACKAGE_FILE, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return split_package_text(text.str());
}

TEST(PackageDiff, TheShippedPackageAgainstItselfAndAgainstOneChangedPage) {
  const Lines shipped = shipped_lines();
  EXPECT_EQ(package_differences(shipped, shipped), Lines{});

  // Line 140 is GM's fifth page: page 4 of the module, device page 4.
  Lines changed = shipped;
  changed[140][10] = changed[140][10] == '0' ? '1' : '0';
  EXPECT_EQ(package_differences(shipped, changed),
            Lines{"module GM: page 4 changed (device page 4)"});
  // Line 200 is VW's third page: device page 63.
  changed = shipped;
  changed[200].replace(0, 2, changed[200].substr(0, 2) == "00" ? "01" : "00");
  EXPECT_EQ(package_differences(shipped, changed),
            Lines{"module VW: page 2 changed (device page 63)"});
}

TEST(PackageDiff, HeaderContentsAndAddresses) {
  SamplePackage a;
  SamplePackage b = a;
  b.version = "22";
  b.date = "09/09/2014";
  b.contents = {"Fiat - v5.02", "", "Firmware Versão v5.21", "Kia - v5.01"};
  b.addresses[2] = "AB00";
  EXPECT_EQ(package_differences(a.lines(), b.lines()),
            (Lines{"date: \"08/08/2013\" -> \"09/09/2014\"", "version: \"21\" -> \"22\"",
                   "contents: line 4: \"Fiat - v5.01\" -> \"Fiat - v5.02\"",
                   "contents: line 7 added: \"Kia - v5.01\"", "module area: AA00 -> AB00"}));

  // Lines that moved keep their text; only what was removed or added is named.
  b = a;
  b.contents = {"Novo", "Fiat - v5.01", "Firmware Versão v5.21"};
  EXPECT_EQ(package_differences(a.lines(), b.lines()),
            (Lines{"contents: line 4 added: \"Novo\"", "contents: line 5 removed: \"\""}));
  b.contents = {"Novo", "Fiat - v5.01", "X", "Firmware Versão v5.21"};
  EXPECT_EQ(package_differences(a.lines(), b.lines()),
            (Lines{"contents: line 4 added: \"Novo\"", "contents: line 5 -> 6: \"\" -> \"X\""}));
}

TEST(PackageDiff, FirmwareBlocksByDeviceAddress) {
  SamplePackage a;
  a.sections = {{block(1), block(2)}, {block(3)}};  // 8900, 8980; 8A80
  SamplePackage b = a;
  // One byte of the block at 8980; section 2 grows by three blocks.
  b.sections[0][1].replace(2 * 37, 2, b.sections[0][1].substr(2 * 37, 2) == "00" ? "01" : "00");
  b.sections[1] = {block(3), block(4), block(5), block(6)};
  EXPECT_EQ(package_differences(a.lines(), b.lines()),
            (Lines{"firmware: block 8980 changed (1 byte: 89A5)",
                   "firmware: blocks 8B00 to 8C00 added (3 blocks)"}));

  // Section 2 moved: its old block is gone, the new one is there.
  b = a;
  b.addresses[1] = "8B00";
  EXPECT_EQ(package_differences(a.lines(), b.lines()),
            (Lines{"section 2 address: 8A80 -> 8B00", "firmware: block 8A80 removed",
                   "firmware: block 8B00 added"}));
}

TEST(PackageDiff, ModulesAddedRemovedChangedAndReordered) {
  SamplePackage a;  // GM pages 0-1, VW none, Fiat page 2
  SamplePackage b = a;
  b.codes = {"GM", "Fiat", "Kia"};
  b.groups = {{page(4), page(5), page(8)}, {page(6)}, {page(9)}};
  EXPECT_EQ(package_differences(a.lines(), b.lines()),
            (Lines{"module GM: 2 -> 3 pages", "module VW: removed (0 pages)",
                   "module Fiat: first page 2 -> 3", "module Kia: added (1 page from page 4)"}));

  b = a;
  b.codes = {"VW", "GM", "Fiat"};
  b.groups = {{}, {page(4), page(5)}, {page(6)}};
  EXPECT_EQ(package_differences(a.lines(), b.lines()),
            (Lines{"module VW: first page 2 -> 0", "module order: GM, VW, Fiat -> VW, GM, Fiat"}));

  // Modules of one code are matched in their order.
  a.codes = {"GM", "GM"};
  a.groups = {{page(4)}, {page(5)}};
  b = a;
  b.groups = {{page(4)}, {page(7)}};
  EXPECT_EQ(package_differences(a.lines(), b.lines()),
            Lines{"module GM #2: page 0 changed (device page 1)"});
}

TEST(PackageDiff, TheInfoTailAndTextThatTheDeviceNeverSees) {
  SamplePackage a;
  SamplePackage b = a;
  b.tails[0].replace(2 * 80, 4, "0000");
  b.tails[0].replace(0, 2, "00");
  const Lines la = a.lines();
  ASSERT_NE(la[26].substr(160, 4), "0000");
  EXPECT_EQ(package_differences(la, b.lines()), Lines{"info tail: info block bytes 80-81 changed"});

  b = a;
  b.tails[0].replace(0, 2, b.tails[0].substr(0, 2) == "00" ? "01" : "00");
  EXPECT_EQ(package_differences(la, b.lines()),
            Lines{"info tail: only its first 148 characters differ, which the update never reads"});

  // A block line that stops short gives the same bytes as one written out with FF.
  a.sections[1] = {block(3).substr(0, 200) + std::string(56, 'F')};
  b = a;
  b.sections[1] = {block(3).substr(0, 200)};
  EXPECT_EQ(package_differences(a.lines(), b.lines()),
            Lines{"text only, the same bytes for the device: line 18"});
}

}  // namespace
}  // namespace patu::pkg
