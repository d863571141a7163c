#pragma once
// The program's objects as start-up makes them, over a test package and a port that never
// opens, for the tests of the windows.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "link/clock.h"
#include "link/protocol.h"
#include "package/lines.h"
#include "package/loader.h"
#include "ui/application.h"
#include "ui/fmATU.h"
#include "ui/fmMSG.h"
#include "update/job.h"

namespace patu::testing {

// A port that never opens, and lets a test act while the job is opening it.
class RecordingPort final : public SerialPort {
 public:
  std::vector<int> opened;
  std::function<void()> on_open;

  bool ABRE_PORTA(int porta) override {
    opened.push_back(porta);
    if (on_open) on_open();
    return false;
  }
  void FECHA_PORTA() override {}
  bool ESCREVE_PORTA(const std::uint8_t*, std::uint32_t, std::uint32_t& written) override {
    written = 0;
    return false;
  }
  bool LE_PORTA(std::uint32_t, std::uint8_t*, std::uint32_t& read) override {
    read = 0;
    return false;
  }
  void purge(Purge) override {}
  bool PORTA_ABERTA() const override { return false; }
};

// A small valid package: three contents lines, one module, the first data line is 13 and
// the end line 20, so the progress maximum is 20 - 13 + 10.
inline std::vector<std::string> sample_package(const std::string& version = "21") {
  return {"",
          "08/08/2013",
          "TESTE DE JANELA",
          version,
          "Fiat - v5.01",
          "",
          "Firmware Versão v5.21",
          "*",
          "8900",
          "8A80",
          "AA00",
          "GM",
          "*",
          std::string(256, 'A'),
          "*",
          std::string(256, 'B'),
          "*",
          std::string(512, 'C'),
          "*",
          std::string(256, 'D'),
          "FIM"};
}

// The program's objects, as start-up makes them, over a test package and port.
struct Program {
  explicit Program(std::vector<std::string> package) : lines(std::move(package)) {
    fmATU.connect(fmMSG, job);
  }
  explicit Program(const PackageLines& package_lines) : shipped(&package_lines) {
    fmATU.connect(fmMSG, job);
  }
  const PackageLines& source() const { return shipped ? *shipped : lines; }

  // Shows the main window and lets its activation load the package.
  void show() {
    fmATU.Show();
    app.ProcessMessages();
  }
  // Presses "Atualiza" and serves the window's messages until the job has ended.
  void press() {
    SendMessageW(fmATU.btATUALIZA, BM_CLICK, 0, 0);
    fmATU.jobs().wait();
  }

  Application app{GetModuleHandleW(nullptr)};
  LineTable lines{{}};
  const PackageLines* shipped = nullptr;
  PackageState state;
  TfmATU fmATU{app, source(), state};
  TfmMSG fmMSG{app};
  RecordingPort port;
  ManualClock clock;
  Protocol link{port, clock};
  UpdateJob job{port, link, source(), state, fmATU.jobs()};
};

}  // namespace patu::testing
