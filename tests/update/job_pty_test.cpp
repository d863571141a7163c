// The whole job on a real line: the POSIX serial backend and the emulator program on a
// pseudo-terminal, with the mandated pauses skipped, and a byte already waiting in the line
// when the port opens.

#include <gtest/gtest.h>

#include <algorithm>

#include "link/serial_posix.h"
#include "package/loader.h"
#include "tests/support/emulator_process.h"
#include "tests/support/job_rig.h"
#include "tests/support/recording_window.h"
#include "tools/emulator/image_check.h"
#include "update/job.h"

namespace patu {
namespace {

TEST(UpdateJobOnAPty, ShippedPackageLeavesTheExpectedImage) {
  const std::vector<std::string>& text = testing::shipped_text();

  testing::EmulatorProcess device;
  ASSERT_TRUE(device.start_device({"--serial", "00C0DE", "--waiting", "00"}))
      << device.stderr_text();
  PosixSerialPort port([&](int n) { return n == 3 ? device.link() : "/nonexistent"; });
  SkippingClock clock;
  Protocol link(port, clock);
  LineTable lines(text);
  PackageState state;
  const LoadResult loaded = load_package(lines, state);
  ASSERT_TRUE(loaded.ok) << loaded.error;
  testing::RecordingWindow window(*loaded.pbAND_max);
  UpdateJob job(port, link, lines, state, window);

  window.porta = 1;  // nothing there
  job.btATUALIZAClick();
  EXPECT_EQ(window.messages, (std::vector<int>{kMsgPrompt, kMsgPortError}));

  window.messages.clear();
  window.porta = 3;
  job.btATUALIZAClick();
  EXPECT_EQ(window.messages, (std::vector<int>{kMsgPrompt, kMsgDone}));
  EXPECT_EQ(window.status, "Atualização concluída!");
  EXPECT_EQ(window.position, 596);
  EXPECT_TRUE(window.end_requested);
  EXPECT_FALSE(port.PORTA_ABERTA());
  EXPECT_EQ(job.NUM_SERIE, "3300C0DE");

  const auto dump = device.dump();
  ASSERT_TRUE(dump.has_value());
  EXPECT_EQ(emu::image_differences(emu::expected_image(text, dump->initial_info), *dump),
            std::vector<std::string>{});
  EXPECT_EQ(dump->log.back().letter, 'G');
  EXPECT_EQ(dump->log.front().kind, emu::Exchange::Kind::probe);
  EXPECT_EQ(
      std::count_if(dump->log.begin(), dump->log.end(),
                    [](const emu::Exchange& e) { return e.kind != emu::Exchange::Kind::command; }),
      1)
      << "one probe, and nothing the device ignored";
}

}  // namespace
}  // namespace patu
