// The program's taskbar button while the job runs against a scripted device. Wine has no
// taskbar, so what would reach it is caught where it leaves the program: these definitions
// of the import slots of CoCreateInstance, FlashWindowEx and ChangeWindowMessageFilterEx take
// the place of the system's in this executable, CoCreateInstance handing out a taskbar
// interface that records every call; the taskbar's word that the button exists is sent as
// the taskbar sends it.

#include <gtest/gtest.h>
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>
#include <shobjidl.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support/fake_port.h"
#include "tests/support/import_slot.h"
#include "tests/ui/driver.h"
#include "tests/ui/other_program.h"
#include "tests/ui/program.h"
#include "update/job.h"

namespace {

// One call on the taskbar interface, with the main window's progress bar as it stood then.
struct TaskbarCall {
  std::string method;
  HWND window = nullptr;
  ULONGLONG completed = 0;
  ULONGLONG total = 0;
  TBPFLAG state = TBPF_NOPROGRESS;
  int bar = -1;
  int bar_max = -1;
};

class RecordingTaskbar final : public ITaskbarList3 {
 public:
  std::vector<TaskbarCall> calls;
  HRESULT init_result = S_OK;  // what HrInit answers
  HWND bar = nullptr;          // the progress bar noted with each call
  LONG references = 0;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (iid == __uuidof(IUnknown) || iid == __uuidof(ITaskbarList) ||
        iid == __uuidof(ITaskbarList2) || iid == __uuidof(ITaskbarList3)) {
      *object = static_cast<ITaskbarList3*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--references); }

  HRESULT STDMETHODCALLTYPE HrInit() override {
    note({"HrInit"});
    return init_result;
  }
  HRESULT STDMETHODCALLTYPE SetProgressValue(HWND window, ULONGLONG completed,
                                             ULONGLONG total) override {
    return note({"SetProgressValue", window, completed, total});
  }
  HRESULT STDMETHODCALLTYPE SetProgressState(HWND window, TBPFLAG state) override {
    return note({"SetProgressState", window, 0, 0, state});
  }
  // Nothing else is for pATU to call.
  HRESULT STDMETHODCALLTYPE AddTab(HWND window) override { return note({"AddTab", window}); }
  HRESULT STDMETHODCALLTYPE DeleteTab(HWND window) override { return note({"DeleteTab", window}); }
  HRESULT STDMETHODCALLTYPE ActivateTab(HWND window) override {
    return note({"ActivateTab", window});
  }
  HRESULT STDMETHODCALLTYPE SetActiveAlt(HWND window) override {
    return note({"SetActiveAlt", window});
  }
  HRESULT STDMETHODCALLTYPE MarkFullscreenWindow(HWND window, WINBOOL) override {
    return note({"MarkFullscreenWindow", window});
  }
  HRESULT STDMETHODCALLTYPE RegisterTab(HWND tab, HWND) override {
    return note({"RegisterTab", tab});
  }
  HRESULT STDMETHODCALLTYPE UnregisterTab(HWND tab) override {
    return note({"UnregisterTab", tab});
  }
  HRESULT STDMETHODCALLTYPE SetTabOrder(HWND tab, HWND) override {
    return note({"SetTabOrder", tab});
  }
  HRESULT STDMETHODCALLTYPE SetTabActive(HWND tab, HWND, DWORD) override {
    return note({"SetTabActive", tab});
  }
  HRESULT STDMETHODCALLTYPE ThumbBarAddButtons(HWND window, UINT, LPTHUMBBUTTON) override {
    return note({"ThumbBarAddButtons", window});
  }
  HRESULT STDMETHODCALLTYPE ThumbBarUpdateButtons(HWND window, UINT, LPTHUMBBUTTON) override {
    return note({"ThumbBarUpdateButtons", window});
  }
  HRESULT STDMETHODCALLTYPE ThumbBarSetImageList(HWND window, HIMAGELIST) override {
    return note({"ThumbBarSetImageList", window});
  }
  HRESULT STDMETHODCALLTYPE SetOverlayIcon(HWND window, HICON, LPCWSTR) override {
    return note({"SetOverlayIcon", window});
  }
  HRESULT STDMETHODCALLTYPE SetThumbnailTooltip(HWND window, LPCWSTR) override {
    return note({"SetThumbnailTooltip", window});
  }
  HRESULT STDMETHODCALLTYPE SetThumbnailClip(HWND window, RECT*) override {
    return note({"SetThumbnailClip", window});
  }

