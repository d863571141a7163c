#pragma once
// The main window: the package's name, date and contents, the choice of serial port, the
// "Atualiza" button that runs the update job on a thread of its own, the status line and the
// progress bar. The job reports through it (JobWindow), its calls carried to this window's
// thread by jobs(). The program's taskbar button follows the bar, turns to
// its error state as the failure box opens and shows nothing at any other report; a report
// (any message but the prompt, any message box) that opens while another program is in front
// flashes the button. Needs the common controls initialised (progress bar).

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "package/lines.h"
#include "package/loader.h"
#include "ui/com_ports.h"
#include "ui/fmMSG.h"
#include "ui/form.h"
#include "ui/job_thread.h"
#include "update/job.h"
#include "update/window.h"

namespace patu {

inline constexpr std::string_view kMainTitle = "Atualização Cartucho V2 (Vorn/Tasl.)";

class TfmATU final : public Form, public JobWindow {
 public:
  // Creates the window, hidden, and runs FormCreate. The package in `lines` is loaded into
  // `package` and the controls at the window's first activation.
  TfmATU(Application& app, const PackageLines& lines, PackageState& package);
  ~TfmATU() override;

  // The dialog of SHOW_MSG and the job behind "Atualiza"; set before the window is shown.
  void connect(TfmMSG& fmMSG, UpdateJob& job);
  // The thread of the job behind "Atualiza", which is also the window as the job sees it.
  JobThread& jobs() { return jobs_; }

  // Builds LISTA_PORTAS over the ports present, selects the port at start and watches ports
  // come and go.
  void FormCreate();
  // Runs as the window is shown: hands every pending message on.
  void FormShow();
  // Runs at the first activation, never while a job runs: loads the package into the package
  // state and the controls. A package that fails to load is reported, and "Atualiza" then
  // reports it again instead of starting anything.
  void FormActivate();
  // One handler for the six port panels: the sender turns yellow, the rest white, and its
  // Tag becomes the chosen port, named by the status line while no job runs.
  void pnCOM1Click(Panel& sender);
  // Starts the update job, unless one runs; once it has ended the panels catch up with the
  // ports that came or went meanwhile.
  void btATUALIZAClick();

  // JobWindow
  int PORTA_COM() const override { return ports_->chosen(); }
  bool SHOW_MSG(int code) override;
  void set_status(std::string_view text) override;
  void step_progress(int delta) override;
  int progress_max() const override;
  void message_box(std::string_view text, Box box) override;
  void set_cursor(Cursor cursor) override;
  // A close request during a job is recorded the same way: the job runs to its end.
  void request_end() override;
  void hold_pc(bool held) override;

  // Components.
  Panel Panel1;  // navy header
  Panel Panel9;  // port choice, button, status and progress
  Panel pnCOM1, pnCOM2, pnCOM3, pnCOM4, pnCOM5, pnCOM6;
  HWND Label1 = nullptr;  // "Porta Serial"
  HWND lbGG = nullptr;    // status line
  HWND Label3 = nullptr;  // "Atualização:"
  HWND Label4 = nullptr;  // "Data:"
  HWND lbATU = nullptr;
  HWND lbDATA = nullptr;
  Panel Panel2;  // frame of the contents memo
  HWND mmA = nullptr;
  HWND btATUALIZA = nullptr;
  HWND Label2 = nullptr;  // revision note
  HWND pbAND = nullptr;

  std::vector<Panel*> LISTA_PORTAS;

 protected:
  LRESULT handle_message(UINT msg, WPARAM wp, LPARAM lp) override;

 private:
  void show_load_error();
  // A report of the job opens: the taskbar button leaves the progress, or shows the failure,
  // and calls the technician back.
  void report_opens(Box box);

  const PackageLines& lines_;
  PackageState& package_;
  TfmMSG* fmMSG_ = nullptr;
  UpdateJob* job_ = nullptr;
  std::optional<PortPanelsView> ports_;
  bool package_shown_ = false;
  std::optional<std::string> load_error_;
  JobThread jobs_;
};

}  // namespace patu
