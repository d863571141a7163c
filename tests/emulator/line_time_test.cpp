// The line's time worked out from a command log, on a run small enough to work out by hand:
// a byte takes 1 ms on the wire.
#include "tools/emulator/line_time.h"

#include <gtest/gtest.h>

namespace patu::emu {
namespace {

Exchange probe(std::int64_t t_in, std::int64_t t_out) {
  Exchange e;
  e.kind = Exchange::Kind::probe;
  e.byte = 0xAB;
  e.answer = {0x54};
  e.t_in = t_in;
  e.t_out = t_out;
  return e;
}

Exchange command(char letter, int frame, int reply, std::int64_t t_in, std::int64_t t_frame,
                 std::int64_t t_out) {
  Exchange e;
  e.letter = letter;
  e.frame_length = frame;
  e.frame_received = frame;
  e.reply_sent = reply;
  e.t_in = t_in;
  e.t_frame = t_frame;
  e.t_out = t_out;
  return e;
}

TEST(LineTime, LimitFloorAndHostTimeOfAShortRun) {
  Dump dump;
  dump.byte_time_us = 1000;
  dump.log = {probe(1, 1),
              // 'E': the 80 ms pause outlasts its 2-byte reply.
              command('E', 4, 2, 10, 20, 100),
              // 'W': 50 ms before it; its 133-byte frame outlasts the pause.
              command('W', 133, 2, 160, 300, 400)};
  const auto t = line_time(dump);
  ASSERT_TRUE(t.has_value());
  EXPECT_EQ(t->commands, 2);
  // Probe and answer 2; 'E' 2 + 4 + 80; 'W' 2 + 133 + 80 + 50.
  EXPECT_DOUBLE_EQ(t->limit_ms, 2 + 86 + 265);
  // Probe and answer 2; 'E' max(2 + 80, 8); 'W' max(2 + 80, 137) + 50.
  EXPECT_DOUBLE_EQ(t->floor_ms, 2 + 82 + 187);
  // Answer's end (2) to the sync byte's start (9); complement's end (11) to the frame's
  // start (16); the later of the reply's end (102) and the pause's (96), plus the 50 ms, to
  // the next sync byte (159); complement's end (161) to the frame's start (167).
  EXPECT_DOUBLE_EQ(t->host_ms, 7 + 5 + 7 + 6);
  EXPECT_DOUBLE_EQ(t->start_ms, 0);
  EXPECT_DOUBLE_EQ(t->end_ms, 402);
}

TEST(LineTime, NothingWithoutAProbeOrACommand) {
  Dump dump;
  dump.byte_time_us = 1042;
  EXPECT_FALSE(line_time(dump).has_value());
  Exchange noise;
  noise.kind = Exchange::Kind::ignored;
  noise.t_in = 5;
  dump.log.push_back(noise);
  EXPECT_FALSE(line_time(dump).has_value());
}

}  // namespace
}  // namespace patu::emu
