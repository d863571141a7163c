#include "package/hex.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace patu {
namespace {

TEST(HexParaInt, ReadsRecognisedDigitsAsOneNumber) {
  EXPECT_EQ(HEX_PARA_INT(""), 0u);
  EXPECT_EQ(HEX_PARA_INT("0"), 0u);
  EXPECT_EQ(HEX_PARA_INT("F"), 15u);
  EXPECT_EQ(HEX_PARA_INT("FF"), 255u);
  EXPECT_EQ(HEX_PARA_INT("100"), 256u);
  EXPECT_EQ(HEX_PARA_INT("AA00"), 43520u);
  EXPECT_EQ(HEX_PARA_INT("8A80"), 35456u);
  EXPECT_EQ(HEX_PARA_INT("0000000000000001"), 1u);  // leading zeros take no room
}

TEST(HexParaInt, EverySingleCharacterIsADigitOrNothing) {
  for (int c = 0; c < 256; ++c) {
    const std::string text(1, static_cast<char>(c));
    std::uint64_t expected = 0;
    if (c >= '0' && c <= '9') expected = static_cast<std::uint64_t>(c - '0');
    if (c >= 'A' && c <= 'F') expected = static_cast<std::uint64_t>(c - 'A' + 10);
    EXPECT_EQ(HEX_PARA_INT(text), expected) << "character " << c;
  }
}

TEST(HexParaInt, SkippedCharactersLetTheDigitsCloseUp) {
  EXPECT_EQ(HEX_PARA_INT("8a80"), 0x880u);  // lower case is no digit
  EXPECT_EQ(HEX_PARA_INT("a5"), 5u);
  EXPECT_EQ(HEX_PARA_INT("1 2"), 0x12u);
  EXPECT_EQ(HEX_PARA_INT("1:2"), 0x12u);
  EXPECT_EQ(HEX_PARA_INT(":;<=>?@"), 0u);  // between '9' and 'A'
  EXPECT_EQ(HEX_PARA_INT("G"), 0u);
  EXPECT_EQ(HEX_PARA_INT("\xC3\xA3"
                         "7"),
            7u);  // non-ASCII bytes too
  EXPECT_EQ(HEX_PARA_INT(std::string("1\0"
                                     "2",
                                     3)),
            0x12u);
}

TEST(HexParaInt, LongTextsKeepTheLowSixtyFourBits) {
  EXPECT_EQ(HEX_PARA_INT(std::string(15, 'F')), (std::uint64_t{1} << 60) - 1);
  EXPECT_EQ(HEX_PARA_INT(std::string(16, 'F')), UINT64_MAX);
  EXPECT_EQ(HEX_PARA_INT("8000000000000000"), std::uint64_t{1} << 63);
  EXPECT_EQ(HEX_PARA_INT("1" + std::string(16, '0')), 0u);
  EXPECT_EQ(HEX_PARA_INT("123456789ABCDEF01"), 0x23456789ABCDEF01u);
  EXPECT_EQ(HEX_PARA_INT(std::string(40, 'F') + "12"), 0xFFFFFFFFFFFFFF12u);
}

}  // namespace
}  // namespace patu
