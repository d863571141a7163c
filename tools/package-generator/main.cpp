// patu-package-generator FILE: writes the shipped update package to FILE.
#include <cstdio>
#include <fstream>

#include "tools/package-generator/generator.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  const std::string text = patu::generate_package_text();
  std::ofstream out(argv[1], std::ios::binary);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
    return 1;
  }
  return 0;
}
