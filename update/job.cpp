#include "update/job.h"

#include "package/hex.h"
#include "update/identification.h"

namespace patu {

namespace {

constexpr std::uint32_t kInfoBlock = 0x8000;
constexpr std::string_view kMarker = "*";

// Info block layout: what is kept from the device, where the page table starts, and which
// characters of the package's tail line give its last bytes.
constexpr int kKeptRanges[][2] = {{0, 5}, {7, 15}, {66, 73}};
constexpr int kVersionByte = 6;
constexpr int kModuleAreaByte = 16;
constexpr int kPageTableByte = 18;
constexpr int kTailFirstByte = 74;
constexpr int kTailBytes = 54;
constexpr std::size_t kTailFirstChar = 148;  // 0-based: characters 149 to 256

// The characters of `text` from `pos` on, at most `count`; none past its end.
std::string_view piece(std::string_view text, std::size_t pos, std::size_t count) {
  return pos < text.size() ? text.substr(pos, count) : std::string_view{};
}

void put16(Block& block, int at, std::uint32_t value) {
  block[at] = static_cast<std::uint8_t>(value >> 8);
  block[at + 1] = static_cast<std::uint8_t>(value);
}

}  // namespace

void UpdateJob::btATUALIZAClick() {
  // A press with a package that is not (or no longer) loaded starts nothing.
  if (!package_.loaded) return;

  window_.set_cursor(Cursor::hourglass);
  window_.step_progress(-window_.progress_max());
  if (window_.SHOW_MSG(kMsgPrompt)) {
    if (!port_.ABRE_PORTA(window_.PORTA_COM())) {
      window_.SHOW_MSG(kMsgPortError);
    } else {
      window_.hold_pc(true);
      switch (probe_device(port_)) {
        case ProbeOutcome::not_written:
          report(kMsgNoDevice);
          break;
        case ProbeOutcome::other_answer:
          report(kMsgIncompatible);
          break;
        case ProbeOutcome::answer_t:
          switch (CART_V2(link_, NUM_SERIE)) {
            case kIdOk:
              ATUALIZA();
              window_.request_end();
              break;
            case kIdOtherVersion:
              report(kMsgIncompatible);
              break;
            default:
              report(kMsgNoDevice);
              break;
          }
          break;
      }
      // Every way out above has reported, so the PC is no longer held; the port is closed
      // only now, once the report has been answered.
      port_.FECHA_PORTA();
    }
  }
  window_.set_cursor(Cursor::normal);
}

bool UpdateJob::ATUALIZA() {
  // The application ends after every run of the update, and a run consumes the package's
  // lines: it can never serve a second one.
  package_.loaded = false;
  Block novo;
  novo.fill(0xFF);

  std::string serial;
  if (!LE_IDENTIFICACAO(link_, serial)) {
    // The device went quiet before anything was written: say so before the program ends.
    report(kMsgNoDevice);
    return false;
  }
  if (serial != NUM_SERIE) {
    report_box(std::string(kBoxWrongSerial) + NUM_SERIE + ".", Box::notice);
    window_.request_end();
    return false;
  }
  // The reply to that second reading is still in the reply buffer, encoded.
  for (const auto& range : kKeptRanges) {
    for (int i = range[0]; i <= range[1]; ++i) novo[i] = CODIFICA_BYTE(link_.BUF_RESPOSTA[1 + i]);
  }

  // From here on the device is written: a failure must be reported, never left silent.
  window_.set_status(std::string(kStatusRunning) + NUM_SERIE);
  window_.step_progress(1);

  if (!write_section(package_.END_SECAO1) || !write_section(package_.END_SECAO2)) {
    return report_failure();
  }

  // The erase result is not looked at: the pages are written either way.
  link_.APAGA_BLOCO(package_.END_MODULOS);
  window_.step_progress(1);

  std::uint32_t pagina = 0;
  const auto& modulos = package_.LISTA_MODULOS;
  for (std::size_t m = 0; m < modulos.size(); ++m) {
    put16(novo, kPageTableByte + 2 * static_cast<int>(m), pagina);
    for (;;) {
      const std::string linha = next_line();
      if (linha == kMarker) {
        ++package_.LINHA_ATUAL;
        break;
      }
      if (!link_.GRAVA_PAGINA_HEX(pagina, linha)) return report_failure();
      ++package_.LINHA_ATUAL;
      ++pagina;
      window_.step_progress(1);
    }
  }
  put16(novo, kPageTableByte + 2 * static_cast<int>(modulos.size()), pagina);

  const std::string cauda = next_line();
  const std::string_view bytes = piece(cauda, kTailFirstChar, 2 * kTailBytes);
  for (int j = 0; j < kTailBytes; ++j) {
    novo[kTailFirstByte + j] = static_cast<std::uint8_t>(HEX_PARA_INT(piece(bytes, 2 * j, 2)));
  }

  novo[kVersionByte] = package_.VERSAO_PACOTE;
  put16(novo, kModuleAreaByte, package_.END_MODULOS);

  if (!link_.GRAVA_BLOCO(kInfoBlock, novo) || !link_.FINALIZA()) return report_failure();

  window_.step_progress(window_.progress_max());
  window_.set_status(kStatusDone);
  report(kMsgDone);
  return true;
}

bool UpdateJob::write_section(std::uint32_t endereco) {
  for (;;) {
    const std::string linha = next_line();
    if (linha == kMarker) {
      ++package_.LINHA_ATUAL;
      return true;
    }
    if (!link_.GRAVA_BLOCO_HEX(endereco, linha)) return false;
    ++package_.LINHA_ATUAL;
    endereco += 128;
    window_.step_progress(1);
  }
}

std::string UpdateJob::next_line() const {
  return lines_.line(static_cast<std::uint16_t>(package_.LINHA_ATUAL));
}

bool UpdateJob::report_failure() {
  window_.set_status(kStatusFailed);
  report_box(kBoxFailed, Box::failure);
  return false;
}

void UpdateJob::report(int code) {
  window_.hold_pc(false);
  window_.SHOW_MSG(code);
}

void UpdateJob::report_box(std::string_view text, Box box) {
  window_.hold_pc(false);
  window_.message_box(text, box);
}

}  // namespace patu
