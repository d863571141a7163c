// patu-image-check PACKAGE DUMP: does the device whose dump this is hold exactly what a
// complete update with PACKAGE leaves? Exit 0 when it does, 1 when it does not, 2 when the
// files cannot be read.

#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "package/lines.h"
#include "tools/emulator/dump_read.h"
#include "tools/emulator/image_check.h"

namespace {

bool slurp(const char* path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  text = content.str();
  return static_cast<bool>(in);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: patu-image-check PACKAGE DUMP\n";
    return 2;
  }
  std::string package_text, dump_text, error;
  if (!slurp(argv[1], package_text) || !slurp(argv[2], dump_text)) {
    std::cerr << "patu-image-check: cannot read " << argv[1] << " or " << argv[2] << "\n";
    return 2;
  }
  const auto dump = patu::emu::parse_dump(dump_text, &error);
  if (!dump) {
    std::cerr << "patu-image-check: " << argv[2] << ": " << error << "\n";
    return 2;
  }
  patu::emu::DeviceImage image;
  try {
    image = patu::emu::expected_image(patu::split_package_text(package_text), dump->initial_info);
  } catch (const std::exception& e) {
    std::cerr << "patu-image-check: " << argv[1] << ": " << e.what() << "\n";
    return 2;
  }
  const auto differences = patu::emu::image_differences(image, *dump);
  if (differences.empty()) {
    std::cout << "device image: as expected (" << image.blocks.size() - 1 << " firmware blocks, "
              << image.pages.size() << " module pages, the info block, finalized)\n";
    return 0;
  }
  std::cout << "device image: " << differences.size() << " differences\n";
  for (const std::string& d : differences) std::cout << "  " << d << "\n";
  return 1;
}
