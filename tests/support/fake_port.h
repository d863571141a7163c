#pragma once
// A serial port in memory for tests, on a ManualClock. It records every call in order
// (each write call separately, each read, each purge), delivers bytes scheduled to arrive
// at given ticks, and keeps the read time-outs of the real port: a read of N bytes moves
// the clock on to each byte it waits for, and gives up after 100 * N ms in all or after
// more than 100 ms without a byte, having moved the clock on to that moment. Writes take
// no time. ScriptedDevice, below, answers the host's handshakes and frames.

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "link/clock.h"
#include "link/protocol.h"
#include "link/serial.h"

namespace patu::testing {

using Bytes = std::vector<std::uint8_t>;

class FakePort final : public SerialPort {
 public:
  struct Call {
    enum class Kind { write, read, purge } kind;
    Bytes bytes;              // written, or read (what arrived)
    std::uint32_t asked = 0;  // count asked for (write, read)
    Purge queue = Purge::rx;  // purge
    std::uint32_t tick = 0;   // clock when the call began
  };

  explicit FakePort(ManualClock& clock) : clock_(clock) {}

  // --- what the test sets ---
  // Whether ABRE_PORTA succeeds (while closed).
  bool opens = true;
  // This write call (0 = the first ESCREVE_PORTA since construction) fails with count 0.
  std::optional<std::size_t> failing_write;
  // Sees every byte of every successful write, in order.
  std::function<void(std::uint8_t)> on_byte_written;
  // The line's other end has gone (a removed adapter): from now on every read fails at once,
  // in 1 ms, with nothing read.
  bool line_gone = false;

  // Schedules bytes to arrive `delay_ms` from now, after those already scheduled.
  void arrive(const Bytes& bytes, std::uint32_t delay_ms = 0) {
    std::uint32_t at = clock_.tick_ms() + delay_ms;
    if (!incoming_.empty()) at += offset(incoming_.back().at, at);
    for (std::uint8_t b : bytes) incoming_.push_back({at, b});
  }

  // --- what the test reads ---
  std::vector<Call> calls;
  std::vector<int> opened;  // port numbers of ABRE_PORTA calls that opened
  int closes = 0;           // FECHA_PORTA calls that closed

  // Every write call's bytes, one entry per call.
  std::vector<Bytes> writes() const {
    std::vector<Bytes> out;
    for (const Call& c : calls)
      if (c.kind == Call::Kind::write) out.push_back(c.bytes);
    return out;
  }
  // All written bytes, one after the other.
  Bytes sent() const {
    Bytes out;
    for (const Call& c : calls)
      if (c.kind == Call::Kind::write) out.insert(out.end(), c.bytes.begin(), c.bytes.end());
    return out;
  }
  std::vector<Purge> purges() const {
    std::vector<Purge> out;
    for (const Call& c : calls)
      if (c.kind == Call::Kind::purge) out.push_back(c.queue);
    return out;
  }
  // Scheduled bytes not yet read.
  std::size_t pending() const { return incoming_.size(); }

