#pragma once
// The bytes of one image file the manifest names, record by record, each with the place it
// came from. Intel HEX is read through srecord's reader; S-record is first converted to Intel
// HEX by srecord's srec_cat (the library ships no header for its S-record reader); a raw
// binary file is one record at address 0.

#include <cstdint>
#include <string>
#include <vector>

#include "tools/package-tool/manifest.h"

namespace patu::pkg {

struct ImageRecord {
  std::uint64_t address = 0;  // of the first byte, as the file gives it
  std::vector<std::uint8_t> bytes;
  // "FILE: LINE" for an Intel HEX record; "FILE" for a raw binary file and for an S-record
  // (whose lines the conversion does not keep).
  std::string where;
};

// The image's data records in file order. Throws Refusal, beginning with the manifest key:
// a file that cannot be read; a malformed record, a bad checksum or a warning of the reader
// that data may be lost or doubled (a garbage line, a missing end record, a byte given twice
// in an S-record file), in srecord's own words naming the file and line; srec_cat missing for
// an S-record file. Bytes given twice in one Intel HEX file are left to the caller.
std::vector<ImageRecord> read_image(const ImageRef& image);

}  // namespace patu::pkg
