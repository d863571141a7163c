// patu-package-compiler PACKAGE [--rc SCRIPT] [--cpp SOURCE]
// Checks the update package PACKAGE against the package rules and writes the outputs asked
// for. A broken package is reported line by line and nothing is written.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "package/lines.h"
#include "package/validator.h"
#include "tools/package-compiler/compiler.h"

namespace {

bool write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  return static_cast<bool>(out);
}

int usage(const char* self) {
  std::fprintf(stderr, "usage: %s PACKAGE [--rc SCRIPT] [--cpp SOURCE]\n", self);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage(argv[0]);
  const std::string package = argv[1];
  std::string rc_path;
  std::string cpp_path;
  for (int i = 2; i < argc; i += 2) {
    const std::string option = argv[i];
    if (i + 1 >= argc) return usage(argv[0]);
    if (option == "--rc") {
      rc_path = argv[i + 1];
    } else if (option == "--cpp") {
      cpp_path = argv[i + 1];
    } else {
      return usage(argv[0]);
    }
  }

  std::ifstream in(package, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "%s: cannot read %s\n", argv[0], package.c_str());
    return 1;
  }
  std::ostringstream text;
  text << in.rdbuf();
  const std::vector<std::string> lines = patu::split_package_text(text.str());

  const std::vector<patu::PackageBreach> breaches = patu::validate_package(lines);
  for (const patu::PackageBreach& breach : breaches) {
    std::fprintf(stderr, "%s\n", patu::breach_message(package, breach).c_str());
  }
  if (!breaches.empty()) return 1;

  if (!rc_path.empty() && !write_file(rc_path, patu::package_resource_script(lines))) {
    std::fprintf(stderr, "%s: cannot write %s\n", argv[0], rc_path.c_str());
    return 1;
  }
  if (!cpp_path.empty() && !write_file(cpp_path, patu::package_table_source(lines))) {
    std::fprintf(stderr, "%s: cannot write %s\n", argv[0], cpp_path.c_str());
    return 1;
  }
  return 0;
}
