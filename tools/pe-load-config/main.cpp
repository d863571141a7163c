// patu-pe-load-config EXE
// Points the load-configuration directory of the PE image EXE at the structure held in its
// section ".loadcfg" (ui/load_config.cpp), whose first field is its own size: GNU ld 2.40
// leaves the directory empty, and the loader finds the structure only through it. Changes
// nothing and fails when the section is missing or cannot hold the size it claims, or when
// the directory already points elsewhere.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/pe-load-config/pe.h"

namespace {

int fail(const std::string& path, const std::string& why) {
  std::fprintf(stderr, "patu-pe-load-config: %s: %s\n", path.c_str(), why.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s EXE\n", argv[0]);
    return 2;
  }
  const std::string path = argv[1];
  std::ifstream in(path, std::ios::binary);
  if (!in) return fail(path, "cannot read it");
  std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
  in.close();

  std::string error;
  auto image = patu::pe::Image::parse(std::move(bytes), error);
  if (!image) return fail(path, error);
  const patu::pe::Section* section = image->section_named(".loadcfg");
  if (section == nullptr) return fail(path, "no section .loadcfg");
  if (section->raw_size < 4) return fail(path, "section .loadcfg is empty");
  const std::uint32_t size = image->u32(section->raw_offset);
  if (size < 4 || image->section_holding(section->virtual_address, size) != section) {
    return fail(path, "section .loadcfg does not hold the " + std::to_string(size) +
                          " bytes its structure claims");
  }

  const patu::pe::Directory wanted{section->virtual_address, size};
  const auto current = image->directory(patu::pe::kLoadConfigDirectory);
  if (!current) return fail(path, "no load-configuration directory entry");
  if (current->rva == wanted.rva && current->size == wanted.size) return 0;
  if (current->rva != 0 || current->size != 0) {
    return fail(path, "the load-configuration directory already points elsewhere");
  }
  image->set_directory(patu::pe::kLoadConfigDirectory, wanted);

  const std::string temporary = path + ".load-config";
  std::ofstream out(temporary, std::ios::binary);
  out.write(reinterpret_cast<const char*>(image->bytes().data()),
            static_cast<std::streamsize>(image->bytes().size()));
  out.close();
  std::error_code renamed;
  if (out) std::filesystem::rename(temporary, path, renamed);
  if (!out || renamed) {
    std::filesystem::remove(temporary, renamed);
    return fail(path, "cannot write it");
  }
  return 0;
}
