#pragma once
// srecord's converter, srec_cat (Debian package srecord), run as a program: the package
// tool's way to read and write S-record files, whose reader and writer the library ships no
// header for.

#include <filesystem>
#include <string>
#include <vector>

namespace patu::pkg {

struct SrecCatRun {
  bool started = false;  // false: srec_cat could not be run (not installed)
  int status = -1;       // its exit status
  // Its messages, each without the leading "srec_cat: ": they name the file and line.
  std::vector<std::string> messages;
};

SrecCatRun run_srec_cat(const std::vector<std::string>& arguments);

// A scratch folder under the system's temporary folder, removed with this object.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace patu::pkg
