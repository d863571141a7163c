// pATU's icon as the build writes it: the glyph at every size, the icon file's layout read
// back entry by entry, the PNG decoded again, and the same bytes at every run.

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/icon/glyph.h"
#include "tools/icon/ico.h"

namespace patu::icon {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t le16(const Bytes& b, std::size_t at) { return b[at] | b[at + 1] << 8; }
std::uint32_t le32(const Bytes& b, std::size_t at) { return le16(b, at) | le16(b, at + 2) << 16; }
std::uint32_t be32(const Bytes& b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3];
}

constexpr std::uint32_t kNavy = 0x000080FF;
constexpr std::uint32_t kYellow = 0xFFFF00FF;

// The pixel at (x, y) given in sixteenths of the image.
std::uint32_t at(const Image& image, double x16, double y16) {
  return image.pixel(static_cast<int>(x16 * image.size / 16),
                     static_cast<int>(y16 * image.size / 16));
}

TEST(IconGlyph, ReadsTheSameAtEverySize) {
  for (int size : kSizes) {
    SCOPED_TRACE(size);
    const Image image = draw(size);
    ASSERT_EQ(image.rgba.size(), static_cast<std::size_t>(size * size * 4));
    EXPECT_EQ(at(image, 3.1, 12.1), kNavy) << "the device";
    EXPECT_EQ(at(image, 8.2, 2.2), kYellow) << "the arrow's shaft";
    EXPECT_EQ(at(image, 8, 6), kYellow) << "the arrow's head, inside the device";
    EXPECT_EQ(at(image, 8, 10), 0xFFFFCCFF) << "the screen";
    EXPECT_EQ(at(image, 5.5, 13.5), 0xFFFFFFFF) << "a key";
    EXPECT_EQ(image.pixel(0, 0) & 0xFF, 0u) << "transparent corner";
    EXPECT_EQ(image.pixel(size - 1, 0) & 0xFF, 0u);
    EXPECT_EQ(image.pixel(0, size - 1) & 0xFF, 0u) << "rounded corner of the device";
    // Smooth edges: some pixels part covered, never a colour outside the glyph's own range.
    int partly = 0;
    for (int y = 0; y < size; ++y) {
      for (int x = 0; x < size; ++x) {
        const std::uint32_t a = image.pixel(x, y) & 0xFF;
        partly += a > 0 && a < 255;
      }
    }
    EXPECT_GT(partly, size / 2);
  }
  EXPECT_EQ(draw(32).rgba, draw(32).rgba);
}

