// The "Atualiza" job against the emulated device, in-process on virtual time: what the
// window was shown, and what the device ended up holding.

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "package/loader.h"
#include "tests/support/job_rig.h"
#include "tests/support/small_package.h"
#include "tools/emulator/device.h"
#include "tools/emulator/emulated_port.h"
#include "tools/emulator/image_check.h"
#include "update/identification.h"
#include "update/job.h"

namespace patu {
namespace {

using emu::DeviceConfig;
using emu::Exchange;
using testing::commands;
using testing::JobRun;
using testing::RecordingWindow;
using testing::shipped_text;

using testing::small_package;

// Commands that changed or would have changed the device's memory.
int writes(const emu::Dump& dump) {
  int n = 0;
  for (const Exchange* e : commands(dump)) n += e->letter != 'D';
  return n;
}

DeviceConfig with_fault(const std::string& fault) {
  DeviceConfig config;
  std::string error;
  const auto parsed = emu::parse_fault(fault, &error);
  EXPECT_TRUE(parsed.has_value()) << error;
  if (parsed) config.faults.push_back(*parsed);
  return config;
}

TEST(UpdateJob, FullUpdateWritesTheWholePackageInOrderAndReportsSuccess) {
  DeviceConfig config;
  config.info[3] = 0x00;  // kept bytes must come back exactly, whatever they are
  config.info[4] = 0x12;
  config.info[5] = 0xFF;
  const Block initial = config.info;
  JobRun rig(config, shipped_text());
  ASSERT_EQ(rig.loaded.pbAND_max, 596);
  // Message 7 opens with the final command answered, the PC let go and the port still open.
  bool finalized_at_report = false;
  bool open_at_report = false;
  rig.window.on_report = [&] {
    finalized_at_report = rig.dump().finalized;
    open_at_report = rig.port.PORTA_ABERTA();
  };
  rig.press();

  const RecordingWindow& w = rig.window;
  EXPECT_EQ(w.messages, (std::vector<int>{kMsgPrompt, kMsgDone}));
  EXPECT_TRUE(w.boxes.empty());
  EXPECT_EQ(w.status, "Atualização concluída!");
  EXPECT_EQ(w.position, 596);
  EXPECT_TRUE(w.end_requested);
  EXPECT_EQ(w.cursor, Cursor::normal);
  EXPECT_EQ(w.events.front(), "cursor hourglass");
  EXPECT_NE(
      std::find(w.events.begin(), w.events.end(), "status Atualização em andamento....330A1BFF"),
      w.events.end());
  EXPECT_TRUE(finalized_at_report);
  EXPECT_TRUE(open_at_report);
  EXPECT_FALSE(rig.port.PORTA_ABERTA());
  testing::expect_pc_held_for_the_exchanges_only(rig);
  EXPECT_EQ(rig.job.NUM_SERIE, "330A1BFF");
  EXPECT_EQ(rig.state.LINHA_ATUAL, 663);  // left on the info tail line

  EXPECT_EQ(emu::image_differences(emu::expected_image(shipped_text(), initial), rig.dump()),
            std::vector<std::string>{});
  const Block info = rig.device.block(0x8000);
  const std::vector<int> starts{0,   61,  108, 145, 188, 235, 280, 295, 316,
                                332, 339, 351, 396, 435, 458, 469, 476, 490};
  for (std::size_t m = 0; m < starts.size(); ++m) {
    EXPECT_EQ(info[18 + 2 * m] << 8 | info[19 + 2 * m], starts[m]) << "module " << m;
  }
  EXPECT_EQ(info[54], 0x01);
  EXPECT_EQ(info[55], 0xFD);
  for (int i = 56; i <= 65; ++i) EXPECT_EQ(info[i], 0xFF) << i;
  EXPECT_EQ(info[6], 0x15);
  EXPECT_EQ(info[16], 0xAA);
  EXPECT_EQ(info[17], 0x00);
  EXPECT_EQ((std::array<int, 6>{info[74], info[75], info[76], info[125], info[126], info[127]}),
            (std::array<int, 6>{0xCC, 0x89, 0xED, 0xCC, 0xA3, 0x18}));
  EXPECT_EQ((std::array<int, 3>{info[3], info[4], info[5]}),
            (std::array<int, 3>{0x00, 0x12, 0xFF}));

  // The commands, in order: two readings, both sections block by block, the module area,
  // every page in two halves, the info block, the final command.
  std::vector<std::pair<int, std::uint32_t>> expected{{'D', 0x8000}, {'D', 0x8000}};
  for (std::uint32_t a = 0x8900; a <= 0x8A00; a += 128) {
    expected.insert(expected.end(), {{'E', a}, {'W', a}});
  }
  for (std::uint32_t a = 0x8A80; a <= 0xA480; a += 128) {
    expected.insert(expected.end(), {{'E', a}, {'W', a}});
  }
  expected.push_back({'E', 0xAA00});
  for (std::uint32_t p = 0; p < 509; ++p) {
    expected.insert(expected.end(), {{'F', p * 256}, {'F', p * 256 + 128}});
  }
  expected.insert(expected.end(), {{'E', 0x8000}, {'W', 0x8000}, {'G', 0}});
  std::vector<std::pair<int, std::uint32_t>> sent;
  for (const Exchange* e : commands(rig.dump())) {
    sent.push_back({e->letter, e->argument});
    EXPECT_EQ(e->byte, 0x86);
  }
  EXPECT_EQ(sent, expected);
}

TEST(UpdateJob, OutcomesBeforeTheUpdateWriteNothingAndKeepTheProgramRunning) {
  struct Case {
    const char* name;
    DeviceConfig config;
    int porta;
    bool answer;
    std::vector<int> messages;
    bool device_spoken_to;
  };
  DeviceConfig silent;
  silent.probe_answer.clear();
  DeviceConfig other_answer;
  other_answer.probe_answer = {0x55};
  DeviceConfig no_identification;
  no_identification.silent_after_probe = true;
  DeviceConfig other_version;
  other_version.sync85_only = true;
  const std::vector<Case> cases{
      {"prompt declined", {}, 1, false, {kMsgPrompt}, false},
      {"port cannot be opened", {}, 2, true, {kMsgPrompt, kMsgPortError}, false},
      {"device silent after the probe", silent, 1, true, {kMsgPrompt, kMsgIncompatible}, true},
      {"another probe answer", other_answer, 1, true, {kMsgPrompt, kMsgIncompatible}, true},
      {"no identification", no_identification, 1, true, {kMsgPrompt, kMsgNoDevice}, true},
      {"another version", other_version, 1, true, {kMsgPrompt, kMsgIncompatible}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    JobRun rig(c.config, shipped_text());
    rig.window.porta = c.porta;
    rig.window.answer_prompt = c.answer;
    rig.window.position = 40;
    rig.press();
    const RecordingWindow& w = rig.window;
    EXPECT_EQ(w.messages, c.messages);
    EXPECT_TRUE(w.boxes.empty());
    EXPECT_EQ(w.status, "");
    EXPECT_EQ(w.position, 0);
    EXPECT_FALSE(w.end_requested);
    EXPECT_EQ(w.events.front(), "cursor hourglass");
    EXPECT_EQ(w.events.back(), "cursor normal");
    EXPECT_FALSE(rig.port.PORTA_ABERTA());
    testing::expect_pc_held_for_the_exchanges_only(rig);
    EXPECT_EQ(writes(rig.dump()), 0);
    EXPECT_EQ(!rig.dump().log.empty(), c.device_spoken_to);
    EXPECT_TRUE(rig.state.loaded);  // the user may try again
  }
}

// Bytes already in the line when the port opens (the device switched on with the cable
// attached, an adapter's buffer) are not the probe's answer: the update runs as on a quiet
// line, and the device sees one probe.
TEST(UpdateJob, BytesWaitingBeforeTheProbeAreNotTakenForItsAnswer) {
  const std::vector<std::vector<std::uint8_t>> stale{{0x00}, {0xFF, 0x54, 0x79, 0x02, 0xAA}};
  for (const auto& bytes : stale) {
    SCOPED_TRACE(::testing::PrintToString(bytes));
    DeviceConfig config;
    config.waiting = bytes;
    JobRun rig(config, shipped_text());
    rig.press();
    EXPECT_EQ(rig.window.messages, (std::vector<int>{kMsgPrompt, kMsgDone}));
    EXPECT_TRUE(rig.window.boxes.empty());
    EXPECT_EQ(emu::image_differences(emu::expected_image(shipped_text(), config.info), rig.dump()),
              std::vector<std::string>{});
    const auto& log = rig.dump().log;
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const Exchange& e) { return e.kind == Exchange::Kind::probe; }),
              1);
    testing::expect_pc_held_for_the_exchanges_only(rig);
  }
}

