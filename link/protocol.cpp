#include "link/protocol.h"

#include <algorithm>

#include "package/hex.h"

namespace patu {
namespace {

constexpr std::uint32_t kMaxWaitMs = 5000;
constexpr std::uint32_t kReplyPauseMs = 80;
constexpr std::uint32_t kEraseWritePauseMs = 50;
// What an empty one-byte poll lasts under the port's read time-outs.
constexpr std::uint32_t kPollMs = 100;

constexpr std::uint8_t kLetterEnd = 'G';
constexpr std::uint8_t kLetterErase = 'E';
constexpr std::uint8_t kLetterRead = 'D';
constexpr std::uint8_t kLetterWrite = 'W';
constexpr std::uint8_t kLetterPage = 'F';
// The constant that precedes the address of a 'W' frame.
constexpr std::uint8_t kWriteConstant = 8;
// Length, letter, three argument bytes and 128 data bytes.
constexpr std::uint8_t kWriteFrameLength = 133;
// Length byte of a reply that carries the status byte and all 128 data bytes.
constexpr int kFullReadReplyLength = 130;

std::uint8_t hi(std::uint32_t value) { return static_cast<std::uint8_t>(value >> 8); }
std::uint8_t lo(std::uint32_t value) { return static_cast<std::uint8_t>(value); }

// A hex line into `area`: pair i of characters is byte i, bytes the line does not reach stay
// 0xFF, characters beyond the area are ignored. An empty line still makes one pair, of no
// digits, so byte 0 becomes 0.
template <std::size_t N>
void hex_line_to(std::string_view line, std::array<std::uint8_t, N>& area) {
  area.fill(0xFF);
  const std::size_t pairs = line.empty() ? 1 : (line.size() + 1) / 2;
  for (std::size_t i = 0; i < std::min(pairs, N); ++i) {
    area[i] = static_cast<std::uint8_t>(HEX_PARA_INT(line.substr(2 * i, 2)));
  }
}

// The end of every acknowledged command: frame out, reply in, status 0xAA.
bool common_tail(Protocol& link) {
  if (!link.ENVIA_COMANDO()) return false;
  if (!link.RECEBE_RESPOSTA()) return false;
  return link.BUF_RESPOSTA[0] == kAck;
}

}  // namespace

bool Protocol::ENVIA_COMANDO() {
  port_.purge(Purge::tx);
  port_.purge(Purge::rx);
  ERRO_COM = kErroNenhum;

  std::uint32_t count = 0;
  if (!port_.ESCREVE_PORTA(&BYTE_SINC, 1, count)) ERRO_COM = kErroEscrita;

  if (ERRO_COM == kErroNenhum) {
    const auto complement = static_cast<std::uint8_t>(~BYTE_SINC);
    const std::uint32_t start = clock_.tick_ms();
    std::uint32_t elapsed = 0;
    do {
      const bool arrived = poll();
      ERRO_COM = arrived ? kErroNenhum : kErroIncompleta;
      elapsed = clock_.tick_ms() - start;
      if (arrived && BUF_RESPOSTA[0] == complement) break;
    } while (elapsed <= kMaxWaitMs);
    if (elapsed > kMaxWaitMs) ERRO_COM = kErroTempo;
  }

  const std::uint8_t length = BUF_COMANDO[0];
  for (std::uint32_t i = 0; i < length && ERRO_COM == kErroNenhum; ++i) {
    if (!port_.ESCREVE_PORTA(&BUF_COMANDO[i], 1, count)) ERRO_COM = kErroEscrita;
  }
  return ERRO_COM == kErroNenhum;
}

bool Protocol::RECEBE_RESPOSTA() {
  clock_.sleep_ms(kReplyPauseMs);
  ERRO_COM = kErroNenhum;
  const std::uint32_t start = clock_.tick_ms();
  std::uint32_t elapsed = 0;
  std::uint32_t count = 0;
  do {
    if (poll()) {
      TAM_RESPOSTA = BUF_RESPOSTA[0];
      ERRO_COM = kErroNenhum;
    } else {
      ERRO_COM = kErroIncompleta;
    }
    elapsed = clock_.tick_ms() - start;
  } while (ERRO_COM != kErroNenhum && elapsed <= kMaxWaitMs);
  if (elapsed > kMaxWaitMs) ERRO_COM = kErroTempo;

  if (ERRO_COM == kErroNenhum && TAM_RESPOSTA == 0) ERRO_COM = kErroTamanhoZero;
  if (ERRO_COM == kErroNenhum) {
    const auto rest = static_cast<std::uint32_t>(TAM_RESPOSTA - 1);
    if (!port_.LE_PORTA(rest, BUF_RESPOSTA.data(), count)) ERRO_COM = kErroIncompleta;
  }
  return ERRO_COM == kErroNenhum;
}

bool Protocol::poll() {
  const std::uint32_t start = clock_.tick_ms();
  std::uint32_t count = 0;
  if (port_.LE_PORTA(1, &BUF_RESPOSTA[0], count)) return true;
  // A port that fails at once (a removed adapter, a line whose other end has gone) would make
  // the 5 s loops spin: the poll still lasts as long as one that timed out.
  const std::uint32_t took = clock_.tick_ms() - start;
  if (took < kPollMs) clock_.sleep_ms(kPollMs - took);
  return false;
}

bool Protocol::FINALIZA() {
  BUF_COMANDO[0] = 2;
  BUF_COMANDO[1] = kLetterEnd;
  return common_tail(*this);
}

bool Protocol::APAGA_BLOCO(std::uint32_t address) {
  BUF_COMANDO[0] = 4;
  BUF_COMANDO[1] = kLetterErase;
  BUF_COMANDO[2] = hi(address);
  BUF_COMANDO[3] = lo(address);
  return common_tail(*this);
}

bool Protocol::LE_BLOCO(std::uint32_t address, Block& dest) {
  BUF_COMANDO[0] = 4;
  BUF_COMANDO[1] = kLetterRead;
  BUF_COMANDO[2] = hi(address);
  BUF_COMANDO[3] = lo(address);
  if (!ENVIA_COMANDO()) return false;
  const bool received = RECEBE_RESPOSTA();
  for (std::size_t i = 0; i < dest.size(); ++i) dest[i] = CODIFICA_BYTE(BUF_RESPOSTA[i + 1]);
  // A shorter reply leaves older bytes in the buffer: they must not pass for the block.
  return received && TAM_RESPOSTA >= kFullReadReplyLength;
}

bool Protocol::GRAVA_BLOCO(std::uint32_t address, const Block& data) {
  if (!APAGA_BLOCO(address)) return false;
  clock_.sleep_ms(kEraseWritePauseMs);
  BUF_COMANDO[0] = kWriteFrameLength;
  BUF_COMANDO[1] = kLetterWrite;
  BUF_COMANDO[2] = kWriteConstant;
  BUF_COMANDO[3] = hi(address);
  BUF_COMANDO[4] = lo(address);
  std::transform(data.begin(), data.end(), BUF_COMANDO.begin() + 5, CODIFICA_BYTE);
  return common_tail(*this);
}

bool Protocol::GRAVA_PAGINA(std::uint32_t page, const Page& data) {
  BUF_COMANDO[0] = kWriteFrameLength;
  BUF_COMANDO[1] = kLetterPage;
  BUF_COMANDO[2] = hi(page);
  BUF_COMANDO[3] = lo(page);
  BUF_COMANDO[4] = 0;
  std::transform(data.begin(), data.begin() + 128, BUF_COMANDO.begin() + 5, CODIFICA_BYTE);
  if (!common_tail(*this)) return false;

  BUF_COMANDO[4] = 128;
  std::transform(data.begin() + 128, data.end(), BUF_COMANDO.begin() + 5, CODIFICA_BYTE);
  return common_tail(*this);
}

bool Protocol::GRAVA_BLOCO_HEX(std::uint32_t address, std::string_view line) {
  Block area;
  hex_line_to(line, area);
  return GRAVA_BLOCO(address, area);
}

bool Protocol::GRAVA_PAGINA_HEX(std::uint32_t page, std::string_view line) {
  Page area;
  hex_line_to(line, area);
  return GRAVA_PAGINA(page, area);
}

}  // namespace patu
