// Every window of the program answers WM_GETICON with the program's icon, at the sizes the
// window system asks for, and every window class carries it.

#include <gtest/gtest.h>
#include <windows.h>

#include "tests/ui/driver.h"
#include "tests/ui/program.h"

namespace patu::testing {
namespace {

// The icon drawn on white at its own size; the colour at (x, y) in sixteenths of that size.
COLORREF drawn_at(HICON icon, int size, double x16, double y16) {
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, size, size);
  HGDIOBJ old = SelectObject(dc, bitmap);
  RECT all{0, 0, size, size};
  FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  DrawIconEx(dc, 0, 0, icon, size, size, 0, nullptr, DI_NORMAL);
  const COLORREF color =
      GetPixel(dc, static_cast<int>(x16 * size / 16), static_cast<int>(y16 * size / 16));
  SelectObject(dc, old);
  DeleteObject(bitmap);
  DeleteDC(dc);
  ReleaseDC(nullptr, screen);
  return color;
}

int icon_width(HICON icon) {
  ICONINFO info{};
  if (!GetIconInfo(icon, &info)) return 0;
  BITMAP bitmap{};
  GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bitmap, &bitmap);
  if (info.hbmColor) DeleteObject(info.hbmColor);
  DeleteObject(info.hbmMask);
  return bitmap.bmWidth;
}

TEST(Icon, EveryWindowAndWindowClassCarriesTheProgramsIcon) {
  Program p(sample_package());
  p.show();
  const int big = GetSystemMetrics(SM_CXICON);
  const int small = GetSystemMetrics(SM_CXSMICON);
  ASSERT_NE(p.app.big_icon(), nullptr) << "the test program carries no icon resource";
  ASSERT_NE(p.app.small_icon(), nullptr);
  EXPECT_EQ(icon_width(p.app.big_icon()), big);
  EXPECT_EQ(icon_width(p.app.small_icon()), small);
  // The glyph, not a stock icon: navy device, yellow arrow, white corners.
  for (auto [icon, size] : {std::pair{p.app.big_icon(), big}, {p.app.small_icon(), small}}) {
    SCOPED_TRACE(size);
    EXPECT_EQ(drawn_at(icon, size, 3.1, 12.1), RGB(0, 0, 128)) << "the device";
    EXPECT_EQ(drawn_at(icon, size, 8.2, 2.2), RGB(255, 255, 0)) << "the arrow";
    EXPECT_EQ(drawn_at(icon, size, 0.2, 0.2), RGB(255, 255, 255)) << "transparent";
  }

  for (HWND w : {p.app.handle(), p.fmATU.handle(), p.fmMSG.handle()}) {
    SCOPED_TRACE(text_of(w));
    EXPECT_EQ(reinterpret_cast<HICON>(SendMessageW(w, WM_GETICON, ICON_BIG, 0)), p.app.big_icon());
    EXPECT_EQ(reinterpret_cast<HICON>(SendMessageW(w, WM_GETICON, ICON_SMALL, 0)),
              p.app.small_icon());
  }
  for (HWND w : {p.app.handle(), p.fmATU.handle(), p.fmATU.pnCOM1.handle()}) {
    EXPECT_EQ(reinterpret_cast<HICON>(GetClassLongPtrW(w, GCLP_HICON)), p.app.big_icon());
    EXPECT_EQ(reinterpret_cast<HICON>(GetClassLongPtrW(w, GCLP_HICONSM)), p.app.small_icon());
  }
}

}  // namespace
}  // namespace patu::testing