  // The calls that set the progress or its state.
  std::vector<TaskbarCall> progress_calls() const {
    std::vector<TaskbarCall> out;
    for (const TaskbarCall& c : calls) {
      if (c.method == "SetProgressValue" || c.method == "SetProgressState") out.push_back(c);
    }
    return out;
  }
  // The state the button shows after the calls so far (a value alone shows progress).
  TBPFLAG shown_state() const {
    TBPFLAG state = TBPF_NOPROGRESS;
    for (const TaskbarCall& c : calls) {
      if (c.method == "SetProgressState") state = c.state;
      if (c.method == "SetProgressValue" && state == TBPF_NOPROGRESS) state = TBPF_NORMAL;
    }
    return state;
  }

 private:
  HRESULT note(TaskbarCall call) {
    if (bar) {
      call.bar = static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0));
      call.bar_max = static_cast<int>(SendMessageW(bar, PBM_GETRANGE, FALSE, 0));
    }
    calls.push_back(std::move(call));
    return S_OK;
  }
};

struct Creation {
  bool taskbar_list;  // the class TaskbarList
  bool interface3;    // ITaskbarList3
  bool aggregated;
  DWORD context;
};

struct Flash {
  HWND window;
  DWORD flags;
  UINT count;
  DWORD timeout;
  bool program_in_front;  // the foreground window was one of this thread's at the call
};

struct Filter {
  HWND window;
  UINT message;
  DWORD action;
};

// What CoCreateInstance hands out for the taskbar; none: the class is not registered.
RecordingTaskbar* g_taskbar = nullptr;
std::vector<Creation> g_creations;
std::vector<Flash> g_flashes;
std::vector<Filter> g_filters;

bool program_in_front() {
  const HWND front = GetForegroundWindow();
  return front && GetWindowThreadProcessId(front, nullptr) == GetCurrentThreadId();
}

HRESULT WINAPI recording_CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context,
                                          REFIID iid, LPVOID* object) {
  g_creations.push_back(
      {clsid == __uuidof(TaskbarList), iid == __uuidof(ITaskbarList3), outer != nullptr, context});
  *object = nullptr;
  if (clsid != __uuidof(TaskbarList) || !g_taskbar) return REGDB_E_CLASSNOTREG;
  return g_taskbar->QueryInterface(iid, object);
}

WINBOOL WINAPI recording_FlashWindowEx(PFLASHWINFO info) {
  g_flashes.push_back(
      {info->hwnd, info->dwFlags, info->uCount, info->dwTimeout, program_in_front()});
  return FALSE;
}

WINBOOL WINAPI recording_ChangeWindowMessageFilterEx(HWND window, UINT message, DWORD action,
                                                     PCHANGEFILTERSTRUCT) {
  g_filters.push_back({window, message, action});
  return TRUE;
}

}  // namespace
extern "C" {
HRESULT(WINAPI* co_create_instance_slot)
(REFCLSID, LPUNKNOWN, DWORD, REFIID,
 LPVOID*)__asm__(PATU_IMPORT_SLOT(CoCreateInstance, 20)) = recording_CoCreateInstance;
WINBOOL(WINAPI* flash_window_ex_slot)
(PFLASHWINFO) __asm__(PATU_IMPORT_SLOT(FlashWindowEx, 4)) = recording_FlashWindowEx;
WINBOOL(WINAPI* change_filter_slot)
(HWND, UINT, DWORD,
 PCHANGEFILTERSTRUCT) __asm__(PATU_IMPORT_SLOT(ChangeWindowMessageFilterEx,
                                               16)) = recording_ChangeWindowMessageFilterEx;
}

