#pragma once
// An update with a package rehearsed in-process: pATU's own update job and protocol against
// the emulated device, on virtual time (no pause is paid, the line paced at the given rate on
// the device's clock). What it shows is what a real update sends, not a model of it.

#include <cstdint>
#include <string>
#include <vector>

#include "link/protocol.h"

namespace patu::pkg {

struct Rehearsal {
  int commands = 0;     // the framed commands the update sent, identification included
  double floor_ms = 0;  // the update's length as the link's floor gives it (the benchmark's)
  Block info{};         // the info block the device holds afterwards
};

// `lines` must be a valid package. Throws Refusal when the job does not reach its completion
// report with the device finalized and no protocol violation.
Rehearsal rehearse_update(const std::vector<std::string>& lines, std::uint32_t baud);

}  // namespace patu::pkg
