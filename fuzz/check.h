#pragma once
// What the fuzz targets share: a property that must hold, checked in every build.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace patu::fuzz {

// A broken property is a finding: said on stderr and ended like a crash, so that the fuzzer
// keeps the input and the corpus replay fails.
inline void require(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "property broken: %s\n", property);
  std::abort();
}

// The input as text lines: split at LF, nothing else touched.
inline std::vector<std::string> lines_of(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t from = 0;
  for (;;) {
    const std::size_t lf = text.find('\n', from);
    lines.emplace_back(text.substr(from, lf == std::string_view::npos ? lf : lf - from));
    if (lf == std::string_view::npos) return lines;
    from = lf + 1;
  }
}

}  // namespace patu::fuzz
