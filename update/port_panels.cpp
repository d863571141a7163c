#include "update/port_panels.h"

#include <algorithm>
#include <set>

namespace patu {
namespace {

bool is_present(const std::vector<PortName>& present, int number) {
  return std::any_of(present.begin(), present.end(),
                     [number](const PortName& p) { return p.number == number; });
}

int first_choice(const std::vector<PortName>& present) {
  int lowest = 0;
  for (const PortName& p : present) {
    if (lowest == 0 || p.number < lowest) lowest = p.number;
  }
  return lowest == 0 || is_present(present, 1) ? 1 : lowest;
}

// The name Windows gives a port carries its number, "Porta de comunicação (COM1)": the status
// line says the number first, so not twice.
std::string without_number(std::string name, int number) {
  const std::string suffix = " (COM" + std::to_string(number) + ")";
  if (name.size() >= suffix.size() &&
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
    name.resize(name.size() - suffix.size());
  }
  return name;
}

}  // namespace

std::array<PortPanel, kPanelCount> port_panels(const std::vector<PortName>& present) {
  std::set<int> numbers;
  for (const PortName& p : present) {
    if (p.number >= 1 && p.number <= kHighestPort) numbers.insert(p.number);
  }
  while (numbers.size() > kPanelCount) numbers.erase(std::prev(numbers.end()));
  for (int n = 1; numbers.size() < kPanelCount; ++n) numbers.insert(n);
  std::array<PortPanel, kPanelCount> panels;
  auto number = numbers.begin();
  for (PortPanel& panel : panels) {
    panel.number = *number++;
    panel.present = is_present(present, panel.number);
  }
  return panels;
}

PortChoice::PortChoice(std::vector<PortName> present)
    : present_(std::move(present)),
      panels_(port_panels(present_)),
      chosen_(first_choice(present_)) {}

void PortChoice::click(int number) {
  chosen_ = number;
  clicked_ = true;
}

bool PortChoice::update(std::vector<PortName> present, bool job_running) {
  if (job_running) {
    held_back_ = std::move(present);
    return false;
  }
  held_back_.reset();
  return apply(std::move(present));
}

bool PortChoice::job_ended() {
  if (!held_back_) return false;
  std::vector<PortName> present = std::move(*held_back_);
  held_back_.reset();
  return apply(std::move(present));
}

bool PortChoice::apply(std::vector<PortName> present) {
  const int chosen_before = chosen_;
  const bool none_before = present_.empty();
  const bool same_ports = present == present_;
  present_ = std::move(present);
  panels_ = port_panels(present_);
  const bool on_a_panel = std::any_of(panels_.begin(), panels_.end(),
                                      [this](const PortPanel& p) { return p.number == chosen_; });
  if ((none_before && !present_.empty()) || !clicked_ || !on_a_panel) {
    chosen_ = first_choice(present_);
    clicked_ = false;
  }
  // The panels follow from the ports: the same ports, the same panels.
  return !same_ports || chosen_ != chosen_before;
}

std::string PortChoice::status() const {
  const std::string port = "COM " + std::to_string(chosen_);
  for (const PortName& p : present_) {
    if (p.number != chosen_) continue;
    // Without a name, the id of the hardware behind it says at least what it is.
    std::string name = without_number(p.friendly, p.number);
    if (name.empty()) name = p.hardware_id;
    return port + ": " + (name.empty() ? std::string(kUnnamedPort) : name);
  }
  return port + ": " + std::string(kAbsentPort);
}

}  // namespace patu
