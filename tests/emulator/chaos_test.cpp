// The chaotic device: replayable from its seed, quiet at rate zero, every kind of mishap
// shows, and whatever goes wrong it never acknowledges a write it did not make nor passes
// random bytes off as its info block.

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "tests/emulator/device_bytes.h"
#include "tools/emulator/device.h"

namespace patu::emu {
namespace {

using testing::Bytes;
using testing::frame_d;
using testing::frame_w;
using testing::Host;
using testing::pattern;

DeviceConfig chaotic(std::uint64_t seed, std::uint32_t per_million) {
  DeviceConfig config;
  config.chaos = Chaos{seed, per_million};
  return config;
}

// The bytes a host would see from a fixed session: probes, reads and writes, each framed
// only when the complement came back. Stops when the device has left the line.
Bytes session(Device& device, int commands) {
  Host host(device);
  Bytes seen;
  for (int i = 0; i < commands && !device.hung_up(); ++i) {
    host.now += 10'000'000;
    host.send({0xAB});
    host.send({0x86});
    Bytes out = host.take();
    if (!out.empty() && out.back() == 0x79) {
      host.send(i % 2 == 0 ? frame_d(0x8000) : frame_w(0x9000 + 128 * i, pattern(i)));
      const Bytes reply = host.take();
      out.insert(out.end(), reply.begin(), reply.end());
    }
    seen.insert(seen.end(), out.begin(), out.end());
  }
  return seen;
}

// Adds the mishap kinds named in a command log's fault field ("chaos-late=12,chaos-nak").
void note_kinds(const std::string& fault, std::set<std::string>& kinds) {
  std::size_t from = 0;
  while (from < fault.size()) {
    const std::size_t comma = std::min(fault.find(',', from), fault.size());
    const std::string kind = fault.substr(from, comma - from);
    kinds.insert(kind.substr(0, kind.find('=')));
    from = comma + 1;
  }
}

TEST(DeviceChaos, TheSeedReplaysARunAndRateZeroIsAnOrdinaryDevice) {
  Device a(chaotic(7, 300'000));
  Device b(chaotic(7, 300'000));
  const Bytes first = session(a, 60);
  EXPECT_EQ(session(b, 60), first);
  EXPECT_EQ(write_dump(a.state()), write_dump(b.state()));

  Device other(chaotic(8, 300'000));
  EXPECT_NE(session(other, 60), first);

  Device quiet(chaotic(7, 0));
  Device plain;
  EXPECT_EQ(session(quiet, 60), session(plain, 60));
  EXPECT_EQ(write_dump(quiet.state()), write_dump(plain.state()));
}

TEST(DeviceChaos, ProbeAnswersGoWrongInEveryWayButNeverAsAWrongT) {
  Device device(chaotic(3, 500'000));
  Host host(device);
  std::set<std::string> forms;
  for (int i = 0; i < 200; ++i) {
    host.send({0xAB});
    const Bytes answer = host.take();
    if (answer.empty()) {
      forms.insert("none");
    } else if (answer == Bytes{0x54}) {
      forms.insert("T");
    } else if (answer.front() == 0x54) {
      forms.insert("T and more");
    } else {
      EXPECT_EQ(answer.size(), 1u);
      forms.insert("other");
    }
  }
  EXPECT_EQ(forms, (std::set<std::string>{"none", "T", "T and more", "other"}));
}

TEST(DeviceChaos, NoMishapAcknowledgesAWriteThatDidNotHappen) {
  std::set<std::string> kinds;
  int acknowledged = 0;
  for (std::uint64_t seed = 1; seed <= 40; ++seed) {
    Device device(chaotic(seed, 500'000));
    Host host(device);
    for (int i = 0; i < 120 && !device.hung_up(); ++i) {
      SCOPED_TRACE("seed " + std::to_string(seed) + " command " + std::to_string(i));
      host.now += 20'000'000;  // past any late byte of the previous exchange
      host.send({0x86});
      const Bytes handshake = host.take();
      const auto& entry = device.state().log.back();
      if (handshake.empty() || handshake.back() != 0x79) {
        EXPECT_EQ(entry.fault, "chaos-silence");
        note_kinds(entry.fault, kinds);
        continue;
      }
      for (std::size_t k = 0; k + 1 < handshake.size(); ++k) EXPECT_NE(handshake[k], 0x79);

      const bool read = i % 3 == 0;
      const auto address = static_cast<std::uint16_t>(0x9000 + 128 * i);
      const Block data = pattern(static_cast<std::uint8_t>(seed + i));
      host.send(read ? frame_d(0x8000) : frame_w(address, data));
      const Micros sent_at = host.now;
      const Micros first_at = device.next_output() != nullptr ? device.next_output()->at : 0;
      const Bytes reply = host.take();
      const std::string fault = device.state().log.back().fault;
      note_kinds(fault, kinds);
      if (fault.find("chaos-slow=") != std::string::npos) {
        const auto ms = std::stoul(fault.substr(fault.find("chaos-slow=") + 11));
        EXPECT_GE(first_at, sent_at + ms * 1000);
      }
      const bool complete = !reply.empty() && reply[0] >= 2 && reply.size() >= reply[0];
      if (read) {
        // Whatever passes for the block's serial number is the block.
        if (complete && reply.size() >= 130 && CODIFICA_BYTE(reply[2]) == 0x0A &&
            CODIFICA_BYTE(reply[3]) == 0x1B && CODIFICA_BYTE(reply[4]) == 0xFF) {
          for (std::size_t k = 0; k < 128; ++k) {
            EXPECT_EQ(CODIFICA_BYTE(reply[2 + k]), device.block(0x8000)[k]) << k;
          }
        }
      } else if (complete && reply[1] == kAck) {
        ++acknowledged;
        EXPECT_EQ(device.block(address), data) << fault;
      }
    }
  }
  EXPECT_GT(acknowledged, 100);
  EXPECT_EQ(kinds, (std::set<std::string>{"chaos-cut", "chaos-garbage", "chaos-hangup",
                                          "chaos-late", "chaos-len0", "chaos-nak", "chaos-noise",
                                          "chaos-shortlen", "chaos-silence", "chaos-slow"}));
}

}  // namespace
}  // namespace patu::emu
