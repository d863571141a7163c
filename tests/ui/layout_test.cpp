// The windows' texts at the screen's resolution: no text is wider or taller than the control
// that shows it, and the layout keeps its alignment. Run at 96 pixels per inch with the other
// window tests, and again in prefixes at 120 and 144 (PATU_EXPECT_DPI names the one expected).

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/ui/driver.h"
#include "tests/ui/program.h"
#include "ui/wide.h"
#include "update/messages.h"
#include "update/port_panels.h"

namespace patu::testing {
namespace {

SIZE text_size(HWND control, const std::wstring& text) {
  HDC dc = GetDC(control);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
  SIZE size{};
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc, &metrics);
  size.cy = metrics.tmHeight;
  SelectObject(dc, old);
  ReleaseDC(control, dc);
  return size;
}

// `control`'s place in its parent's client area.
RECT placement(HWND control) {
  RECT r;
  GetWindowRect(control, &r);
  MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

// The caption of `control` fits its client area, less `margin` pixels at each side.
void expect_fits(HWND control, int margin = 0) {
  const std::wstring text = widen(text_of(control));
  const SIZE size = text_size(control, text);
  RECT client;
  GetClientRect(control, &client);
  EXPECT_LE(size.cx, client.right - 2 * margin) << "\"" << text_of(control) << "\" is too wide";
  EXPECT_LE(size.cy, client.bottom) << "\"" << text_of(control) << "\" is too tall";
}

BOOL CALLBACK collect(HWND hwnd, LPARAM windows) {
  reinterpret_cast<std::vector<HWND>*>(windows)->push_back(hwnd);
  return TRUE;
}

std::wstring class_of(HWND hwnd) {
  wchar_t name[64];
  return std::wstring(name, static_cast<std::size_t>(GetClassNameW(hwnd, name, 64)));
}

class Layout : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* dpi = std::getenv("PATU_EXPECT_DPI")) {
      ASSERT_EQ(p.app.dpi(), std::atoi(dpi)) << "the prefix's resolution did not take";
    }
    p.show();
  }
  Program p{shipped_package()};
};

TEST_F(Layout, EveryCaptionOfTheMainWindowFitsItsControl) {
  p.fmATU.pnCOM6.set_caption("COM 256", true);  // the widest number a port may have
  std::vector<HWND> controls;
  EnumChildWindows(p.fmATU.handle(), collect, reinterpret_cast<LPARAM>(&controls));
  int checked = 0;
  for (HWND c : controls) {
    const std::wstring kind = class_of(c);
    if (GetWindowTextLengthW(c) == 0 || kind == L"Edit") continue;  // the memo wraps its lines
    SCOPED_TRACE(text_of(c));
    // A button's caption keeps clear of its frame.
    expect_fits(c, kind == L"Button" ? GetSystemMetrics(SM_CXEDGE) : 0);
    ++checked;
  }
  EXPECT_EQ(checked, 14) << "four header labels, the ports' title and the six ports, the button, "
                            "the status line, the revision note";
  for (const std::string& status : {std::string(kStatusDone), std::string(kStatusFailed),
                                    "COM 256: " + std::string(kAbsentPort),
                                    std::string("COM 256: Prolific USB-to-Serial Comm Port")}) {
    p.fmATU.set_status(status);
    expect_fits(p.fmATU.lbGG);
  }
  p.fmATU.set_status(std::string(kStatusRunning) + "330A1BFF");
  expect_fits(p.fmATU.lbGG);
  RECT status = placement(p.fmATU.lbGG);
  RECT area;
  GetClientRect(p.fmATU.Panel9.handle(), &area);
  EXPECT_LE(status.right, area.right);
}

TEST_F(Layout, TheHeaderCaptionsEndAtTheirValues) {
  const RECT update = placement(p.fmATU.Label3);
  const RECT date = placement(p.fmATU.Label4);
  EXPECT_EQ(update.right, p.app.scale(75));
  EXPECT_EQ(date.right, p.app.scale(75));
  EXPECT_EQ(update.top, p.app.scale(4));
  EXPECT_EQ(date.top, p.app.scale(18));
  EXPECT_GE(update.left, 0);
  EXPECT_EQ(placement(p.fmATU.lbATU).left, p.app.scale(83));
  EXPECT_EQ(placement(p.fmATU.lbDATA).left, p.app.scale(83));
  EXPECT_LE(date.bottom, placement(p.fmATU.Panel2.handle()).top);
  // Drawn whole: ink in most columns, none in the last (a cut glyph would reach it).
  for (HWND label : {p.fmATU.Label3, p.fmATU.Label4}) {
    RECT r;
    GetClientRect(label, &r);
    UpdateWindow(label);
    HDC dc = GetDC(label);
    std::vector<bool> inked(static_cast<std::size_t>(r.right));
    for (int x = 0; x < r.right; ++x) {
      for (int y = 0; y < r.bottom && !inked[x]; ++y) inked[x] = GetPixel(dc, x, y) != kNavy;
    }
    ReleaseDC(label, dc);
    EXPECT_GT(std::count(inked.begin(), inked.end(), true), r.right / 2) << text_of(label);
    EXPECT_FALSE(inked.back()) << text_of(label) << ": its last column is cut";
  }
}

TEST_F(Layout, EveryMessageOfTheDialogShowsItsLinesUnbroken) {
  for (const Message& m : kCatalogue) {
    SCOPED_TRACE(m.code);
    ModalDriver driver;
    driver.then(shown(p.fmMSG.handle()), [&](HWND) {
      RECT text_area;
      SendMessageW(p.fmMSG.Memo1, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&text_area));
      for (std::string_view line : m.lines) {
        const SIZE size = text_size(p.fmMSG.Memo1, widen(line));
        EXPECT_LE(size.cx, text_area.right - text_area.left) << line;
      }
      EXPECT_EQ(SendMessageW(p.fmMSG.Memo1, EM_GETLINECOUNT, 0, 0),
                static_cast<LRESULT>(m.lines.size()))
          << "a line wrapped";
      EXPECT_LE(static_cast<LONG>(m.lines.size()) * text_size(p.fmMSG.Memo1, L"X").cy,
                text_area.bottom - text_area.top)
          << "the lines overflow the text area";
      expect_fits(p.fmMSG.Button1, GetSystemMetrics(SM_CXEDGE));
      expect_fits(p.fmMSG.Button2, GetSystemMetrics(SM_CXEDGE));
      press(m.ok ? p.fmMSG.Button1 : p.fmMSG.Button2);
    });
    p.fmATU.SHOW_MSG(m.code);
  }
}

}  // namespace
}  // namespace patu::testing
