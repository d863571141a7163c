// The port panels' rule: ports present -> six panels and the choice, and the choice through
// arrivals, removals, clicks and jobs.

#include "update/port_panels.h"

#include <gtest/gtest.h>

namespace patu {
namespace {

std::vector<PortName> ports(std::vector<int> numbers) {
  std::vector<PortName> named;
  for (int n : numbers) named.push_back({n, "", ""});
  return named;
}

// "[1*] 2 9*": panels 1 (present, chosen), 2 and 9 (present).
std::string panels(const PortChoice& choice) {
  std::string text;
  for (const PortPanel& p : choice.panels()) {
    std::string panel = std::to_string(p.number) + (p.present ? "*" : "");
    if (p.number == choice.chosen()) panel = "[" + panel + "]";
    text += (text.empty() ? panel : " " + panel);
  }
  return text;
}

TEST(PortPanels, PresentPortsTakeTheLowestPanelsAndTheChoiceAtStart) {
  const std::pair<std::vector<int>, const char*> cases[] = {
      {{}, "[1] 2 3 4 5 6"},
      {{4, 1}, "[1*] 2 3 4* 5 6"},
      {{9}, "1 2 3 4 5 [9*]"},
      {{12, 2}, "1 [2*] 3 4 5 12*"},
      {{256, 12, 11, 10, 9, 8, 7, 3}, "[3*] 7* 8* 9* 10* 11*"},
  };
  for (const auto& [present, expected] : cases)
    EXPECT_EQ(panels(PortChoice(ports(present))), expected);
}

TEST(PortPanels, TheChoiceThroughArrivalsRemovalsClicksAndAJob) {
  PortChoice choice(ports({}));
  choice.click(3);
  EXPECT_TRUE(choice.update(ports({9}), false));
  EXPECT_EQ(panels(choice), "1 2 3 4 5 [9*]") << "the first port to arrive is the choice";
  choice.click(2);
  EXPECT_TRUE(choice.update(ports({9, 12}), false));
  EXPECT_EQ(panels(choice), "1 [2] 3 4 9* 12*") << "a clicked port keeps the choice";
  EXPECT_FALSE(choice.update(ports({12}), true));
  EXPECT_EQ(panels(choice), "1 [2] 3 4 9* 12*") << "the panels changed during a job";
  EXPECT_TRUE(choice.job_ended());
  EXPECT_EQ(panels(choice), "1 [2] 3 4 5 12*");
  choice.click(12);
  EXPECT_TRUE(choice.update(ports({5, 7}), false));
  EXPECT_EQ(panels(choice), "1 2 3 4 [5*] 7*") << "a clicked port gone from the panels";
}

TEST(PortPanels, TheStatusNamesTheChosenPortAsWindowsDoes) {
  PortChoice choice({{1, "Porta de comunicação (COM1)", "ACPI\\PNP0501"},
                     {9, "", "USB\\VID_1A86&PID_7523"},
                     {12, "USB-SERIAL CH340 (COM9)", ""}});
  EXPECT_EQ(choice.status(), "COM 1: Porta de comunicação");
  choice.click(9);
  EXPECT_EQ(choice.status(), "COM 9: USB\\VID_1A86&PID_7523");
  choice.click(12);
  EXPECT_EQ(choice.status(), "COM 12: USB-SERIAL CH340 (COM9)");
  choice.click(2);
  EXPECT_EQ(choice.status(), "COM 2: esta porta não existe neste PC");
}

}  // namespace
}  // namespace patu
