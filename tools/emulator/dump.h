#pragma once
// What the emulated device holds and what it was told: its memory, its protocol violations
// and the command log. Written as one JSON document (tools/emulator/README.md describes it)
// that parse_dump (dump_read.h) reads back exactly.

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "link/protocol.h"

namespace patu::emu {

inline constexpr std::uint16_t kInfoAddress = 0x8000;
// The record names itself; a reader refuses any other format or version.
inline constexpr std::string_view kRecordFormat = "patu-emulator-record";
inline constexpr int kRecordVersion = 1;

// One erase command that acted.
struct Erase {
  std::uint32_t number = 0;  // the command's number
  std::uint16_t address = 0;

  bool operator==(const Erase&) const = default;
};

// A command a real flash device would have suffered from.
struct Violation {
  enum class Kind : std::uint8_t {
    write_without_erase,     // 'W' to a block not erased since its last write
    page_before_area_erase,  // 'F' while the module area had not been erased
    half_written_twice,      // 'F' to a page half already written since the erase
    bad_frame,               // unknown letter, wrong length or malformed arguments
  };
  std::uint32_t number = 0;
  Kind kind = Kind::bad_frame;
  int letter = -1;             // frame byte 1; -1: the frame had none
  std::uint32_t argument = 0;  // as Exchange::argument

  bool operator==(const Violation&) const = default;
};

// One line of the command log. Times are ms on the device's clock; -1 (or a negative count)
// means "did not happen".
struct Exchange {
  enum class Kind : std::uint8_t {
    probe,    // 0xAB while idle; `answer` holds what the device sent back
    ignored,  // a byte the idle device did not act on (another version's sync byte, noise)
    command,  // a sync byte accepted: one framed command, numbered
  };
  Kind kind = Kind::command;
  std::uint32_t number = 0;          // command
  std::uint8_t byte = 0;             // probe: 0xAB; ignored: the byte; command: the sync byte
  std::vector<std::uint8_t> answer;  // probe: its answer; command: noise sent before the complement
  int letter = -1;                   // command: frame byte 1; -1 while none arrived
  // 'E', 'D', 'W': the address; 'F': page * 256 + offset; otherwise 0.
  std::uint32_t argument = 0;
  int frame_length = -1;  // frame byte 0 as received
  int frame_received = 0;
  int reply_length = -1;      // the reply's length byte as sent
  int reply_sent = 0;         // reply bytes sent, the length byte included
  int status = -1;            // the status byte as sent
  std::string fault;          // kinds that hit, comma-separated ("noise,nak"); empty for none
  std::int64_t t_in = -1;     // the probe, ignored byte or sync byte was received
  std::int64_t t_frame = -1;  // command: the frame's last byte was received
  std::int64_t t_out = -1;    // the device began sending the probe's answer or the reply

  bool operator==(const Exchange&) const = default;
};

struct Dump {
  Block initial_info{};
  std::uint16_t module_area = 0;
  // Wire time of one byte in microseconds (0: the line took no time).
  std::uint32_t byte_time_us = 0;
  // Every block that was preset (the info block), erased or written: its content now.
  std::map<std::uint16_t, Block> blocks;
  // Every module page written since the last erase of the module area: its content now.
  std::map<std::uint16_t, Page> pages;
  std::vector<Erase> erases;
  bool finalized = false;
  bool hung_up = false;
  std::vector<Violation> violations;
  std::vector<Exchange> log;

  bool operator==(const Dump&) const = default;
};

std::string write_dump(const Dump& dump);

// Upper-case hex, two digits per byte.
std::string to_hex(std::span<const std::uint8_t> bytes);
// Pairs of hex digits (either case) to bytes; nullopt on anything else.
std::optional<std::vector<std::uint8_t>> from_hex(std::string_view text);

std::string_view violation_name(Violation::Kind kind);

}  // namespace patu::emu
