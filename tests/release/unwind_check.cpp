// A C++ exception thrown and caught across frames: run after tools/strip-release.sh, it shows
// that the released program still unwinds (the i686 build's unwind tables are in the
// section that the strip renames). Exit status 0 only when the exception was caught whole.
#include <cstdio>
#include <stdexcept>
#include <string>

namespace {

[[gnu::noinline]] int deepest(int depth) {
  if (depth == 0) throw std::runtime_error("unwound");
  return deepest(depth - 1) + 1;
}

}  // namespace

int main(int argc, char**) {
  try {
    std::printf("not reached: %d\n", deepest(argc + 3));
  } catch (const std::runtime_error& error) {
    if (std::string(error.what()) == "unwound") {
      std::puts("caught");
      return 0;
    }
  }
  return 1;
}
