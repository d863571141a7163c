#pragma once
// Turns the package file into what the build links: the Windows string table's resource
// script and, for native builds, a C++ table.

#include <string>
#include <string_view>
#include <vector>

#include "package/validator.h"

namespace patu {

// A resource script (UTF-8) holding line n as string id n, language 1046; empty lines are
// left out, as an absent id reads as the empty line.
std::string package_resource_script(const std::vector<std::string>& lines);

// A C++ source that defines patu::shipped_package() over exactly these lines. The source is
// plain ASCII whatever the lines hold.
std::string package_table_source(const std::vector<std::string>& lines);

// "<file>:<file line>: package line <n>: <rule>", for the build log. File lines count
// from 1, package lines from 0.
std::string breach_message(std::string_view file, const PackageBreach& breach);

}  // namespace patu
