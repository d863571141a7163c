#pragma once
// A JobWindow that records what the job showed and did, for tests.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "link/clock.h"
#include "update/window.h"

namespace patu::testing {

class RecordingWindow : public JobWindow {
 public:
  explicit RecordingWindow(int progress_max = 596) : max_(progress_max) {}

  // Settings.
  int porta = 1;
  bool answer_prompt = true;         // what the user answers to message 0
  std::function<void()> on_process;  // runs inside process_messages (re-entry)
  std::function<void()> on_report;   // runs as a message (but the prompt) or a box shows
  std::function<void()> on_turn;     // runs inside a turn that a wait of the link hands on
  Clock* clock = nullptr;            // when set, the time of every turn is noted

  // What happened, in order: "msg 0", "status ...", "box ...", "cursor hourglass",
  // "cursor normal", "end", "hold", "release".
  std::vector<std::string> events;
  std::vector<int> messages;
  std::vector<std::string> boxes;
  std::vector<Box> box_kinds;  // what each of `boxes` reports
  std::string status;
  int position = 0;
  int pumps = 0;
  int turns = 0;  // turns handed on by the link's waits
  // The clock at every turn the window had at its messages: the job's pumps, the link's
  // turns, each message or box (modal, they serve the messages until answered).
  std::vector<std::uint32_t> turn_ticks;
  bool end_requested = false;
  bool held = false;
  // Messages ("msg N") and boxes ("box ...") shown while the PC was held.
  std::vector<std::string> reports_while_held;
  Cursor cursor = Cursor::normal;

  void note_turn() {
    if (clock) turn_ticks.push_back(clock->tick_ms());
  }
  // The longest time the window waited for its messages between two noted turns.
  std::uint32_t longest_without_turn() const {
    std::uint32_t longest = 0;
    for (std::size_t i = 1; i < turn_ticks.size(); ++i) {
      longest = std::max(longest, static_cast<std::uint32_t>(turn_ticks[i] - turn_ticks[i - 1]));
    }
    return longest;
  }

  int PORTA_COM() const override { return porta; }
  bool SHOW_MSG(int code) override {
    note_turn();
    messages.push_back(code);
    events.push_back("msg " + std::to_string(code));
    if (held) reports_while_held.push_back(events.back());
    if (on_report && code != kMsgPrompt) on_report();
    return code == kMsgPrompt ? answer_prompt : code == kMsgDone;
  }
  void set_status(std::string_view text) override {
    status = text;
    events.push_back("status " + status);
  }
  void step_progress(int delta) override { position = std::clamp(position + delta, 0, max_); }
  int progress_max() const override { return max_; }
  void process_messages() override {
    ++pumps;
    note_turn();
    if (on_process) on_process();
  }
  void take_turn() override {
    ++turns;
    note_turn();
    if (on_turn) on_turn();
  }
  void message_box(std::string_view text, Box box) override {
    note_turn();
    boxes.emplace_back(text);
    box_kinds.push_back(box);
    events.push_back("box " + boxes.back());
    if (held) reports_while_held.push_back(events.back());
    if (on_report) on_report();
  }
  void set_cursor(Cursor c) override {
    cursor = c;
    events.push_back(c == Cursor::hourglass ? "cursor hourglass" : "cursor normal");
  }
  void request_end() override {
    end_requested = true;
    events.push_back("end");
  }
  void hold_pc(bool hold) override {
    held = hold;
    events.push_back(hold ? "hold" : "release");
  }

 private:
  int max_;
};

}  // namespace patu::testing
