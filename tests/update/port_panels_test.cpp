// The port panels' rule: ports present -> six panels and the choice, and the choice through
// arrivals, removals, clicks and jobs.

#include "update/port_panels.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace patu {
namespace {

std::vector<PortName> ports(std::vector<int> numbers) {
  std::vector<PortName> named;
  for (int n : numbers) named.push_back({n, "", ""});
  return named;
}

// "3 7* 9" for panels 3, 7 (present) and 9.
std::string captions(const PortChoice& choice) {
  std::string text;
  for (const PortPanel& p : choice.panels())
    text += (text.empty() ? "" : " ") + std::to_string(p.number) + (p.present ? "*" : "");
  return text;
}

TEST(PortPanels, PresentPortsTakeTheLowestPanelsAndTheChoiceAtStart) {
  const struct {
    std::vector<int> present;
    const char* panels;
    int chosen;
  } cases[] = {
      {{}, "1 2 3 4 5 6", 1},
      {{4, 1}, "1* 2 3 4* 5 6", 1},
      {{9}, "1 2 3 4 5 9*", 9},
      {{12, 2}, "1 2* 3 4 5 12*", 2},
      {{1, 256}, "1* 2 3 4 5 256*", 1},
      {{256, 12, 11, 10, 9, 8, 7, 3}, "3* 7* 8* 9* 10* 11*", 3},
  };
  for (const auto& c : cases) {
    const PortChoice choice(ports(c.present));
    EXPECT_EQ(captions(choice), c.panels);
    EXPECT_EQ(choice.chosen(), c.chosen) << c.panels;
  }
}

TEST(PortPanels, TheChoiceThroughArrivalsRemovalsClicksAndAJob) {
  PortChoice choice(ports({}));
  choice.click(3);
  EXPECT_TRUE(choice.update(ports({9}), false));
  EXPECT_EQ(choice.chosen(), 9) << "the first port to arrive is the choice";
  choice.click(2);
  EXPECT_TRUE(choice.update(ports({9, 12}), false));
  EXPECT_EQ(choice.chosen(), 2) << "a clicked port keeps the choice while it has a panel";

  EXPECT_FALSE(choice.update(ports({12}), true));
  EXPECT_EQ(captions(choice), "1 2 3 4 9* 12*") << "the panels changed during a job";
  EXPECT_TRUE(choice.job_ended());
  EXPECT_EQ(captions(choice), "1 2 3 4 5 12*");
  EXPECT_FALSE(choice.job_ended());

  choice.click(12);
  EXPECT_TRUE(choice.update(ports({1, 5}), false));
  EXPECT_EQ(choice.chosen(), 1) << "a clicked port gone from the panels";
  EXPECT_FALSE(choice.update(ports({1, 5}), false));
  EXPECT_TRUE(choice.update(ports({5, 7}), false));
  EXPECT_EQ(choice.chosen(), 5) << "a choice nobody made follows the rule at start";
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
