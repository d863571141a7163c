#pragma once
// Which serial ports the six port panels offer, which one is chosen, and what the status line
// says of it while no job runs. Knows nothing of windows: the window reads the ports present
// and hands them here.

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace patu {

inline constexpr int kPanelCount = 6;
inline constexpr int kHighestPort = 256;
// What the status line says after "COM n: " of a port that Windows does not name, and of one
// that is not on this PC.
inline constexpr std::string_view kUnnamedPort = "porta serial deste PC";
inline constexpr std::string_view kAbsentPort = "esta porta não existe neste PC";

// A serial port the PC has, as its system names it.
struct PortName {
  int number = 0;           // n of COM n, 1 to 256
  std::string friendly;     // "USB-SERIAL CH340 (COM9)"; empty when unknown
  std::string hardware_id;  // "USB\VID_1A86&PID_7523"; empty when unknown
  bool operator==(const PortName&) const = default;
};

struct PortPanel {
  int number = 0;  // its caption's n and its Tag
  bool present = false;
};

// Ports present -> the six panels: those present in ascending order (the lowest six when there
// are more), completed with the lowest absent numbers, all in ascending order. With nothing
// above 6 present, COM 1 to COM 6.
std::array<PortPanel, kPanelCount> port_panels(const std::vector<PortName>& present);

// The choice and the panels through the life of the window.
class PortChoice {
 public:
  // The choice at start: COM 1 when it is present or when nothing is, else the lowest present.
  explicit PortChoice(std::vector<PortName> present);

  const std::array<PortPanel, kPanelCount>& panels() const { return panels_; }
  int chosen() const { return chosen_; }
  // The technician chose the port on a panel.
  void click(int number);
  // The ports present now. While a job runs nothing changes until job_ended(); otherwise a
  // clicked port stays chosen while it has a panel, one that arrives when none was present
  // becomes the choice, and a choice nobody made follows the rule at start. True when the
  // panels, the choice or the ports' names changed.
  bool update(std::vector<PortName> present, bool job_running);
  // Applies the last list held back by a job. True when anything changed, as for update().
  bool job_ended();
  // The status line while no job runs: "COM 9: USB-SERIAL CH340" (the port's name, else its
  // hardware id), or that COM n is not on this PC.
  std::string status() const;

 private:
  bool apply(std::vector<PortName> present);

  std::vector<PortName> present_;
  std::array<PortPanel, kPanelCount> panels_;
  int chosen_ = 1;
  bool clicked_ = false;
  std::optional<std::vector<PortName>> held_back_;  // the last list a job held back
};

}  // namespace patu
