#include "tools/emulator/fault.h"

#include <array>
#include <charconv>
#include <cstdio>

namespace patu::emu {
namespace {

struct KindName {
  FaultKind kind;
  std::string_view name;
};
constexpr std::array<KindName, 9> kKinds{{
    {FaultKind::silence, "silence"},
    {FaultKind::noise, "noise"},
    {FaultKind::nak, "nak"},
    {FaultKind::len0, "len0"},
    {FaultKind::short_reply, "short"},
    {FaultKind::shortlen, "shortlen"},
    {FaultKind::hangup, "hangup"},
    {FaultKind::poweroff, "poweroff"},
    {FaultKind::slow, "slow"},
}};

constexpr std::string_view kLetters = "EDWFG";

bool fail(std::string* error, std::string message) {
  if (error != nullptr) *error = std::move(message);
  return false;
}

// A whole decimal number, nothing around it.
bool parse_decimal(std::string_view text, std::uint32_t& value) {
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
  return ec == std::errc{} && end == text.data() + text.size();
}

bool parse_hex16(std::string_view text, std::uint32_t& value) {
  if (text.size() != 4) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  return ec == std::errc{} && end == text.data() + text.size();
}

bool parse_kind(std::string_view text, Fault& fault, std::string* error) {
  std::string_view name = text;
  std::string_view argument;
  const bool has_argument = text.find('=') != std::string_view::npos;
  if (has_argument) {
    name = text.substr(0, text.find('='));
    argument = text.substr(text.find('=') + 1);
  }
  for (const KindName& k : kKinds) {
    if (k.name != name) continue;
    fault.kind = k.kind;
    if (k.kind == FaultKind::slow) {
      if (!has_argument || !parse_decimal(argument, fault.slow_ms)) {
        return fail(error, "slow needs a delay in ms: slow=MS");
      }
    } else if (has_argument) {
      return fail(error, "only slow takes a value: '" + std::string(text) + "'");
    }
    return true;
  }
  return fail(error, "unknown fault kind '" + std::string(name) + "'");
}

bool parse_trigger(std::string_view text, Trigger& trigger, std::string* error) {
  const std::string bad = "bad trigger '" + std::string(text) + "'";
  if (text.empty()) return fail(error, "missing trigger after '@'");
  if (text[0] == '#') {
    trigger.by = Trigger::By::number;
    if (!parse_decimal(text.substr(1), trigger.value) || trigger.value == 0) {
      return fail(error, bad + ": #N counts from 1");
    }
    return true;
  }
  if (kLetters.find(text[0]) == std::string_view::npos) {
    return fail(error, bad + ": the letter is one of E, D, W, F, G");
  }
  trigger.letter = text[0];
  const std::string_view rest = text.substr(1);
  if (rest.empty()) {
    trigger.by = Trigger::By::letter;
    return true;
  }
  if (rest[0] == '#') {
    trigger.by = Trigger::By::letter_number;
    if (!parse_decimal(rest.substr(1), trigger.value) || trigger.value == 0) {
      return fail(error, bad + ": L#K counts from 1");
    }
    return true;
  }
  if (rest[0] == ':' && trigger.letter != 'G') {
    trigger.by = Trigger::By::letter_argument;
    if (!parse_hex16(rest.substr(1), trigger.value)) {
      return fail(error, bad + ": L:HHHH takes four hex digits");
    }
    return true;
  }
  return fail(error, bad);
}

}  // namespace

bool acts_on_handshake(FaultKind kind) {
  return kind == FaultKind::silence || kind == FaultKind::noise;
}

bool command_still_acts(FaultKind kind) {
  return kind == FaultKind::noise || kind == FaultKind::slow;
}

std::optional<Fault> parse_fault(std::string_view text, std::string* error) {
  const std::size_t at = text.find('@');
  if (at == std::string_view::npos) {
    fail(error, "a fault is KIND@TRIGGER: '" + std::string(text) + "'");
    return std::nullopt;
  }
  Fault fault;
  if (!parse_kind(text.substr(0, at), fault, error) ||
      !parse_trigger(text.substr(at + 1), fault.trigger, error)) {
    return std::nullopt;
  }
  if (acts_on_handshake(fault.kind) && fault.trigger.by != Trigger::By::number) {
    fail(error, kind_name(fault) + " acts before the frame is seen: trigger it with #N");
    return std::nullopt;
  }
  return fault;
}

std::string kind_name(const Fault& fault) {
  for (const KindName& k : kKinds) {
    if (k.kind != fault.kind) continue;
    if (k.kind == FaultKind::slow) return "slow=" + std::to_string(fault.slow_ms);
    return std::string(k.name);
  }
  return "?";
}

std::string to_string(const Fault& fault) {
  std::string text = kind_name(fault) + "@";
  const Trigger& t = fault.trigger;
  switch (t.by) {
    case Trigger::By::number:
      return text + "#" + std::to_string(t.value);
    case Trigger::By::letter:
      return text + t.letter;
    case Trigger::By::letter_number:
      return text + t.letter + "#" + std::to_string(t.value);
    case Trigger::By::letter_argument: {
      char hex[5];
      std::snprintf(hex, sizeof hex, "%04X", static_cast<unsigned>(t.value & 0xFFFF));
      return text + t.letter + ":" + hex;
    }
  }
  return text;
}

}  // namespace patu::emu
