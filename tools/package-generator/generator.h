#pragma once
// Writes the update package that pATU ships: the real layout and text with synthetic firmware
// and module data, the same bytes on every run.

#include <string>

namespace patu {

// The whole package file: UTF-8, one package line per file line, each ending with LF.
std::string generate_package_text();

}  // namespace patu