TEST(UpdateJob, IdentificationResultsLeaveTheSyncByteAndSerialAsFound) {
  DeviceConfig other_version;
  other_version.sync85_only = true;
  JobRun v85(other_version, shipped_text());
  v85.press();
  EXPECT_EQ(v85.link.BYTE_SINC, 0x85);
  EXPECT_EQ(v85.job.NUM_SERIE, "330A1BFF");

  DeviceConfig mute;
  mute.silent_after_probe = true;
  JobRun none(mute, shipped_text());
  none.press();
  EXPECT_EQ(none.link.BYTE_SINC, 0x85);
  EXPECT_EQ(none.job.NUM_SERIE, "");

  // A retry starts again with 0x86, then falls back to 0x85 as the first attempt did.
  none.window.messages.clear();
  const std::size_t first_attempt = none.dump().log.size();
  none.press();
  std::vector<int> retry;
  for (std::size_t i = first_attempt; i < none.dump().log.size(); ++i) {
    retry.push_back(none.dump().log[i].byte);
  }
  EXPECT_EQ(retry, (std::vector<int>{0xAB, 0x86, 0x85}));
  EXPECT_EQ(none.window.messages, (std::vector<int>{kMsgPrompt, kMsgNoDevice}));
}

TEST(UpdateJob, ProbeThatCannotBeWrittenGivesMessage3AndClosesThePort) {
  // The device hangs up at its first command, so a second attempt finds a dead line.
  JobRun rig(with_fault("hangup@#1"), shipped_text());
  rig.press();
  ASSERT_TRUE(rig.device.hung_up());
  rig.window.messages.clear();
  const std::size_t marks = rig.port.marks.size();
  rig.press();
  EXPECT_EQ(rig.window.messages, (std::vector<int>{kMsgPrompt, kMsgNoDevice}));
  EXPECT_EQ(rig.port.marks.size(), marks + 2) << "identification ran: only the open and close";
  EXPECT_FALSE(rig.port.PORTA_ABERTA());
  EXPECT_FALSE(rig.window.end_requested);
}

