// The dump: what a run leaves reads back exactly, its lines are what scripts grep for, and
// damaged dumps are refused.

#include "tools/emulator/dump.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/emulator/device_bytes.h"
#include "tools/emulator/device.h"

namespace patu::emu {
namespace {

using testing::Bytes;
using testing::frame_d;
using testing::frame_e;
using testing::frame_f;
using testing::frame_g;
using testing::frame_w;
using testing::Host;
using testing::pattern;

// A run that fills every part of the dump: probe, ignored bytes, faults of both phases,
// violations, a bad frame with an unprintable letter, an abandoned frame, pages, a hang-up.
Dump eventful_run() {
  DeviceConfig config;
  config.baud = 9600;
  config.module_area = 0xB000;
  config.probe_answer = {0x54, 0x00};
  for (const char* text : {"noise@#2", "nak@W#1", "slow=250@D", "silence@#9", "hangup@G"}) {
    config.faults.push_back(*parse_fault(text));
  }
  Device device(config);
  Host host(device);
  host.send({0xAB, 0x85, 0x13});
  host.command(frame_d(0x8000));
  host.command(frame_e(0x8900));
  host.command(frame_w(0x8900, pattern(1)));
  host.command(frame_w(0x8980, pattern(2)));
  host.command(frame_f(3, 128, pattern(3)));
  host.command(frame_e(0xB000));
  host.command(frame_f(3, 0, pattern(4)));
  host.command({4, 0x00, 0x12, 0x34});
  host.send({0x86});
  host.now += 2'000'000;
  host.send({0x86});
  host.take();
  host.send({133, 'W'});
  host.now += 2'000'000;
  host.command(frame_g());
  return device.state();
}

TEST(DumpText, AnEventfulRunReadsBackExactly) {
  const Dump dump = eventful_run();
  ASSERT_TRUE(dump.hung_up);
  ASSERT_FALSE(dump.violations.empty());
  ASSERT_FALSE(dump.pages.empty());
  const std::string text = write_dump(dump);
  std::string error;
  const auto parsed = parse_dump(text, &error);
  ASSERT_TRUE(parsed.has_value()) << error << "\n" << text;
  EXPECT_EQ(*parsed, dump);
  EXPECT_EQ(write_dump(*parsed), text);
}

TEST(DumpText, LinesReadAsDocumentedForScripts) {
  Device device;
  Host host(device);
  host.send({0xAB});
  host.command(frame_e(0x8A80));
  host.command(frame_f(0x01FC, 128, pattern(1)));
  const std::string text = write_dump(device.state());
  EXPECT_EQ(
      text.rfind("patu-emulator-dump 1\nmodule-area AA00\nbyte-time-us 0\ninitial-info 0A1BFF0304",
                 0),
      0u)
      << text;
  for (const char* line : {
           "\nprobe t=0 answer=54 t_answer=0\n",
           "\ncmd n=1 sync=86 noise=- letter=E arg=8A80 frame=4 rx=4 reply=2 sent=2 status=AA "
           "fault=- t_sync=0 t_frame=0 t_reply=0\n",
           "\ncmd n=2 sync=86 noise=- letter=F arg=01FC:80 frame=133 rx=133 reply=2 sent=2 "
           "status=AA fault=- t_sync=0 t_frame=0 t_reply=0\n",
           "\nerase n=1 addr=8A80\n",
           "\nblock 8A80 FFFF",
           "\npage 01FC FFFF",
           "\nviolation n=2 kind=page-before-area-erase letter=F arg=01FC:80\n",
           "\nfinalized 0\nhung-up 0\n",
       }) {
    EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
  }
  EXPECT_EQ(text.substr(text.size() - 4), "end\n");
}

TEST(DumpText, DamagedDumpsAreRefusedNamingTheLine) {
  const std::string good = write_dump(eventful_run());
  ASSERT_TRUE(parse_dump(good).has_value());
  auto replaced = [&good](const std::string& from, const std::string& to) {
    std::string text = good;
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
  };
  const std::string cases[] = {
      good.substr(0, good.size() - 4),  // cut before "end"
      good.substr(0, good.size() / 2),  // cut mid-line
      good + "cmd n=99\n",              // after "end"
      "x" + good,                       // not a dump
      replaced("module-area B000", "module-area B0000"),
      replaced("initial-info 0A1BFF", "initial-info 0A1BF"),
      replaced("finalized 0", "finalized 2"),
      replaced("hung-up 1", "hung-up yes"),
      replaced("cmd n=1 ", "cmd n=one "),
      replaced(" letter=W arg=8900", " letter=W arg=89"),
      replaced(" letter=F arg=0003:80", " letter=F arg=0003"),
      replaced(" rx=4 ", " rx=-4 "),
      replaced(" status=AA", " status=AAA"),
      replaced(" t_sync=", " t_syn="),
      replaced("kind=write-without-erase", "kind=whatever"),
      replaced("probe t=", "probe t=x"),
      replaced("\nerase ", "\nerased "),
  };
  for (const std::string& text : cases) {
    std::string error;
    EXPECT_FALSE(parse_dump(text, &error).has_value()) << text;
    EXPECT_EQ(error.rfind("line ", 0), 0u) << error;
  }
}

TEST(DumpText, HexHelpersKeepEveryByteAndRefuseOddText) {
  Bytes all(256);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(from_hex(to_hex(all)), all);
  EXPECT_EQ(to_hex(Bytes{0x0A, 0xF0}), "0AF0");
  EXPECT_EQ(from_hex("0af0"), (Bytes{0x0A, 0xF0}));
  EXPECT_EQ(from_hex(""), Bytes{});
  EXPECT_FALSE(from_hex("ABC").has_value());
  EXPECT_FALSE(from_hex("0G").has_value());
  EXPECT_FALSE(from_hex("+1").has_value());
}

}  // namespace
}  // namespace patu::emu
