#include "tools/emulator/chaos.h"

#include "link/protocol.h"

namespace patu::emu {
namespace {

constexpr std::uint8_t kProbeAnswer = 0x54;
constexpr std::uint8_t kNak = 0x55;
constexpr std::size_t kReadReplyLength = 130;
constexpr std::uint32_t kLongestLateComplementMs = 7000;
constexpr std::uint32_t kLongestLateReplyMs = 8000;

}  // namespace

std::vector<std::uint8_t> ChaosSource::probe_answer(const std::vector<std::uint8_t>& normal) {
  if (!goes_wrong()) return normal;
  switch (below(3)) {
    case 0:
      return {};
    case 1: {
      const std::uint8_t other = any_byte();
      return {other == kProbeAnswer ? static_cast<std::uint8_t>(other + 1) : other};
    }
    default: {
      std::vector<std::uint8_t> answer = normal;
      for (std::uint32_t n = 1 + below(4); n > 0; --n) answer.push_back(any_byte());
      return answer;
    }
  }
}

ChaosHandshake ChaosSource::handshake(std::uint8_t complement) {
  ChaosHandshake h;
  if (!goes_wrong()) return h;
  switch (below(3)) {
    case 0:
      h.name = "chaos-silence";
      h.silent = true;
      break;
    case 1:
      h.name = "chaos-noise";
      for (std::uint32_t n = 1 + below(8); n > 0; --n) {
        const std::uint8_t b = any_byte();
        h.noise.push_back(b == complement ? static_cast<std::uint8_t>(b ^ 1) : b);
      }
      break;
    default: {
      const std::uint32_t ms = below(kLongestLateComplementMs + 1);
      h.name = "chaos-late=" + std::to_string(ms);
      h.delay_us = std::uint64_t{ms} * 1000;
      break;
    }
  }
  return h;
}

ChaosReply ChaosSource::reply(const std::vector<std::uint8_t>& correct, int letter,
                              const std::array<std::uint8_t, 3>& serial) {
  ChaosReply r;
  r.bytes = correct;
  if (!goes_wrong()) return r;
  // Weights: the ordinary refusals and losses come more often than a device leaving.
  const std::uint32_t pick = below(16);
  r.acts = below(2) == 0;
  if (pick < 3) {
    r.name = "chaos-nak";
    r.acts = false;
    if (r.bytes.size() >= 2) r.bytes[1] = kNak;
  } else if (pick < 5) {
    r.name = "chaos-len0";
    r.bytes = {0};
  } else if (pick < 8) {
    r.name = "chaos-cut";
    r.bytes.resize(below(static_cast<std::uint32_t>(correct.size())));
  } else if (pick < 10) {
    r.name = "chaos-shortlen";
    if (letter == 'D' && correct.size() == kReadReplyLength) {
      r.bytes.resize(2 + below(kReadReplyLength - 2));  // status and 0 to 127 data bytes
      r.bytes[0] = static_cast<std::uint8_t>(r.bytes.size());
    } else {
      r.bytes = {1};
    }
  } else if (pick < 13) {
    r.name = "chaos-garbage";
    r.bytes.assign(1 + below(257), 0);
    for (std::uint8_t& b : r.bytes) b = any_byte();
    if (!r.acts && letter != 'D' && r.bytes.size() >= 2 && r.bytes[1] == kAck) r.bytes[1] = kNak;
    // Random data must not read as this device's own info block.
    if (letter == 'D' && r.bytes.size() >= 5 && CODIFICA_BYTE(r.bytes[2]) == serial[0] &&
        CODIFICA_BYTE(r.bytes[3]) == serial[1] && CODIFICA_BYTE(r.bytes[4]) == serial[2]) {
      r.bytes[2] ^= 1;
    }
  } else if (pick < 15) {
    const std::uint32_t ms = below(kLongestLateReplyMs + 1);
    r.name = "chaos-slow=" + std::to_string(ms);
    r.acts = true;
    r.delay_us = std::uint64_t{ms} * 1000;
  } else {
    r.name = "chaos-hangup";
    r.acts = false;
    r.hangup = true;
  }
  return r;
}

}  // namespace patu::emu