namespace patu::testing {
namespace {

const UINT kButtonCreated = RegisterWindowMessageW(L"TaskbarButtonCreated");

// A port that lets a test act as the job opens it.
class OpeningPort final : public SerialPort {
 public:
  explicit OpeningPort(SerialPort& line) : line_(line) {}
  std::function<void()> on_open;

  bool ABRE_PORTA(int porta) override {
    if (on_open) on_open();
    return line_.ABRE_PORTA(porta);
  }
  void FECHA_PORTA() override { line_.FECHA_PORTA(); }
  bool ESCREVE_PORTA(const std::uint8_t* bytes, std::uint32_t count,
                     std::uint32_t& written) override {
    return line_.ESCREVE_PORTA(bytes, count, written);
  }
  bool LE_PORTA(std::uint32_t count, std::uint8_t* buffer, std::uint32_t& read) override {
    return line_.LE_PORTA(count, buffer, read);
  }
  void purge(Purge queue) override { line_.purge(queue); }
  bool PORTA_ABERTA() const override { return line_.PORTA_ABERTA(); }

 private:
  SerialPort& line_;
};

// The device's info block: serial number 330A1BFF.
Block info_block(std::uint8_t last_serial_byte = 0xFF) {
  Block info;
  info.fill(0x00);
  info[0] = 0x0A;
  info[1] = 0x1B;
  info[2] = last_serial_byte;
  return info;
}

// The program's objects as start-up makes them, over the small test package and a scripted
// device on port 1 that, as set up, takes a whole update.
struct Rig {
  Rig() {
    fmATU.connect(fmMSG, job);
    device.raw_answers[0xAB] = {'T'};
    device.replies = {ScriptedDevice::block_reply(info_block()),
                      ScriptedDevice::block_reply(info_block())};
    for (int i = 0; i < 16; ++i) device.replies.push_back(ScriptedDevice::ack());
    SetWindowSubclass(fmATU.pbAND, note_bar, 0, reinterpret_cast<DWORD_PTR>(this));
  }
  ~Rig() { RemoveWindowSubclass(fmATU.pbAND, note_bar, 0); }

  // Shows the main window and lets its activation load the package.
  void show() {
    fmATU.Show();
    app.ProcessMessages();
  }
  void taskbar_says_the_button_exists() { SendMessageW(app.handle(), kButtonCreated, 0, 0); }
  // Presses "Atualiza" and serves the window's messages until the job has ended.
  void press() {
    SendMessageW(fmATU.btATUALIZA, BM_CLICK, 0, 0);
    fmATU.jobs().wait();
  }
  int bar() const { return static_cast<int>(SendMessageW(fmATU.pbAND, PBM_GETPOS, 0, 0)); }
  int bar_max() const {
    return static_cast<int>(SendMessageW(fmATU.pbAND, PBM_GETRANGE, FALSE, 0));
  }

  Application app{GetModuleHandleW(nullptr)};
  LineTable lines{sample_package()};
  PackageState state;
  TfmATU fmATU{app, lines, state};
  TfmMSG fmMSG{app};
  ManualClock clock;
  FakePort line{clock};
  ScriptedDevice device{line};
  OpeningPort port{line};
  Protocol link{port, clock};
  UpdateJob job{port, link, lines, state, fmATU.jobs()};
  // Where each step of the bar left it, in order.
  std::vector<int> bar_steps;
  // Runs after each step of the bar.
  std::function<void()> on_step;

 private:
  static LRESULT CALLBACK note_bar(HWND bar, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR,
                                   DWORD_PTR self_pointer) {
    const LRESULT result = DefSubclassProc(bar, msg, wp, lp);
    if (msg == PBM_DELTAPOS) {
      auto* self = reinterpret_cast<Rig*>(self_pointer);
      self->bar_steps.push_back(static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0)));
      if (self->on_step) self->on_step();
    }
    return result;
  }
};

// The device refuses the write of the firmware's second block: replies to the two readings of
// the info block, then to the first block's erase and write and the second block's erase.
void refuse_the_second_block(Rig& rig) { rig.device.replies[5] = ScriptedDevice::ack(0x00); }

