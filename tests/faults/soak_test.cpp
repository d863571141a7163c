// The job run a thousand times against a device that answers with random valid and invalid
// bytes (a fixed seed, so every run can be replayed alone): every run must end in one of the
// job's outcomes with the port closed, write nothing outside the areas the package names,
// and never report success unless the device really holds the update.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <map>
#include <set>
#include <string>

#include "tests/faults/job_run.h"

namespace patu::testing {
namespace {

constexpr std::uint64_t kSeed = 0x5EED'0A7U;
constexpr int kRuns = 1000;

// The chance of each exchange going wrong, per run: mostly high, so that most runs end
// early and cheaply in every way there is; one run in twenty-five low enough that it often
// gets through all of the update's eleven hundred commands.
std::uint32_t per_million(int run) {
  constexpr std::uint32_t kHigh[] = {4'000, 15'000, 50'000, 150'000, 400'000};
  constexpr std::uint32_t kLow[] = {0, 100, 300};
  if (run % 25 == 0) return kLow[(run / 25) % 3];
  return kHigh[run % 5];
}

// The areas the package names: the firmware blocks, the module area, the info block and
// the pages.
struct Areas {
  std::set<std::uint16_t> blocks;
  std::set<std::uint16_t> erases;
  std::uint32_t pages = 0;
};

Areas areas_of(const std::vector<PlannedCommand>& plan) {
  Areas areas;
  for (const PlannedCommand& c : plan) {
    if (c.letter == 'E') areas.erases.insert(static_cast<std::uint16_t>(c.argument));
    if (c.letter == 'W') areas.blocks.insert(static_cast<std::uint16_t>(c.argument));
    if (c.letter == 'F' && c.argument % 256 == 0) ++areas.pages;
  }
  return areas;
}

std::vector<std::string> outside(const Areas& areas, const emu::Dump& dump) {
  std::vector<std::string> out;
  for (const auto& [address, block] : dump.blocks) {
    if (!areas.blocks.contains(address) && !areas.erases.contains(address)) {
      out.push_back("block " + std::to_string(address));
    }
  }
  for (const emu::Erase& e : dump.erases) {
    if (!areas.erases.contains(e.address)) out.push_back("erase " + std::to_string(e.address));
  }
  for (const auto& [number, page] : dump.pages) {
    if (number >= areas.pages) out.push_back("page " + std::to_string(number));
  }
  return out;
}

// A reply the host can only have read as an acknowledgement: complete, status 0xAA.
bool acknowledged(const emu::Exchange& e) {
  return e.reply_length >= 2 && e.reply_sent >= e.reply_length && e.status == kAck;
}

// For a run shown as a success: the device took exactly the plan's commands, every write
// acknowledged, and holds the update. When the module area's erase did not act (its result does not
// count), pages written over it are not held against the device.
std::vector<std::string> success_doubts(const std::vector<PlannedCommand>& plan,
                                        const emu::DeviceImage& image, const emu::Dump& dump) {
  std::vector<std::string> doubts = differences(image, dump);
  std::vector<const emu::Exchange*> framed;
  for (const emu::Exchange* e : commands(dump)) {
    if (e->letter != -1) framed.push_back(e);
  }
  std::size_t next = 0;
  for (const PlannedCommand& c : plan) {
    const bool arrived = next < framed.size() && framed[next]->letter == c.letter &&
                         framed[next]->argument == c.argument;
    if (!arrived && c.stage == Stage::module_area) continue;  // a lost erase does not count
    if (!arrived) {
      doubts.push_back("the planned " + std::string(1, static_cast<char>(c.letter)) + " " +
                       std::to_string(c.argument) + " did not come next");
      break;
    }
    if (c.letter != 'D' && c.stage != Stage::module_area && !acknowledged(*framed[next])) {
      doubts.push_back("command " + std::to_string(framed[next]->number) + " not acknowledged");
    }
    ++next;
  }
  if (next < framed.size()) doubts.push_back("the device took more commands than the plan");
  return doubts;
}

TEST(Soak, AThousandRunsAgainstAChaoticDeviceEndAsTheJobDefines) {
  const std::vector<std::string>& text = shipped_text();
  const auto plan = plan_of(text);
  const Areas areas = areas_of(plan);
  const emu::DeviceImage image = emu::expected_image(text, emu::default_info());

  std::map<std::string, int> outcomes;
  std::map<std::string, int> mishaps;
  int runs_with_confused_device = 0;
  const auto started = std::chrono::steady_clock::now();
  int runs = 0;
  for (int i = 0; i < kRuns; ++i) {
    ++runs;
    const std::uint64_t seed = kSeed + static_cast<std::uint64_t>(i);
    SCOPED_TRACE("run " + std::to_string(i) + ": Chaos{" + std::to_string(seed) + ", " +
                 std::to_string(per_million(i)) + "}");
    emu::DeviceConfig config;
    config.chaos = emu::Chaos{seed, per_million(i)};
    JobRun run(config, text);
    run.press();

    const emu::Dump& dump = run.dump();
    const Outcome outcome = outcome_of(run);
    ++outcomes[name(outcome)];
    for (const emu::Exchange* e : commands(dump)) {
      if (!e->fault.empty()) ++mishaps[e->fault.substr(0, e->fault.find_first_of("=,"))];
    }
    runs_with_confused_device += dump.violations.empty() ? 0 : 1;

    EXPECT_NE(outcome, Outcome::unknown)
        << "events: " << ::testing::PrintToString(run.window.events);
    EXPECT_FALSE(run.port.PORTA_ABERTA());
    EXPECT_EQ(run.port.opens, run.port.closes);
    EXPECT_LE(run.port.longest_gap(), kLongestExchangeMs);
    expect_pc_held_for_the_exchanges_only(run);
    EXPECT_EQ(outside(areas, dump), std::vector<std::string>{});
    switch (outcome) {
      case Outcome::no_device:
      case Outcome::incompatible:
      case Outcome::gone_quiet:
      case Outcome::wrong_serial:
        EXPECT_EQ(written_anything(dump), std::vector<std::string>{});
        break;
      case Outcome::done:
        EXPECT_EQ(success_doubts(plan, image, dump), std::vector<std::string>{});
        break;
      default:
        break;
    }
    if (::testing::Test::HasFailure()) break;  // one replayable run is enough to go on
  }
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - started);

  std::cout << "\n" << runs << " runs in " << ms.count() << " ms. Outcomes:";
  for (const auto& [outcome, count] : outcomes) std::cout << "  " << outcome << " " << count;
  std::cout << "\nCommands hit by each mishap:";
  for (const auto& [mishap, count] : mishaps) std::cout << "  " << mishap << " " << count;
  std::cout << "\nRuns in which the device saw a protocol violation: " << runs_with_confused_device
            << "\n";

  // The soak only proves something if the chaos reached every outcome it can.
  for (Outcome o : {Outcome::no_device, Outcome::incompatible, Outcome::gone_quiet,
                    Outcome::wrong_serial, Outcome::failed, Outcome::done}) {
    EXPECT_GT(outcomes[name(o)], 0) << "no run ended with " << name(o);
  }
}

}  // namespace
}  // namespace patu::testing
