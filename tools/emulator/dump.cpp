#include "tools/emulator/dump.h"

#include <charconv>
#include <cstdio>

#include <nlohmann/json.hpp>

namespace patu::emu {
namespace {

using Json = nlohmann::ordered_json;

std::string hex(std::uint32_t value, int digits) {
  char text[12];
  std::snprintf(text, sizeof text, "%0*X", digits, static_cast<unsigned>(value));
  return text;
}

Json time_or_null(std::int64_t ms) { return ms < 0 ? Json(nullptr) : Json(ms); }

// Printable letters as themselves; ' ', '-' (what readers print for "none") and the rest as
// 0xNN.
Json letter_json(int letter) {
  if (letter < 0) return nullptr;
  if (letter > 0x20 && letter < 0x7F && letter != '-') return std::string(1, char(letter));
  return "0x" + hex(static_cast<std::uint32_t>(letter), 2);
}

// 'F' names a page and a half's offset; 'E', 'D' and 'W' an address; other letters nothing.
void put_argument(Json& out, int letter, std::uint32_t argument) {
  if (letter == 'F') {
    out["page"] = hex(argument >> 8, 4);
    out["offset"] = argument & 0xFF;
  } else if (letter == 'E' || letter == 'D' || letter == 'W') {
    out["address"] = hex(argument, 4);
  }
}

Json exchange_json(const Exchange& e) {
  switch (e.kind) {
    case Exchange::Kind::probe:
      return {{"kind", "probe"},
              {"t", time_or_null(e.t_in)},
              {"answer", to_hex(e.answer)},
              {"t_answer", time_or_null(e.t_out)}};
    case Exchange::Kind::ignored:
      return {{"kind", "ignored"}, {"t", time_or_null(e.t_in)}, {"byte", hex(e.byte, 2)}};
    case Exchange::Kind::command:
      break;
  }
  Json out = {{"kind", "cmd"},
              {"n", e.number},
              {"sync", hex(e.byte, 2)},
              {"noise", to_hex(e.answer)},
              {"letter", letter_json(e.letter)}};
  put_argument(out, e.letter, e.argument);
  Json faults = Json::array();
  for (std::size_t i = 0; i < e.fault.size();) {
    const std::size_t end = std::min(e.fault.find(',', i), e.fault.size());
    faults.push_back(e.fault.substr(i, end - i));
    i = end + 1;
  }
  out.update(Json{{"frame", time_or_null(e.frame_length)},
                  {"rx", e.frame_received},
                  {"reply", time_or_null(e.reply_length)},
                  {"sent", e.reply_sent},
                  {"status", e.status < 0 ? Json(nullptr) : Json(hex(e.status, 2))},
                  {"fault", faults},
                  {"t_sync", time_or_null(e.t_in)},
                  {"t_frame", time_or_null(e.t_frame)},
                  {"t_reply", time_or_null(e.t_out)}});
  return out;
}

// One member a line, and one entry a line inside each list and map: a line is a record, for
// grep and for diff.
std::string layout(const Json& record) {
  std::string out = "{";
  const char* separator = "\n";
  for (const auto& [key, value] : record.items()) {
    out += separator + ("  " + Json(key).dump() + ": ");
    separator = ",\n";
    if (!value.is_structured() || value.empty()) {
      out += value.dump();
      continue;
    }
    const bool list = value.is_array();
    out += list ? "[" : "{";
    const char* inner = "\n";
    for (const auto& [name, entry] : value.items()) {
      out += inner + std::string("    ") + (list ? "" : Json(name).dump() + ": ") + entry.dump();
      inner = ",\n";
    }
    out += list ? "\n  ]" : "\n  }";
  }
  return out + "\n}\n";
}

}  // namespace

std::string_view violation_name(Violation::Kind kind) {
  switch (kind) {
    case Violation::Kind::write_without_erase:
      return "write-without-erase";
    case Violation::Kind::page_before_area_erase:
      return "page-before-area-erase";
    case Violation::Kind::half_written_twice:
      return "half-written-twice";
    case Violation::Kind::bad_frame:
      return "bad-frame";
  }
  return "?";
}

std::string to_hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 0xF];
  }
  return text;
}

std::optional<std::vector<std::uint8_t>> from_hex(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  std::vector<std::uint8_t> bytes(text.size() / 2);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const char* first = text.data() + 2 * i;
    const auto [end, ec] = std::from_chars(first, first + 2, bytes[i], 16);
    if (ec != std::errc{} || end != first + 2) return std::nullopt;
  }
  return bytes;
}

std::string write_dump(const Dump& dump) {
  Json record = {{"format", kRecordFormat},
                 {"version", kRecordVersion},
                 {"module_area", hex(dump.module_area, 4)},
                 {"byte_time_us", dump.byte_time_us},
                 {"initial_info", to_hex(dump.initial_info)}};
  Json& blocks = record["blocks"] = Json::object();
  for (const auto& [address, block] : dump.blocks) blocks[hex(address, 4)] = to_hex(block);
  Json& pages = record["pages"] = Json::object();
  for (const auto& [number, page] : dump.pages) pages[hex(number, 4)] = to_hex(page);
  Json& erases = record["erases"] = Json::array();
  for (const Erase& e : dump.erases) {
    erases.push_back({{"n", e.number}, {"address", hex(e.address, 4)}});
  }
  record["finalized"] = dump.finalized;
  record["hung_up"] = dump.hung_up;
  Json& violations = record["violations"] = Json::array();
  for (const Violation& v : dump.violations) {
    Json entry = {
        {"n", v.number}, {"kind", violation_name(v.kind)}, {"letter", letter_json(v.letter)}};
    put_argument(entry, v.letter, v.argument);
    violations.push_back(std::move(entry));
  }
  Json& log = record["log"] = Json::array();
  for (const Exchange& e : dump.log) log.push_back(exchange_json(e));
  return layout(record);
}

}  // namespace patu::emu
