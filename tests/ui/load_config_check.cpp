// The load configuration of a built pATU.exe, read back from the file:
//   pe_load_config_check EXE
// Its directory is present and points at a structure that lies inside one section's file
// data, whose own Size field is the directory's size, and whose DependentLoadFlags has the
// program's statically linked imports searched for in the system folder only. An x86
// program's structure must end before the SafeSEH fields, and the 8 bytes where they would
// stand must be zero: a table read from there would decide which exception handlers may run.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
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

std::optional<patu::pe::Image> read_image() {
  std::ifstream in(g_exe, std::ios::binary);
  if (!in) {
    ADD_FAILURE() << g_exe << ": cannot read it (build it first)";
    return std::nullopt;
  }
  std::string error;
  auto image = patu::pe::Image::parse({std::istreambuf_iterator<char>(in), {}}, error);
  if (!image) ADD_FAILURE() << error;
  return image;
}

TEST(LoadConfig, DirectoryPointsAtAWellFormedStructureThatSearchesTheSystemFolderOnly) {
  const auto image = read_image();
  ASSERT_TRUE(image);
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

// Loaders have read SEHandlerTable and SEHandlerCount past a structure that ends before them.
TEST(LoadConfig, X86StructureIsFollowedByNoSafeSehTable) {
  const auto image = read_image();
  ASSERT_TRUE(image);
  if (image->pe32_plus()) GTEST_SKIP() << "an x86-64 structure holds these fields itself";
  const auto directory = image->directory(patu::pe::kLoadConfigDirectory);
  ASSERT_TRUE(directory && directory->rva != 0) << "no load configuration";
  const patu::pe::Section* section = image->section_holding(directory->rva, directory->size);
  ASSERT_NE(section, nullptr) << "the structure does not lie inside any section";
  const std::size_t after = *image->file_offset(directory->rva, directory->size) + kSafeSehFields32;
  ASSERT_LE(after + 8, std::size_t{section->raw_offset} + section->raw_size)
      << "the 8 bytes after the structure lie outside its section's file data";
  EXPECT_EQ(image->u32(after), 0u) << "SEHandlerTable";
  EXPECT_EQ(image->u32(after + 4), 0u) << "SEHandlerCount";
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
