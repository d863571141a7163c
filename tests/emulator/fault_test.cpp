// The fault text form: what --fault accepts, what it refuses, and that it reads back.

#include "tools/emulator/fault.h"

#include <gtest/gtest.h>

#include <string>

namespace patu::emu {
namespace {

TEST(FaultText, EveryKindAndTriggerFormIsReadAsMeant) {
  struct Case {
    const char* text;
    Fault fault;
  };
  using By = Trigger::By;
  const Case cases[] = {
      {"silence@#12", {FaultKind::silence, 0, {By::number, 0, 12}}},
      {"noise@#1", {FaultKind::noise, 0, {By::number, 0, 1}}},
      {"nak@W#3", {FaultKind::nak, 0, {By::letter_number, 'W', 3}}},
      {"len0@D", {FaultKind::len0, 0, {By::letter, 'D', 0}}},
      {"short@E:8A80", {FaultKind::short_reply, 0, {By::letter_argument, 'E', 0x8A80}}},
      {"shortlen@D:8000", {FaultKind::shortlen, 0, {By::letter_argument, 'D', 0x8000}}},
      {"hangup@F:01FC", {FaultKind::hangup, 0, {By::letter_argument, 'F', 0x01FC}}},
      {"poweroff@F#9", {FaultKind::poweroff, 0, {By::letter_number, 'F', 9}}},
      {"slow=6000@G", {FaultKind::slow, 6000, {By::letter, 'G', 0}}},
      {"nak@#400", {FaultKind::nak, 0, {By::number, 0, 400}}},
  };
  for (const Case& c : cases) {
    std::string error;
    const auto fault = parse_fault(c.text, &error);
    ASSERT_TRUE(fault.has_value()) << c.text << ": " << error;
    EXPECT_EQ(*fault, c.fault) << c.text;
    EXPECT_EQ(to_string(*fault), c.text);
  }
  EXPECT_EQ(to_string(*parse_fault("nak@W:8a80")), "nak@W:8A80") << "hex in either case";
}

TEST(FaultText, MalformedFaultsAreRefusedWithAReason) {
  for (const char* text :
       {"nak",       "nak@",        "@W",          "boom@W",     "slow@D",  "slow=@D",
        "slow=1x@D", "nak=3@D",     "nak@#0",      "nak@#",      "nak@#-1", "nak@X",
        "nak@W#0",   "nak@W:12",    "nak@W:12345", "nak@G:0000", "nak@W:",  "nak@WW",
        "silence@W", "silence@W#2", "noise@D:8000"}) {
    std::string error;
    EXPECT_FALSE(parse_fault(text, &error).has_value()) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
  std::string error;
  parse_fault("noise@D", &error);
  EXPECT_NE(error.find("#N"), std::string::npos) << error;
}

}  // namespace
}  // namespace patu::emu
