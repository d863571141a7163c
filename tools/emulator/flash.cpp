#include "tools/emulator/flash.h"

namespace patu::emu {
namespace {

// Programs 128 data bytes from the wire into `cells` the way flash does: bits only clear.
void program(const std::uint8_t* wire, std::uint8_t* cells) {
  for (std::size_t i = 0; i < 128; ++i) cells[i] &= CODIFICA_BYTE(wire[i]);
}

}  // namespace

Block stored_block(const Dump& record, std::uint16_t address) {
  const auto it = record.blocks.find(address);
  if (it != record.blocks.end()) return it->second;
  Block blank;
  blank.fill(0xFF);
  return blank;
}

Page stored_page(const Dump& record, std::uint16_t number) {
  const auto it = record.pages.find(number);
  if (it != record.pages.end()) return it->second;
  Page blank;
  blank.fill(0xFF);
  return blank;
}

std::vector<std::uint8_t> Flash::execute(Dump& record, std::uint32_t number, int letter,
                                         std::uint32_t argument, const std::uint8_t* data,
                                         bool act) {
  const auto address = static_cast<std::uint16_t>(argument);
  auto violation = [&](Violation::Kind kind) {
    record.violations.push_back({number, kind, letter, argument});
  };
  switch (letter) {
    case 'D': {
      std::vector<std::uint8_t> reply{kReadReplyLength, kAck};
      for (std::uint8_t b : stored_block(record, address)) reply.push_back(CODIFICA_BYTE(b));
      return reply;
    }
    case 'E':
      if (!act) break;
      record.blocks[address].fill(0xFF);
      erased_blocks_.insert(address);
      record.erases.push_back({number, address});
      if (address == module_area_) {
        record.pages.clear();
        written_halves_.clear();
        module_area_erased_ = true;
      }
      break;
    case 'W': {
      if (!act) break;
      if (erased_blocks_.erase(address) == 0) violation(Violation::Kind::write_without_erase);
      Block& stored =
          record.blocks.try_emplace(address, stored_block(record, address)).first->second;
      program(data, stored.data());
      break;
    }
    case 'F': {
      if (!act) break;
      const auto page = static_cast<std::uint16_t>(argument >> 8);
      const std::uint32_t half = page * 2u + ((argument & 0xFF) != 0 ? 1u : 0u);
      if (!module_area_erased_) violation(Violation::Kind::page_before_area_erase);
      if (!written_halves_.insert(half).second) violation(Violation::Kind::half_written_twice);
      Page& stored = record.pages.try_emplace(page, stored_page(record, page)).first->second;
      program(data, stored.data() + (argument & 0xFF));
      break;
    }
    case 'G':
      if (act) record.finalized = true;
      break;
    default:
      break;
  }
  return {2, kAck};
}

}  // namespace patu::emu
