#pragma once
// The update package that pATU ships, as a vendor would hand it over: a manifest with its
// images. The real layout and texts with synthetic firmware and module data, the same bytes
// on every run; `build` of it gives resources/pacote.txt.

#include <filesystem>

namespace patu::pkg {

// Writes DIR/manifest.toml, DIR/fw/secao1.hex (Intel HEX), DIR/fw/secao2.s19 (S-record),
// DIR/modulos/<code>.bin and DIR/info/cauda.bin (the whole 128-byte info line). Throws Refusal
// when a file cannot be written or srec_cat cannot be run.
void write_sample(const std::filesystem::path& dir);

}  // namespace patu::pkg
