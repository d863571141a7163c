// patu-package: update packages made from the firmware build's files, shown, compared, and
// read back from any pATU.exe.
//   patu-package build MANIFEST -o PACKAGE   the package from a manifest and its images
//   patu-package show PACKAGE|EXE            what it holds and what an update with it does
//   patu-package diff OLD NEW                what NEW changes (packages or executables);
//                                            exit 0 when equal, 1 when not, 2 on trouble
//   patu-package extract EXE -o PACKAGE      the package a pATU.exe carries
//   patu-package sample DIR                  the shipped package's manifest and images
// A refusal names where the fault lies and writes nothing.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "tools/package-tool/builder.h"
#include "tools/package-tool/diff.h"
#include "tools/package-tool/manifest.h"
#include "tools/package-tool/package_file.h"
#include "tools/package-tool/refusal.h"
#include "tools/package-tool/sample.h"
#include "tools/package-tool/show.h"

namespace {

using namespace patu::pkg;

constexpr int kUsage = 2;

int usage() {
  std::fputs(
      "usage: patu-package build MANIFEST -o PACKAGE\n"
      "       patu-package show PACKAGE|EXE\n"
      "       patu-package diff OLD NEW\n"
      "       patu-package extract EXE -o PACKAGE\n"
      "       patu-package sample DIR\n",
      stderr);
  return kUsage;
}

void print(const std::string& text) { std::fputs(text.c_str(), stdout); }

// A package read and checked against the package rules.
std::vector<std::string> valid_package(const std::string& path) {
  std::vector<std::string> lines = read_package(path);
  check_package(lines, path);
  return lines;
}

int run(const std::vector<std::string>& args) {
  const std::string& command = args[0];
  if (command == "build" && args.size() == 4 && args[2] == "-o") {
    const Build build = build_package(read_manifest(args[1]));
    write_whole(args[3], package_text(build.lines));
    for (const std::string& note : build.notes) print(note + "\n");
    print("wrote " + args[3] + "\n");
    return 0;
  }
  if (command == "show" && args.size() == 2) {
    print(render_summary(summarize(valid_package(args[1])), args[1]));
    return 0;
  }
  if (command == "diff" && args.size() == 3) {
    const std::vector<std::string> differences =
        package_differences(valid_package(args[1]), valid_package(args[2]));
    for (const std::string& line : differences) print(line + "\n");
    return differences.empty() ? 0 : 1;
  }
  if (command == "extract" && args.size() == 4 && args[2] == "-o") {
    // What the program carries is written as it is, valid or not: support needs to see it.
    write_whole(args[3], package_text(read_executable_package(args[1])));
    return 0;
  }
  if (command == "sample" && args.size() == 2) {
    write_sample(args[1]);
    return 0;
  }
  return usage();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::vector<std::string> args(argv + 1, argv + argc);
  try {
    return run(args);
  } catch (const std::exception& refusal) {
    // One message may hold several lines (every breach of the package rules).
    std::string text = refusal.what();
    for (std::size_t at = 0; at != std::string::npos;) {
      const std::size_t lf = text.find('\n', at);
      std::fprintf(stderr, "patu-package %s: %s\n", args[0].c_str(),
                   text.substr(at, lf == std::string::npos ? lf : lf - at).c_str());
      at = lf == std::string::npos ? lf : lf + 1;
    }
    return args[0] == "diff" ? kUsage : 1;
  }
}
