#include "ui/fmATU.h"

#include <commctrl.h>

#include "ui/wide.h"

namespace patu {
namespace {

constexpr int kAtualizaId = 201;
// Posted at each activation: FormActivate runs once the activation has settled, so that a
// failed load can be reported in a message box of its own.
constexpr UINT kFormActivate = WM_APP + 1;

constexpr int kPortLefts[6] = {7, 61, 117, 173, 228, 283};

// The Tab key passes over the memo instead of stopping in it.
LRESULT CALLBACK pass_tab(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR id, DWORD_PTR) {
  if (msg == WM_GETDLGCODE) {
    return DefSubclassProc(hwnd, msg, wp, lp) & ~(DLGC_WANTTAB | DLGC_WANTALLKEYS);
  }
  if (msg == WM_NCDESTROY) RemoveWindowSubclass(hwnd, pass_tab, id);
  return DefSubclassProc(hwnd, msg, wp, lp);
}

// Makes `child` cover its parent's client area.
void fill_parent(HWND child) {
  RECT r;
  GetClientRect(GetParent(child), &r);
  MoveWindow(child, 0, 0, r.right, r.bottom, FALSE);
}

std::string memo_text(const std::vector<std::string>& lines) {
  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) text += "\r\n";
    text += lines[i];
  }
  return text;
}

}  // namespace

