#pragma once
// A device that misbehaves at random, for soaks: seeded, so that any run can be replayed.
// The probe's answer, every handshake and every reply each draw on their own and go wrong
// with the same chance, in one of the ways a worn line or a confused device does:
//   probe      no answer; another byte than "T"; "T" followed by stray bytes
//   handshake  no complement (the command never starts); stray bytes (never the complement)
//              before it; the complement up to 7 s late
//   reply      status 0x55; a length byte of 0; cut off anywhere; a consistent short reply;
//              random bytes; up to 8 s late; the device leaving the line for good
// A reply that goes wrong may or may not have let the command act on the memory, except
// that a late reply always acts, and that the device never acknowledges what it did not do:
// random bytes never carry status 0xAA for a command that did not act, and never pass for
// the read block. A correct reply always acts.

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace patu::emu {

struct Chaos {
  std::uint64_t seed = 0;
  std::uint32_t per_million = 0;  // the chance of each exchange going wrong
};

// How a reply goes wrong (or not): the bytes to send and what the command did.
struct ChaosReply {
  std::string name;                 // for the command log; empty when nothing went wrong
  std::vector<std::uint8_t> bytes;  // the reply as sent, length byte first
  bool acts = true;                 // the command acted on the memory
  std::uint64_t delay_us = 0;       // before the reply starts
  bool hangup = false;              // the device leaves the line instead of replying
};

struct ChaosHandshake {
  std::string name;
  bool silent = false;              // no complement, no frame
  std::vector<std::uint8_t> noise;  // sent before the complement
  std::uint64_t delay_us = 0;       // of the complement
};

class ChaosSource {
 public:
  explicit ChaosSource(const Chaos& chaos) : rng_(chaos.seed), per_million_(chaos.per_million) {}

  std::vector<std::uint8_t> probe_answer(const std::vector<std::uint8_t>& normal);
  ChaosHandshake handshake(std::uint8_t complement);
  // `correct` is the reply the device would send for the frame with `letter`; `serial` is
  // what its info block holds in bytes 0-2, which random read data must not repeat.
  ChaosReply reply(const std::vector<std::uint8_t>& correct, int letter,
                   const std::array<std::uint8_t, 3>& serial);

 private:
  bool goes_wrong() { return below(1'000'000) < per_million_; }
  std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(rng_() % n); }
  std::uint8_t any_byte() { return static_cast<std::uint8_t>(rng_()); }

  std::mt19937_64 rng_;  // its output is fixed by the standard: the same runs everywhere
  std::uint32_t per_million_;
};

}  // namespace patu::emu
