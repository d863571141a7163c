#include "tools/emulator/dump_read.h"

#include <charconv>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace patu::emu {
namespace {

using Json = nlohmann::ordered_json;

struct Refusal : std::runtime_error {
  using std::runtime_error::runtime_error;
};

const Json& member(const Json& object, const char* key) {
  if (!object.is_object()) throw Refusal("not an object");
  const auto it = object.find(key);
  if (it == object.end()) throw Refusal(std::string("no \"") + key + "\"");
  return *it;
}

template <typename Read>
void within(const std::string& where, Read read) {
  try {
    read();
  } catch (const std::exception& e) {
    throw Refusal(where + ": " + e.what());
  }
}

const std::string& text(const Json& value) {
  if (!value.is_string()) throw Refusal("not a string: " + value.dump());
  return value.get_ref<const std::string&>();
}

std::uint32_t hex_value(const Json& value, std::size_t digits) {
  const std::string& t = text(value);
  std::uint32_t out = 0;
  const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), out, 16);
  if (t.size() != digits || ec != std::errc{} || end != t.data() + t.size()) {
    throw Refusal("not " + std::to_string(digits) + " hex digits: " + value.dump());
  }
  return out;
}

std::vector<std::uint8_t> bytes(const Json& value) {
  auto parsed = from_hex(text(value));
  if (!parsed) throw Refusal("not hex bytes: " + value.dump());
  return std::move(*parsed);
}

template <std::size_t N>
std::array<std::uint8_t, N> exactly(const Json& value) {
  const auto parsed = bytes(value);
  if (parsed.size() != N) throw Refusal("not " + std::to_string(N) + " bytes");
  std::array<std::uint8_t, N> out;
  std::copy(parsed.begin(), parsed.end(), out.begin());
  return out;
}

std::int64_t count(const Json& value) {
  if (!value.is_number_unsigned()) throw Refusal("not a count: " + value.dump());
  return value.get<std::int64_t>();
}

std::int64_t count_or_null(const Json& value) { return value.is_null() ? -1 : count(value); }

bool flag(const Json& value) {
  if (!value.is_boolean()) throw Refusal("not true or false: " + value.dump());
  return value.get<bool>();
}

int letter_value(const Json& value) {
  if (value.is_null()) return -1;
  const std::string& t = text(value);
  if (t.size() == 1) return static_cast<unsigned char>(t[0]);
  if (t.size() == 4 && t.starts_with("0x")) return static_cast<int>(hex_value(t.substr(2), 2));
  throw Refusal("not a letter: " + value.dump());
}

std::uint32_t argument_value(const Json& object, int letter) {
  if (letter == 'F') {
    const std::int64_t offset = count(member(object, "offset"));
    if (offset > 0xFF) throw Refusal("offset over 255");
    return hex_value(member(object, "page"), 4) << 8 | static_cast<std::uint32_t>(offset);
  }
  if (letter == 'E' || letter == 'D' || letter == 'W') {
    return hex_value(member(object, "address"), 4);
  }
  return 0;
}

Violation::Kind violation_kind(const Json& value) {
  for (auto kind : {Violation::Kind::write_without_erase, Violation::Kind::page_before_area_erase,
                    Violation::Kind::half_written_twice, Violation::Kind::bad_frame}) {
    if (violation_name(kind) == text(value)) return kind;
  }
  throw Refusal("no such violation: " + value.dump());
}

std::uint32_t number(const Json& value) {
  const std::int64_t n = count(value);
  if (n > UINT32_MAX) throw Refusal("number too large");
  return static_cast<std::uint32_t>(n);
}

