#pragma once
// What one package changes against another, for a person: `diff`.

#include <string>
#include <vector>

namespace patu::pkg {

// Every difference between two valid packages, one line each, in package order: header and
// contents lines, addresses, firmware blocks by device address, modules added, removed or
// changed (with their changed pages) and the module order, the info tail's bytes. Modules are
// matched by code (the k-th module of a code with the k-th of the same code). Empty exactly
// when the two are the same line for line; a difference in text alone (the same bytes
// written otherwise, or the info tail's characters that the update never reads) is named too.
std::vector<std::string> package_differences(const std::vector<std::string>& before,
                                             const std::vector<std::string>& after);

}  // namespace patu::pkg
