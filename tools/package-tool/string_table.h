#pragma once
// The update package that a pATU.exe carries: the strings of its string table in language
// 1046 (Portuguese, Brazil), string id n being package line n. Strings of any other language,
// such as a toolkit's, are no part of it.

#include <cstdint>
#include <string>
#include <vector>

namespace patu::pkg {

inline constexpr std::uint16_t kPackageLanguage = 0x0416;

// Line k = string id k, as UTF-8, up to the last id that holds text; ids without text read as
// empty lines. A signature appended to the file changes nothing here. Throws Refusal, naming
// `shown`, for a file that is no PE image, has no resources or no language-1046 strings, or
// whose strings no package file could hold (a line break, a final carriage return, broken
// UTF-16).
std::vector<std::string> executable_package(std::vector<std::uint8_t> bytes,
                                            const std::string& shown);

}  // namespace patu::pkg
