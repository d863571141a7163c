// The load configuration of a built pATU.exe, read back from the file:
//   pe_load_config_check EXE
// Its directory is present and points at a structure that lies inside one section's file
// data, whose own Size field is the directory's size, and whose DependentLoadFlags keeps the
// DLLs that the program's DLLs import to the system folder. An x86 program's structure must
// end before the SafeSEH fields: a table read from there would decide which exception
// handlers may run.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/pe-load-config/pe.h"

namespace {

std::string g_exe;

// DependentLoadFlags in the 64-bit and the 32-bit structure; where the 32-bit one's
// SEHandlerTable begins.
constexpr std::uint32_t kDependentLoadFlags64 = 0x4E;
constexpr std::uint32_t kDependentLoadFlags32 = 0x36;
constexpr std::uint32_t kSafeSehFields32 = 0x40;
constexpr std::uint16_t kSearchSystem32 = 0x800;  // LOAD_LIBRARY_SEARCH_SYSTEM32

TEST(LoadConfig, DirectoryPointsAtAWellFormedStructureThatSearchesTheSystemFolderOnly) {
  std::ifstream in(g_exe, std::ios::binary);
  ASSERT_TRUE(in) << g_exe << ": cannot read it (build it first)";
  std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
  std::string error;
  const auto image = patu::pe::Image::parse(std::move(bytes), error);
  ASSERT_TRUE(image) << error;
  const std::uint32_t flags_offset =
      image->pe32_plus() ? kDependentLoadFlags64 : kDependentLoadFlags32;

  const auto directory = image->directory(patu::pe::kLoadConfigDirectory);
  ASSERT_TRUE(directory) << "the image has no load-configuration entry";
  ASSERT_NE(directory->rva, 0u) << "the load-configuration directory is empty";
  ASSERT_GE(directory->size, flags_offset + 2) << "too short for the field";
  if (!image->pe32_plus()) {
    EXPECT_LE(directory->size, kSafeSehFields32) << "an x86 structure with the SafeSEH fields";
  }

  const patu::pe::Section* section = image->section_holding(directory->rva, directory->size);
  ASSERT_NE(section, nullptr) << "the structure does not lie inside any section";
  const std::size_t start = *image->file_offset(directory->rva, directory->size);
  EXPECT_EQ(image->u32(start), directory->size) << "its Size field against the directory's";
  EXPECT_EQ(image->u16(start + flags_offset), kSearchSystem32);
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
