// The dump: what a run leaves reads back exactly, one record a line as documented, and
// damaged records are refused.

#include "tools/emulator/dump.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/emulator/device_bytes.h"
#include "tools/emulator/device.h"
#include "tools/emulator/dump_read.h"

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

TEST(DumpRecord, AnEventfulRunReadsBackExactly) {
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

TEST(DumpRecord, OneRecordALineAsDocumented) {
  Device device;
  Host host(device);
  host.send({0xAB});
  host.command(frame_e(0x8A80));
  host.command(frame_f(0x01FC, 128, pattern(1)));
  const std::string text = write_dump(device.state());
  EXPECT_EQ(text.rfind("{\n  \"format\": \"patu-emulator-record\",\n  \"version\": 1,\n"
                       "  \"module_area\": \"AA00\",\n  \"byte_time_us\": 0,\n"
                       "  \"initial_info\": \"0A1BFF0304",
                       0),
            0u)
      << text;
  for (const char* line : {
           "\n    {\"kind\":\"probe\",\"t\":0,\"answer\":\"54\",\"t_answer\":0},\n",
           "\n    {\"kind\":\"cmd\",\"n\":1,\"sync\":\"86\",\"noise\":\"\",\"letter\":\"E\","
           "\"address\":\"8A80\",\"frame\":4,\"rx\":4,\"reply\":2,\"sent\":2,\"status\":\"AA\","
           "\"fault\":[],\"t_sync\":0,\"t_frame\":0,\"t_reply\":0},\n",
           "\"letter\":\"F\",\"page\":\"01FC\",\"offset\":128,\"frame\":133,",
           "\n    {\"n\":1,\"address\":\"8A80\"}\n",
           "\n    \"8A80\": \"FFFF",
           "\n  \"pages\": {\n    \"01FC\": \"FFFF",
           "\n    {\"n\":2,\"kind\":\"page-before-area-erase\",\"letter\":\"F\",\"page\":\"01FC\","
           "\"offset\":128}\n",
           "\n  \"finalized\": false,\n  \"hung_up\": false,\n",
       }) {
    EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
  }
  EXPECT_TRUE(text.ends_with("\n  ]\n}\n")) << text;
}

TEST(DumpRecord, DamagedRecordsAreRefusedSayingWhere) {
  const std::string good = write_dump(eventful_run());
  ASSERT_TRUE(parse_dump(good).has_value());
  auto replaced = [&good](const std::string& from, const std::string& to) {
    std::string text = good;
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
  };
  const std::pair<std::string, std::string> cases[] = {
      {good.substr(0, good.size() / 2), "parse"},  // cut short
      {replaced("\"version\": 1", "\"version\": 2"), "version 1"},
      {replaced("\"module_area\": \"B000\"", "\"module_area\": \"B0000\""), "4 hex digits"},
      {replaced("\"initial_info\": \"0A1BFF", "\"initial_info\": \"0A1BF"), "hex bytes"},
      {replaced("\"finalized\": false", "\"finalized\": 0"), "true or false"},
      {replaced("\"n\":1,", "\"n\":\"1\","), "]: not a count: \"1\""},
      {replaced("\"letter\":\"W\",\"address\":\"8900\"", "\"letter\":\"W\",\"address\":\"89\""),
       "4 hex digits"},
      {replaced("\"page\":\"0003\",\"offset\":128,\"frame\"", "\"page\":\"0003\",\"frame\""),
       "no \"offset\""},
      {replaced("\"rx\":4,", "\"rx\":-4,"), "not a count"},
      {replaced("\"t_sync\":", "\"t_syn\":"), "no \"t_sync\""},
      {replaced("write-without-erase", "whatever"), "violations[0]"},
      {replaced("\"kind\":\"probe\"", "\"kind\":\"probed\""), "log[0]"},
  };
  for (const auto& [text, why] : cases) {
    std::string error;
    EXPECT_FALSE(parse_dump(text, &error).has_value()) << text;
    EXPECT_NE(error.find(why), std::string::npos) << error;
  }
}

TEST(DumpRecord, HexHelpersKeepEveryByteAndRefuseOddText) {
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
