#pragma once
// What a device must hold after a complete update with a package, worked out from the
// package text on its own, independently of the updater, and the check of a dump against it.

#include <map>
#include <string>
#include <vector>

#include "link/protocol.h"
#include "tools/emulator/dump.h"

namespace patu::emu {

struct DeviceImage {
  std::map<std::uint16_t, Block> blocks;  // firmware blocks and the info block at 0x8000
  std::map<std::uint16_t, Page> pages;
  std::uint16_t module_area = 0;
};

// The image that `package` (line k = package line k, a valid package) leaves on a device
// whose info block was `initial_info`. Throws std::invalid_argument on a package that is not
// valid.
DeviceImage expected_image(const std::vector<std::string>& package, const Block& initial_info);

// Every difference between `image` and what `dump` shows, one line each; empty when the
// device holds exactly the image, was finalized and suffered no protocol violation.
std::vector<std::string> image_differences(const DeviceImage& image, const Dump& dump);

}  // namespace patu::emu
