#pragma once
// The job behind the "Atualiza" button: prompt, port, identification, the update itself
// and its report. It runs on a thread of its own and reaches the window only through
// JobWindow.

#include <string>
#include <string_view>

#include "link/protocol.h"
#include "link/serial.h"
#include "package/lines.h"
#include "package/loader.h"
#include "update/window.h"

namespace patu {

// The texts the job shows.
inline constexpr std::string_view kStatusRunning = "Atualização em andamento....";
inline constexpr std::string_view kStatusDone = "Atualização concluída!";
inline constexpr std::string_view kStatusFailed = "Atualização não concluída!";
inline constexpr std::string_view kBoxWrongSerial =
    "Este aparelho não corresponde ao número de série ";
inline constexpr std::string_view kBoxFailed =
    "A atualização não foi concluída. Coloque o aparelho novamente em MODO DE ATUALIZAÇÃO e "
    "repita o procedimento.";

class UpdateJob {
 public:
  UpdateJob(SerialPort& port, Protocol& link, const PackageLines& lines, PackageState& package,
            JobWindow& window)
      : port_(port), link_(link), lines_(lines), package_(package), window_(window) {}

  // The press of "Atualiza", run on the job's thread (one job at a time). Refused (returns at
  // once, nothing shown) when the package is not loaded.
  void btATUALIZAClick();
  // The update proper; expects the port open, BYTE_SINC 0x86, NUM_SERIE identified and
  // LINHA_ATUAL on the first firmware line. True when every write and FINALIZA succeeded.
  bool ATUALIZA();

  std::string NUM_SERIE;

 private:
  // One firmware section, block by block from `endereco`, up to its marker line.
  bool write_section(std::uint32_t endereco);
  std::string next_line() const;
  // A failure after the first write: the status line and a message box say so.
  bool report_failure();
  // The outcome is decided: the PC is let go, then message `code` or a message box reports it.
  void report(int code);
  void report_box(std::string_view text, Box box);

  SerialPort& port_;
  Protocol& link_;
  const PackageLines& lines_;
  PackageState& package_;
  JobWindow& window_;
};

}  // namespace patu
