#include "tests/faults/job_run.h"

#include <algorithm>

namespace patu::testing {

std::vector<PlannedCommand> plan_of(const std::vector<std::string>& package) {
  auto at = [&](std::size_t n) -> const std::string& { return package.at(n); };
  auto address = [](const std::string& hex) {
    return static_cast<std::uint32_t>(std::stoul(hex, nullptr, 16));
  };
  std::size_t n = 4;
  while (at(n) != "*") ++n;
  const std::uint32_t sections[] = {address(at(n + 1)), address(at(n + 2))};
  const std::uint32_t module_area = address(at(n + 3));
  std::size_t modules = 0;
  for (n += 4; at(n) != "*"; ++n) ++modules;
  ++n;

  std::vector<PlannedCommand> plan{{'D', 0x8000, Stage::identification},
                                   {'D', 0x8000, Stage::second_reading}};
  for (int s = 0; s < 2; ++s) {
    for (std::uint32_t a = sections[s]; at(n) != "*"; ++n, a += 128) {
      plan.push_back({'E', a, Stage::firmware, s + 1});
      plan.push_back({'W', a, Stage::firmware, s + 1});
    }
    ++n;
  }
  plan.push_back({'E', module_area, Stage::module_area});
  std::uint32_t page = 0;
  for (std::size_t m = 0; m < modules; ++m, ++n) {
    for (; at(n) != "*"; ++n, ++page) {
      plan.push_back({'F', page * 256, Stage::page});
      plan.push_back({'F', page * 256 + 128, Stage::page});
    }
  }
  plan.push_back({'E', 0x8000, Stage::info_block});
  plan.push_back({'W', 0x8000, Stage::info_block});
  plan.push_back({'G', 0, Stage::finalize});
  return plan;
}

const char* name(Outcome outcome) {
  switch (outcome) {
    case Outcome::no_device:
      return "msg 3";
    case Outcome::incompatible:
      return "msg 4";
    case Outcome::gone_quiet:
      return "msg 3, ends";
    case Outcome::wrong_serial:
      return "serial";
    case Outcome::failed:
      return "failed";
    case Outcome::done:
      return "done";
    case Outcome::unknown:
      break;
  }
  return "?";
}

Outcome outcome_of(const RecordingWindow& w, const std::string& serial) {
  const bool cursor_kept = !w.events.empty() && w.events.front() == "cursor hourglass" &&
                           w.events.back() == "cursor normal" && w.cursor == Cursor::normal;
  if (!cursor_kept) return Outcome::unknown;
  const auto shown = [&](std::vector<int> messages, std::vector<std::string> boxes,
                         std::string_view status, bool ends) {
    return w.messages == messages && w.boxes == boxes && w.status == status &&
           w.end_requested == ends;
  };
  const std::string running = "status " + std::string(kStatusRunning) + serial;
  const bool was_running = std::find(w.events.begin(), w.events.end(), running) != w.events.end();

  if (shown({kMsgPrompt, kMsgNoDevice}, {}, "", false)) return Outcome::no_device;
  if (shown({kMsgPrompt, kMsgIncompatible}, {}, "", false)) return Outcome::incompatible;
  if (shown({kMsgPrompt, kMsgNoDevice}, {}, "", true)) return Outcome::gone_quiet;
  if (shown({kMsgPrompt}, {std::string(kBoxWrongSerial) + serial + "."}, "", true) &&
      w.box_kinds == std::vector<Box>{Box::notice}) {
    return Outcome::wrong_serial;
  }
  if (shown({kMsgPrompt}, {std::string(kBoxFailed)}, kStatusFailed, true) &&
      w.box_kinds == std::vector<Box>{Box::failure} && was_running &&
      w.position < w.progress_max()) {
    return Outcome::failed;
  }
  if (shown({kMsgPrompt, kMsgDone}, {}, kStatusDone, true) && was_running &&
      w.position == w.progress_max()) {
    return Outcome::done;
  }
  return Outcome::unknown;
}

std::vector<std::string> written_anything(const emu::Dump& dump) {
  std::vector<std::string> out;
  for (const auto& [address, block] : dump.blocks) {
    if (address != emu::kInfoAddress) {
      out.push_back("block " + std::to_string(address) + " written");
    } else if (block != dump.initial_info) {
      out.push_back("info block changed");
    }
  }
  if (!dump.pages.empty()) out.push_back(std::to_string(dump.pages.size()) + " pages written");
  if (!dump.erases.empty()) out.push_back(std::to_string(dump.erases.size()) + " erases");
  if (dump.finalized) out.push_back("finalized");
  for (const emu::Exchange* e : commands(dump)) {
    if (e->letter != 'D' && e->letter != -1) {
      out.push_back("command " + std::to_string(e->number) + " is no read");
    }
  }
  return out;
}

std::vector<std::string> differences(const emu::DeviceImage& image, const emu::Dump& dump) {
  const bool area_erased =
      std::any_of(dump.erases.begin(), dump.erases.end(),
                  [&](const emu::Erase& e) { return e.address == image.module_area; });
  if (area_erased) return emu::image_differences(image, dump);
  emu::Dump unerased = dump;
  std::erase_if(unerased.violations, [](const emu::Violation& v) {
    return v.kind == emu::Violation::Kind::page_before_area_erase;
  });
  return emu::image_differences(image, unerased);
}

}  // namespace patu::testing
