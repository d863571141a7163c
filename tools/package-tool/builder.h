#pragma once
// The update package made from a manifest and its images: the lines the package file holds
// and the compiler turns into the program's string table.
//
// A section's Intel HEX or S-record data stand at device addresses inside the section; a raw
// binary section starts at the section's address. A module's data start at its first page
// (an Intel HEX or S-record module gives offsets from there), and so does the info tail. Holes
// and the rest of a last block or page hold 0xFF, as an erased part does. A 54-byte tail
// becomes info block bytes 74 to 127, the 74 bytes before it (which the update never reads)
// written as FF.

#include <string>
#include <vector>

#include "tools/package-tool/manifest.h"

namespace patu::pkg {

struct Build {
  std::vector<std::string> lines;  // line k = package line k
  // For a person: each part's extent and how many bytes were filled with 0xFF.
  std::vector<std::string> notes;
};

// The same manifest and images always give the same lines. Throws Refusal naming the key,
// the file, the record or line and the device address, for: data before a section's
// address, outside its size, past FFFF or on the info block (8000 to 807F); a byte given
// twice; a section's blocks running past FFFF or onto the info block; two sections that
// overlap; a module area on the info block or on a firmware block (its erase would wipe it);
// more pages than 16-bit page numbers reach; more lines than line numbers reach; an info tail
// of neither 54 nor 128 bytes. What it returns, the package rules accept.
Build build_package(const Manifest& manifest);

// The package file: every line followed by LF.
std::string package_text(const std::vector<std::string>& lines);

}  // namespace patu::pkg