TEST(IconFile, HoldsEverySizeAsBitmapsAndAPngReadBackExactly) {
  std::vector<Image> images;
  for (int size : kSizes) images.push_back(draw(size));
  const Bytes file = ico(images);
  EXPECT_EQ(file, ico(images)) << "the same bytes every time";
  ASSERT_GE(file.size(), 6u);
  EXPECT_EQ(le16(file, 0), 0u);
  EXPECT_EQ(le16(file, 2), 1u);
  ASSERT_EQ(le16(file, 4), images.size());

  std::size_t expected_offset = 6 + 16 * images.size();
  for (std::size_t i = 0; i < images.size(); ++i) {
    const Image& image = images[i];
    const int n = image.size;
    SCOPED_TRACE(n);
    const std::size_t entry = 6 + 16 * i;
    EXPECT_EQ(file[entry], n == 256 ? 0 : n);
    EXPECT_EQ(file[entry + 1], n == 256 ? 0 : n);
    EXPECT_EQ(le16(file, entry + 4), 1u);
    EXPECT_EQ(le16(file, entry + 6), 32u);
    const std::uint32_t bytes = le32(file, entry + 8);
    const std::uint32_t offset = le32(file, entry + 12);
    ASSERT_EQ(offset, expected_offset) << "entries follow each other";
    ASSERT_LE(offset + bytes, file.size());
    expected_offset += bytes;
    const Bytes data(file.begin() + offset, file.begin() + offset + bytes);

    if (n < 256) {
      ASSERT_EQ(le32(data, 0), 40u);
      EXPECT_EQ(le32(data, 4), static_cast<std::uint32_t>(n));
      EXPECT_EQ(le32(data, 8), static_cast<std::uint32_t>(2 * n));
      EXPECT_EQ(le16(data, 14), 32u);
      const std::size_t mask_row = (n + 31) / 32 * 4;
      ASSERT_EQ(data.size(), 40 + static_cast<std::size_t>(n * n * 4) + mask_row * n);
      for (int y = 0; y < n; ++y) {
        const std::size_t row = 40 + static_cast<std::size_t>(n - 1 - y) * n * 4;  // bottom up
        const std::size_t mask = 40 + static_cast<std::size_t>(n * n * 4) + (n - 1 - y) * mask_row;
        for (int x = 0; x < n; ++x) {
          const std::size_t p = row + static_cast<std::size_t>(x) * 4;
          const std::uint32_t bgra_as_rgba = static_cast<std::uint32_t>(data[p + 2]) << 24 |
                                             data[p + 1] << 16 | data[p] << 8 | data[p + 3];
          ASSERT_EQ(bgra_as_rgba, image.pixel(x, y)) << x << "," << y;
          const bool masked = data[mask + x / 8] & (0x80 >> (x % 8));
          ASSERT_EQ(masked, (image.pixel(x, y) & 0xFF) == 0) << x << "," << y;
        }
      }
    } else {
      const Bytes signature{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
      ASSERT_EQ(Bytes(data.begin(), data.begin() + 8), signature);
      // Chunks: each CRC right, IHDR first, the image data inflated back to the pixels.
      Bytes packed;
      std::vector<std::string> types;
      for (std::size_t c = 8; c < data.size();) {
        const std::uint32_t length = be32(data, c);
        types.emplace_back(data.begin() + c + 4, data.begin() + c + 8);
        EXPECT_EQ(be32(data, c + 8 + length),
                  crc32(0, data.data() + c + 4, static_cast<uInt>(length + 4)));
        if (types.back() == "IHDR") {
          EXPECT_EQ(be32(data, c + 8), 256u);
          EXPECT_EQ(be32(data, c + 12), 256u);
          EXPECT_EQ(data[c + 16], 8);
          EXPECT_EQ(data[c + 17], 6) << "RGBA";
        }
        if (types.back() == "IDAT")
          packed.insert(packed.end(), data.begin() + c + 8, data.begin() + c + 8 + length);
        c += 12 + length;
      }
      EXPECT_EQ(types, (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));
      Bytes raw(static_cast<std::size_t>(n) * (1 + n * 4));
      uLongf raw_size = static_cast<uLongf>(raw.size());
      ASSERT_EQ(uncompress(raw.data(), &raw_size, packed.data(), static_cast<uLong>(packed.size())),
                Z_OK);
      ASSERT_EQ(raw_size, raw.size());
      for (int y = 0; y < n; ++y) {
        const std::size_t row = static_cast<std::size_t>(y) * (1 + n * 4);
        ASSERT_EQ(raw[row], 0) << "row " << y << " unfiltered";
        ASSERT_TRUE(std::equal(raw.begin() + row + 1, raw.begin() + row + 1 + n * 4,
                               image.rgba.begin() + static_cast<std::ptrdiff_t>(y) * n * 4))
            << "row " << y;
      }
      EXPECT_LT(data.size(), 20000u) << "the flat glyph packs small";
    }
  }
  EXPECT_EQ(expected_offset, file.size());
}

// The picture of the icon that the README and the guide show is the icon as drawn today.
TEST(IconFile, TheDocumentationShowsTheIconAsDrawn) {
  std::ifstream in(PATU_DOCS_ICON, std::ios::binary);
  ASSERT_TRUE(in) << PATU_DOCS_ICON;
  const Bytes shown{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  EXPECT_TRUE(shown == png(draw(96)))
      << "redraw it: build/native/tools/icon/patu-icon /dev/null docs/icon.png 96";
}

}  // namespace
}  // namespace patu::icon
