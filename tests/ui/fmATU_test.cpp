// The main window with its dialog and the update job, under a real window system.

#include <gtest/gtest.h>
#include <windows.h>

#include <commctrl.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/ui/driver.h"
#include "tests/ui/program.h"
#include "ui/wide.h"

namespace patu::testing {
namespace {

int progress_pos(const TfmATU& w) {
  return static_cast<int>(SendMessageW(w.pbAND, PBM_GETPOS, 0, 0));
}

COLORREF pixel(HWND window) {
  UpdateWindow(window);
  HDC dc = GetDC(window);
  const COLORREF color = GetPixel(dc, 3, 3);
  ReleaseDC(window, dc);
  return color;
}

// Whether `label` shows its caption exactly as drawn whole in `text` on `back`.
bool shows_its_caption(HWND label, COLORREF text, COLORREF back) {
  RECT r;
  GetClientRect(label, &r);
  HDC screen = GetDC(label);
  HDC drawn = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, r.right, r.bottom);
  HGDIOBJ old_bitmap = SelectObject(drawn, bitmap);
  HBRUSH brush = CreateSolidBrush(back);
  FillRect(drawn, &r, brush);
  HGDIOBJ old_font =
      SelectObject(drawn, reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0)));
  SetTextColor(drawn, text);
  SetBkColor(drawn, back);
  const std::wstring caption = widen(text_of(label));
  DrawTextW(drawn, caption.c_str(), -1, &r, DT_LEFT | DT_NOPREFIX | DT_WORDBREAK | DT_EXPANDTABS);
  bool same = true;
  for (int y = 0; y < r.bottom && same; ++y) {
    for (int x = 0; x < r.right && same; ++x)
      same = GetPixel(screen, x, y) == GetPixel(drawn, x, y);
  }
  SelectObject(drawn, old_font);
  SelectObject(drawn, old_bitmap);
  DeleteObject(brush);
  DeleteObject(bitmap);
  DeleteDC(drawn);
  ReleaseDC(label, screen);
  return same;
}

TEST(MainWindow, TheStatusLineShowsEachTextWhole) {
  Program p(sample_package());
  p.show();
  const COLORREF text = GetSysColor(COLOR_WINDOWTEXT);
  const COLORREF back = GetSysColor(COLOR_BTNFACE);
  for (const char* status : {"Atualização em andamento....330A1BFF", "Atualização concluída!",
                             "Atualização não concluída!"}) {
    p.fmATU.set_status(status);
    p.app.ProcessMessages();
    EXPECT_EQ(text_of(p.fmATU.lbGG), status);
    EXPECT_TRUE(shows_its_caption(p.fmATU.lbGG, text, back)) << status;
  }
}

TEST(MainWindow, ShowsTheLoadedPackage) {
  Program p(sample_package());
  // A bar left part-way from before is emptied by the load.
  SendMessageW(p.fmATU.pbAND, PBM_SETRANGE32, 0, 100);
  SendMessageW(p.fmATU.pbAND, PBM_SETPOS, 50, 0);
  p.show();

  EXPECT_TRUE(p.state.loaded);
  EXPECT_EQ(p.state.LINHA_ATUAL, 13);
  EXPECT_EQ(text_of(p.fmATU.lbDATA), "08/08/2013");
  EXPECT_EQ(text_of(p.fmATU.lbATU), "TESTE DE JANELA");
  EXPECT_EQ(edit_lines(p.fmATU.mmA),
            (std::vector<std::string>{"Fiat - v5.01", "", "Firmware Versão v5.21"}));
  EXPECT_EQ(p.fmATU.progress_max(), 17);
  EXPECT_EQ(SendMessageW(p.fmATU.pbAND, PBM_GETRANGE, TRUE, 0), 0);
  EXPECT_EQ(progress_pos(p.fmATU), 0);
  EXPECT_EQ(text_of(p.fmATU.lbGG), "COM 1: porta serial deste PC");
  EXPECT_EQ(text_of(p.fmATU.handle()), "Atualização Cartucho V2 (Vorn/Tasl.)");
  EXPECT_EQ(text_of(GetWindow(p.fmATU.handle(), GW_OWNER)), "Atualização Cartucho VORN");

  // Labels are as wide as their captions.
  RECT label;
  GetClientRect(p.fmATU.lbATU, &label);
  RECT date;
  GetClientRect(p.fmATU.lbDATA, &date);
  EXPECT_GT(label.right, date.right);
}

