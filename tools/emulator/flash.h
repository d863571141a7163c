#pragma once
// The device's memory as flash programs it: 128-byte blocks named by their 16-bit address
// ('E' erases, 'W' writes, 'D' reads; never written reads 0xFF), 256-byte module pages ('F'
// writes one half). 'E' at the module area address also erases every page. Writes can only
// clear bits, so a write without its erase shows in the data as well as in the violations.

#include <cstdint>
#include <set>
#include <vector>

#include "link/protocol.h"
#include "tools/emulator/dump.h"

namespace patu::emu {

inline constexpr int kReadReplyLength = 130;

// What `record` holds at an address or page; 0xFF where nothing was stored.
Block stored_block(const Dump& record, std::uint16_t address);
Page stored_page(const Dump& record, std::uint16_t number);

class Flash {
 public:
  explicit Flash(std::uint16_t module_area) : module_area_(module_area) {}

  // The reply to well-formed command `number` (`data`: a 'W' or 'F' frame's 128 wire bytes).
  // With `act` the command takes effect on `record`, and what a real flash device would
  // suffer from goes into its violations; without, nothing changes.
  std::vector<std::uint8_t> execute(Dump& record, std::uint32_t number, int letter,
                                    std::uint32_t argument, const std::uint8_t* data, bool act);

 private:
  std::uint16_t module_area_;
  std::set<std::uint16_t> erased_blocks_;  // erased and not written since
  bool module_area_erased_ = false;
  std::set<std::uint32_t> written_halves_;  // page * 2 + half, since the module area's erase
};

}  // namespace patu::emu