TEST(UpdateJob, SecondReadingThatFailsSaysSoWritesNothingAndEnds) {
  JobRun rig(with_fault("len0@D#2"), shipped_text());
  bool open_at_report = false;
  rig.window.on_report = [&] { open_at_report = rig.port.PORTA_ABERTA(); };
  rig.press();
  EXPECT_EQ(rig.window.messages, (std::vector<int>{kMsgPrompt, kMsgNoDevice}));
  EXPECT_TRUE(rig.window.boxes.empty());
  EXPECT_EQ(rig.window.status, "");
  EXPECT_TRUE(rig.window.end_requested);
  // The PC is let go as message 3 opens; the port is closed once it has been answered.
  const auto& e = rig.window.events;
  const auto msg3 = std::find(e.begin(), e.end(), "msg 3");
  ASSERT_NE(msg3, e.begin());
  EXPECT_EQ(*(msg3 - 1), "release");
  EXPECT_TRUE(open_at_report);
  EXPECT_EQ(rig.port.closes, 1);
  EXPECT_FALSE(rig.port.PORTA_ABERTA());
  testing::expect_pc_held_for_the_exchanges_only(rig);
  EXPECT_EQ(writes(rig.dump()), 0);
}

TEST(UpdateJob, AnotherSerialNumberAtTheSecondReadingWritesNothing) {
  JobRun rig({}, shipped_text());
  // Between identification and the update, another device takes the first one's place:
  // its info block carries another serial number.
  int command = 0;
  rig.port.on_command = [&] {
    if (++command != 2) return;
    Protocol other(rig.emulated, rig.clock);
    other.BYTE_SINC = 0x86;
    Block info = rig.device.block(0x8000);
    info[2] = 0x00;
    ASSERT_TRUE(other.GRAVA_BLOCO(0x8000, info));
  };
  rig.press();
  const int before = writes(rig.dump());
  EXPECT_EQ(rig.window.boxes,
            std::vector<std::string>{"Este aparelho não corresponde ao número de série 330A1BFF."});
  EXPECT_EQ(rig.window.box_kinds, std::vector<Box>{Box::notice}) << "not the failure box";
  EXPECT_EQ(rig.window.messages, (std::vector<int>{kMsgPrompt}));
  EXPECT_EQ(rig.window.status, "");
  EXPECT_TRUE(rig.window.end_requested);
  EXPECT_FALSE(rig.port.PORTA_ABERTA());
  testing::expect_pc_held_for_the_exchanges_only(rig);
  EXPECT_EQ(before, 2) << "only the swap itself wrote";
}

// A failure after the first write: no success shown, the failure said, the bar left where
// it stood, the program ends.
void expect_failure_report(const JobRun& rig, int position) {
  const RecordingWindow& w = rig.window;
  EXPECT_EQ(w.messages, (std::vector<int>{kMsgPrompt}));
  EXPECT_EQ(w.status, "Atualização não concluída!");
  EXPECT_EQ(w.boxes, std::vector<std::string>{std::string(kBoxFailed)});
  EXPECT_EQ(w.box_kinds, std::vector<Box>{Box::failure});
  EXPECT_EQ(w.position, position);
  EXPECT_TRUE(w.end_requested);
  EXPECT_EQ(w.cursor, Cursor::normal);
  EXPECT_FALSE(rig.port.PORTA_ABERTA());
  testing::expect_pc_held_for_the_exchanges_only(rig);
  EXPECT_FALSE(rig.dump().finalized);
}

