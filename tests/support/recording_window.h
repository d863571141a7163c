#pragma once
// A JobWindow that records what the job showed and did, for tests.

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "update/window.h"

namespace patu::testing {

class RecordingWindow : public JobWindow {
 public:
  explicit RecordingWindow(int progress_max = 596) : max_(progress_max) {}

  // Settings.
  int porta = 1;
  bool answer_prompt = true;        // what the user answers to message 0
  std::function<void()> on_report;  // runs as a message (but the prompt) or a box shows

  // What happened, in order: "msg 0", "status ...", "box ...", "cursor hourglass",
  // "cursor normal", "end", "hold", "release".
  std::vector<std::string> events;
  std::vector<int> messages;
  std::vector<std::string> boxes;
  std::vector<Box> box_kinds;  // what each of `boxes` reports
  std::string status;
  int position = 0;
  bool end_requested = false;
  bool held = false;
  // Messages ("msg N") and boxes ("box ...") shown while the PC was held.
  std::vector<std::string> reports_while_held;
  Cursor cursor = Cursor::normal;

  int PORTA_COM() const override { return porta; }
  bool SHOW_MSG(int code) override {
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
  void message_box(std::string_view text, Box box) override {
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