TEST(MainWindow, TheShippedPackageFillsTheWindow) {
  Program p(shipped_package());
  p.show();
  EXPECT_TRUE(p.state.loaded);
  const std::vector<std::string> memo = edit_lines(p.fmATU.mmA);
  ASSERT_EQ(memo.size(), 51u);
  for (std::size_t i = 0; i < 30; ++i) EXPECT_FALSE(memo[i].empty()) << "memo line " << i;
  for (std::size_t i = 30; i < 51; ++i) EXPECT_TRUE(memo[i].empty()) << "memo line " << i;
  EXPECT_EQ(text_of(p.fmATU.lbDATA), "08/08/2013");
  EXPECT_EQ(p.fmATU.progress_max(), 596);
  EXPECT_EQ(p.state.LINHA_ATUAL, 78);
}

// The bar's pixel `from_right` pixels from its right end, on its middle line, as drawn.
COLORREF bar_pixel(HWND bar, int from_right) {
  UpdateWindow(bar);
  RECT r;
  GetClientRect(bar, &r);
  HDC dc = GetDC(bar);
  const COLORREF color = GetPixel(dc, r.right - 1 - from_right, r.bottom / 2);
  ReleaseDC(bar, dc);
  return color;
}

// Reaching its end, the bar is drawn full at once and keeps its range.
TEST(MainWindow, TheBarReachingItsEndIsDrawnFull) {
  Program p(sample_package());
  p.show();
  const int max = p.fmATU.progress_max();
  RECT r;
  GetClientRect(p.fmATU.pbAND, &r);
  p.fmATU.step_progress(max / 2);
  const COLORREF filled = bar_pixel(p.fmATU.pbAND, r.right - 4);
  EXPECT_NE(bar_pixel(p.fmATU.pbAND, 3), filled) << "half way, the right end is empty";

  p.fmATU.step_progress(max);
  EXPECT_EQ(progress_pos(p.fmATU), max);
  EXPECT_EQ(p.fmATU.progress_max(), max);
  EXPECT_EQ(bar_pixel(p.fmATU.pbAND, 3), filled);
  p.fmATU.step_progress(-max);
  EXPECT_EQ(progress_pos(p.fmATU), 0);
}

TEST(MainWindow, OnePortPanelIsYellowAndItsNumberIsTheChosenPort) {
  Program p(sample_package());
  p.show();
  auto yellow = [&] {
    std::vector<int> tags;
    for (Panel* port : p.fmATU.LISTA_PORTAS) {
      EXPECT_EQ(pixel(port->handle()), port->Color()) << "COM " << port->Tag << " as painted";
      if (port->Color() == kYellow)
        tags.push_back(port->Tag);
      else
        EXPECT_EQ(port->Color(), kWhite);
    }
    return tags;
  };
  ASSERT_EQ(p.fmATU.LISTA_PORTAS.size(), 6u);
  EXPECT_EQ(yellow(), std::vector<int>{1});
  EXPECT_EQ(p.fmATU.PORTA_COM(), 1);

  click(p.fmATU.pnCOM4.handle());
  EXPECT_EQ(yellow(), std::vector<int>{4});
  EXPECT_EQ(p.fmATU.PORTA_COM(), 4);
  click(p.fmATU.pnCOM4.handle());
  EXPECT_EQ(yellow(), std::vector<int>{4});
  EXPECT_EQ(p.fmATU.PORTA_COM(), 4);

  click(p.fmATU.pnCOM6.handle());
  EXPECT_EQ(yellow(), std::vector<int>{6});
  EXPECT_EQ(p.fmATU.PORTA_COM(), 6);
  EXPECT_EQ(text_of(p.fmATU.pnCOM6.handle()), "COM 6");
}

