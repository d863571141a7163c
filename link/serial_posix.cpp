#include "link/serial_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>

namespace patu {
namespace {

using Steady = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kReadInterval{100};
constexpr milliseconds kReadPerByte{100};
constexpr milliseconds kWritePerByte{5000};
constexpr milliseconds kWriteConstant{5000};
// One byte on the wire at 9600 baud, 8N1: ten bits.
constexpr std::chrono::microseconds kByteTime{10'000'000 / 9600 + 1};

// poll()'s time-out for a wait until `deadline`, rounded up so that it never wakes early and
// spins on a remainder below one millisecond.
int poll_timeout_ms(Steady::time_point deadline) {
  const auto left = deadline - Steady::now();
  if (left <= Steady::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<milliseconds>(left).count();
  return static_cast<int>(std::min<long long>(ms, 1'000'000'000));
}

}  // namespace

std::string PosixSerialPort::default_path(int port_number) {
  return "/dev/ttyS" + std::to_string(port_number - 1);
}

PosixSerialPort::PosixSerialPort(PathMap map) : map_(std::move(map)) {}

short PosixSerialPort::wait_for(short events, Steady::time_point deadline) {
  for (;;) {
    pollfd p{PORTA_SERIAL, events, 0};
    const int r = poll(&p, 1, poll_timeout_ms(deadline));
    const int error = errno;
    if (r > 0) return p.revents;
    if ((r == 0 && Steady::now() >= deadline) || (r < 0 && error != EINTR)) return 0;
  }
}

PosixSerialPort::~PosixSerialPort() { FECHA_PORTA(); }

OpenCode PosixSerialPort::CONFIGURA_PORTA(int port_number, int& fd) {
  const std::string path = map_(port_number);
  fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return OpenCode::not_opened;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    fd = -1;
    return OpenCode::not_opened;
  }

  termios line{};
  if (tcgetattr(fd, &line) != 0) return OpenCode::timeouts_failed;
  cfmakeraw(&line);
  line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  line.c_cflag |= CS8 | CLOCAL | CREAD;
  line.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  // Reads never block in the driver: the time-outs are kept here, around poll().
  line.c_cc[VMIN] = 0;
  line.c_cc[VTIME] = 0;
  if (cfsetispeed(&line, B9600) != 0 || cfsetospeed(&line, B9600) != 0 ||
      tcsetattr(fd, TCSANOW, &line) != 0 || ioctl(fd, TIOCEXCL) != 0) {
    return OpenCode::timeouts_failed;
  }
  return OpenCode::ok;
}

void PosixSerialPort::close_steps(int fd) {
  tcflush(fd, TCIFLUSH);
  tcflush(fd, TCOFLUSH);
  ::close(fd);
}

bool PosixSerialPort::ABRE_PORTA(int port_number) {
  // The held port stays open and in use: dropping its mark would leak the descriptor.
  if (open_) return false;
  int fd = -1;
  open_code_ = CONFIGURA_PORTA(port_number, fd);
  switch (open_code_) {
    case OpenCode::ok:
      PORTA_SERIAL = fd;
      open_ = true;
      return true;
    case OpenCode::settings_failed:
    case OpenCode::timeouts_failed:
      close_steps(fd);
      return false;
    case OpenCode::not_opened:
      break;
  }
  return false;
}

void PosixSerialPort::FECHA_PORTA() {
  if (!open_) return;
  close_steps(PORTA_SERIAL);
  PORTA_SERIAL = -1;
  open_ = false;
}

bool PosixSerialPort::ESCREVE_PORTA(const std::uint8_t* bytes, std::uint32_t count,
                                    std::uint32_t& written) {
  written = 0;
  if (!open_) return false;
  const auto deadline = Steady::now() + kWritePerByte * count + kWriteConstant;

  std::uint32_t accepted = 0;
  while (accepted < count) {
    if ((wait_for(POLLOUT, deadline) & POLLOUT) == 0) break;
    const ssize_t n = ::write(PORTA_SERIAL, bytes + accepted, count - accepted);
    if (n > 0) {
      accepted += static_cast<std::uint32_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      break;
    }
  }

  // As on Windows, the write has finished when the line has sent it: a frame written one
  // byte per call goes out paced by its calls.
  int queued = 0;
  while (ioctl(PORTA_SERIAL, TIOCOUTQ, &queued) == 0 && queued > 0) {
    const auto now = Steady::now();
    if (now >= deadline) break;
    std::this_thread::sleep_until(std::min<Steady::time_point>(now + kByteTime * queued, deadline));
  }
  queued = std::clamp(queued, 0, static_cast<int>(accepted));
  written = accepted - static_cast<std::uint32_t>(queued);
  return written == count;
}

bool PosixSerialPort::LE_PORTA(std::uint32_t count, std::uint8_t* buffer, std::uint32_t& read) {
  read = 0;
  if (!open_) return false;
  const auto end = Steady::now() + kReadPerByte * count;
  // Before the first byte only the total applies; after each byte, also the interval.
  auto deadline = end;
  while (read < count) {
    const short revents = wait_for(POLLIN, deadline);
    if (revents == 0) break;
    if (revents & POLLIN) {
      const ssize_t n = ::read(PORTA_SERIAL, buffer + read, count - read);
      if (n > 0) {
        read += static_cast<std::uint32_t>(n);
        deadline = std::min(end, Steady::now() + kReadInterval);
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    }
    // Hung up or failing: nothing more can arrive, so the line is silent until the time-out.
    std::this_thread::sleep_until(deadline);
    break;
  }
  return read == count;
}

void PosixSerialPort::purge(Purge queue) {
  if (!open_) return;
  tcflush(PORTA_SERIAL, queue == Purge::rx ? TCIFLUSH : TCOFLUSH);
}

}  // namespace patu
