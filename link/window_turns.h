#pragma once
// The window's turn at its messages while the link waits. The program has one thread, and
// the serial calls block it: every wait of the port and the protocol (a request, a poll, a
// pause) hands the window the messages waiting for it, so that the window never stops
// answering for longer than a short wait.

namespace patu {

class WindowTurns {
 public:
  virtual ~WindowTurns() = default;
  // Hands the messages waiting for the window to it. May re-enter the window's handlers;
  // none of them may touch the port or the link while a job runs (the job refuses a second
  // one, a close request is only recorded).
  virtual void take_turn() = 0;
};

// The turns of a thread without a window (the natives, the tools, tests of the link alone):
// nothing to hand on, so a wait need not wake for messages either.
inline WindowTurns& no_window() {
  class NoWindow final : public WindowTurns {
   public:
    void take_turn() override {}
  };
  static NoWindow none;
  return none;
}

}  // namespace patu
