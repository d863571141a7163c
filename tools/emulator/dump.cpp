#include "tools/emulator/dump.h"

#include <charconv>
#include <cstdio>

namespace patu::emu {
namespace {

constexpr std::string_view kHeader = "patu-emulator-dump 1";

std::string hex4(std::uint32_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(value & 0xFFFF));
  return text;
}

std::string hex2(std::uint32_t value) {
  char text[4];
  std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(value & 0xFF));
  return text;
}

std::string or_dash(std::int64_t value) { return value < 0 ? "-" : std::to_string(value); }

std::string bytes_or_dash(const std::vector<std::uint8_t>& bytes) {
  return bytes.empty() ? "-" : to_hex(bytes);
}

// Letters are written as themselves when printable, else as 0xNN; none is "-".
std::string letter_text(int letter) {
  if (letter < 0) return "-";
  if (letter > 0x20 && letter < 0x7F && letter != '-') return std::string(1, char(letter));
  return "0x" + hex2(static_cast<std::uint32_t>(letter));
}

// 'F' carries page and offset, the other letters with an argument an address.
std::string argument_text(int letter, std::uint32_t argument) {
  if (letter == 'F') return hex4(argument >> 8) + ":" + hex2(argument);
  if (letter == 'E' || letter == 'D' || letter == 'W') return hex4(argument);
  return "-";
}

void write_exchange(std::string& out, const Exchange& e) {
  switch (e.kind) {
    case Exchange::Kind::probe:
      out += "probe t=" + or_dash(e.t_in) + " answer=" + bytes_or_dash(e.answer) +
             " t_answer=" + or_dash(e.t_out) + "\n";
      return;
    case Exchange::Kind::ignored:
      out += "ignored t=" + or_dash(e.t_in) + " byte=" + hex2(e.byte) + "\n";
      return;
    case Exchange::Kind::command:
      out += "cmd n=" + std::to_string(e.number) + " sync=" + hex2(e.byte) +
             " noise=" + bytes_or_dash(e.answer) + " letter=" + letter_text(e.letter) +
             " arg=" + argument_text(e.letter, e.argument) + " frame=" + or_dash(e.frame_length) +
             " rx=" + std::to_string(e.frame_received) + " reply=" + or_dash(e.reply_length) +
             " sent=" + std::to_string(e.reply_sent) +
             " status=" + (e.status < 0 ? "-" : hex2(static_cast<std::uint32_t>(e.status))) +
             " fault=" + (e.fault.empty() ? "-" : e.fault) + " t_sync=" + or_dash(e.t_in) +
             " t_frame=" + or_dash(e.t_frame) + " t_reply=" + or_dash(e.t_out) + "\n";
      return;
  }
}

// ---- parsing ----

std::vector<std::string_view> split(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < line.size()) {
    const std::size_t end = std::min(line.find(' ', i), line.size());
    if (end > i) words.push_back(line.substr(i, end - i));
    i = end + 1;
  }
  return words;
}

template <typename T>
bool number(std::string_view text, T& value, int base = 10) {
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return ec == std::errc{} && end == text.data() + text.size();
}

template <typename T>
bool count(std::string_view text, T& value) {
  return number(text, value) && value >= 0;
}

template <typename T>
bool number_or_dash(std::string_view text, T& value) {
  if (text == "-") {
    value = -1;
    return true;
  }
  return number(text, value) && value >= 0;
}

bool hex_exact(std::string_view text, std::size_t digits, std::uint32_t& value) {
  return text.size() == digits && number(text, value, 16);
}

bool bytes_or_dash(std::string_view text, std::vector<std::uint8_t>& bytes) {
  if (text == "-") {
    bytes.clear();
    return true;
  }
  auto parsed = from_hex(text);
  if (!parsed || parsed->empty()) return false;
  bytes = std::move(*parsed);
  return true;
}

template <std::size_t N>
bool hex_array(std::string_view text, std::array<std::uint8_t, N>& out) {
  auto parsed = from_hex(text);
  if (!parsed || parsed->size() != N) return false;
  std::copy(parsed->begin(), parsed->end(), out.begin());
  return true;
}

