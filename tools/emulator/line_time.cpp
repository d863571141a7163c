#include "tools/emulator/line_time.h"

#include <algorithm>

namespace patu::emu {
namespace {

constexpr double kReplyPauseMs = 80;
constexpr double kWritePauseMs = 50;

}  // namespace

std::optional<LineTime> line_time(const Dump& dump) {
  const double bt = dump.byte_time_us / 1000.0;
  LineTime t;
  double start = -1, previous_end = -1;
  // The earliest end of the previous command's mandated pause, when it could outlast the reply.
  double pause_end = -1;
  for (const Exchange& e : dump.log) {
    if (e.kind == Exchange::Kind::probe) {
      const auto answer = static_cast<double>(e.answer.size());
      t.limit_ms += (1 + answer) * bt;
      t.floor_ms += (1 + answer) * bt;
      if (start < 0) start = static_cast<double>(e.t_in) - bt;
      previous_end = e.t_out < 0 ? static_cast<double>(e.t_in) : e.t_out + answer * bt;
      pause_end = -1;
      continue;
    }
    if (e.kind != Exchange::Kind::command) continue;
    ++t.commands;
    const double frame = e.frame_received, reply = e.reply_sent;
    const double before = e.letter == 'W' ? kWritePauseMs : 0;
    t.limit_ms += (2 + frame) * bt + std::max(kReplyPauseMs, reply * bt) + before;
    t.floor_ms += std::max(2 * bt + kReplyPauseMs, (2 + frame + reply) * bt) + before;

    const double sync_start = static_cast<double>(e.t_in) - bt;
    if (start < 0) start = sync_start;
    if (previous_end >= 0) {
      t.host_ms += sync_start - std::max(previous_end, pause_end) - before;
    }
    if (e.t_frame >= 0) {
      t.host_ms += static_cast<double>(e.t_frame) - frame * bt - (static_cast<double>(e.t_in) + bt);
      pause_end = static_cast<double>(e.t_frame) - frame * bt + kReplyPauseMs;
    }
    previous_end = e.t_out >= 0 ? e.t_out + reply * bt : -1;
  }
  if (start < 0) return std::nullopt;
  t.start_ms = start;
  t.end_ms = previous_end;
  return t;
}

}  // namespace patu::emu
