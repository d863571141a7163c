// Every command point of an update with the shipped package crossed with every fault the
// emulated device can inject there. The outcome each cell must show comes from the few
// rules below, not from running the job; each cell is also judged on the device's side, on
// the port and on the time the host spent waiting. The matrix is printed as a table.

#include <gtest/gtest.h>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "tests/faults/job_run.h"
#include "tools/emulator/fault.h"

namespace patu::testing {
namespace {

// What a fault does to the command it hits, as the host sees it.
enum class Effect {
  passes,       // the command succeeds all the same
  fails,        // the command fails; the device stays on the line
  device_gone,  // the command fails and so does every later one
};

struct FaultColumn {
  const char* kind;  // as the emulator's fault text names it
  Effect on_read;    // on a 'D'
  Effect on_other;   // on 'E', 'W', 'F', 'G'
};

// A read does not look at the status byte; a late reply is a failure only once the host
// stopped waiting for it (5 s).
constexpr FaultColumn kFaults[] = {
    {"silence", Effect::fails, Effect::fails},
    {"noise", Effect::passes, Effect::passes},
    {"nak", Effect::passes, Effect::fails},
    {"len0", Effect::fails, Effect::fails},
    {"short", Effect::fails, Effect::fails},
    {"shortlen", Effect::fails, Effect::fails},
    {"hangup", Effect::device_gone, Effect::device_gone},
    {"poweroff", Effect::device_gone, Effect::device_gone},
    {"slow=6000", Effect::fails, Effect::fails},
    {"slow=4000", Effect::passes, Effect::passes},
};

// The rules the job follows, by where the failing command stands.
Outcome expected_outcome(Stage stage, Effect effect) {
  if (effect == Effect::passes) return Outcome::done;
  switch (stage) {
    case Stage::identification:
      // The retry with 0x85 finds no device of another version either.
      return Outcome::no_device;
    case Stage::second_reading:
      return Outcome::gone_quiet;
    case Stage::module_area:
      // Its result is not looked at: only a device that left the line stops the pages.
      return effect == Effect::device_gone ? Outcome::failed : Outcome::done;
    default:
      return Outcome::failed;
  }
}

struct Point {
  std::string label;
  std::uint32_t number;  // the command's number in the device's log
  PlannedCommand command;
};

std::string hex4(std::uint32_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(value & 0xFFFF));
  return text;
}

// The command points, found in the plan of a clean update.
std::vector<Point> points_of(const std::vector<PlannedCommand>& plan) {
  std::vector<Point> points;
  auto add = [&](const std::string& label, auto&& is) {
    for (std::size_t i = 0; i < plan.size(); ++i) {
      if (is(plan[i])) {
        points.push_back({label, static_cast<std::uint32_t>(i + 1), plan[i]});
        return;
      }
    }
    ADD_FAILURE() << "the package has no command for " << label;
  };
  auto at_stage = [](Stage stage, int letter) {
    return [=](const PlannedCommand& c) { return c.stage == stage && c.letter == letter; };
  };
  add("D identification", at_stage(Stage::identification, 'D'));
  add("D second reading", at_stage(Stage::second_reading, 'D'));
  for (int section : {1, 2}) {
    for (int letter : {'E', 'W'}) {
      std::uint32_t first = 0;
      for (const PlannedCommand& c : plan) {
        if (c.stage == Stage::firmware && c.section == section) {
          first = c.argument;
          break;
        }
      }
      add(std::string(1, static_cast<char>(letter)) + " block " + hex4(first) + " (s" +
              std::to_string(section) + ")",
          [=](const PlannedCommand& c) {
            return c.stage == Stage::firmware && c.section == section && c.letter == letter;
          });
    }
  }
  add("E module area", at_stage(Stage::module_area, 'E'));
  std::uint32_t pages = 0;
  for (const PlannedCommand& c : plan) pages += c.stage == Stage::page ? 1 : 0;
  const std::uint32_t middle = pages / 4;  // two halves a page
  for (std::uint32_t half : {0u, 128u}) {
    add("F page " + std::to_string(middle) + (half == 0 ? " 1st half" : " 2nd half"),
        [=](const PlannedCommand& c) {
          return c.stage == Stage::page && c.argument == middle * 256 + half;
        });
  }
  add("E info block", at_stage(Stage::info_block, 'E'));
  add("W info block", at_stage(Stage::info_block, 'W'));
  add("G", at_stage(Stage::finalize, 'G'));
  return points;
}

// Everything but the outcome itself, for one cell.
void judge_cell(const JobRun& run, const Point& point, Outcome expected,
                const emu::DeviceImage& image) {
  const emu::Dump& dump = run.dump();
  EXPECT_FALSE(run.port.PORTA_ABERTA());
  EXPECT_EQ(run.port.opens, 1);
  EXPECT_EQ(run.port.closes, 1);
  EXPECT_LE(run.port.longest_gap(), kLongestExchangeMs) << "the host waited beyond its time-outs";
  expect_pc_held_for_the_exchanges_only(run);

  // Identification reads and nothing else.
  const auto sent = commands(dump);
  for (std::size_t i = 0; i < sent.size() && i < 2; ++i) {
    EXPECT_TRUE(sent[i]->letter == 'D' || sent[i]->letter == -1) << "command " << i + 1;
  }
  switch (expected) {
    case Outcome::no_device:
    case Outcome::gone_quiet:
      EXPECT_EQ(written_anything(dump), std::vector<std::string>{});
      break;
    case Outcome::failed:
      // A late acknowledgement of 'G' itself may have come after the device finalized.
      if (point.command.stage != Stage::finalize) {
        EXPECT_FALSE(dump.finalized);
      }
      ASSERT_FALSE(sent.empty());
      EXPECT_EQ(sent.back()->number, point.number) << "a command followed the failed one";
      if (point.command.stage < Stage::info_block) {
        EXPECT_EQ(dump.blocks.at(emu::kInfoAddress), dump.initial_info) << "info block changed";
      }
      break;
    case Outcome::done:
      EXPECT_EQ(differences(image, dump), std::vector<std::string>{});
      break;
    default:
      break;
  }
}

TEST(FaultMatrix, EveryCommandPointUnderEveryFaultEndsAsTheRulesSay) {
  const std::vector<std::string>& text = shipped_text();
  const auto plan = plan_of(text);
  const auto points = points_of(plan);
  const emu::DeviceImage image = emu::expected_image(text, emu::default_info());

  std::ostringstream table;
  char cell_text[64];
  std::snprintf(cell_text, sizeof cell_text, "%-22s", "point \\ fault");
  table << cell_text;
  for (const FaultColumn& f : kFaults) {
    std::snprintf(cell_text, sizeof cell_text, " %-11s", f.kind);
    table << cell_text;
  }
  table << "\n";

  for (const Point& point : points) {
    std::snprintf(cell_text, sizeof cell_text, "%-22s", point.label.c_str());
    table << cell_text;
    for (const FaultColumn& f : kFaults) {
      const std::string fault = std::string(f.kind) + "@#" + std::to_string(point.number);
      const std::string cell = point.label + " x " + f.kind + " (" + fault + ")";
      SCOPED_TRACE(cell);
      std::string error;
      const auto parsed = emu::parse_fault(fault, &error);
      ASSERT_TRUE(parsed.has_value()) << error;
      emu::DeviceConfig config;
      config.faults.push_back(*parsed);
      JobRun run(config, text);
      run.press();

      const Effect effect = point.command.letter == 'D' ? f.on_read : f.on_other;
      const Outcome expected = expected_outcome(point.command.stage, effect);
      const Outcome seen = outcome_of(run);
      if (seen != expected) {
        ADD_FAILURE() << cell << ": shows \"" << name(seen) << "\", the rules give \""
                      << name(expected) << "\"";
      }
      judge_cell(run, point, expected, image);
      const std::string shown =
          seen == expected ? name(seen) : std::string(name(seen)) + "!=" + name(expected);
      std::snprintf(cell_text, sizeof cell_text, " %-11s", shown.c_str());
      table << cell_text;
    }
    table << "\n";
  }
  std::cout << "\nOutcome of each fault at each command point (msg 3: no device, the program "
               "runs on; msg 3, ends: the program ends after message 3; failed: \"not completed\" "
               "reported; "
               "done: message 7; a!=b: shows a, the rules give b)\n"
            << table.str() << std::endl;
}

}  // namespace
}  // namespace patu::testing