TEST(MainWindow, TabNeverLeavesAtualizaAndTheMemoTakesNoTyping) {
  Program p(sample_package());
  p.show();
  EXPECT_EQ(GetFocus(), p.fmATU.btATUALIZA);
  post_key(VK_TAB);
  p.app.ProcessMessages();
  EXPECT_EQ(GetFocus(), p.fmATU.btATUALIZA);

  // From the memo (reached by a click) Tab goes back to the button.
  SetFocus(p.fmATU.mmA);
  const std::string before = text_of(p.fmATU.mmA);
  post_key('X');
  PostMessageW(p.fmATU.mmA, WM_CHAR, 'x', 1);
  post_key(VK_DELETE);
  p.app.ProcessMessages();
  EXPECT_EQ(text_of(p.fmATU.mmA), before);
  post_key(VK_TAB);
  p.app.ProcessMessages();
  EXPECT_EQ(GetFocus(), p.fmATU.btATUALIZA);
}

TEST(MainWindow, FixedFrameWithMinimiseOnlyCentredAtTheDesignedSize) {
  Program p(sample_package());
  const LONG style = GetWindowLongW(p.fmATU.handle(), GWL_STYLE);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_TRUE(style & WS_MINIMIZEBOX);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);
  EXPECT_FALSE(style & WS_THICKFRAME);
  RECT client;
  GetClientRect(p.fmATU.handle(), &client);
  EXPECT_EQ(client.right, p.app.scale(349));
  EXPECT_EQ(client.bottom, p.app.scale(508));
  RECT r;
  GetWindowRect(p.fmATU.handle(), &r);
  EXPECT_NEAR((r.left + r.right) / 2, GetSystemMetrics(SM_CXSCREEN) / 2, 1);
  EXPECT_NEAR((r.top + r.bottom) / 2, GetSystemMetrics(SM_CYSCREEN) / 2, 1);
}

TEST(MainWindow, AFailedLoadIsReportedAndAtualizaStartsNothing) {
  Program p(sample_package("2x1"));
  std::vector<std::string> reports;
  std::vector<std::string> captions;
  auto read_and_close = [&](HWND box) {
    reports.push_back(box_text(box));
    captions.push_back(text_of(box));
    EXPECT_EQ(box_icon(box), LoadIconW(nullptr, IDI_ERROR));
    EXPECT_FALSE(IsWindowVisible(p.fmMSG.handle()));
    press_box_ok(box);
  };
  {
    ModalDriver driver;
    driver.then(message_box(), read_and_close);
    p.show();
  }
  EXPECT_FALSE(p.state.loaded);
  EXPECT_EQ(text_of(p.fmATU.lbDATA), "08/08/2013") << "captions come before the version";
  EXPECT_TRUE(edit_lines(p.fmATU.mmA).empty());
  {
    ModalDriver driver;
    driver.then(message_box(), read_and_close);
    p.press();
  }
  const std::string error = "'2x1' is not a valid integer value";
  EXPECT_EQ(reports, (std::vector<std::string>{error, error}));
  EXPECT_EQ(captions, (std::vector<std::string>(2, "Atualização Cartucho VORN")));
  EXPECT_TRUE(p.port.opened.empty());
}

TEST(MainWindow, ClosingTheDialogGivesTheFocusBackWithoutReloading) {
  Program p(sample_package());
  p.show();
  p.state.LINHA_ATUAL = 999;  // a reload would put it back on 13
  bool main_enabled = true;
  ModalDriver driver;
  driver.then(shown(p.fmMSG.handle()), [&](HWND) {
    main_enabled = IsWindowEnabled(p.fmATU.handle());
    press(p.fmMSG.Button2);
  });
  EXPECT_FALSE(p.fmATU.SHOW_MSG(0));
  p.app.ProcessMessages();
  EXPECT_FALSE(main_enabled);
  EXPECT_TRUE(IsWindowEnabled(p.fmATU.handle()));
  EXPECT_EQ(GetActiveWindow(), p.fmATU.handle());
  EXPECT_EQ(GetFocus(), p.fmATU.btATUALIZA);
  EXPECT_EQ(p.state.LINHA_ATUAL, 999);
}

