#pragma once
// The manifest from which `build` makes an update package: a TOML file naming the header,
// the contents lines, the device addresses and the image of every part. Paths in it are
// relative to the manifest's folder.
//
//   date = "08/08/2013"             name = "ATUALIZACAO GERAL"     version = 21
//   contents = ["GM - v5.04", ""]
//   [section1]  address = 0x8900  image = "fw/secao1.hex"  (size = 0x180, format = ...)
//   [section2]  address = 0x8A80  image = "fw/secao2.s19"
//   [modules]   address = 0xAA00
//   [[module]]  code = "GM"  data = "modulos/gm.bin"        (one per module, in order)
//   [info]      tail = "info/cauda.bin"
//
// Every key is checked for its type and range here; an unknown key is refused, so that a
// misspelt optional key is not silently ignored.

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace patu::pkg {

enum class ImageFormat { intel_hex, s_record, binary };

// ".hex"/".ihex": Intel HEX; ".s19"/".s28"/".s37"/".srec"/".mot": S-record; anything else
// raw binary. Case does not matter.
ImageFormat format_from_name(const std::filesystem::path& path);

// One image file the manifest names.
struct ImageRef {
  std::string key;             // where the manifest names it, e.g. "section1.image"
  std::filesystem::path path;  // the manifest's folder joined with what the key says
  ImageFormat format = ImageFormat::binary;
};

struct SectionEntry {
  std::string key;  // "section1" or "section2"
  std::uint32_t address = 0;
  // The room the section may fill from its address, a whole number of 128-byte blocks;
  // without it the section may reach device address FFFF.
  std::optional<std::uint32_t> size;
  ImageRef image;
};

struct ModuleEntry {
  std::string key;  // "module[n]", n counting from 1 in package order
  std::string code;
  ImageRef data;
};

struct Manifest {
  std::filesystem::path file;
  std::string date;
  std::string name;
  int version = 0;  // 0 to 255, the byte the info block keeps
  std::vector<std::string> contents;
  std::array<SectionEntry, 2> sections;
  std::uint32_t module_area = 0;
  std::vector<ModuleEntry> modules;
  ImageRef tail;
};

// Throws Refusal naming the manifest, the line and the key: a file that is not TOML, a key
// missing, unknown or of the wrong type, an address past FFFF, a version outside 0 to 255, a
// size that is not a whole number of blocks, an unknown format.
Manifest read_manifest(const std::filesystem::path& file);

}  // namespace patu::pkg
