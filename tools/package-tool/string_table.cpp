#include "tools/package-tool/string_table.h"

#include <map>

#include "package/unicode.h"
#include "tools/package-tool/refusal.h"
#include "tools/pe-load-config/pe.h"

namespace patu::pkg {
namespace {

constexpr std::uint32_t kResourceDirectory = 2;
constexpr std::uint32_t kStringType = 6;  // RT_STRING
constexpr std::uint32_t kSubdirectory = 0x80000000;
constexpr std::size_t kDirectoryHeader = 16;
constexpr std::size_t kEntrySize = 8;
constexpr std::size_t kStringsPerBlock = 16;

struct Entry {
  std::uint32_t id;      // the name word; its high bit marks a name string
  std::uint32_t offset;  // within the resource section; high bit: a subdirectory
};

class Resources {
 public:
  Resources(const pe::Image& image, const std::string& shown) : image_(image), shown_(shown) {
    const auto directory = image.directory(kResourceDirectory);
    if (!directory || directory->rva == 0 || directory->size == 0) fail("it has no resources");
    base_ = directory->rva;
    size_ = directory->size;
  }

  [[noreturn]] void fail(const std::string& why) const {
    throw Refusal(shown_ + ": " + why + ": no update package can be read from it");
  }

  // The file offset of `size` bytes at `rva`, which must lie in the file.
  std::size_t at(std::uint32_t rva, std::uint32_t size) const {
    const auto offset = image_.file_offset(rva, size);
    if (!offset) fail("its resources point outside the file");
    return *offset;
  }

  std::vector<Entry> entries(std::uint32_t offset) const {
    if (offset + kDirectoryHeader > size_) fail("its resource directory is cut short");
    const std::size_t header = at(base_ + offset, kDirectoryHeader);
    const std::size_t count = std::size_t{image_.u16(header + 12)} + image_.u16(header + 14);
    if (offset + kDirectoryHeader + count * kEntrySize > size_) {
      fail("its resource directory is cut short");
    }
    const std::size_t first =
        at(base_ + offset + kDirectoryHeader, static_cast<std::uint32_t>(count * kEntrySize));
    std::vector<Entry> out;
    for (std::size_t i = 0; i < count; ++i) {
      out.push_back({image_.u32(first + i * kEntrySize), image_.u32(first + i * kEntrySize + 4)});
    }
    return out;
  }

  std::vector<Entry> subdirectory(const Entry& entry) const {
    if ((entry.offset & kSubdirectory) == 0) fail("its string table is not laid out by block");
    return entries(entry.offset & ~kSubdirectory);
  }

  // The data a leaf entry names: its file offset and size.
  std::pair<std::size_t, std::uint32_t> data(const Entry& entry) const {
    if ((entry.offset & kSubdirectory) != 0 || entry.offset + 16 > size_) {
      fail("its string table has a malformed entry");
    }
    const std::size_t leaf = at(base_ + entry.offset, 16);
    const std::uint32_t rva = image_.u32(leaf), size = image_.u32(leaf + 4);
    return {at(rva, size), size};
  }

 private:
  const pe::Image& image_;
  const std::string& shown_;
  std::uint32_t base_ = 0;
  std::uint32_t size_ = 0;
};

}  // namespace

std::vector<std::string> executable_package(std::vector<std::uint8_t> bytes,
                                            const std::string& shown) {
  std::string error;
  const auto image = pe::Image::parse(std::move(bytes), error);
  if (!image) throw Refusal(shown + ": " + error + ": not a Windows program");
  const Resources resources(*image, shown);

  std::map<std::uint32_t, std::string> strings;  // id -> text
  for (const Entry& type : resources.entries(0)) {
    if (type.id != kStringType) continue;
    for (const Entry& block : resources.subdirectory(type)) {
      if ((block.id & kSubdirectory) != 0 || block.id == 0 || block.id > 4096) {
        resources.fail("its string table has a block of no number");
      }
      for (const Entry& language : resources.subdirectory(block)) {
        if (language.id != kPackageLanguage) continue;
        const auto [offset, size] = resources.data(language);
        std::size_t p = offset;
        const std::size_t end = offset + size;
        for (std::uint32_t i = 0; i < kStringsPerBlock; ++i) {
          const std::uint32_t id = (block.id - 1) * kStringsPerBlock + i;
          if (p + 2 > end) resources.fail("string " + std::to_string(id) + " is cut short");
          const std::size_t units = image->u16(p);
          p += 2;
          if (p + 2 * units > end) resources.fail("string " + std::to_string(id) + " is cut short");
          std::string text;
          for (std::size_t k = 0; k < units; ++k, p += 2) {
            char32_t c = image->u16(p);
            if (c >= 0xD800 && c < 0xDC00 && k + 1 < units && image->u16(p + 2) >= 0xDC00 &&
                image->u16(p + 2) < 0xE000) {
              c = 0x10000 + ((c - 0xD800) << 10) + (image->u16(p + 2) - 0xDC00);
              ++k;
              p += 2;
            } else if (c >= 0xD800 && c < 0xE000) {
              resources.fail("string " + std::to_string(id) + " is not well-formed UTF-16");
            }
            if (c == '\n') {
              resources.fail("string " + std::to_string(id) +
                             " holds a line break, which no package line can");
            }
            append_utf8(text, c);
          }
          // A package file drops a carriage return before its line feed.
          if (!text.empty() && text.back() == '\r') {
            resources.fail("string " + std::to_string(id) +
                           " ends with a carriage return, which no package line can");
          }
          if (!text.empty()) strings[id] = std::move(text);
        }
      }
    }
  }
  if (strings.empty()) resources.fail("its string table holds no strings in language 1046");

  std::vector<std::string> lines(strings.rbegin()->first + 1);
  for (auto& [id, text] : strings) lines[id] = std::move(text);
  return lines;
}

}  // namespace patu::pkg
