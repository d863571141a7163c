#pragma once
// Text crosses into Win32 as UTF-16; inside the program it is UTF-8.

#include <string>
#include <string_view>

namespace patu {

// Invalid UTF-8 sequences become U+FFFD.
std::wstring widen(std::string_view utf8);
std::string narrow(std::wstring_view utf16);

}  // namespace patu
