#pragma once
// The headers of a PE image (a Windows executable) read from its bytes: the machine and the
// characteristics, the data directories and the section table, and the file offsets of what
// they point at. Enough for the post-link step that fills the load-configuration directory
// and for the tests that read it and the exploit mitigations back.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace patu::pe {

inline constexpr std::uint32_t kBaseRelocationDirectory = 5;
inline constexpr std::uint32_t kLoadConfigDirectory = 10;

struct Section {
  std::string name;  // up to 8 characters
  std::uint32_t virtual_address = 0;
  std::uint32_t virtual_size = 0;
  std::uint32_t raw_size = 0;
  std::uint32_t raw_offset = 0;
  std::uint32_t characteristics = 0;  // IMAGE_SCN_*
};

struct Directory {
  std::uint32_t rva = 0;
  std::uint32_t size = 0;
};

class Image {
 public:
  // The image in `bytes`, or nothing (and `error` says why) when its headers are not those
  // of a PE image.
  static std::optional<Image> parse(std::vector<std::uint8_t> bytes, std::string& error);

  const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  bool pe32_plus() const { return pe32_plus_; }
  // IMAGE_FILE_MACHINE_*, IMAGE_FILE_* and IMAGE_DLLCHARACTERISTICS_* flags.
  std::uint16_t machine() const { return machine_; }
  std::uint16_t characteristics() const { return characteristics_; }
  std::uint16_t dll_characteristics() const { return dll_characteristics_; }
  const std::vector<Section>& sections() const { return sections_; }
  const Section* section_named(const std::string& name) const;

  // Nothing when the image has fewer directories than `index` + 1.
  std::optional<Directory> directory(std::uint32_t index) const;
  bool set_directory(std::uint32_t index, Directory value);

  // The section whose file data holds all `size` bytes from `rva`, if one does.
  const Section* section_holding(std::uint32_t rva, std::uint32_t size) const;
  // The file offset of `rva` within that section.
  std::optional<std::size_t> file_offset(std::uint32_t rva, std::uint32_t size) const;

  // Little-endian values at a file offset; the caller keeps them inside the file.
  std::uint32_t u32(std::size_t offset) const;
  std::uint16_t u16(std::size_t offset) const;

 private:
  std::vector<std::uint8_t> bytes_;
  bool pe32_plus_ = false;
  std::uint16_t machine_ = 0;
  std::uint16_t characteristics_ = 0;
  std::uint16_t dll_characteristics_ = 0;
  std::size_t directories_offset_ = 0;
  std::uint32_t directory_count_ = 0;
  std::vector<Section> sections_;
};

}  // namespace patu::pe
