// pATU: DLL loads confined to the system folder, the application title, the main window first
// (closing it ends the program), the message dialog hidden, then the event loop.

#include <windows.h>

#include <commctrl.h>

#include "link/clock.h"
#include "link/protocol.h"
#include "link/serial_w32.h"
#include "package/lines.h"
#include "package/loader.h"
#include "ui/application.h"
#include "ui/dll_search.h"
#include "ui/fmATU.h"
#include "ui/fmMSG.h"
#include "update/job.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  patu::restrict_dll_search();
  const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                      ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);

  patu::Application app(instance);
  patu::PackageState package;
  const patu::PackageLines& lines = patu::shipped_package();

  patu::TfmATU fmATU(app, lines, package);
  patu::TfmMSG fmMSG(app);
  // The job runs on a thread of its own and reaches the window through the carrier.
  patu::Win32SerialPort port;
  patu::Protocol link(port, patu::system_clock());
  patu::UpdateJob job(port, link, lines, package, fmATU.jobs());
  fmATU.connect(fmMSG, job);
  return app.Run(fmATU);
}
