#include "tools/package-generator/generator.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "package/lines.h"
#include "package/validator.h"

namespace patu {
namespace {

TEST(PackageGenerator, ReproducesTheCommittedPackageByteForByte) {
  std::ifstream in(PATU_PACKAGE_FILE, std::ios::binary);
  ASSERT_TRUE(in) << PATU_PACKAGE_FILE;
  std::ostringstream committed;
  committed << in.rdbuf();
  const std::string generated = generate_package_text();
  ASSERT_EQ(generated.size(), committed.str().size());
  EXPECT_TRUE(generated == committed.str()) << "regenerate resources/pacote.txt";
  EXPECT_TRUE(validate_package(split_package_text(generated)).empty());
}

}  // namespace
}  // namespace patu
