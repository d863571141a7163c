#include <gtest/gtest.h>
#include <windows.h>

#include <commctrl.h>

int main(int argc, char** argv) {
  // As pATU.exe's manifest declares: the windows see the screen's own resolution.
  SetProcessDPIAware();
  const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                      ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
