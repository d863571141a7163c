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
  bool answer_prompt = true;         // what the user answers to message 0
  std::function<void()> on_process;  // runs inside process_messages (re-entry)

  // What happened, in order: "msg 0", "status ...", "box ...", "cursor hourglass",
  // "cursor normal", "end", "port in use", "port free".
  std::vector<std::string> events;
  std::vector<int> messages;
  std::vector<std::string> boxes;
  std::string status;
  int position = 0;
  int pumps = 0;
  bool end_requested = false;
  bool port_in_use = false;
  Cursor cursor = Cursor::normal;

  int PORTA_COM() const override { return porta; }
  bool SHOW_MSG(int code) override {
    messages.push_back(code);
    events.push_back("msg " + std::to_string(code));
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
    if (on_process) on_process();
  }
  void message_box(std::string_view text) override {
    boxes.emplace_back(text);
    events.push_back("box " + boxes.back());
  }
  void set_cursor(Cursor c) override {
    cursor = c;
    events.push_back(c == Cursor::hourglass ? "cursor hourglass" : "cursor normal");
  }
  void request_end() override {
    end_requested = true;
    events.push_back("end");
  }
  void set_port_in_use(bool in_use) override {
    port_in_use = in_use;
    events.push_back(in_use ? "port in use" : "port free");
  }

 private:
  int max_;
};

}  // namespace patu::testing
