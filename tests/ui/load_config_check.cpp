// The load configuration of a built pATU.exe, read back from the file:
//   pe_load_config_check EXE
// Its directory is present and points at a structure that lies inside one section's file
// data, whose own Size field is the directory's size, and whose DependentLoadFlags keeps the
// DLLs that the program's DLLs import to the system folder.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/pe-load-config/pe.h"

namespace {

std::string g_exe;

constexpr std::uint32_t kDependentLoadFlagsOffset = 0x4E;  // in the 64-bit structure
constexpr std::uint16_t kSearchSystem32 = 0x800;           // LOAD_LIBRARY_SEARCH_SYSTEM32

TEST(LoadConfig, DirectoryPointsAtAWellFormedStructureThatSearchesTheSystemFolderOnly) {
  std::ifstream in(g_exe, std::ios::binary);
  ASSERT_TRUE(in) << g_exe << ": cannot read it (build it first)";
  std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
  std::string error;
  const auto image = patu::pe::Image::parse(std::move(bytes), error);
  ASSERT_TRUE(image) << error;
  ASSERT_TRUE(image->pe32_plus()) << "an x86-64 program";

  const auto directory = image->directory(patu::pe::kLoadConfigDirectory);
  ASSERT_TRUE(directory) << "the image has no load-configuration entry";
  ASSERT_NE(directory->rva, 0u) << "the load-configuration directory is empty";
  ASSERT_GE(directory->size, kDependentLoadFlagsOffset + 2) << "too short for the field";

  const patu::pe::Section* section = image->section_holding(directory->rva, directory->size);
  ASSERT_NE(section, nullptr) << "the structure does not lie inside any section";
  const std::size_t start = *image->file_offset(directory->rva, directory->size);
  EXPECT_EQ(image->u32(start), directory->size) << "its Size field against the directory's";
  EXPECT_EQ(image->u16(start + kDependentLoadFlagsOffset), kSearchSystem32);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s EXE\n", argv[0]);
    return 2;
  }
  g_exe = argv[1];
  return RUN_ALL_TESTS();
}