bool letter_value(std::string_view text, int& letter) {
  if (text == "-") {
    letter = -1;
    return true;
  }
  if (text.size() == 1) {
    letter = static_cast<unsigned char>(text[0]);
    return true;
  }
  std::uint32_t value = 0;
  if (text.size() == 4 && text.substr(0, 2) == "0x" && number(text.substr(2), value, 16)) {
    letter = static_cast<int>(value);
    return true;
  }
  return false;
}

bool argument_value(std::string_view text, int letter, std::uint32_t& argument) {
  if (letter == 'F') {
    std::uint32_t page = 0;
    std::uint32_t offset = 0;
    if (text.size() != 7 || text[4] != ':') return false;
    if (!hex_exact(text.substr(0, 4), 4, page) || !hex_exact(text.substr(5), 2, offset)) {
      return false;
    }
    argument = page << 8 | offset;
    return true;
  }
  if (letter == 'E' || letter == 'D' || letter == 'W') return hex_exact(text, 4, argument);
  argument = 0;
  return text == "-";
}

// The key=value words after the keyword, in the order given; false when any is missing.
bool fields(const std::vector<std::string_view>& words,
            std::initializer_list<std::string_view> keys, std::vector<std::string_view>& values) {
  if (words.size() != keys.size() + 1) return false;
  values.clear();
  std::size_t i = 1;
  for (std::string_view key : keys) {
    const std::string_view word = words[i++];
    if (word.size() <= key.size() || word.substr(0, key.size()) != key || word[key.size()] != '=') {
      return false;
    }
    values.push_back(word.substr(key.size() + 1));
  }
  return true;
}

bool parse_violation(const std::vector<std::string_view>& words, Violation& v) {
  std::vector<std::string_view> f;
  if (!fields(words, {"n", "kind", "letter", "arg"}, f)) return false;
  bool kind_known = false;
  for (auto kind : {Violation::Kind::write_without_erase, Violation::Kind::page_before_area_erase,
                    Violation::Kind::half_written_twice, Violation::Kind::bad_frame}) {
    if (violation_name(kind) == f[1]) {
      v.kind = kind;
      kind_known = true;
    }
  }
  return kind_known && number(f[0], v.number) && letter_value(f[2], v.letter) &&
         argument_value(f[3], v.letter, v.argument);
}

bool parse_exchange(const std::vector<std::string_view>& words, Exchange& e) {
  std::vector<std::string_view> f;
  std::uint32_t byte = 0;
  if (words[0] == "probe") {
    e.kind = Exchange::Kind::probe;
    e.byte = 0xAB;
    return fields(words, {"t", "answer", "t_answer"}, f) && number_or_dash(f[0], e.t_in) &&
           bytes_or_dash(f[1], e.answer) && number_or_dash(f[2], e.t_out);
  }
  if (words[0] == "ignored") {
    e.kind = Exchange::Kind::ignored;
    if (!fields(words, {"t", "byte"}, f) || !number_or_dash(f[0], e.t_in) ||
        !hex_exact(f[1], 2, byte)) {
      return false;
    }
    e.byte = static_cast<std::uint8_t>(byte);
    return true;
  }
  e.kind = Exchange::Kind::command;
  if (!fields(words,
              {"n", "sync", "noise", "letter", "arg", "frame", "rx", "reply", "sent", "status",
               "fault", "t_sync", "t_frame", "t_reply"},
              f)) {
    return false;
  }
  std::uint32_t status = 0;
  const bool ok = number(f[0], e.number) && hex_exact(f[1], 2, byte) &&
                  bytes_or_dash(f[2], e.answer) && letter_value(f[3], e.letter) &&
                  argument_value(f[4], e.letter, e.argument) &&
                  number_or_dash(f[5], e.frame_length) && count(f[6], e.frame_received) &&
                  number_or_dash(f[7], e.reply_length) && count(f[8], e.reply_sent) &&
                  (f[9] == "-" || hex_exact(f[9], 2, status)) && number_or_dash(f[11], e.t_in) &&
                  number_or_dash(f[12], e.t_frame) && number_or_dash(f[13], e.t_out);
  if (!ok) return false;
  e.byte = static_cast<std::uint8_t>(byte);
  e.status = f[9] == "-" ? -1 : static_cast<int>(status);
  e.fault = f[10] == "-" ? "" : std::string(f[10]);
  return true;
}

