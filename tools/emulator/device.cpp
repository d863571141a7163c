#include "tools/emulator/device.h"

#include <algorithm>

namespace patu::emu {
namespace {

constexpr std::uint8_t kProbe = 0xAB;
constexpr std::uint8_t kSync = 0x86;
constexpr std::uint8_t kSyncOtherVersion = 0x85;
constexpr std::uint8_t kNak = 0x55;
constexpr int kShortReadReplyLength = 66;

std::int64_t ms(Micros t) { return static_cast<std::int64_t>(t / 1000); }

}  // namespace

Block default_info(const std::array<std::uint8_t, 3>& serial) {
  Block info{};
  for (std::size_t i = 0; i < info.size(); ++i) info[i] = static_cast<std::uint8_t>(i);
  std::copy(serial.begin(), serial.end(), info.begin());
  return info;
}

Device::Device(DeviceConfig config) : config_(std::move(config)), flash_(config_.module_area) {
  // 8N1: ten bits a byte, rounded up so that the line is never faster than the real one.
  if (config_.baud != 0) byte_us_ = (10'000'000 + config_.baud - 1) / config_.baud;
  state_.initial_info = config_.info;
  state_.module_area = config_.module_area;
  state_.byte_time_us = static_cast<std::uint32_t>(byte_us_);
  state_.blocks[kInfoAddress] = config_.info;
  if (config_.chaos) chaos_.emplace(*config_.chaos);
  // Already in the line: no wire time left to pass, and none taken from what follows.
  for (std::uint8_t b : config_.waiting) out_.push_back({b, 0});
}

void Device::receive(std::uint8_t byte, Micros at) {
  if (state_.hung_up) return;  // off the line: nothing reaches it
  // The byte is on the line for its wire time, after whatever is still on it.
  const Micros arrived = std::max(at, rx_free_) + byte_us_;
  rx_free_ = arrived;
  if (phase_ == Phase::gone) {
    ignore(byte, arrived);  // without power: what the host still sends is only logged
    return;
  }
  if (phase_ == Phase::frame && arrived > last_activity_ + kFrameSilenceUs) {
    phase_ = Phase::idle;  // the log entry keeps the part of the frame that came
  }
  if (phase_ == Phase::idle) {
    idle_byte(byte, arrived);
    return;
  }
  frame_[got_++] = byte;
  last_activity_ = arrived;
  Exchange& e = current();
  e.frame_received = static_cast<int>(got_);
  if (got_ == 1) e.frame_length = byte;
  if (got_ == 2) e.letter = byte;
  // A length below 2 leaves no room for a letter: the frame ends with its length byte.
  if (got_ >= std::max<std::size_t>(frame_[0], 1)) frame_complete(arrived);
}

void Device::idle_byte(std::uint8_t byte, Micros at) {
  if (byte == kProbe) {
    Exchange e;
    e.kind = Exchange::Kind::probe;
    e.byte = byte;
    e.answer = chaos_ ? chaos_->probe_answer(config_.probe_answer) : config_.probe_answer;
    e.t_in = ms(at);
    for (std::size_t i = 0; i < e.answer.size(); ++i) {
      const Micros sent = emit(e.answer[i], at);
      if (i == 0) e.t_out = ms(sent - byte_us_);
    }
    state_.log.push_back(std::move(e));
    return;
  }
  const std::uint8_t accepted = config_.sync85_only ? kSyncOtherVersion : kSync;
  if (byte != accepted || config_.silent_after_probe) {
    ignore(byte, at);
    return;
  }
  Exchange e;
  e.kind = Exchange::Kind::command;
  e.number = ++commands_;
  e.byte = byte;
  e.t_in = ms(at);
  current_ = state_.log.size();
  state_.log.push_back(std::move(e));
  const Fault* fault = matching_fault(true, -1, 0);
  if (fault != nullptr) current().fault = kind_name(*fault);
  if (fault != nullptr && fault->kind == FaultKind::silence) return;
  if (fault != nullptr && fault->kind == FaultKind::noise) {
    current().answer.assign(kNoise.begin(), kNoise.end());
    for (std::uint8_t b : kNoise) emit(b, at);
  }
  const auto complement = static_cast<std::uint8_t>(~byte);
  ChaosHandshake chaos;
  if (fault == nullptr && chaos_) chaos = chaos_->handshake(complement);
  if (!chaos.name.empty()) current().fault = chaos.name;
  if (chaos.silent) return;
  current().answer.insert(current().answer.end(), chaos.noise.begin(), chaos.noise.end());
  for (std::uint8_t b : chaos.noise) emit(b, at);
  last_activity_ = emit(complement, at + chaos.delay_us);
  phase_ = Phase::frame;
  got_ = 0;
}

void Device::ignore(std::uint8_t byte, Micros at) {
  Exchange e;
  e.kind = Exchange::Kind::ignored;
  e.byte = byte;
  e.t_in = ms(at);
  state_.log.push_back(std::move(e));
}

void Device::frame_complete(Micros at) {
  phase_ = Phase::idle;
  Exchange& e = current();
  e.t_frame = ms(at);
  const std::size_t length = got_;
  const int letter = length >= 2 ? frame_[1] : -1;
  if (letter >= 0) ++letter_counts_[static_cast<std::size_t>(letter)];

  // The frame's shape: length, letter and arguments.
  bool valid = false;
  std::uint32_t argument = 0;
  switch (letter) {
    case 'E':
    case 'D':
      valid = length == 4;
      argument = valid ? std::uint32_t(frame_[2]) << 8 | frame_[3] : 0;
      break;
    case 'W':
      valid = length == 133 && frame_[2] == 8;
      argument = valid ? std::uint32_t(frame_[3]) << 8 | frame_[4] : 0;
      break;
    case 'F':
      valid = length == 133 && (frame_[4] == 0 || frame_[4] == 128);
      argument =
          valid ? std::uint32_t(frame_[2]) << 16 | std::uint32_t(frame_[3]) << 8 | frame_[4] : 0;
      break;
    case 'G':
      valid = length == 2;
      break;
    default:
      break;
  }
  e.argument = argument;

  const Fault* fault = matching_fault(false, letter, argument);
  ChaosReply chaos;
  if (fault == nullptr && chaos_) {
    const Block info = block(kInfoAddress);
    // What the device would answer, worked out without acting; chaos decides the rest.
    chaos =
        chaos_->reply(valid ? execute(letter, argument, false) : std::vector<std::uint8_t>{2, kNak},
                      letter, {info[0], info[1], info[2]});
  }
  const std::string mishap = fault != nullptr ? kind_name(*fault) : chaos.name;
  if (!mishap.empty()) current().fault += (current().fault.empty() ? "" : ",") + mishap;
  const bool hangup = (fault != nullptr && fault->kind == FaultKind::hangup) || chaos.hangup;
  if (hangup || (fault != nullptr && fault->kind == FaultKind::poweroff)) {
    go_dead(at, hangup);
    return;
  }

  std::vector<std::uint8_t> reply;
  if (valid) {
    reply =
        execute(letter, argument, fault != nullptr ? command_still_acts(fault->kind) : chaos.acts);
  } else {
    violation(Violation::Kind::bad_frame, letter, argument);
    reply = {2, kNak};
  }
  if (!chaos.name.empty()) reply = chaos.bytes;
  if (fault != nullptr) {
    switch (fault->kind) {
      case FaultKind::nak:
        if (reply.size() >= 2) reply[1] = kNak;
        break;
      case FaultKind::len0:
        reply = {0};
        break;
      case FaultKind::short_reply:
        reply.resize((reply.size() + 1) / 2);
        break;
      case FaultKind::shortlen:
        if (letter == 'D' && reply.size() == kReadReplyLength) {
          reply.resize(kShortReadReplyLength);
          reply[0] = kShortReadReplyLength;
        } else {
          reply = {1};
        }
        break;
      default:
        break;
    }
  }
  const Micros ready =
      at +
      (fault != nullptr && fault->kind == FaultKind::slow ? Micros{fault->slow_ms} * 1000 : 0) +
      chaos.delay_us;
  Exchange& done = current();
  done.reply_length = reply.empty() ? -1 : reply[0];
  done.reply_sent = static_cast<int>(reply.size());
  done.status = reply.size() >= 2 ? reply[1] : -1;
  for (std::size_t i = 0; i < reply.size(); ++i) {
    const Micros sent = emit(reply[i], ready);
    if (i == 0) done.t_out = ms(sent - byte_us_);
  }
}

void Device::go_dead(Micros at, bool line_dropped) {
  phase_ = Phase::gone;
  state_.hung_up = line_dropped;
  out_.erase(
      std::remove_if(out_.begin(), out_.end(), [at](const Emission& o) { return o.at > at; }),
      out_.end());
}

const Fault* Device::matching_fault(bool handshake, int letter, std::uint32_t argument) const {
  for (const Fault& f : config_.faults) {
    if (acts_on_handshake(f.kind) != handshake) continue;
    const Trigger& t = f.trigger;
    bool hit = false;
    switch (t.by) {
      case Trigger::By::number:
        hit = t.value == commands_;
        break;
      case Trigger::By::letter:
        hit = letter == t.letter;
        break;
      case Trigger::By::letter_number:
        hit = letter == t.letter && letter_counts_[static_cast<std::size_t>(letter)] == t.value;
        break;
      case Trigger::By::letter_argument:
        hit = letter == t.letter && (letter == 'F' ? argument >> 8 : argument) == t.value;
        break;
    }
    if (hit) return &f;
  }
  return nullptr;
}

Micros Device::emit(std::uint8_t byte, Micros ready) {
  const Micros at = std::max(ready, tx_free_) + byte_us_;
  tx_free_ = at;
  out_.push_back({byte, at});
  return at;
}

void Device::violation(Violation::Kind kind, int letter, std::uint32_t argument) {
  state_.violations.push_back({current().number, kind, letter, argument});
}

}  // namespace patu::emu
