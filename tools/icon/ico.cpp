#include "tools/icon/ico.h"

#include <zlib.h>

#include <stdexcept>
#include <string_view>

namespace patu::icon {
namespace {

using Bytes = std::vector<std::uint8_t>;

void le16(Bytes& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void le32(Bytes& out, std::uint32_t v) {
  le16(out, v & 0xFFFF);
  le16(out, v >> 16);
}
void be32(Bytes& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

void chunk(Bytes& out, std::string_view type, const Bytes& data) {
  be32(out, static_cast<std::uint32_t>(data.size()));
  Bytes body(type.begin(), type.end());
  body.insert(body.end(), data.begin(), data.end());
  out.insert(out.end(), body.begin(), body.end());
  be32(out, static_cast<std::uint32_t>(crc32(0, body.data(), static_cast<uInt>(body.size()))));
}

// The bitmap of an icon entry: the header (twice the height: image and mask), the pixels
// bottom up in B, G, R, A, then the mask (set where the pixel is fully transparent), its rows
// padded to four bytes.
Bytes bitmap(const Image& image) {
  const int n = image.size;
  const int mask_row = (n + 31) / 32 * 4;
  Bytes out;
  le32(out, 40);
  le32(out, n);
  le32(out, 2 * n);
  le16(out, 1);
  le16(out, 32);
  le32(out, 0);  // BI_RGB
  le32(out, static_cast<std::uint32_t>(n * n * 4 + mask_row * n));
  for (int i = 0; i < 4; ++i) le32(out, 0);
  for (int y = n - 1; y >= 0; --y) {
    for (int x = 0; x < n; ++x) {
      const std::uint8_t* p = &image.rgba[(static_cast<std::size_t>(y) * n + x) * 4];
      out.insert(out.end(), {p[2], p[1], p[0], p[3]});
    }
  }
  for (int y = n - 1; y >= 0; --y) {
    Bytes row(static_cast<std::size_t>(mask_row), 0);
    for (int x = 0; x < n; ++x) {
      if (image.rgba[(static_cast<std::size_t>(y) * n + x) * 4 + 3] == 0) {
        row[static_cast<std::size_t>(x / 8)] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
      }
    }
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

}  // namespace

std::vector<std::uint8_t> png(const Image& image) {
  const int n = image.size;
  Bytes raw;
  for (int y = 0; y < n; ++y) {
    raw.push_back(0);  // no filter
    const auto row = image.rgba.begin() + static_cast<std::ptrdiff_t>(y) * n * 4;
    raw.insert(raw.end(), row, row + n * 4);
  }
  uLongf packed_size = compressBound(static_cast<uLong>(raw.size()));
  Bytes packed(packed_size);
  if (compress2(packed.data(), &packed_size, raw.data(), static_cast<uLong>(raw.size()), 9) !=
      Z_OK) {
    throw std::runtime_error("zlib could not compress the image");
  }
  packed.resize(packed_size);

  Bytes out{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes header;
  be32(header, static_cast<std::uint32_t>(n));
  be32(header, static_cast<std::uint32_t>(n));
  header.insert(header.end(), {8, 6, 0, 0, 0});  // 8 bits, RGBA, deflate, no filter, no interlace
  chunk(out, "IHDR", header);
  chunk(out, "IDAT", packed);
  chunk(out, "IEND", {});
  return out;
}

std::vector<std::uint8_t> ico(const std::vector<Image>& images) {
  std::vector<Bytes> entries;
  for (const Image& image : images)
    entries.push_back(image.size >= 256 ? png(image) : bitmap(image));
  Bytes out;
  le16(out, 0);
  le16(out, 1);  // icon
  le16(out, static_cast<std::uint32_t>(images.size()));
  std::uint32_t offset = 6 + 16 * static_cast<std::uint32_t>(images.size());
  for (std::size_t i = 0; i < images.size(); ++i) {
    const int n = images[i].size;
    out.push_back(static_cast<std::uint8_t>(n >= 256 ? 0 : n));  // 0 stands for 256
    out.push_back(static_cast<std::uint8_t>(n >= 256 ? 0 : n));
    out.push_back(0);  // no palette
    out.push_back(0);
    le16(out, 1);   // planes
    le16(out, 32);  // bits per pixel
    le32(out, static_cast<std::uint32_t>(entries[i].size()));
    le32(out, offset);
    offset += static_cast<std::uint32_t>(entries[i].size());
  }
  for (const Bytes& entry : entries) out.insert(out.end(), entry.begin(), entry.end());
  return out;
}

}  // namespace patu::icon
