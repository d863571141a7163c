// `build`: the package made from a manifest and its images, and every refusal with its words.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "package/lines.h"
#include "package/loader.h"
#include "package/validator.h"
#include "tests/package/tool_fixture.h"

namespace patu::pkg::testing {
namespace {

using BuildTest = ToolTest;

std::string hex_of(const Bytes& bytes) { return hex_bytes(bytes); }

TEST_F(BuildTest, IntelHexSRecordAndRawBinaryOfTheSameBytesGiveTheSamePackage) {
  const Build raw = build(TestManifest{});

  load_file("s1.hex", s1, 0x8900, "-intel");
  load_file("s2.s19", s2, 0x8A80, "-motorola");
  load_file("gm.s28", gm, 0, "-motorola");
  load_file("tail.ihex", tail, 0, "-intel");
  TestManifest loaded;
  loaded.section1 = "address = 0x8900\nimage = \"s1.hex\"\n";
  loaded.section2 = "address = 0x8A80\nimage = \"s2.s19\"\n";
  loaded.module[0] = "code = \"GM\"\ndata = \"gm.s28\"\n";
  loaded.info = "tail = \"tail.ihex\"\n";
  EXPECT_EQ(build(loaded).lines, raw.lines);

  // The format key overrides the name's.
  text("s1.dat", read("s1.hex"));
  text("gm.img", read("gm.s28"));
  binary("s2.hex", s2);
  TestManifest named;
  named.section1 = "address = 0x8900\nimage = \"s1.dat\"\nformat = \"ihex\"\n";
  named.section2 = "address = 0x8A80\nimage = \"s2.hex\"\nformat = \"binary\"\n";
  named.module[0] = "code = \"GM\"\ndata = \"gm.img\"\nformat = \"srec\"\n";
  EXPECT_EQ(build(named).lines, raw.lines);

  // What it makes is a package that the rules accept and the loader reads as the manifest says.
  EXPECT_TRUE(validate_package(raw.lines).empty());
  const LineTable table(raw.lines);
  PackageState state;
  ASSERT_TRUE(load_package(table, state).ok);
  EXPECT_EQ(state.VERSAO_PACOTE, 3);
  EXPECT_EQ(state.END_SECAO1, 0x8900u);
  EXPECT_EQ(state.END_SECAO2, 0x8A80u);
  EXPECT_EQ(state.END_MODULOS, 0xAA00u);
  EXPECT_EQ(state.LISTA_MODULOS, (std::vector<std::string>{"GM", "VW"}));
  EXPECT_EQ(raw.lines[4], "Fiat - v5.01");
  EXPECT_EQ(raw.lines[6], "Firmware Vers\xC3\xA3o v5.21");
}

// One S-record line: type, address of `address_bytes` bytes, data, checksum.
std::string s_record(int type, std::uint32_t address, int address_bytes, const Bytes& data) {
  Bytes fields{static_cast<std::uint8_t>(address_bytes + data.size() + 1)};
  for (int i = address_bytes - 1; i >= 0; --i) fields.push_back(address >> (8 * i) & 0xFF);
  fields.insert(fields.end(), data.begin(), data.end());
  unsigned sum = 0;
  for (std::uint8_t b : fields) sum += b;
  fields.push_back(static_cast<std::uint8_t>(~sum));
  return "S" + std::to_string(type) + hex_of(fields);
}

TEST_F(BuildTest, SRecordFilesAsToolchainsWriteThemGiveTheSamePackage) {
  const Build raw = build(TestManifest{});
  TestManifest loaded;
  loaded.section2 = "address = 0x8A80\nimage = \"s2.srec\"\n";
  const std::string header = s_record(0, 0, 2, {'p', 'A'});
  const Bytes first(s2.begin(), s2.begin() + 64), second(s2.begin() + 64, s2.end());
  auto lines = [&](int data, int end, int address_bytes, const std::string& eol) {
    return s_record(data, 0x8A80, address_bytes, first) + eol +
           s_record(data, 0x8AC0, address_bytes, second) + eol +
           s_record(end, 0, address_bytes, {}) + eol;
  };
  auto lower = [](std::string text) {
    for (char& c : text) c = c == 'S' ? c : static_cast<char>(std::tolower(c));
    return text;
  };
  const std::pair<const char*, std::string> files[] = {
      {"S1/S9 without S0", lines(1, 9, 2, "\n")},
      {"S0, S3/S7", header + "\n" + lines(3, 7, 4, "\n")},
      {"CRLF", header + "\r\n" + lines(1, 9, 2, "\r\n")},
      {"lower-case hex", lower(header + "\n" + lines(3, 7, 4, "\n"))},
  };
  for (const auto& [what, file] : files) {
    text("s2.srec", file);
    EXPECT_EQ(refusal(loaded), "") << what;
    EXPECT_EQ(build(loaded).lines, raw.lines) << what;
  }
}

TEST_F(BuildTest, HolesAndTheRestOfALastBlockOrPageHoldFF) {
  text("s1.hex", intel_hex({{0x8900, pattern(5, 16)}, {0x8990, pattern(6, 16)}}));
  text("gm.hex", intel_hex({{0x0000, pattern(7, 4)}, {0x0120, pattern(8, 4)}}));
  TestManifest m;
  m.section1 = "address = 0x8900\nimage = \"s1.hex\"\n";
  m.module[0] = "code = \"GM\"\ndata = \"gm.hex\"\n";
  const Build b = build(m);
  const std::vector<std::string>& lines = b.lines;
  // Lines: contents 4-6, marker 7, addresses 8-10, codes 11-12, marker 13, section 1 from 14.
  ASSERT_EQ(lines[13], "*");
  const std::string ff(2 * 128, 'F');
  EXPECT_EQ(lines[14], hex_of(pattern(5, 16)) + ff.substr(0, 2 * 112));
  EXPECT_EQ(lines[15], ff.substr(0, 2 * 16) + hex_of(pattern(6, 16)) + ff.substr(0, 2 * 96));
  EXPECT_EQ(lines[16], "*");
  // Section 2 at 17, marker 18; GM's two pages at 19 and 20.
  EXPECT_EQ(lines[19], hex_of(pattern(7, 4)) + std::string(2 * 252, 'F'));
  EXPECT_EQ(lines[20],
            std::string(2 * 32, 'F') + hex_of(pattern(8, 4)) + std::string(2 * 220, 'F'));
  EXPECT_EQ(lines[21], "*");
  EXPECT_EQ(lines[22], "*");  // VW: no data, no pages
  // The 54-byte tail lands on info block bytes 74 to 127.
  EXPECT_EQ(lines[23], std::string(2 * 74, 'F') + hex_of(tail));
  EXPECT_EQ(lines[24], "FIM");
  EXPECT_EQ(lines.size(), 25u);

  EXPECT_EQ(b.notes,
            (std::vector<std::string>{"section1: 2 blocks, 8900 to 89FF, 224 bytes filled with FF",
                                      "section2: 1 block, 8A80 to 8AFF, 0 bytes filled with FF",
                                      "module[1] GM: 2 pages from page 0, 504 bytes filled with FF",
                                      "module[2] VW: 0 pages from page 2, 0 bytes filled with FF",
                                      "info.tail: " + path("tail.bin"),
                                      "25 lines, 2 pages, 728 bytes filled with FF in all"}));

  // A raw section's last block and a raw module's last page are filled the same way.
  const Build r = build(TestManifest{});
  EXPECT_EQ(r.lines[16], hex_of(Bytes(s1.begin() + 256, s1.end())) + std::string(2 * 84, 'F'));
  EXPECT_EQ(r.lines[22], hex_of(Bytes(gm.begin() + 512, gm.end())) + std::string(2 * 168, 'F'));
  EXPECT_EQ(r.notes.front(), "section1: 3 blocks, 8900 to 8A7F, 84 bytes filled with FF");

  // A 128-byte tail is the whole line.
  binary("tail.bin", pattern(9, 128));
  EXPECT_EQ(build(TestManifest{}).lines[25], hex_of(pattern(9, 128)));
}

TEST_F(BuildTest, TheSameInputsGiveTheSameBytes) {
  load_file("s2.s19", s2, 0x8A80, "-motorola");
  TestManifest m;
  m.section2 = "address = 0x8A80\nimage = \"s2.s19\"\n";
  EXPECT_EQ(package_text(build(m).lines), package_text(build(m).lines));
}

TEST_F(BuildTest, RefusesAManifestNamingItsKeyAndLine) {
  const std::string file = manifest_path();
  TestManifest m;
  m.top = "date = \n";
  EXPECT_EQ(refusal(m),
            file + ":1:8: Error while parsing key-value pair: expected value, saw '\\n'");

  m = TestManifest{};
  m.top = "name = \"TESTE\"\nversion = 3\ncontents = []\n";
  EXPECT_EQ(refusal(m), file + ": date: missing");

  m = TestManifest{};
  m.section1 = "adress = 0x8900\nimage = \"s1.bin\"\n";
  EXPECT_EQ(refusal(m), file + ":7: section1.adress: unknown key");
  m.section1 = "image = \"s1.bin\"\n";
  EXPECT_EQ(refusal(m), file + ":6: section1.address: missing");

  m = TestManifest{};
  m.top = "date = \"01/02/2024\"\nname = \"TESTE\"\nversion = \"3\"\ncontents = []\n";
  EXPECT_EQ(refusal(m), file + ":3: version: must be an integer");
  m.top = "date = \"01/02/2024\"\nname = \"TESTE\"\nversion = 277\ncontents = []\n";
  EXPECT_EQ(refusal(m), file + ":3: version: 277 does not fit the info block's byte (0 to 255)");

  m = TestManifest{};
  m.section2 = "address = 0x10000\nimage = \"s2.bin\"\n";
  EXPECT_EQ(refusal(m),
            file + ":11: section2.address: 0x10000 is not a device address (0000 to FFFF)");
  m.section2 = "address = 0x8A80\nimage = \"s2.bin\"\nsize = 100\n";
  EXPECT_EQ(refusal(m), file + ":13: section2.size: 100 is not a whole number of 128-byte blocks");
  m.section2 = "address = 0xFF80\nimage = \"s2.bin\"\nsize = 0x100\n";
  EXPECT_EQ(refusal(m),
            file + ":13: section2.size: the section would run from FF80 to 1007F, past FFFF");
  m.section2 = "address = 0x8A80\nimage = \"s2.bin\"\nformat = \"elf\"\n";
  EXPECT_EQ(
      refusal(m),
      file + ":13: section2.format: \"elf\" is not a format (\"ihex\", \"srec\" or \"binary\")");
  m.section2 = "address = 0x8A80\nimage = \"none.hex\"\n";
  EXPECT_EQ(refusal(m), "section2.image: " + path("none.hex") + ": no such file");

  m = TestManifest{};
  m.module.assign(24, "code = \"GM\"\ndata = \"gm.bin\"\n");
  EXPECT_EQ(refusal(m), file +
                            ":109: module[24]: 24 modules, more than the 23 whose first pages "
                            "the info block can hold");
  m.module.resize(23);
  EXPECT_EQ(refusal(m), "");
}

TEST_F(BuildTest, RefusesATextTheLoaderWouldMisreadOrCut) {
  const std::string file = manifest_path();
  TestManifest m;
  m.module[1] = "code = \"*\"\ndata = \"vw.bin\"\n";
  EXPECT_EQ(refusal(m), file + ":22: module[2].code: \"*\" would be taken for a marker line");
  m.module[1] = "code = \"FIM\"\ndata = \"vw.bin\"\n";
  EXPECT_EQ(refusal(m),
            file + ":22: module[2].code: \"FIM\" would be taken for the package's end line");

  m = TestManifest{};
  m.top = "date = \"01/02/2024\"\nname = \"TESTE\"\nversion = 3\ncontents = [\"a\", \"*\"]\n";
  EXPECT_EQ(refusal(m), file + ":4: contents[2]: \"*\" would be taken for a marker line");
  m.top = "date = \"01/02/2024\"\nname = \"TESTE\"\nversion = 3\ncontents = [\"FIM\"]\n";
  EXPECT_EQ(refusal(m),
            file + ":4: contents[1]: \"FIM\" would be taken for the package's end line");
  m.top = "date = \"FIM\"\nname = \"TESTE\"\nversion = 3\ncontents = []\n";
  EXPECT_EQ(refusal(m), file + ":1: date: \"FIM\" would be taken for the package's end line");
  // A "*" in the header is read as text: only the contents and codes are searched for markers.
  m.top = "date = \"*\"\nname = \"*\"\nversion = 3\ncontents = [\"* \", \"FIM \"]\n";
  EXPECT_EQ(refusal(m), "");

  m.top = "date = \"01/02/2024\"\nname = \"TESTE\"\nversion = 3\ncontents = [\"um\\ndois\"]\n";
  EXPECT_EQ(refusal(m), file + ":4: contents[1]: a package line cannot hold a line break");

  // 1,023 UTF-16 units fit the read buffer; a character beyond U+FFFF takes two.
  m.top = "date = \"01/02/2024\"\nname = \"" + std::string(1023, 'X') +
          "\"\nversion = 3\ncontents = []\n";
  EXPECT_EQ(refusal(m), "");
  m.top = "date = \"01/02/2024\"\nname = \"" + std::string(1021, 'X') +
          "\xF0\x9F\x94\x91\"\nversion = 3\ncontents = []\n";
  EXPECT_EQ(refusal(m), "");
  m.top = "date = \"01/02/2024\"\nname = \"" + std::string(1022, 'X') +
          "\xF0\x9F\x94\x91\"\nversion = 3\ncontents = []\n";
  EXPECT_EQ(refusal(m), file +
                            ":2: name: longer than a package line may be (1024 UTF-16 units, "
                            "at most 1023)");
}

TEST_F(BuildTest, RefusesAMalformedRecordInTheReadersOwnWords) {
  const std::string good = intel_record(0, 0x8900, {0xAB});
  ASSERT_EQ(good, ":01890000ABCB\n");
  TestManifest m;
  m.section1 = "address = 0x8900\nimage = \"s1.hex\"\n";
  text("s1.hex", good + ":01890100ABCB\n" + intel_record(1, 0, {}));
  EXPECT_EQ(refusal(m), "section1.image: " + path("s1.hex") + ": 2: checksum mismatch (01 != 00)");
  text("s1.hex", good + "garbage\n" + intel_record(1, 0, {}));
  EXPECT_EQ(refusal(m),
            "section1.image: " + path("s1.hex") + ": 2: warning: ignoring garbage lines");
  text("s1.hex", good + ":0189010\n" + intel_record(1, 0, {}));
  EXPECT_EQ(refusal(m), "section1.image: " + path("s1.hex") + ": 2: hexadecimal digit expected");
  // A file cut short loses its end record.
  text("s1.hex", good);
  EXPECT_EQ(refusal(m),
            "section1.image: " + path("s1.hex") + ": 2: warning: no end-of-file record");

  text("s1.hex", good + intel_record(1, 0, {}));
  load_file("s2.s19", s2, 0x8A80, "-motorola");
  std::string s19 = read("s2.s19");
  const std::size_t second = s19.find('\n') + 1;  // the first data record, line 2
  const std::size_t end = s19.find('\n', second);
  s19[end - 1] = s19[end - 1] == '0' ? '1' : '0';
  text("s2.s19", s19);
  m.section2 = "address = 0x8A80\nimage = \"s2.s19\"\n";
  const std::string refused = refusal(m);
  EXPECT_EQ(refused.substr(0, refused.find('(')),
            "section2.image: " + path("s2.s19") + ": 2: checksum mismatch ");

  // Without srecord's converter an S-record file cannot be read.
  load_file("s2.s19", s2, 0x8A80, "-motorola");
  const std::string saved = std::getenv("PATH");
  setenv("PATH", "/nonexistent", 1);
  const std::string without = refusal(m);
  setenv("PATH", saved.c_str(), 1);
  EXPECT_EQ(without, "section2.image: " + path("s2.s19") +
                         ": srec_cat (Debian package srecord) is needed to read S-record files");
}

TEST_F(BuildTest, RefusesDataOutsideItsPlaceNamingTheRecordAndTheAddress) {
  const std::string file = manifest_path();
  const std::string s1hex = "section1.image: " + path("s1.hex") + ": ";
  TestManifest m;
  m.section1 = "address = 0x8900\nimage = \"s1.hex\"\n";

  text("s1.hex", intel_hex({{0x8900, pattern(1, 16)}, {0x88F8, pattern(2, 16)}}));
  EXPECT_EQ(refusal(m), s1hex +
                            "2: data at 88F8 lie before the section's address 8900 "
                            "(section1.address)");
  text("s1.hex", intel_hex({{0x8900, pattern(1, 16)}, {0x18000, pattern(2, 16)}}));
  EXPECT_EQ(refusal(m), s1hex + "3: data at 18000 lie past device address FFFF");
  text("s1.hex", intel_hex({{0x8900, pattern(1, 16)}, {0x8908, pattern(2, 16)}}));
  EXPECT_EQ(refusal(m), s1hex + "2: data at 8908 given twice (also by " + path("s1.hex") + ": 1)");
  m.section1 = "address = 0x7F00\nimage = \"s1.hex\"\n";
  text("s1.hex", intel_hex({{0x7F00, pattern(1, 16)}, {0x8070, pattern(2, 32)}}));
  EXPECT_EQ(refusal(m), s1hex +
                            "2: data at 8070 lie on the info block (8000 to 807F), which the "
                            "update writes last");
  // Only the fill of a block would land there.
  text("s1.hex", intel_hex({{0x7F00, pattern(1, 16)}, {0x8080, pattern(2, 16)}}));
  EXPECT_EQ(refusal(m),
            "section1: its block at 8000 would lie on the info block (8000 to 807F), "
            "which the update writes last");

  m.section1 = "address = 0x8900\nimage = \"s1.hex\"\nsize = 0x100\n";
  text("s1.hex", intel_hex({{0x8900, pattern(1, 16)}, {0x89F8, pattern(2, 16)}}));
  EXPECT_EQ(refusal(m), s1hex +
                            "2: data at 8A00 lie outside the section's range 8900 to 89FF "
                            "(section1.size)");

  // An S-record file is read through its conversion: the file and the address tell where.
  m.section1 = "address = 0x8900\nimage = \"s1.bin\"\n";
  m.section2 = "address = 0x8A80\nimage = \"s2.s19\"\n";
  load_file("s2.s19", pattern(2, 32), 0x8A70, "-motorola");
  EXPECT_EQ(refusal(m), "section2.image: " + path("s2.s19") +
                            ": data at 8A70 lie before the section's address 8A80 "
                            "(section2.address)");
  m.section2 = TestManifest{}.section2;

  // Raw binary: the file is the record, the device address tells where.
  const std::string s1bin = "section1.image: " + path("s1.bin") + ": ";
  m.section1 = "address = 0xFF00\nimage = \"s1.bin\"\n";
  EXPECT_EQ(refusal(m), s1bin + "data at 10000 lie past device address FFFF");
  m.section1 = "address = 0x7F80\nimage = \"s1.bin\"\n";
  EXPECT_EQ(refusal(m), s1bin +
                            "data at 8000 lie on the info block (8000 to 807F), which the "
                            "update writes last");
  binary("s1.bin", pattern(1, 64));
  m.section1 = "address = 0xFFC0\nimage = \"s1.bin\"\n";
  EXPECT_EQ(refusal(m),
            "section1: its last block, at FFC0, would run past device address FFFF "
            "(blocks are 128 bytes from FFC0)");

  binary("s1.bin", s1);
  m.section1 = "address = 0x8900\nimage = \"s1.bin\"\n";
  m.section2 = "address = 0x8A00\nimage = \"s2.bin\"\n";
  EXPECT_EQ(refusal(m),
            "section1 (8900 to 8A7F) and section2 (8A00 to 8A7F) overlap at 8A00 to "
            "8A7F");
  // Side by side is no overlap, in either order.
  m.section2 = "address = 0x8880\nimage = \"s2.bin\"\n";
  EXPECT_EQ(refusal(m), "");
}

TEST_F(BuildTest, RefusesAModuleAreaWhoseEraseWouldWipeWhatTheUpdateWrote) {
  const std::string file = manifest_path();
  TestManifest m;
  m.modules = "address = 0x8A10\n";
  EXPECT_EQ(refusal(m), file +
                            ": modules.address: 8A10 lies in section1's block at 8A00, which "
                            "the erase of the module area would wipe after it is written");
  m.modules = "address = 0x8A80\n";
  EXPECT_EQ(refusal(m), file +
                            ": modules.address: 8A80 lies in section2's block at 8A80, which "
                            "the erase of the module area would wipe after it is written");
  m.modules = "address = 0x8040\n";
  EXPECT_EQ(refusal(m), file +
                            ": modules.address: 8040 lies on the info block (8000 to 807F): "
                            "the erase of the module area would leave the device without one "
                            "until the update ends");
  m.modules = "address = 0x8B00\n";  // just past section 2's block
  EXPECT_EQ(refusal(m), "");
}

TEST_F(BuildTest, RefusesWhatPageAndLineNumbersCannotReach) {
  // Page numbers are 16-bit: pages 0 to 65534, and 65535 pages counted in the info block.
  TestManifest m;
  m.module[0] = "code = \"GM\"\ndata = \"gm.hex\"\n";
  text("gm.hex", intel_hex({{0, pattern(1, 16)}, {0xFFFF00, pattern(2, 16)}}));
  EXPECT_EQ(refusal(m), "module[1].data: " + path("gm.hex") +
                            ": 3: data from offset FFFF00 would reach page 65535: page numbers are "
                            "16-bit, and a package holds at most 65,535 pages (pages 0 to 65534)");
  // The pages of the modules before count: the second module starts on page 3.
  m.module[1] = "code = \"VW\"\ndata = \"vw.hex\"\n";
  m.module[0] = "code = \"GM\"\ndata = \"gm.bin\"\n";
  text("vw.hex", intel_hex({{0xFFFC00, pattern(2, 16)}}));
  EXPECT_EQ(refusal(m), "module[2].data: " + path("vw.hex") +
                            ": 2: data from offset FFFC00 would reach page 65535: page numbers are "
                            "16-bit, and a package holds at most 65,535 pages (pages 0 to 65534)");

  // The default package has 24 lines besides its contents lines.
  m = TestManifest{};
  std::string contents = "contents = [";
  for (int i = 0; i < 65512; ++i) contents += "\"\",";
  m.top = "date = \"01/02/2024\"\nname = \"TESTE\"\nversion = 3\n" + contents + "]\n";
  EXPECT_EQ(build(m).lines.size(), 65536u);
  m.top = "date = \"01/02/2024\"\nname = \"TESTE\"\nversion = 3\n" + contents + "\"\"]\n";
  EXPECT_EQ(refusal(m), manifest_path() +
                            ": the package would have 65537 lines, more than the "
                            "65,536 that line numbers reach (0 to 65535)");
}

TEST_F(BuildTest, RefusesAnInfoTailOfAnotherSize) {
  TestManifest m;
  binary("tail.bin", pattern(4, 60));
  EXPECT_EQ(refusal(m), "info.tail: " + path("tail.bin") +
                            " holds 60 bytes: an info tail is 54 bytes (info block bytes 74 to "
                            "127) or the whole 128-byte block, of which only those are read");
  binary("tail.bin", {});
  EXPECT_EQ(refusal(m), "info.tail: " + path("tail.bin") +
                            " holds 0 bytes: an info tail is 54 bytes (info block bytes 74 to "
                            "127) or the whole 128-byte block, of which only those are read");
  m.info = "tail = \"tail.hex\"\n";
  text("tail.hex", intel_hex({{0, pattern(1, 54)}, {0xC8, pattern(2, 4)}}));
  EXPECT_EQ(refusal(m), "info.tail: " + path("tail.hex") +
                            ": 2: data at offset 00C8 lie past the 128 bytes of the info block");
}

}  // namespace
}  // namespace patu::pkg::testing
