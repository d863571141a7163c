#pragma once
// pATU's icon: the device, navy with its yellow screen and two keys, and a yellow arrow going
// down into it. Drawn from shapes on a 16-unit square, so that every size is drawn afresh
// rather than scaled from another, and covered sample by sample for smooth edges.

#include <cstdint>
#include <vector>

namespace patu::icon {

// The sizes the program's icon carries, smallest first.
inline constexpr int kSizes[] = {16, 20, 24, 32, 40, 48, 64, 256};

// `size` x `size` pixels, rows top down, each pixel R, G, B, A, not premultiplied.
struct Image {
  int size = 0;
  std::vector<std::uint8_t> rgba;
  std::uint32_t pixel(int x, int y) const;  // 0xRRGGBBAA
};

Image draw(int size);

}  // namespace patu::icon
