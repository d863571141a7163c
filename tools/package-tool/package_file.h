#pragma once
// Packages as the tool's commands take and give them: a package file, or the package inside
// a pATU.exe, told apart by their content; and output written whole or not at all.

#include <filesystem>
#include <string>
#include <vector>

namespace patu::pkg {

// The lines of the package file or executable `path` (an executable begins with "MZ").
// Throws Refusal when it cannot be read or holds no package.
std::vector<std::string> read_package(const std::filesystem::path& path);

// The package of the executable `path`. Throws Refusal when it is no executable or holds no
// package.
std::vector<std::string> read_executable_package(const std::filesystem::path& path);

// Throws Refusal listing every breach of the package rules, one line each in the package
// compiler's words, when `lines` are not a valid package.
void check_package(const std::vector<std::string>& lines, const std::filesystem::path& path);

// Writes `text` to `path` through a file beside it that is renamed into place: a failure
// leaves no output, and an earlier file there stays as it was. Throws Refusal on failure.
void write_whole(const std::filesystem::path& path, const std::string& text);

}  // namespace patu::pkg