bool parse_line(const std::vector<std::string_view>& w, Dump& dump) {
  const std::string_view key = w[0];
  std::uint32_t value = 0;
  if (key == "module-area") {
    if (w.size() != 2 || !hex_exact(w[1], 4, value)) return false;
    dump.module_area = static_cast<std::uint16_t>(value);
    return true;
  }
  if (key == "byte-time-us") return w.size() == 2 && number(w[1], dump.byte_time_us);
  if (key == "initial-info") return w.size() == 2 && hex_array(w[1], dump.initial_info);
  if (key == "block" || key == "page") {
    if (w.size() != 3 || !hex_exact(w[1], 4, value)) return false;
    const auto at = static_cast<std::uint16_t>(value);
    return key == "block" ? hex_array(w[2], dump.blocks[at]) : hex_array(w[2], dump.pages[at]);
  }
  if (key == "erase") {
    std::vector<std::string_view> f;
    Erase erase;
    if (!fields(w, {"n", "addr"}, f) || !number(f[0], erase.number) || !hex_exact(f[1], 4, value)) {
      return false;
    }
    erase.address = static_cast<std::uint16_t>(value);
    dump.erases.push_back(erase);
    return true;
  }
  if (key == "finalized" || key == "hung-up") {
    if (w.size() != 2 || (w[1] != "0" && w[1] != "1")) return false;
    (key == "finalized" ? dump.finalized : dump.hung_up) = w[1] == "1";
    return true;
  }
  if (key == "violation") {
    Violation v;
    if (!parse_violation(w, v)) return false;
    dump.violations.push_back(v);
    return true;
  }
  if (key == "probe" || key == "ignored" || key == "cmd") {
    Exchange e;
    if (!parse_exchange(w, e)) return false;
    dump.log.push_back(std::move(e));
    return true;
  }
  return false;
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
    if (!number(text.substr(2 * i, 2), bytes[i], 16)) return std::nullopt;
  }
  return bytes;
}

std::string write_dump(const Dump& dump) {
  std::string out;
  out += kHeader;
  out += "\nmodule-area " + hex4(dump.module_area) + "\n";
  out += "byte-time-us " + std::to_string(dump.byte_time_us) + "\n";
  out += "initial-info " + to_hex(dump.initial_info) + "\n";
  for (const auto& [address, block] : dump.blocks) {
    out += "block " + hex4(address) + " " + to_hex(block) + "\n";
  }
  for (const auto& [number, page] : dump.pages) {
    out += "page " + hex4(number) + " " + to_hex(page) + "\n";
  }
  for (const Erase& e : dump.erases) {
    out += "erase n=" + std::to_string(e.number) + " addr=" + hex4(e.address) + "\n";
  }
  out += std::string("finalized ") + (dump.finalized ? "1" : "0") + "\n";
  out += std::string("hung-up ") + (dump.hung_up ? "1" : "0") + "\n";
  for (const Violation& v : dump.violations) {
    out += "violation n=" + std::to_string(v.number) +
           " kind=" + std::string(violation_name(v.kind)) + " letter=" + letter_text(v.letter) +
           " arg=" + argument_text(v.letter, v.argument) + "\n";
  }
  for (const Exchange& e : dump.log) write_exchange(out, e);
  out += "end\n";
  return out;
}

std::optional<Dump> parse_dump(std::string_view text, std::string* error) {
  Dump dump;
  std::size_t line_number = 0;
  bool header = false;
  bool ended = false;
  auto fail = [&](const std::string& why) -> std::optional<Dump> {
    if (error != nullptr) *error = "line " + std::to_string(line_number) + ": " + why;
    return std::nullopt;
  };
  while (!text.empty()) {
    const std::size_t eol = text.find('\n');
    if (eol == std::string_view::npos) return fail("no newline at the end");
    const std::string_view line = text.substr(0, eol);
    text.remove_prefix(eol + 1);
    ++line_number;
    if (ended) return fail("text after 'end'");
    if (!header) {
      if (line != kHeader) return fail("not a patu-emulator dump");
      header = true;
      continue;
    }
    if (line == "end") {
      ended = true;
      continue;
    }
    const std::vector<std::string_view> words = split(line);
    if (words.empty() || !parse_line(words, dump))
      return fail("bad line '" + std::string(line) + "'");
  }
  if (!ended) return fail("missing 'end' (cut short?)");
  return dump;
}

}  // namespace patu::emu
