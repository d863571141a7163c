#include "tools/package-tool/image.h"

#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <iterator>

#include <srecord/input/file/intel.h>
#include <srecord/quit.h>
#include <srecord/record.h>

#include "tools/package-tool/refusal.h"
#include "tools/package-tool/srec_cat.h"

namespace patu::pkg {
namespace {

namespace fs = std::filesystem;

// Load files as toolchains write them: without an execution start address, and S-record
// files without the optional header record. Nothing is lost.
constexpr std::string_view kHarmlessWarnings[] = {"no execution start address", "no header record"};

std::string formatted(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int size = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, args);
  return text;
}

bool harmful_warning(std::string_view message) {
  if (message.find(": warning: ") == std::string_view::npos) return false;
  for (std::string_view harmless : kHarmlessWarnings) {
    if (message.find(harmless) != std::string_view::npos) return false;
  }
  return true;
}

// srecord reports through a quit object whose default ends the process; this one keeps
// the messages and turns the end into an exception.
class KeepMessages final : public srecord::quit {
 public:
  struct Fatal {};
  void message_v(const char* format, va_list args) override {
    messages.push_back(formatted(format, args));
  }
  void exit(int) override { throw Fatal{}; }

  std::vector<std::string> messages;
};

void check_readable(const ImageRef& image) {
  std::error_code error;
  if (!fs::is_regular_file(image.path, error)) {
    throw Refusal(image.key + ": " + image.path.string() + ": no such file");
  }
  std::ifstream in(image.path, std::ios::binary);
  if (!in) throw Refusal(image.key + ": " + image.path.string() + ": cannot be read");
}

// Reads Intel HEX `file`; records name `shown` in place of the file when it is given, and
// only their file then (the lines are those of a conversion).
std::vector<ImageRecord> read_intel(const ImageRef& image, const fs::path& file,
                                    const std::string& shown) {
  KeepMessages quit;
  std::vector<ImageRecord> records;
  try {
    srecord::input_file::pointer in = srecord::input_file_intel::create(file.string());
    in->set_quit(quit);
    srecord::record record;
    while (in->read(record)) {
      if (record.get_type() != srecord::record::type_data || record.get_length() == 0) continue;
      ImageRecord out;
      out.address = record.get_address();
      out.bytes.assign(record.get_data(), record.get_data() + record.get_length());
      out.where = shown.empty() ? static_cast<srecord::input&>(*in).filename_and_line() : shown;
      records.push_back(std::move(out));
    }
  } catch (const KeepMessages::Fatal&) {
    throw Refusal(image.key + ": " +
                  (quit.messages.empty() ? file.string() + ": unreadable" : quit.messages.back()));
  }
  for (const std::string& message : quit.messages) {
    if (harmful_warning(message)) throw Refusal(image.key + ": " + message);
  }
  return records;
}

std::vector<ImageRecord> read_s_record(const ImageRef& image) {
  const ScratchDir scratch;
  const fs::path converted = scratch.path() / "image.hex";
  const SrecCatRun run =
      run_srec_cat({image.path.string(), "-motorola", "-o", converted.string(), "-intel"});
  if (!run.started) {
    throw Refusal(image.key + ": " + image.path.string() +
                  ": srec_cat (Debian package srecord) is needed to read S-record files");
  }
  if (run.status != 0) {
    throw Refusal(
        image.key + ": " +
        (run.messages.empty() ? image.path.string() + ": srec_cat failed" : run.messages.back()));
  }
  for (const std::string& message : run.messages) {
    if (harmful_warning(message)) throw Refusal(image.key + ": " + message);
  }
  return read_intel(image, converted, image.path.string());
}

std::vector<ImageRecord> read_binary(const ImageRef& image) {
  std::ifstream in(image.path, std::ios::binary);
  ImageRecord record;
  record.bytes.assign(std::istreambuf_iterator<char>(in), {});
  if (in.bad()) throw Refusal(image.key + ": " + image.path.string() + ": cannot be read");
  record.where = image.path.string();
  std::vector<ImageRecord> records;
  if (!record.bytes.empty()) records.push_back(std::move(record));
  return records;
}

}  // namespace

std::vector<ImageRecord> read_image(const ImageRef& image) {
  check_readable(image);
  switch (image.format) {
    case ImageFormat::intel_hex:
      return read_intel(image, image.path, "");
    case ImageFormat::s_record:
      return read_s_record(image);
    case ImageFormat::binary:
      break;
  }
  return read_binary(image);
}

}  // namespace patu::pkg
