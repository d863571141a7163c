// patu-icon: writes pATU's icon file, and a PNG of one size for the documentation.
//   patu-icon ICO_FILE [PNG_FILE SIZE]

#include <cstdio>
#include <fstream>
#include <string>

#include "tools/icon/glyph.h"
#include "tools/icon/ico.h"

namespace {

bool write(const char* path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 4) {
    std::fprintf(stderr, "usage: patu-icon ICO_FILE [PNG_FILE SIZE]\n");
    return 2;
  }
  std::vector<patu::icon::Image> images;
  for (int size : patu::icon::kSizes) images.push_back(patu::icon::draw(size));
  if (!write(argv[1], patu::icon::ico(images))) {
    std::fprintf(stderr, "patu-icon: cannot write %s\n", argv[1]);
    return 1;
  }
  if (argc == 4) {
    const int size = std::stoi(argv[3]);
    if (size < 1 || size > 1024 || !write(argv[2], patu::icon::png(patu::icon::draw(size)))) {
      std::fprintf(stderr, "patu-icon: cannot write a %s-pixel PNG to %s\n", argv[3], argv[2]);
      return 1;
    }
  }
  return 0;
}
