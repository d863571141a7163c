// The host side of the command protocol fed an arbitrary byte stream: every command, and
// the bare handshake and reply, against a port whose bytes come from the input, with
// replies of any length, cut short or full of garbage, late or never, and failing writes.
//
// Input: byte 0 picks the sync byte, byte 1 the write call that fails (0xFF: none); then
// steps, each an operation byte and its arguments, until the input runs out:
//   0 arrive   delay (x 40 ms), count, bytes: scheduled after what is already on its way
//              (every command first discards what has arrived: a reply needs a delay)
//   1 read     address: LE_BLOCO          2 erase    address: APAGA_BLOCO
//   3 block    address, count, bytes: GRAVA_BLOCO (0xFF where the input stops)
//   4 page     page, count, bytes: GRAVA_PAGINA
//   5 FINALIZA 6 ENVIA_COMANDO of a frame of any length from the input
//   7 RECEBE_RESPOSTA alone

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "fuzz/check.h"
#include "link/protocol.h"
#include "tests/support/fake_port.h"

namespace {

using patu::fuzz::require;
using patu::testing::Bytes;
using patu::testing::FakePort;

// The longest one exchange may take under the port's time-outs: the handshake, the pause
// before a 'W', the pause before the reply, its length byte, the rest byte by byte.
constexpr std::uint32_t kLongestExchangeMs = 5100 + 50 + 80 + 5100 + 100 * 254;

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint16_t word() {
    const std::uint8_t hi = byte();
    return static_cast<std::uint16_t>(hi << 8 | byte());
  }
  Bytes bytes(std::size_t count) {
    Bytes out;
    while (out.size() < count && !empty()) out.push_back(byte());
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// The writes of each command: the sync byte alone, then the frame one byte per write, no
// frame byte before the complement came back, none beyond the frame's own length byte and
// none after a write that failed. Every command begins by emptying the output queue.
void require_wire_discipline(const FakePort& port, std::size_t first_call, std::uint8_t sync) {
  bool synced = false;
  bool complement = false;
  bool failed = false;
  std::size_t frame_bytes = 0;
  std::size_t frame_length = 0;
  for (std::size_t i = first_call; i < port.calls.size(); ++i) {
    const FakePort::Call& c = port.calls[i];
    if (c.kind == FakePort::Call::Kind::purge && c.queue == patu::Purge::tx) {
      synced = complement = failed = false;
      frame_bytes = 0;
    } else if (c.kind == FakePort::Call::Kind::read && synced && frame_bytes == 0) {
      const auto wanted = static_cast<std::uint8_t>(~sync);
      complement = complement || std::find(c.bytes.begin(), c.bytes.end(), wanted) != c.bytes.end();
    } else if (c.kind == FakePort::Call::Kind::write) {
      require(c.asked == 1, "every write to the port is one byte");
      require(!failed, "nothing is written after a failed write");
      failed = c.bytes.empty();
      if (!synced) {
        require(failed || c.bytes[0] == sync, "a command starts with the sync byte");
        synced = true;
        continue;
      }
      require(complement, "no frame byte before the complement");
      if (frame_bytes++ == 0) frame_length = failed ? 0 : c.bytes[0];
      require(failed || frame_bytes <= frame_length, "no byte beyond the frame");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  patu::ManualClock clock;
  FakePort port(clock);
  const std::uint8_t sync = (in.byte() & 1) != 0 ? 0x85 : 0x86;
  const std::uint8_t failing = in.byte();
  if (failing != 0xFF) port.failing_write = failing;
  port.ABRE_PORTA(1);
  patu::Protocol link(port, clock);
  link.BYTE_SINC = sync;

  while (!in.empty()) {
    const std::uint8_t op = in.byte() % 8;
    const std::size_t first_call = port.calls.size();
    const std::uint32_t start = clock.tick_ms();
    bool ok = false;
    bool acknowledged_command = true;
    int exchanges = 1;
    switch (op) {
      case 0: {
        const std::uint32_t delay = 40u * in.byte();
        port.arrive(in.bytes(in.byte()), delay);
        continue;
      }
      case 1: {
        patu::Block block;
        block.fill(0x5A);
        ok = link.LE_BLOCO(in.word(), block);
        acknowledged_command = false;
        if (ok) {
          require(link.TAM_RESPOSTA >= 130, "a read succeeds only with all 128 data bytes");
          for (std::size_t i = 0; i < block.size(); ++i) {
            require(block[i] == patu::CODIFICA_BYTE(link.BUF_RESPOSTA[i + 1]),
                    "the block read is the reply's data, decoded");
          }
        }
        break;
      }
      case 2:
        ok = link.APAGA_BLOCO(in.word());
        break;
      case 3: {
        const std::uint16_t address = in.word();
        patu::Block block;
        block.fill(0xFF);
        const Bytes given = in.bytes(in.byte() % 129);
        std::copy(given.begin(), given.end(), block.begin());
        ok = link.GRAVA_BLOCO(address, block);
        exchanges = 2;
        break;
      }
      case 4: {
        const std::uint16_t number = in.word();
        patu::Page page;
        page.fill(0xFF);
        const Bytes given = in.bytes(in.byte());
        std::copy(given.begin(), given.end(), page.begin());
        ok = link.GRAVA_PAGINA(number, page);
        exchanges = 2;
        break;
      }
      case 5:
        ok = link.FINALIZA();
        break;
      case 6: {
        const Bytes frame = in.bytes(in.byte());
        link.BUF_COMANDO.fill(0);
        std::copy(frame.begin(), frame.end(), link.BUF_COMANDO.begin());
        ok = link.ENVIA_COMANDO();
        acknowledged_command = false;
        break;
      }
      default:
        ok = link.RECEBE_RESPOSTA();
        acknowledged_command = false;
        if (ok) require(link.TAM_RESPOSTA > 0, "a reply of length 0 is a failure");
        break;
    }
    const std::uint8_t code = link.ERRO_COM;
    require(code == 0 || code == 1 || code == 2 || code == 4 || code == 5,
            "the link status is a defined code");
    require(!ok || code == 0, "success leaves no link error");
    require(link.TAM_RESPOSTA >= 0 && link.TAM_RESPOSTA <= 255, "a reply length is one byte");
    if (ok && acknowledged_command) require(link.BUF_RESPOSTA[0] == patu::kAck, "success is 0xAA");
    require(clock.tick_ms() - start <= kLongestExchangeMs * static_cast<std::uint32_t>(exchanges),
            "no exchange waits beyond the time-outs");
    require_wire_discipline(port, first_call, sync);
  }
  return 0;
}