// The positions the bar showed during a run, each once, in order: what the button must show.
std::vector<ULONGLONG> shown_positions(const std::vector<int>& steps) {
  std::vector<ULONGLONG> out;
  for (int step : steps) {
    if (step > 0 && (out.empty() || out.back() != static_cast<ULONGLONG>(step))) {
      out.push_back(static_cast<ULONGLONG>(step));
    }
  }
  return out;
}

std::vector<ULONGLONG> values(const std::vector<TaskbarCall>& calls) {
  std::vector<ULONGLONG> out;
  for (const TaskbarCall& c : calls) {
    if (c.method == "SetProgressValue") out.push_back(c.completed);
  }
  return out;
}

class Taskbar : public ::testing::Test {
 protected:
  void SetUp() override {
    g_creations.clear();
    g_flashes.clear();
    g_filters.clear();
    g_taskbar = &taskbar;
  }
  void TearDown() override { g_taskbar = nullptr; }

  // Every call on the interface was for the owner's button, and every value one of the bar's
  // as it stood, of its range.
  void expect_calls_for_the_bar(const Rig& rig) {
    for (const TaskbarCall& c : taskbar.calls) {
      if (c.method == "HrInit") continue;
      EXPECT_EQ(c.window, rig.app.handle()) << c.method << ": not the taskbar button's window";
      if (c.method != "SetProgressValue") continue;
      EXPECT_EQ(c.completed, static_cast<ULONGLONG>(c.bar)) << "not where the bar stood";
      EXPECT_EQ(c.total, static_cast<ULONGLONG>(c.bar_max)) << "not the bar's range";
    }
  }

  // Declared first: it outlives the program that holds it.
  RecordingTaskbar taskbar;
};

TEST_F(Taskbar, TheButtonFollowsTheBarStepByStepAndIsClearedAsMessageSevenOpens) {
  {
    Rig rig;
    taskbar.bar = rig.fmATU.pbAND;
    // Elevated, the program would get the taskbar's word only by letting it in.
    ASSERT_EQ(g_filters.size(), 1u);
    EXPECT_EQ(g_filters[0].window, rig.app.handle());
    EXPECT_EQ(g_filters[0].message, kButtonCreated);
    EXPECT_EQ(g_filters[0].action, static_cast<DWORD>(MSGFLT_ALLOW));

    rig.show();
    rig.taskbar_says_the_button_exists();
    ASSERT_EQ(g_creations.size(), 1u);
    EXPECT_TRUE(g_creations[0].taskbar_list);
    EXPECT_TRUE(g_creations[0].interface3);
    EXPECT_FALSE(g_creations[0].aggregated);
    EXPECT_EQ(g_creations[0].context, static_cast<DWORD>(CLSCTX_INPROC_SERVER));
    ASSERT_EQ(taskbar.calls.size(), 1u);
    EXPECT_EQ(taskbar.calls[0].method, "HrInit") << "before anything else";
    rig.app.ProcessMessages();
    EXPECT_EQ(taskbar.calls.size(), 1u) << "idle, the button shows nothing";

    std::vector<TaskbarCall> at_prompt, at_report;
    TBPFLAG state_at_report = TBPF_NORMAL;
    {
      ModalDriver driver;
      driver
          .then(shown(rig.fmMSG.handle()),
                [&](HWND) {
                  at_prompt = taskbar.progress_calls();
                  press(rig.fmMSG.Button1);
                })
          .then(shown(rig.fmMSG.handle()), [&](HWND) {
            at_report = taskbar.progress_calls();
            state_at_report = taskbar.shown_state();
            press(rig.fmMSG.Button1);
          });
      rig.press();
    }
    EXPECT_EQ(rig.fmMSG.Tag, kMsgDone);
    EXPECT_EQ(at_prompt.size(), 0u) << "the bar moved back to 0 at the press shows nothing";

    // The bar stepped at every line written, then was filled.
    EXPECT_EQ(rig.bar_steps.front(), 0);
    EXPECT_EQ(rig.bar_steps.back(), rig.bar_max());
    const std::vector<ULONGLONG> expected = shown_positions(rig.bar_steps);
    EXPECT_EQ(expected.size(), 6u) << "the status text, two blocks, the erase, a page, the end";
    EXPECT_EQ(values(at_report), expected);
    ASSERT_GE(at_report.size(), 2u);
    EXPECT_EQ(at_report[1].method, "SetProgressState");
    EXPECT_EQ(at_report[1].state, TBPF_NORMAL) << "shown from the first value on";
    EXPECT_EQ(at_report.back().method, "SetProgressState");
    EXPECT_EQ(state_at_report, TBPF_NOPROGRESS) << "cleared as message 7 opens";
    EXPECT_EQ(taskbar.progress_calls().size(), at_report.size()) << "nothing after the report";
    expect_calls_for_the_bar(rig);
    EXPECT_TRUE(rig.app.Terminated());
  }
  EXPECT_EQ(taskbar.references, 0) << "the interface released with the program";
}

