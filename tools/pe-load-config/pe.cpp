#include "tools/pe-load-config/pe.h"

#include <algorithm>
#include <utility>

namespace patu::pe {

namespace {

constexpr std::size_t kCoffHeaderSize = 20;
constexpr std::size_t kSectionHeaderSize = 40;

}  // namespace

std::uint32_t Image::u32(std::size_t offset) const {
  return static_cast<std::uint32_t>(u16(offset)) | static_cast<std::uint32_t>(u16(offset + 2))
                                                       << 16;
}

std::uint16_t Image::u16(std::size_t offset) const {
  return static_cast<std::uint16_t>(bytes_[offset] | bytes_[offset + 1] << 8);
}

std::optional<Image> Image::parse(std::vector<std::uint8_t> bytes, std::string& error) {
  Image image;
  image.bytes_ = std::move(bytes);
  const auto fits = [&](std::size_t offset, std::size_t size) {
    return offset <= image.bytes_.size() && size <= image.bytes_.size() - offset;
  };
  if (!fits(0, 0x40) || image.u16(0) != 0x5A4D) {
    error = "no MZ header";
    return std::nullopt;
  }
  const std::size_t pe = image.u32(0x3C);
  if (!fits(pe, 4 + kCoffHeaderSize) || image.u32(pe) != 0x00004550) {
    error = "no PE signature";
    return std::nullopt;
  }
  const std::size_t coff = pe + 4;
  image.machine_ = image.u16(coff);
  const std::uint16_t section_count = image.u16(coff + 2);
  image.characteristics_ = image.u16(coff + 18);
  const std::uint16_t optional_size = image.u16(coff + 16);
  const std::size_t optional = coff + kCoffHeaderSize;
  if (!fits(optional, optional_size) || optional_size < 2) {
    error = "optional header outside the file";
    return std::nullopt;
  }
  const std::uint16_t magic = image.u16(optional);
  if (magic != 0x10B && magic != 0x20B) {
    error = "unknown optional header magic";
    return std::nullopt;
  }
  image.pe32_plus_ = magic == 0x20B;
  // DllCharacteristics stands at the same offset in both formats.
  constexpr std::size_t kDllCharacteristics = 70;
  if (optional_size < kDllCharacteristics + 2) {
    error = "optional header too short";
    return std::nullopt;
  }
  image.dll_characteristics_ = image.u16(optional + kDllCharacteristics);
  // NumberOfRvaAndSizes, then the directories themselves.
  const std::size_t count_offset = image.pe32_plus_ ? 108 : 92;
  if (optional_size < count_offset + 4) {
    error = "optional header too short";
    return std::nullopt;
  }
  image.directory_count_ = image.u32(optional + count_offset);
  image.directories_offset_ = optional + count_offset + 4;
  if (optional_size < count_offset + 4 + std::size_t{image.directory_count_} * 8) {
    error = "data directories outside the optional header";
    return std::nullopt;
  }
  const std::size_t table = optional + optional_size;
  if (!fits(table, section_count * kSectionHeaderSize)) {
    error = "section table outside the file";
    return std::nullopt;
  }
  for (std::size_t i = 0; i < section_count; ++i) {
    const std::size_t header = table + i * kSectionHeaderSize;
    Section section;
    for (std::size_t c = 0; c < 8 && image.bytes_[header + c] != 0; ++c) {
      section.name += static_cast<char>(image.bytes_[header + c]);
    }
    section.virtual_size = image.u32(header + 8);
    section.virtual_address = image.u32(header + 12);
    section.raw_size = image.u32(header + 16);
    section.raw_offset = image.u32(header + 20);
    section.characteristics = image.u32(header + 36);
    if (!fits(section.raw_offset, section.raw_size)) {
      error = "section " + section.name + " outside the file";
      return std::nullopt;
    }
    image.sections_.push_back(section);
  }
  return image;
}

const Section* Image::section_named(const std::string& name) const {
  for (const Section& section : sections_) {
    if (section.name == name) return &section;
  }
  return nullptr;
}

std::optional<Directory> Image::directory(std::uint32_t index) const {
  if (index >= directory_count_) return std::nullopt;
  const std::size_t entry = directories_offset_ + std::size_t{index} * 8;
  return Directory{u32(entry), u32(entry + 4)};
}

bool Image::set_directory(std::uint32_t index, Directory value) {
  if (index >= directory_count_) return false;
  const std::size_t entry = directories_offset_ + std::size_t{index} * 8;
  const std::uint32_t words[] = {value.rva, value.size};
  for (std::size_t w = 0; w < 2; ++w) {
    for (std::size_t b = 0; b < 4; ++b) {
      bytes_[entry + w * 4 + b] = static_cast<std::uint8_t>(words[w] >> (8 * b));
    }
  }
  return true;
}

const Section* Image::section_holding(std::uint32_t rva, std::uint32_t size) const {
  for (const Section& section : sections_) {
    // Only bytes present in the file: a section's virtual size may run past its file data.
    const std::uint64_t start = section.virtual_address;
    const std::uint64_t end = start + std::min(section.virtual_size, section.raw_size);
    if (rva >= start && std::uint64_t{rva} + size <= end) return &section;
  }
  return nullptr;
}

std::optional<std::size_t> Image::file_offset(std::uint32_t rva, std::uint32_t size) const {
  const Section* section = section_holding(rva, size);
  if (section == nullptr) return std::nullopt;
  return std::size_t{section->raw_offset} + (rva - section->virtual_address);
}

}  // namespace patu::pe
