#include "tools/package-tool/manifest.h"

#include <toml++/toml.h>
#include <algorithm>
#include <cctype>
#include <initializer_list>
#include <string_view>

#include "package/layout.h"
#include "package/unicode.h"
#include "package/validator.h"
#include "tools/package-tool/hex_text.h"
#include "tools/package-tool/refusal.h"

namespace patu::pkg {
namespace {

constexpr std::int64_t kAddressSpace = 0x10000;
constexpr std::int64_t kBlockBytes = 128;

class Reader {
 public:
  explicit Reader(std::filesystem::path file) : file_(std::move(file)) {}

  [[noreturn]] void refuse(const toml::node* at, const std::string& key,
                           const std::string& why) const {
    std::string where = file_.string();
    if (at != nullptr && at->source().begin.line > 0) {
      where += ":" + std::to_string(at->source().begin.line);
    }
    throw Refusal(where + ": " + key + ": " + why);
  }

  // Refuses every key of `table` that is not in `known`.
  void only(const toml::table& table, const std::string& prefix,
            std::initializer_list<std::string_view> known) const {
    for (auto&& [name, node] : table) {
      if (std::find(known.begin(), known.end(), name.str()) == known.end()) {
        refuse(&node, prefix + std::string(name.str()), "unknown key");
      }
    }
  }

  const toml::node& required(const toml::table& table, const std::string& prefix,
                             std::string_view name) const {
    const toml::node* node = table.get(name);
    // A key missing at the top has no line to name.
    if (node == nullptr)
      refuse(prefix.empty() ? nullptr : &table, prefix + std::string(name), "missing");
    return *node;
  }

  const toml::table& table(const toml::table& parent, std::string_view name) const {
    const toml::node& node = required(parent, "", name);
    const toml::table* table = node.as_table();
    if (table == nullptr)
      refuse(&node, std::string(name), "must be a table ([" + std::string(name) + "])");
    return *table;
  }

  std::string string(const toml::node& node, const std::string& key) const {
    const auto* value = node.as_string();
    if (value == nullptr) refuse(&node, key, "must be a string");
    return value->get();
  }

  std::int64_t integer(const toml::node& node, const std::string& key) const {
    const auto* value = node.as_integer();
    if (value == nullptr) refuse(&node, key, "must be an integer");
    return value->get();
  }

  std::uint32_t address(const toml::node& node, const std::string& key) const {
    const std::int64_t value = integer(node, key);
    if (value < 0 || value >= kAddressSpace) {
      refuse(&node, key,
             (value < 0 ? std::to_string(value) : "0x" + hex_address(value)) +
                 " is not a device address (0000 to FFFF)");
    }
    return static_cast<std::uint32_t>(value);
  }

  // A text that becomes a package line: one that the loader's searches would stop at, that
  // would split the line in the package file, or that the read buffer would cut, is refused.
  std::string line_text(const toml::node& node, const std::string& key, bool searched) const {
    std::string text = string(node, key);
    if (text == kEndLine) {
      refuse(&node, key, "\"FIM\" would be taken for the package's end line");
    }
    if (searched && text == kMarkerLine) {
      refuse(&node, key, "\"*\" would be taken for a marker line");
    }
    if (text.find_first_of("\r\n") != std::string::npos) {
      refuse(&node, key, "a package line cannot hold a line break");
    }
    const auto units = utf16_units(text);
    if (!units || *units > kMaxLineUnits) {
      refuse(&node, key,
             "longer than a package line may be (" + std::to_string(units.value_or(0)) +
                 " UTF-16 units, at most " + std::to_string(kMaxLineUnits) + ")");
    }
    return text;
  }

  ImageRef image(const toml::table& table, const std::string& prefix, std::string_view name) const {
    ImageRef ref;
    ref.key = prefix + std::string(name);
    const std::string path = string(required(table, prefix, name), ref.key);
    if (path.empty()) refuse(table.get(name), ref.key, "names no file");
    ref.path = (file_.parent_path() / path).lexically_normal();
    ref.format = format_from_name(ref.path);
    if (const toml::node* format = table.get("format")) {
      const std::string value = string(*format, prefix + "format");
      if (value == "ihex") {
        ref.format = ImageFormat::intel_hex;
      } else if (value == "srec") {
        ref.format = ImageFormat::s_record;
      } else if (value == "binary") {
        ref.format = ImageFormat::binary;
      } else {
        refuse(format, prefix + "format",
               "\"" + value + "\" is not a format (\"ihex\", \"srec\" or \"binary\")");
      }
    }
    return ref;
  }