TEST_F(Taskbar, TheFailureBoxTurnsTheButtonToItsErrorStateWhereTheBarStopped) {
  Rig rig;
  taskbar.bar = rig.fmATU.pbAND;
  refuse_the_second_block(rig);
  rig.show();
  rig.taskbar_says_the_button_exists();
  TBPFLAG state_at_box = TBPF_NOPROGRESS;
  std::vector<TaskbarCall> at_box;
  std::string box;
  {
    ModalDriver driver;
    driver.then(shown(rig.fmMSG.handle()), [&](HWND) { press(rig.fmMSG.Button1); })
        .then(message_box(), [&](HWND found) {
          box = box_text(found);
          at_box = taskbar.progress_calls();
          state_at_box = taskbar.shown_state();
          press_box_ok(found);
        });
    rig.press();
  }
  EXPECT_EQ(box, kBoxFailed);
  EXPECT_EQ(state_at_box, TBPF_ERROR);
  ASSERT_FALSE(at_box.empty());
  EXPECT_EQ(at_box.back().method, "SetProgressState");
  EXPECT_EQ(values(at_box), shown_positions(rig.bar_steps));
  ASSERT_FALSE(values(at_box).empty());
  EXPECT_EQ(values(at_box).back(), 2u) << "the status text and the first block";
  EXPECT_LT(rig.bar(), rig.bar_max());
  expect_calls_for_the_bar(rig);
}

