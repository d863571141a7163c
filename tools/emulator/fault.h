#pragma once
// Faults the emulated device can be told to suffer, and which commands they hit.
//
// Text form KIND@TRIGGER, e.g. "nak@W#3", "silence@#12", "hangup@F:01FC", "slow=6000@D".
// Commands are numbered from 1 in the order their sync byte was accepted; each letter also
// counts its own commands from 1.
//   Triggers: #N       the N-th command
//             L        every command of letter L (E, D, W, F or G)
//             L#K      the K-th command of letter L
//             L:HHHH   every command of letter L at address HHHH (for F: page HHHH, both halves)
//   Kinds:    silence  the sync byte is ignored: no complement, the command never starts
//             noise    garbage bytes (0x00 and 0x86 among them) before the complement
//             nak      status 0x55 instead of 0xAA; a D reply still carries its data
//             len0     the reply is one length byte of 0
//             short    the reply announces its full length but stops half way
//             shortlen a consistent but short reply: length 66 for a D, length 1 otherwise
//             hangup   the device drops off the line once it has the frame: no answer ever after
//             poweroff the device loses power once it has the frame: it answers nothing ever
//                      after, while the line stays connected
//             slow=MS  the reply starts MS ms late
// silence and noise act before the frame is seen, when only the command's number is known:
// they take #N triggers only. Every kind but noise and slow keeps the command from acting on
// the memory.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace patu::emu {

enum class FaultKind : std::uint8_t {
  silence,
  noise,
  nak,
  len0,
  short_reply,
  shortlen,
  hangup,
  poweroff,
  slow
};

struct Trigger {
  enum class By : std::uint8_t { number, letter, letter_number, letter_argument };
  By by = By::number;
  char letter = 0;
  // By::number: the command number; letter_number: K; letter_argument: address or page.
  std::uint32_t value = 0;

  bool operator==(const Trigger&) const = default;
};

struct Fault {
  FaultKind kind = FaultKind::nak;
  std::uint32_t slow_ms = 0;  // FaultKind::slow only
  Trigger trigger;

  bool operator==(const Fault&) const = default;
};

// True for the kinds that act on the handshake (silence, noise).
bool acts_on_handshake(FaultKind kind);
// True for the kinds after which the command still acts on the memory (noise, slow).
bool command_still_acts(FaultKind kind);

// Parses KIND@TRIGGER. On failure: nullopt, and `error` (when given) says why.
std::optional<Fault> parse_fault(std::string_view text, std::string* error = nullptr);
// The kind as the command log names it ("nak", "slow=6000", ...).
std::string kind_name(const Fault& fault);
// The text form that parse_fault reads back.
std::string to_string(const Fault& fault);

}  // namespace patu::emu
