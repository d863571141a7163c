#include "update/identification.h"

#include <cstdio>

namespace patu {

namespace {
constexpr std::uint8_t kProbe = 0xAB;
constexpr std::uint8_t kProbeAnswer = 0x54;  // "T"
constexpr std::uint32_t kInfoBlock = 0x8000;
constexpr std::uint8_t kSync = 0x86;
constexpr std::uint8_t kSyncOtherVersion = 0x85;
}  // namespace

ProbeOutcome probe_device(SerialPort& port) {
  // The answer is the first byte that arrives, so nothing sent before the probe may still be
  // waiting: a byte left in the line (the device switched on with the cable attached, an
  // adapter's buffer) would turn a sound device away as one of another version.
  port.purge(Purge::rx);
  std::uint8_t buffer = kProbe;
  std::uint32_t count = 0;
  port.ESCREVE_PORTA(&buffer, 1, count);
  if (count != 1) return ProbeOutcome::not_written;
  // The read's own result does not matter: when nothing arrives the buffer still holds the
  // probe byte, which is not the answer.
  port.LE_PORTA(1, &buffer, count);
  return buffer == kProbeAnswer ? ProbeOutcome::answer_t : ProbeOutcome::other_answer;
}

bool LE_IDENTIFICACAO(Protocol& link, std::string& serial) {
  Block block;
  if (!link.LE_BLOCO(kInfoBlock, block)) {
    serial.clear();
    return false;
  }
  char text[9];
  std::snprintf(text, sizeof text, "33%02X%02X%02X", block[0], block[1], block[2]);
  serial = text;
  return true;
}

int CART_V2(Protocol& link, std::string& serial) {
  link.BYTE_SINC = kSync;
  if (LE_IDENTIFICACAO(link, serial)) return kIdOk;
  link.BYTE_SINC = kSyncOtherVersion;
  return LE_IDENTIFICACAO(link, serial) ? kIdOtherVersion : kIdNoAnswer;
}

}  // namespace patu