Exchange exchange_value(const Json& j) {
  Exchange e;
  const std::string& kind = text(member(j, "kind"));
  if (kind == "probe" || kind == "ignored") {
    e.t_in = count_or_null(member(j, "t"));
    if (kind == "ignored") {
      e.kind = Exchange::Kind::ignored;
      e.byte = static_cast<std::uint8_t>(hex_value(member(j, "byte"), 2));
      return e;
    }
    e.kind = Exchange::Kind::probe;
    e.byte = 0xAB;
    e.answer = bytes(member(j, "answer"));
    e.t_out = count_or_null(member(j, "t_answer"));
    return e;
  }
  if (kind != "cmd") throw Refusal("no such kind: " + kind);
  e.number = number(member(j, "n"));
  e.byte = static_cast<std::uint8_t>(hex_value(member(j, "sync"), 2));
  e.answer = bytes(member(j, "noise"));
  e.letter = letter_value(member(j, "letter"));
  e.argument = argument_value(j, e.letter);
  e.frame_length = static_cast<int>(count_or_null(member(j, "frame")));
  e.frame_received = static_cast<int>(count(member(j, "rx")));
  e.reply_length = static_cast<int>(count_or_null(member(j, "reply")));
  e.reply_sent = static_cast<int>(count(member(j, "sent")));
  const Json& status = member(j, "status");
  e.status = status.is_null() ? -1 : static_cast<int>(hex_value(status, 2));
  for (const Json& fault : member(j, "fault")) {
    e.fault += (e.fault.empty() ? "" : ",") + text(fault);
  }
  e.t_in = count_or_null(member(j, "t_sync"));
  e.t_frame = count_or_null(member(j, "t_frame"));
  e.t_out = count_or_null(member(j, "t_reply"));
  return e;
}

template <typename Each>
void each(const Json& list, const char* name, Each read) {
  const Json& entries = member(list, name);
  if (!entries.is_array()) throw Refusal(std::string(name) + ": not a list");
  for (std::size_t i = 0; i < entries.size(); ++i) {
    within(std::string(name) + "[" + std::to_string(i) + "]", [&] { read(entries[i]); });
  }
}

template <typename Memory>
void memory(const Json& record, const char* name, Memory& out) {
  const Json& map = member(record, name);
  if (!map.is_object()) throw Refusal(std::string(name) + ": not a map");
  for (const auto& [at, content] : map.items()) {
    within(std::string(name) + "." + at, [&] {
      const auto key = static_cast<std::uint16_t>(hex_value(at, 4));
      out[key] = exactly<std::tuple_size_v<typename Memory::mapped_type>>(content);
    });
  }
}

Dump dump_value(const Json& j) {
  if (member(j, "format") != kRecordFormat || member(j, "version") != kRecordVersion) {
    throw Refusal("not a " + std::string(kRecordFormat) + " of version " +
                  std::to_string(kRecordVersion));
  }
  Dump dump;
  dump.module_area = static_cast<std::uint16_t>(hex_value(member(j, "module_area"), 4));
  dump.byte_time_us = number(member(j, "byte_time_us"));
  dump.initial_info = exactly<128>(member(j, "initial_info"));
  memory(j, "blocks", dump.blocks);
  memory(j, "pages", dump.pages);
  each(j, "erases", [&](const Json& e) {
    dump.erases.push_back(
        {number(member(e, "n")), static_cast<std::uint16_t>(hex_value(member(e, "address"), 4))});
  });
  dump.finalized = flag(member(j, "finalized"));
  dump.hung_up = flag(member(j, "hung_up"));
  each(j, "violations", [&](const Json& v) {
    Violation violation{number(member(v, "n")), violation_kind(member(v, "kind")),
                        letter_value(member(v, "letter"))};
    violation.argument = argument_value(v, violation.letter);
    dump.violations.push_back(violation);
  });
  each(j, "log", [&](const Json& e) { dump.log.push_back(exchange_value(e)); });
  return dump;
}

}  // namespace

std::optional<Dump> parse_dump(std::string_view text, std::string* error) {
  try {
    return dump_value(Json::parse(text));
  } catch (const std::exception& e) {
    if (error != nullptr) *error = e.what();
    return std::nullopt;
  }
}

}  // namespace patu::emu