TEST(MainWindow, AtualizaRunsTheJobOnTheChosenPortAndRefusesASecondPress) {
  Program p(sample_package());
  p.show();
  click(p.fmATU.pnCOM4.handle());

  Cursor cursor_in_job = Cursor::normal;
  HCURSOR pointer_in_job = nullptr;
  bool button_enabled = false;
  p.port.on_open = [&] {
    p.fmATU.jobs().carry([&] {
      cursor_in_job = p.app.cursor();
      pointer_in_job = GetCursor();
      button_enabled = IsWindowEnabled(p.fmATU.btATUALIZA);
      SendMessageW(p.fmATU.btATUALIZA, BM_CLICK, 0, 0);  // refused: no second prompt
      click(p.fmATU.pnCOM2.handle());                    // counts from the next press
    });
  };
  std::vector<std::string> titles;
  ModalDriver driver;
  driver
      .then(shown(p.fmMSG.handle()),
            [&](HWND dialog) {
              titles.push_back(text_of(dialog));
              press(p.fmMSG.Button1);
            })
      .then(shown(p.fmMSG.handle()), [&](HWND dialog) {
        titles.push_back(text_of(dialog));
        press(p.fmMSG.Button2);
      });
  p.press();

  EXPECT_EQ(titles, (std::vector<std::string>{"Mensagem", "Erro de comunicação"}));
  EXPECT_EQ(p.port.opened, std::vector<int>{4});
  EXPECT_EQ(cursor_in_job, Cursor::hourglass);
  EXPECT_EQ(pointer_in_job, LoadCursorW(nullptr, IDC_WAIT));
  EXPECT_TRUE(button_enabled);
  EXPECT_EQ(p.fmATU.PORTA_COM(), 2);
  // Back to idle: nothing of the attempt stays.
  EXPECT_EQ(p.app.cursor(), Cursor::normal);
  // The window under the pointer shows its own once its messages are served again.
  EXPECT_NE(GetCursor(), LoadCursorW(nullptr, IDC_WAIT));
  EXPECT_EQ(text_of(p.fmATU.lbGG), "COM 2: porta serial deste PC") << "the port chosen meanwhile";
  EXPECT_EQ(progress_pos(p.fmATU), 0);
  EXPECT_FALSE(p.app.Terminated());
  EXPECT_TRUE(p.state.loaded);
}

TEST(MainWindow, ClosingDuringAJobLetsItEndAndThenEndsTheProgram) {
  Program p(sample_package());
  p.show();
  bool window_kept = false;
  p.port.on_open = [&] {
    SendMessageW(p.fmATU.handle(), WM_CLOSE, 0, 0);
    window_kept = IsWindowVisible(p.fmATU.handle());
  };
  // Only the prompt is answered: message 1, shown after the close, closes by itself. The event
  // loop ends once the job has.
  ModalDriver driver;
  driver.then(shown(p.fmMSG.handle()), [&](HWND) { press(p.fmMSG.Button1); });
  PostMessageW(p.fmATU.btATUALIZA, BM_CLICK, 0, 0);
  EXPECT_EQ(p.app.Run(p.fmATU), 0);

  EXPECT_FALSE(p.fmATU.jobs().running());
  EXPECT_TRUE(window_kept);
  EXPECT_EQ(p.port.opened, std::vector<int>{1});
  EXPECT_TRUE(p.app.Terminated());
  EXPECT_EQ(p.app.cursor(), Cursor::normal);
}

TEST(MainWindow, RunShowsTheProgramAndEndsWhenTheMainWindowCloses) {
  Program p(sample_package());
  PostMessageW(p.fmATU.handle(), WM_CLOSE, 0, 0);
  EXPECT_EQ(p.app.Run(p.fmATU), 0);
  EXPECT_TRUE(IsWindowVisible(p.fmATU.handle()));
  EXPECT_TRUE(IsWindowVisible(p.app.handle())) << "the owner carries the taskbar button";
}

}  // namespace
}  // namespace patu::testing
