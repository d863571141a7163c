#pragma once
// The device's command protocol: sync-byte handshake, length-prefixed frames sent one byte
// per write, an 80 ms pause, a length-prefixed reply whose first byte is the status (0xAA
// acknowledges). Commands: 'E' erase, 'D' read 128 bytes, 'W' write 128 bytes, 'F' write
// half a 256-byte page, 'G' end of update. The port must be open; this layer neither opens
// nor closes it and shows nothing to the user.

#include <array>
#include <cstdint>
#include <string_view>

#include "link/clock.h"
#include "link/serial.h"

namespace patu {

// Link status codes (ERRO_COM).
enum : std::uint8_t {
  kErroNenhum = 0,
  kErroEscrita = 1,      // a write to the port failed (sync byte or frame byte)
  kErroTamanhoZero = 2,  // the reply's length byte was 0
  kErroIncompleta = 4,   // the reply's remaining bytes did not all arrive
  kErroTempo = 5,        // the sync complement or the reply length took over 5000 ms
};

inline constexpr std::uint8_t kAck = 0xAA;

// Wire encoding of data bytes: swap the 4-bit halves, invert all bits. Its own inverse.
constexpr std::uint8_t CODIFICA_BYTE(std::uint8_t b) {
  return static_cast<std::uint8_t>(~((b << 4) | (b >> 4)));
}

using Block = std::array<std::uint8_t, 128>;
using Page = std::array<std::uint8_t, 256>;

// The command layer's state: one per program. Every command overwrites all of it but
// BYTE_SINC; BUF_RESPOSTA keeps the last reply until the next command.
class Protocol {
 public:
  Protocol(SerialPort& port, Clock& clock) : port_(port), clock_(clock) {}

  std::uint8_t BYTE_SINC = 0;
  std::array<std::uint8_t, 257> BUF_COMANDO{};
  std::array<std::uint8_t, 257> BUF_RESPOSTA{};
  int TAM_RESPOSTA = 0;
  std::uint8_t ERRO_COM = kErroNenhum;

  // Handshake and the frame in BUF_COMANDO (length first).
  bool ENVIA_COMANDO();
  // The 80 ms pause and the reply into BUF_RESPOSTA (status at position 0).
  bool RECEBE_RESPOSTA();

  bool FINALIZA();
  bool APAGA_BLOCO(std::uint32_t endereco);
  // Decodes the reply's 128 data bytes into `destino`. True only when the reply carried all
  // 128 of them (its status byte is not examined).
  bool LE_BLOCO(std::uint32_t endereco, Block& destino);
  bool GRAVA_BLOCO(std::uint32_t endereco, const Block& dados);
  bool GRAVA_PAGINA(std::uint32_t pagina, const Page& dados);
  // A hex line of the package to a block or page: pairs of characters through HEX_PARA_INT,
  // 0xFF where the line does not reach; characters beyond the block or page are ignored.
  bool GRAVA_BLOCO_HEX(std::uint32_t endereco, std::string_view linha);
  bool GRAVA_PAGINA_HEX(std::uint32_t pagina, std::string_view linha);

 private:
  // One byte into BUF_RESPOSTA[0]: an empty poll of the waiting loops lasts at least 100 ms.
  bool poll();

  SerialPort& port_;
  Clock& clock_;
};

}  // namespace patu