// Reports before anything is written: the bar never leaves 0, and the button shows nothing.
TEST_F(Taskbar, ReportsBeforeWritingLeaveTheButtonAsWhenIdle) {
  struct Case {
    const char* what;
    std::function<void(Rig&)> arrange;
    bool box;
  };
  const Case cases[] = {
      {"message 1", [](Rig& r) { r.line.opens = false; }, false},
      {"message 3", [](Rig& r) { r.line.failing_write = 0; }, false},
      {"message 4", [](Rig& r) { r.device.raw_answers.clear(); }, false},
      {"the serial-number box",
       [](Rig& r) { r.device.replies[1] = ScriptedDevice::block_reply(info_block(0x00)); }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    taskbar.calls.clear();
    Rig rig;
    c.arrange(rig);
    rig.show();
    rig.taskbar_says_the_button_exists();
    {
      ModalDriver driver;
      driver.then(shown(rig.fmMSG.handle()), [&](HWND) { press(rig.fmMSG.Button1); });
      if (c.box) {
        driver.then(message_box(), [](HWND found) { press_box_ok(found); });
      } else {
        driver.then(shown(rig.fmMSG.handle()), [&](HWND) { press(rig.fmMSG.Button2); });
      }
      rig.press();
    }
    EXPECT_EQ(taskbar.progress_calls().size(), 0u);
    EXPECT_EQ(shown_positions(rig.bar_steps).size(), 0u) << "the bar moved";
  }
}

// The taskbar's word may come late, or come again when the taskbar is made anew (Explorer
// restarted): nothing is asked of the taskbar before it, and each time the new button is
// shown where the bar stands.
TEST_F(Taskbar, TheInterfaceWaitsForTheTaskbarAndANewButtonShowsTheProgressAgain) {
  Rig rig;
  taskbar.bar = rig.fmATU.pbAND;
  rig.show();
  // The taskbar's word first comes once the bar stands at 3 (the second firmware block), and
  // again at 5 (the page); each is handled at the pumping of messages that follows.
  std::vector<std::size_t> creations_before_word;
  rig.on_step = [&] {
    const int at = rig.bar();
    if ((at == 3 && creations_before_word.empty()) ||
        (at == 5 && creations_before_word.size() == 1)) {
      creations_before_word.push_back(g_creations.size());
      PostMessageW(rig.app.handle(), kButtonCreated, 0, 0);
    }
  };
  {
    ModalDriver driver;
    driver.then(shown(rig.fmMSG.handle()), [&](HWND) { press(rig.fmMSG.Button1); })
        .then(shown(rig.fmMSG.handle()), [&](HWND) { press(rig.fmMSG.Button1); });
    rig.press();
  }
  EXPECT_EQ(rig.fmMSG.Tag, kMsgDone);
  EXPECT_EQ(creations_before_word, (std::vector<std::size_t>{0, 1}))
      << "made before the taskbar's word, or made again";
  EXPECT_EQ(g_creations.size(), 2u) << "the new taskbar got the old one's interface";
  EXPECT_EQ(taskbar.references, 1) << "the old interface was not let go";
  ASSERT_FALSE(taskbar.calls.empty());
  EXPECT_EQ(taskbar.calls[0].method, "HrInit");
  // At each word the button is given the value where the bar stands, then shows it: the
  // first time not from the bar's first step, the second time on the button made anew.
  std::vector<ULONGLONG> shown_from;
  for (std::size_t i = 1; i < taskbar.calls.size(); ++i) {
    const TaskbarCall& c = taskbar.calls[i];
    if (c.method != "SetProgressState" || c.state != TBPF_NORMAL) continue;
    EXPECT_EQ(taskbar.calls[i - 1].method, "SetProgressValue");
    shown_from.push_back(taskbar.calls[i - 1].completed);
  }
  EXPECT_EQ(shown_from, (std::vector<ULONGLONG>{3, 5}));
  EXPECT_EQ(taskbar.shown_state(), TBPF_NOPROGRESS);
  expect_calls_for_the_bar(rig);
}

// No taskbar interface (the class not registered, as under Wine without these stand-ins), or
// one that fails to start: the update runs as without a taskbar.
TEST_F(Taskbar, WithoutAWorkingInterfaceTheUpdateRunsAsBefore) {
  for (const bool registered : {false, true}) {
    SCOPED_TRACE(registered ? "HrInit fails" : "no such class");
    taskbar.calls.clear();
    taskbar.init_result = E_FAIL;
    g_taskbar = registered ? &taskbar : nullptr;
    {
      Rig rig;
      rig.show();
      rig.taskbar_says_the_button_exists();
      {
        ModalDriver driver;
        driver.then(shown(rig.fmMSG.handle()), [&](HWND) { press(rig.fmMSG.Button1); })
            .then(shown(rig.fmMSG.handle()), [&](HWND) { press(rig.fmMSG.Button1); });
        rig.press();
      }
      EXPECT_EQ(rig.fmMSG.Tag, kMsgDone);
      EXPECT_EQ(rig.bar(), rig.bar_max());
      rig.taskbar_says_the_button_exists();
      EXPECT_EQ(g_creations.size(), 2u) << "tried again at the taskbar's next word";
      g_creations.clear();
      EXPECT_EQ(taskbar.references, 0) << "an interface that failed is let go";
    }
    const std::size_t inits = registered ? 2 : 0;
    EXPECT_EQ(taskbar.calls.size(), inits) << "only HrInit, at each word";
  }
}

// A report that opens while another program has the foreground flashes the button until
// pATU comes forward; one that opens with pATU in front does not. The prompt never does: it
// answers the technician's own press.
TEST_F(Taskbar, AReportOpenedBehindAnotherProgramFlashesTheButtonUntilPatuComesForward) {
  struct Case {
    const char* what;
    std::function<void(Rig&)> arrange;
    bool box;
    bool ok;  // the report's enabled button: "OK", else "Cancelar"
  };
  const Case cases[] = {
      {"message 1", [](Rig& r) { r.line.opens = false; }, false, false},
      {"message 3", [](Rig& r) { r.line.failing_write = 0; }, false, false},
      {"message 4", [](Rig& r) { r.device.raw_answers.clear(); }, false, false},
      {"message 7", [](Rig&) {}, false, true},
      {"the failure box", refuse_the_second_block, true, true},
      {"the serial-number box",
       [](Rig& r) { r.device.replies[1] = ScriptedDevice::block_reply(info_block(0x00)); }, true,
       true},
  };
  for (const Case& c : cases) {
    for (const bool behind : {true, false}) {
      SCOPED_TRACE(std::string(c.what) + (behind ? ", behind another program" : ", in front"));
      g_flashes.clear();
      Rig rig;
      c.arrange(rig);
      rig.show();
      OtherProgram other;
      // The technician turns away (or not) while the port opens.
      rig.port.on_open = [&] {
        rig.fmATU.jobs().carry([&] {
          if (behind) {
            other.take_foreground();
          } else {
            SetForegroundWindow(rig.fmATU.handle());
          }
        });
      };
      std::vector<Flash> at_prompt, at_report;
      bool other_in_front = false;
      bool stolen = false;  // the foreground went to the report as it opened
      const auto answer = [&](HWND report) {
        if (c.box) {
          press_box_ok(report);
        } else {
          press(c.ok ? rig.fmMSG.Button1 : rig.fmMSG.Button2);
        }
      };
      {
        ModalDriver driver;
        driver.then(shown(rig.fmMSG.handle()), [&](HWND) {
          at_prompt = g_flashes;
          press(rig.fmMSG.Button1);
        });
        driver.then(c.box ? message_box() : shown(rig.fmMSG.handle()), [&](HWND report) {
          // Wine may hand the foreground to a window that opens, Windows would not: a stop that
          // came with it is not the report's own.
          at_report.assign(g_flashes.begin(),
                           std::find_if(g_flashes.begin(), g_flashes.end(),
                                        [](const Flash& f) { return f.flags == FLASHW_STOP; }));
          stolen = at_report.size() < g_flashes.size();
          if (!behind) {
            answer(report);
            return;
          }
          // Wine may hand the foreground to a window that opens; Windows would not.
          other.take_foreground();
          other_in_front = GetForegroundWindow() == other.window();
          // The technician clicks pATU's taskbar button.
          SetForegroundWindow(rig.app.handle());
        });
        if (behind) {
          driver.then(
              [&]() -> HWND {
                const HWND report = c.box ? message_box()() : rig.fmMSG.handle();
                return g_flashes.size() > at_report.size() ? report : nullptr;
              },
              answer);
        }
        rig.press();
      }
      EXPECT_EQ(at_prompt.size(), 0u) << "the prompt flashed";
      if (!behind) {
        EXPECT_EQ(g_flashes.size(), 0u) << "flashed with pATU in front";
        continue;
      }
      ASSERT_EQ(at_report.size(), 1u) << "one flash as the report opened";
      EXPECT_EQ(at_report[0].window, rig.app.handle()) << "not the taskbar button's window";
      EXPECT_EQ(at_report[0].flags, static_cast<DWORD>(FLASHW_TRAY | FLASHW_TIMERNOFG));
      EXPECT_FALSE(at_report[0].program_in_front);
      EXPECT_TRUE(other_in_front);
      ASSERT_EQ(g_flashes.size(), 2u);
      EXPECT_EQ(g_flashes[1].window, rig.app.handle());
      EXPECT_EQ(g_flashes[1].flags, static_cast<DWORD>(FLASHW_STOP));
      // Amid Wine's own handover the stop may come before the foreground has moved.
      if (!stolen) {
        EXPECT_TRUE(g_flashes[1].program_in_front) << "stopped before pATU came forward";
      }
    }
  }
}

}  // namespace
}  // namespace patu::testing