  // --- SerialPort ---
  bool ABRE_PORTA(int porta) override {
    if (open_ || !opens) return false;
    open_ = true;
    opened.push_back(porta);
    return true;
  }
  void FECHA_PORTA() override {
    if (!open_) return;
    open_ = false;
    ++closes;
  }
  bool ESCREVE_PORTA(const std::uint8_t* bytes, std::uint32_t count,
                     std::uint32_t& written) override {
    written = 0;
    const std::size_t index = write_calls_++;
    if (!open_ || failing_write == index) {
      calls.push_back({Call::Kind::write, {}, count, Purge::rx, clock_.tick_ms()});
      return false;
    }
    Bytes data(bytes, bytes + count);
    calls.push_back({Call::Kind::write, data, count, Purge::rx, clock_.tick_ms()});
    written = count;
    if (on_byte_written)
      for (std::uint8_t b : data) on_byte_written(b);
    return true;
  }
  bool LE_PORTA(std::uint32_t count, std::uint8_t* buffer, std::uint32_t& read) override {
    read = 0;
    if (!open_) return false;
    Bytes got;
    const std::uint32_t start = clock_.tick_ms();
    if (line_gone) {
      clock_.advance(1);
      calls.push_back({Call::Kind::read, {}, count, Purge::rx, start});
      return false;
    }
    const std::uint32_t total = 100 * count;
    std::uint32_t limit = total;  // as an offset from start
    while (got.size() < count) {
      if (incoming_.empty() || offset(incoming_.front().at, start) > limit) {
        clock_.advance(limit - offset(clock_.tick_ms(), start));
        break;
      }
      const std::uint32_t at = offset(incoming_.front().at, start);
      if (at > offset(clock_.tick_ms(), start))
        clock_.advance(at - offset(clock_.tick_ms(), start));
      got.push_back(incoming_.front().byte);
      incoming_.pop_front();
      limit = std::min(total, offset(clock_.tick_ms(), start) + 100);
    }
    std::copy(got.begin(), got.end(), buffer);
    read = static_cast<std::uint32_t>(got.size());
    calls.push_back({Call::Kind::read, std::move(got), count, Purge::rx, start});
    return read == count;
  }
  void purge(Purge queue) override {
    if (!open_) return;
    calls.push_back({Call::Kind::purge, {}, 0, queue, clock_.tick_ms()});
    // Only what has already arrived is discarded.
    if (queue == Purge::rx)
      while (!incoming_.empty() && offset(incoming_.front().at, clock_.tick_ms()) == 0)
        incoming_.pop_front();
  }
  bool PORTA_ABERTA() const override { return open_; }

 private:
  struct Arrival {
    std::uint32_t at;
    std::uint8_t byte;
  };

  // Ticks from `from` to `at`, 0 when `at` is not after `from` (wrap-safe).
  static std::uint32_t offset(std::uint32_t at, std::uint32_t from) {
    const auto d = static_cast<std::int32_t>(at - from);
    return d > 0 ? static_cast<std::uint32_t>(d) : 0;
  }

  ManualClock& clock_;
  bool open_ = false;
  std::size_t write_calls_ = 0;
  std::deque<Arrival> incoming_;
};

// A device on a FakePort: answers a sync byte with its complement (after `noise`, and
// `complement_delay_ms` late), takes the frame that follows by its length byte, and answers
// each frame with the next of `replies` (length byte included), or with silence when none
// is left. Bytes in `raw_answers` are answered as given and start no frame (a probe).
class ScriptedDevice {
 public:
  explicit ScriptedDevice(FakePort& port) : port_(port) {
    port_.on_byte_written = [this](std::uint8_t b) { take(b); };
  }

  std::set<std::uint8_t> syncs{0x85, 0x86};
  std::map<std::uint8_t, Bytes> raw_answers;
  Bytes noise;
  std::uint32_t complement_delay_ms = 0;
  std::deque<Bytes> replies;
  std::uint32_t reply_delay_ms = 0;

  std::vector<Bytes> frames;  // every complete frame received

  // The reply of a command acknowledged (or not) with status `status`.
  static Bytes ack(std::uint8_t status = kAck) { return {2, status}; }
  // A 'D' reply carrying `block`, encoded.
  static Bytes block_reply(const Block& block, std::uint8_t status = kAck) {
    Bytes r{130, status};
    for (std::uint8_t b : block) r.push_back(CODIFICA_BYTE(b));
    return r;
  }

 private:
  void take(std::uint8_t b) {
    if (!in_frame_) {
      if (auto raw = raw_answers.find(b); raw != raw_answers.end()) {
        port_.arrive(raw->second);
      } else if (syncs.count(b)) {
        Bytes answer = noise;
        answer.push_back(static_cast<std::uint8_t>(~b));
        port_.arrive(answer, complement_delay_ms);
        in_frame_ = true;
        frame_.clear();
      }
      return;
    }
    frame_.push_back(b);
    if (frame_.size() < std::max<std::size_t>(frame_[0], 1)) return;
    frames.push_back(frame_);
    in_frame_ = false;
    if (!replies.empty()) {
      port_.arrive(replies.front(), reply_delay_ms);
      replies.pop_front();
    }
  }

  FakePort& port_;
  bool in_frame_ = false;
  Bytes frame_;
};

}  // namespace patu::testing
