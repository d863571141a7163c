#pragma once
// Is the device on the open port one this program updates? The probe byte, the choice of
// sync byte and the serial number. Nothing here writes to the device's memory.

#include <string>

#include "link/protocol.h"
#include "link/serial.h"

namespace patu {

enum class ProbeOutcome { not_written, other_answer, answer_t };

// Empties the port's input, writes the raw byte 0xAB and reads one byte back; nothing
// arriving reads as 0xAB.
ProbeOutcome probe_device(SerialPort& port);

// Reads the info block at 0x8000. On success `serial` becomes "33" and bytes 0, 1, 2 as
// upper-case hex; on failure it becomes "".
bool LE_IDENTIFICACAO(Protocol& link, std::string& serial);

// Identification results.
enum : int { kIdOk = 0, kIdOtherVersion = 1, kIdNoAnswer = 2 };

// Tries sync byte 0x86, then 0x85.
int CART_V2(Protocol& link, std::string& serial);

}  // namespace patu
