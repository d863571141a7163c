// patu-bench-dead-line: what the protocol's wait for a reply costs on a dead line, with the
// system clock. The port takes every write and fails every read at once, as a line whose
// other end has gone does under Wine; the reply never comes and the protocol waits out its
// 5 seconds. Prints key=value lines:
//   wait_ms=<wall time of the wait>  polls=<one-byte reads>  cpu_ms=<user+system>
// Exit status 0 when the wait ended in a time-out, as it must.

#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <iostream>

#include "link/clock.h"
#include "link/protocol.h"
#include "link/serial.h"

namespace {

class DeadLinePort final : public patu::SerialPort {
 public:
  int reads = 0;

  bool ABRE_PORTA(int) override { return true; }
  void FECHA_PORTA() override {}
  bool ESCREVE_PORTA(const std::uint8_t*, std::uint32_t count, std::uint32_t& written) override {
    written = count;
    return true;
  }
  bool LE_PORTA(std::uint32_t, std::uint8_t*, std::uint32_t& read) override {
    ++reads;
    read = 0;
    return false;
  }
  void purge(patu::Purge) override {}
  bool PORTA_ABERTA() const override { return true; }
};

double cpu_ms() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

}  // namespace

int main() {
  DeadLinePort port;
  patu::Protocol link(port, patu::system_clock());
  const double cpu_before = cpu_ms();
  const auto start = std::chrono::steady_clock::now();
  const bool replied = link.RECEBE_RESPOSTA();
  const auto wait = std::chrono::steady_clock::now() - start;
  const double cpu = cpu_ms() - cpu_before;
  std::cout << "wait_ms=" << std::chrono::duration<double, std::milli>(wait).count()
            << "\npolls=" << port.reads << "\ncpu_ms=" << cpu << "\n";
  return !replied && link.ERRO_COM == patu::kErroTempo ? 0 : 1;
}
