// The shipped package on Windows: the string table that the build compiled into this
// executable, language 1046, line n = string id n.
#include <windows.h>

#include "package/lines.h"

namespace patu {
namespace {

// A line is read through a buffer of this many UTF-16 units, the terminator included.
constexpr int kLineBuffer = 1024;

class ResourceLines final : public PackageLines {
 public:
  std::string line(std::uint16_t n) const override {
    wchar_t text[kLineBuffer];
    const int units = LoadStringW(GetModuleHandleW(nullptr), n, text, kLineBuffer);
    if (units <= 0) return {};
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, units, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, units, utf8.data(), bytes, nullptr, nullptr);
    return utf8;
  }
};

}  // namespace

const PackageLines& shipped_package() {
  static const ResourceLines lines;
  return lines;
}

}  // namespace patu
