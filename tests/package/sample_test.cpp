// The shipped package's sources: the sample's manifest and images, as the generator writes
// them, and the package that `build` makes of them.
#include "tools/package-tool/sample.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "package/lines.h"
#include "package/validator.h"
#include "tools/package-tool/builder.h"
#include "tools/package-tool/manifest.h"

namespace patu::pkg {
namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Every file under `dir`, by its path relative to `dir`.
std::set<fs::path> files_under(const fs::path& dir) {
  std::set<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file()) files.insert(fs::relative(entry.path(), dir));
  }
  return files;
}

TEST(PackageSample, TheGeneratorWritesTheCommittedSampleByteForByte) {
  const fs::path written = fs::path(::testing::TempDir()) / "patu-sample";
  fs::remove_all(written);
  write_sample(written);
  const std::set<fs::path> files = files_under(written);
  EXPECT_EQ(files, files_under(PATU_SAMPLE_DIR));
  EXPECT_EQ(files.size(), 22u);  // manifest, 2 firmware images, 18 modules, the tail
  for (const fs::path& file : files) {
    EXPECT_TRUE(read_file(written / file) == read_file(fs::path(PATU_SAMPLE_DIR) / file))
        << file << ": regenerate resources/pacote with `patu-package sample`";
  }
  fs::remove_all(written);
}

TEST(PackageSample, BuildMakesTheShippedPackageByteForByte) {
  const Build build = build_package(read_manifest(fs::path(PATU_SAMPLE_DIR) / "manifest.toml"));
  const std::string committed = read_file(PATU_PACKAGE_FILE);
  const std::string built = package_text(build.lines);
  ASSERT_EQ(built.size(), committed.size());
  EXPECT_TRUE(built == committed) << "rebuild resources/pacote.txt from resources/pacote";
  EXPECT_TRUE(validate_package(build.lines).empty());
  EXPECT_EQ(build.notes.back(), "665 lines, 509 pages, 0 bytes filled with FF in all");
}

}  // namespace
}  // namespace patu::pkg