TfmATU::TfmATU(Application& app, const PackageLines& lines, PackageState& package)
    : Form(app),
      lines_(lines),
      package_(package),
      jobs_(*this, [this] {
        this->app().set_job_running(false);
        if (!this->app().Terminated()) ports_->job_ended();
      }) {
  create(kMainTitle, WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN, 0,
         349, 508);
  HFONT font = make_font(8);
  HFONT bold = make_font(8, true);
  SendMessageW(handle(), WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  const COLORREF face = GetSysColor(COLOR_BTNFACE);
  const COLORREF text = GetSysColor(COLOR_WINDOWTEXT);

  Panel1.create(*this, handle(), {0, 0, 349, 41}, kNavy, true);
  // The layout's 10, 4, 65 and 49, 18, 26 are the design's own text widths: the captions end
  // at 75, beside their values at 83.
  Label3 = create_right_label(Panel1.handle(), "Atualização:", 75, 4, bold, kYellow, kNavy);
  Label4 = create_right_label(Panel1.handle(), "Data:", 75, 18, bold, kYellow, kNavy);
  lbATU = create_label(Panel1.handle(), "", 83, 4, font, kWhite, kNavy);
  lbDATA = create_label(Panel1.handle(), "", 83, 18, font, kWhite, kNavy);

  Panel2.create(*this, handle(), {0, 41, 349, 344}, kPaleYellow, true);
  mmA = create_control(Panel2.handle(), L"EDIT", "",
                       ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL, {0, 0, 0, 0}, -1,
                       font);
  fill_parent(mmA);
  set_colors(mmA, text, kPaleYellow);
  SetWindowSubclass(mmA, pass_tab, 0, 0);

  Panel9.create(*this, handle(), {0, 385, 349, 123}, face, true);
  Label1 = create_label(Panel9.handle(), "Porta Serial", 136, 0, bold, text, face);
  Panel* ports[6] = {&pnCOM1, &pnCOM2, &pnCOM3, &pnCOM4, &pnCOM5, &pnCOM6};
  for (int i = 0; i < 6; ++i) {
    Panel& port = *ports[i];
    port.create(*this, Panel9.handle(), {kPortLefts[i], 14, 57, 22}, i == 0 ? kYellow : kWhite,
                true, "COM " + std::to_string(i + 1));
    SendMessageW(port.handle(), WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    port.Tag = i + 1;
    port.hand_cursor = true;
    port.OnClick = [this](Panel& sender) { pnCOM1Click(sender); };
  }
  btATUALIZA = create_control(Panel9.handle(), L"BUTTON", "Atualiza", BS_PUSHBUTTON | WS_TABSTOP,
                              {7, 42, 334, 24}, kAtualizaId, font);
  lbGG = create_label(Panel9.handle(), "", 10, 68, font, text, face);
  pbAND =
      create_control(Panel9.handle(), PROGRESS_CLASSW, "", PBS_SMOOTH, {7, 82, 334, 24}, -1, font);
  Label2 = create_control(Panel9.handle(), L"STATIC", "    Revisado em 16/08/2007",
                          SS_LEFT | SS_NOPREFIX, {0, 0, 0, 0}, -1, font);
  set_colors(Label2, text, face);
  RECT area;
  GetClientRect(Panel9.handle(), &area);
  const int height = app.scale(14);
  MoveWindow(Label2, 0, area.bottom - height, area.right, height, FALSE);

  FormCreate();
}

TfmATU::~TfmATU() {
  // A job still running reaches these windows: it ends first.
  jobs_.wait();
  destroy();
}

void TfmATU::connect(TfmMSG& fmMSG, UpdateJob& job) {
  fmMSG_ = &fmMSG;
  job_ = &job;
}

void TfmATU::FormCreate() {
  LISTA_PORTAS = {&pnCOM1, &pnCOM2, &pnCOM3, &pnCOM4, &pnCOM5, &pnCOM6};
  ports_.emplace(std::array{&pnCOM1, &pnCOM2, &pnCOM3, &pnCOM4, &pnCOM5, &pnCOM6}, lbGG,
                 [this] { return jobs_.running(); });
  ports_->watch(handle());
}

void TfmATU::FormShow() { app().ProcessMessages(); }

void TfmATU::FormActivate() {
  if (package_shown_ || jobs_.running()) return;
  package_shown_ = true;
  const LoadResult loaded = load_package(lines_, package_);
  if (loaded.lbDATA) set_label(lbDATA, *loaded.lbDATA);
  if (loaded.lbATU) set_label(lbATU, *loaded.lbATU);
  if (loaded.mmA) SetWindowTextW(mmA, widen(memo_text(*loaded.mmA)).c_str());
  if (loaded.pbAND_max) {
    SendMessageW(pbAND, PBM_SETRANGE32, 0, *loaded.pbAND_max);
    step_progress(-*loaded.pbAND_max);
  }
  if (!loaded.ok) {
    load_error_ = loaded.error;
    show_load_error();
  }
}

void TfmATU::pnCOM1Click(Panel& sender) { ports_->click(sender); }

void TfmATU::btATUALIZAClick() {
  if (load_error_) {
    show_load_error();
    return;
  }
  if (jobs_.start([this] { job_->btATUALIZAClick(); })) app().set_job_running(true);
}

void TfmATU::show_load_error() { app().message_box(handle(), *load_error_, MB_ICONERROR); }

bool TfmATU::SHOW_MSG(int code) {
  // The prompt answers the technician's own press of "Atualiza"; every other message is a
  // report, message 1 too: a port can take seconds to refuse (a Bluetooth one tries to connect)
  // and the technician may have turned away meanwhile.
  if (code != kMsgPrompt) report_opens(Box::notice);
  return fmMSG_->SHOW_MSG(code);
}

void TfmATU::set_status(std::string_view text) { set_label(lbGG, text); }

void TfmATU::step_progress(int delta) {
  const auto before = SendMessageW(pbAND, PBM_DELTAPOS, static_cast<WPARAM>(delta), 0);
  const int max = progress_max();
  if (before < max && SendMessageW(pbAND, PBM_GETPOS, 0, 0) == max) {
    // Visual styles glide the bar towards a higher position but draw a lower one at once, and
    // message 7 must not open over a bar still short: one step past the end, then back.
    SendMessageW(pbAND, PBM_SETRANGE32, 0, max + 1);
    SendMessageW(pbAND, PBM_SETPOS, static_cast<WPARAM>(max + 1), 0);
    SendMessageW(pbAND, PBM_SETRANGE32, 0, max);
    SendMessageW(pbAND, PBM_SETPOS, static_cast<WPARAM>(max), 0);
  }
  app().taskbar().progress(static_cast<int>(SendMessageW(pbAND, PBM_GETPOS, 0, 0)), max);
}

int TfmATU::progress_max() const {
  return static_cast<int>(SendMessageW(pbAND, PBM_GETRANGE, FALSE, 0));
}

void TfmATU::message_box(std::string_view text, Box box) {
  report_opens(box);
  app().message_box(handle(), text);
}

void TfmATU::report_opens(Box box) {
  TaskbarButton& button = app().taskbar();
  if (box == Box::failure) {
    button.error();
  } else {
    button.clear();
  }
  button.call_attention();
}

void TfmATU::set_cursor(Cursor cursor) { app().set_cursor(cursor); }

void TfmATU::request_end() { app().Terminate(); }

void TfmATU::hold_pc(bool held) { app().hold_pc(held); }

LRESULT TfmATU::handle_message(UINT msg, WPARAM wp, LPARAM lp) {
  if (ports_->handle_message(msg, wp)) return TRUE;
  switch (msg) {
    case WM_SHOWWINDOW:
      if (wp && lp == 0) FormShow();
      break;
    case WM_ACTIVATE:
      if (LOWORD(wp) != WA_INACTIVE) PostMessageW(handle(), kFormActivate, 0, 0);
      break;
    case kFormActivate:
      FormActivate();
      return 0;
    case WM_COMMAND:
      if (LOWORD(wp) == kAtualizaId && HIWORD(wp) == BN_CLICKED) btATUALIZAClick();
      return 0;
    case WM_CLOSE:
      // Ends the program; during a job the job runs to its end first (Application::Run).
      app().Terminate();
      return 0;
    case WM_SYSCOMMAND:
      if ((wp & 0xFFF0) == SC_MINIMIZE) {
        app().Minimize();
        return 0;
      }
      break;
    default:
      break;
  }
  return Form::handle_message(msg, wp, lp);
}

}  // namespace patu
