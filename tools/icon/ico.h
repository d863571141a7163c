#pragma once
// The icon file of a set of images, and a PNG of one: byte for byte the same for the same
// images, wherever they are written.

#include <cstdint>
#include <vector>

#include "tools/icon/glyph.h"

namespace patu::icon {

// A PNG of `image`: 8-bit RGBA, not interlaced, no chunk but IHDR, IDAT and IEND.
std::vector<std::uint8_t> png(const Image& image);
// An icon file with one entry per image, in order: 32-bit bitmaps with their mask up to 64
// pixels, PNG from 256 (Windows takes PNG entries from Vista on; XP would need a bitmap).
std::vector<std::uint8_t> ico(const std::vector<Image>& images);

}  // namespace patu::icon
