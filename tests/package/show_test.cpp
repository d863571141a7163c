// `show`: the facts of a package and of an update with it, on the shipped package and on
// packages that stretch the layout.
#include "tools/package-tool/show.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "package/lines.h"
#include "tests/package/sample_package.h"

namespace patu::pkg {
namespace {

std::vector<std::string> shipped_lines() {
  std::ifstream in(PATU_PACKAGE_FILE, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return split_package_text(text.str());
}

TEST(PackageShow, TheShippedPackagesLayout) {
  const Summary s = summarize(shipped_lines());
  EXPECT_EQ(s.end_line, 664u);
  EXPECT_EQ(s.contents_marker, 55u);
  EXPECT_EQ(s.codes_marker, 77u);
  EXPECT_EQ(s.first_data_line, 78u);
  EXPECT_EQ(s.info_tail, 663u);
  EXPECT_EQ(s.contents.size(), 51u);
  EXPECT_EQ(s.version, 21);
  EXPECT_EQ(s.sections[0].address, 0x8900u);
  EXPECT_EQ(s.sections[0].blocks, 3u);
  EXPECT_EQ(s.sections[1].address, 0x8A80u);
  EXPECT_EQ(s.sections[1].blocks, 53u);
  EXPECT_EQ(s.module_area, 0xAA00u);
  ASSERT_EQ(s.modules.size(), 18u);
  EXPECT_EQ(s.pages, 509u);
  EXPECT_EQ(s.progress_max, 596);
  const std::uint32_t first_pages[] = {0,   61,  108, 145, 188, 235, 280, 295, 316,
                                       332, 339, 351, 396, 435, 458, 469, 476, 490};
  for (std::size_t m = 0; m < 18; ++m) EXPECT_EQ(s.modules[m].first_page, first_pages[m]) << m;
  EXPECT_EQ(s.modules[0].code, "GM");
  EXPECT_EQ(s.modules[0].pages, 61u);
  EXPECT_EQ(s.modules[17].pages, 19u);
}

TEST(PackageShow, TheRehearsedUpdateOfTheShippedPackage) {
  const Summary s = summarize(shipped_lines());
  // Two readings of the info block, an erase and a write per firmware block, the module
  // area's erase, two halves per page, the info block's erase and write, the final command.
  EXPECT_EQ(s.update.commands, 2 + 2 * 56 + 1 + 2 * 509 + 2 + 1);
  // The page table the new info block carries, then the byte fields around it.
  const Block& info = s.update.info;
  const std::uint32_t first_pages[] = {0,   61,  108, 145, 188, 235, 280, 295, 316, 332,
                                       339, 351, 396, 435, 458, 469, 476, 490, 509};
  for (std::size_t m = 0; m < 19; ++m) {
    EXPECT_EQ(info[18 + 2 * m] << 8 | info[19 + 2 * m], first_pages[m]) << m;
  }
  for (int i = 56; i <= 65; ++i) EXPECT_EQ(info[i], 0xFF) << i;
  EXPECT_EQ(info[6], 0x15);
  EXPECT_EQ(info[16], 0xAA);
  EXPECT_EQ(info[17], 0x00);
  EXPECT_EQ(info[74], 0xCC);
  EXPECT_EQ(info[76], 0xED);
  EXPECT_EQ(info[127], 0x18);
  // The benchmark measured this floor from the emulator's log of a real pATU.exe's update of
  // the same package at 9600 baud: the rehearsal sends what the real program sends.
  EXPECT_NEAR(s.update.floor_ms, 161'400, 50);
}

TEST(PackageShow, WhatAPersonReads) {
  const std::string text = render_summary(summarize(shipped_lines()), "pacote.txt");
  for (const char* want :
       {"package  pacote.txt\n", "date     08/08/2013   (line 1)\n",
        "version  21   (line 3; the device keeps 21)\n", "contents 51 lines (lines 4-54)\n",
        "     32  Firmware Vers\xC3\xA3o v5.21\n", "  34-54  (21 empty lines)\n",
        "  s1 = 55      marker after the contents\n",
        "  s2 = 77      marker after the module codes\n", "  F = 664      end line \"FIM\"\n",
        "  8900-8A7F  firmware section 1: 3 blocks (lines 78-80)\n",
        "  8A80-A4FF  firmware section 2: 53 blocks (lines 82-134)\n",
        "  AA00       module area, erased before the module pages\n",
        "modules  18, 509 pages (pages 0 to 508)\n",
        "   2  VW               first page    61     47 pages  (lines 198-244)\n",
        "                 0153 015F 018C 01B3 01CA 01D5 01DC 01EA 01FD\n",
        "progress bar maximum   596\n", "commands sent          1136 ",
        "update at 9600 baud    161.4 s (2 min 41 s)"}) {
    EXPECT_NE(text.find(want), std::string::npos) << want << "\n" << text;
  }
}

TEST(PackageShow, APackageWithoutModulesAndAnEmptySection) {
  patu::testing::SamplePackage p;
  p.codes = {};
  p.groups = {};
  p.sections = {{}, {patu::testing::block(3)}};
  const Summary s = summarize(p.lines());
  EXPECT_EQ(s.sections[0].blocks, 0u);
  EXPECT_EQ(s.modules.size(), 0u);
  EXPECT_EQ(s.pages, 0u);
  // The page table holds the page count alone.
  EXPECT_EQ(s.update.info[18], 0);
  EXPECT_EQ(s.update.info[19], 0);
  EXPECT_EQ(s.update.info[20], 0xFF);
  // Identification, one block's erase and write, the area's erase, the info block, 'G'.
  EXPECT_EQ(s.update.commands, 2 + 2 + 1 + 2 + 1);
  const std::string text = render_summary(s, "p");
  EXPECT_NE(text.find("  8900       firmware section 1: 0 blocks (no lines)\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("modules  0, 0 pages\n"), std::string::npos) << text;
  // The sample's contents: a text, an empty line, a text.
  EXPECT_NE(text.find("      4  Fiat - v5.01\n      5  (1 empty line)\n      6  Firmware"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("  bytes 20-65    FF\n"), std::string::npos) << text;
}

}  // namespace
}  // namespace patu::pkg