 private:
  std::filesystem::path file_;
};

}  // namespace

ImageFormat format_from_name(const std::filesystem::path& path) {
  std::string extension = path.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (extension == ".hex" || extension == ".ihex") return ImageFormat::intel_hex;
  for (const char* name : {".s19", ".s28", ".s37", ".srec", ".mot"}) {
    if (extension == name) return ImageFormat::s_record;
  }
  return ImageFormat::binary;
}

Manifest read_manifest(const std::filesystem::path& file) {
  toml::table root;
  try {
    root = toml::parse_file(file.string());
  } catch (const toml::parse_error& error) {
    std::string where = file.string();
    if (error.source().begin.line > 0) {
      where += ":" + std::to_string(error.source().begin.line) + ":" +
               std::to_string(error.source().begin.column);
    }
    throw Refusal(where + ": " + std::string(error.description()));
  }
  const Reader r(file);
  r.only(
      root, "",
      {"date", "name", "version", "contents", "section1", "section2", "modules", "module", "info"});

  Manifest m;
  m.file = file;
  m.date = r.line_text(r.required(root, "", "date"), "date", false);
  m.name = r.line_text(r.required(root, "", "name"), "name", false);
  const toml::node& version = r.required(root, "", "version");
  const std::int64_t number = r.integer(version, "version");
  if (number < 0 || number > 255) {
    r.refuse(&version, "version",
             std::to_string(number) + " does not fit the info block's byte (0 to 255)");
  }
  m.version = static_cast<int>(number);

  const toml::node& contents = r.required(root, "", "contents");
  const toml::array* lines = contents.as_array();
  if (lines == nullptr) r.refuse(&contents, "contents", "must be an array of strings");
  for (std::size_t i = 0; i < lines->size(); ++i) {
    m.contents.push_back(
        r.line_text(*lines->get(i), "contents[" + std::to_string(i + 1) + "]", true));
  }

  for (std::size_t s = 0; s < 2; ++s) {
    SectionEntry& section = m.sections[s];
    section.key = "section" + std::to_string(s + 1);
    const toml::table& t = r.table(root, section.key);
    const std::string prefix = section.key + ".";
    r.only(t, prefix, {"address", "image", "format", "size"});
    section.address = r.address(r.required(t, prefix, "address"), prefix + "address");
    if (const toml::node* size = t.get("size")) {
      const std::int64_t bytes = r.integer(*size, prefix + "size");
      if (bytes <= 0 || bytes % kBlockBytes != 0) {
        r.refuse(size, prefix + "size",
                 std::to_string(bytes) + " is not a whole number of 128-byte blocks");
      }
      if (section.address + bytes > kAddressSpace) {
        r.refuse(size, prefix + "size",
                 "the section would run from " + hex_address(section.address) + " to " +
                     hex_address(section.address + bytes - 1) + ", past FFFF");
      }
      section.size = static_cast<std::uint32_t>(bytes);
    }
    section.image = r.image(t, prefix, "image");
  }

  const toml::table& modules = r.table(root, "modules");
  r.only(modules, "modules.", {"address"});
  m.module_area = r.address(r.required(modules, "modules.", "address"), "modules.address");

  if (const toml::node* list = root.get("module")) {
    const toml::array* tables = list->as_array();
    if (tables == nullptr || !tables->is_array_of_tables()) {
      r.refuse(list, "module", "must be an array of tables ([[module]])");
    }
    if (tables->size() > kMaxModuleCodes) {
      r.refuse(tables->get(kMaxModuleCodes), "module[" + std::to_string(kMaxModuleCodes + 1) + "]",
               std::to_string(tables->size()) +
                   " modules, more than the 23 whose first pages the info block can hold");
    }
    for (std::size_t i = 0; i < tables->size(); ++i) {
      ModuleEntry module;
      module.key = "module[" + std::to_string(i + 1) + "]";
      const toml::table& t = *tables->get(i)->as_table();
      const std::string prefix = module.key + ".";
      r.only(t, prefix, {"code", "data", "format"});
      module.code = r.line_text(r.required(t, prefix, "code"), prefix + "code", true);
      module.data = r.image(t, prefix, "data");
      m.modules.push_back(std::move(module));
    }
  }

  const toml::table& info = r.table(root, "info");
  r.only(info, "info.", {"tail", "format"});
  m.tail = r.image(info, "info.", "tail");
  return m;
}

}  // namespace patu::pkg