TEST(UpdateJob, NakInTheMiddleOfAModuleKeepsEarlierPagesAndTheOldInfoBlock) {
  DeviceConfig config = with_fault("nak@F:0064");  // page 100, inside the third module
  const Block initial = config.info;
  JobRun rig(config, shipped_text());
  rig.press();
  expect_failure_report(rig, 1 + 56 + 1 + 100);
  const auto& pages = rig.dump().pages;
  EXPECT_EQ(pages.size(), 100u);
  EXPECT_FALSE(pages.contains(100));
  const auto image = emu::expected_image(shipped_text(), initial);
  for (const auto& [number, page] : pages) EXPECT_EQ(page, image.pages.at(number)) << number;
  EXPECT_EQ(rig.device.block(0x8000), initial);
  // The second half of the failed page was never sent.
  EXPECT_EQ(commands(rig.dump()).back()->argument, 100u * 256);
}

TEST(UpdateJob, FirmwareBlockFailureStopsBeforeTheModules) {
  DeviceConfig config = with_fault("nak@E#4");  // the erase of the fourth block (0x8A80)
  const Block initial = config.info;
  JobRun rig(config, shipped_text());
  rig.press();
  expect_failure_report(rig, 1 + 3);
  EXPECT_TRUE(rig.dump().pages.empty());
  EXPECT_EQ(rig.device.block(0x8000), initial);
  EXPECT_EQ(commands(rig.dump()).back()->letter, 'E') << "no 'W' after the failed erase";
}

TEST(UpdateJob, InfoBlockOrFinalCommandFailureIsReportedNotCelebrated) {
  for (const char* fault :
       {"nak@W:8000", "nak@E:8000", "nak@G", "silence@#1135", "silence@#1136"}) {
    SCOPED_TRACE(fault);
    JobRun rig(with_fault(fault), shipped_text());
    rig.press();
    expect_failure_report(rig, 1 + 56 + 1 + 509);
    EXPECT_EQ(rig.dump().pages.size(), 509u);
  }
}

TEST(UpdateJob, FailedModuleAreaEraseDoesNotStopTheUpdate) {
  JobRun rig(with_fault("nak@E:AA00"), shipped_text());
  rig.press();
  EXPECT_EQ(rig.dump().pages.size(), 509u);
  EXPECT_TRUE(rig.dump().finalized);
  EXPECT_EQ(rig.window.messages, (std::vector<int>{kMsgPrompt, kMsgDone}));
}

TEST(UpdateJob, EmptyModuleGroupSharesTheNextModulesStartPage) {
  DeviceConfig config;
  config.module_area = 0x4000;  // as the small package names it
  const std::vector<std::string> package = small_package({2, 0, 3});
  JobRun rig(config, package);
  ASSERT_TRUE(rig.state.loaded) << rig.loaded.error;
  rig.press();
  EXPECT_EQ(rig.window.messages, (std::vector<int>{kMsgPrompt, kMsgDone}));
  const Block info = rig.device.block(0x8000);
  EXPECT_EQ((std::vector<int>{info[18] << 8 | info[19], info[20] << 8 | info[21],
                              info[22] << 8 | info[23], info[24] << 8 | info[25]}),
            (std::vector<int>{0, 2, 2, 5}));
  EXPECT_EQ(info[26], 0xFF);
  EXPECT_EQ(rig.dump().pages.size(), 5u);
  EXPECT_EQ(emu::image_differences(emu::expected_image(package, emu::default_info()), rig.dump()),
            std::vector<std::string>{});
}

TEST(UpdateJob, PressAfterAnUpdateOrWithoutAPackageStartsNothing) {
  JobRun rig({}, shipped_text());
  rig.press();
  EXPECT_EQ(rig.window.messages, (std::vector<int>{kMsgPrompt, kMsgDone}));

  // The update consumed the package: the next press starts nothing.
  rig.window.messages.clear();
  rig.press();
  EXPECT_TRUE(rig.window.messages.empty());

  JobRun unloaded(
      {}, {"", "x", "y", "not a number", "*", "0000", "0000", "0000", "*", "*", "*", "FF", "FIM"});
  EXPECT_FALSE(unloaded.state.loaded);
  unloaded.press();
  EXPECT_TRUE(unloaded.window.events.empty());
  EXPECT_TRUE(unloaded.dump().log.empty());
}

}  // namespace
}  // namespace patu
