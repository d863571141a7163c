#include "tests/support/job_rig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace patu::testing {

const std::vector<std::string>& shipped_text() {
  static const std::vector<std::string> text = [] {
    std::ifstream in(PATU_PACKAGE_FILE);
    std::stringstream file;
    file << in.rdbuf();
    return split_package_text(file.str());
  }();
  return text;
}

std::uint32_t WatchedPort::longest_gap() const {
  std::uint32_t longest = 0;
  for (std::size_t i = 1; i < marks.size(); ++i) {
    longest = std::max(longest, static_cast<std::uint32_t>(marks[i] - marks[i - 1]));
  }
  return longest;
}

bool WatchedPort::ABRE_PORTA(int porta) {
  const bool opened = port_.ABRE_PORTA(porta);
  if (opened) {
    ++opens;
    marks.push_back(clock_.tick_ms());
  }
  return opened;
}

void WatchedPort::FECHA_PORTA() {
  if (port_.PORTA_ABERTA()) {
    ++closes;
    marks.push_back(clock_.tick_ms());
  }
  port_.FECHA_PORTA();
}

void WatchedPort::purge(Purge queue) {
  watch();
  if (queue == Purge::tx) {
    if (on_command) on_command();
    marks.push_back(clock_.tick_ms());
  }
  port_.purge(queue);
}

JobRun::JobRun(emu::DeviceConfig config, const std::vector<std::string>& package)
    : device(std::move(config)),
      lines(package),
      loaded(load_package(lines, state)),
      window(loaded.pbAND_max.value_or(0)) {}

void expect_pc_held_for_the_exchanges_only(const JobRun& run) {
  EXPECT_EQ(run.port.unguarded, 0) << "the line was used while the PC was not held";
  EXPECT_EQ(run.window.reports_while_held, std::vector<std::string>{})
      << "reports shown while the PC was held";
  EXPECT_FALSE(run.window.held);
  const auto& events = run.window.events;
  EXPECT_EQ(std::count(events.begin(), events.end(), "hold"), run.port.opens);
  EXPECT_EQ(std::count(events.begin(), events.end(), "release"), run.port.opens);
}

std::vector<const emu::Exchange*> commands(const emu::Dump& dump) {
  std::vector<const emu::Exchange*> out;
  for (const emu::Exchange& e : dump.log) {
    if (e.kind == emu::Exchange::Kind::command) out.push_back(&e);
  }
  return out;
}

}  // namespace patu::testing
