#include "tools/package-tool/srec_cat.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "tools/package-tool/refusal.h"

extern char** environ;

namespace patu::pkg {

namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
  std::string name = (fs::temp_directory_path() / "patu-package-XXXXXX").string();
  if (mkdtemp(name.data()) == nullptr) throw Refusal("cannot make a scratch folder");
  path_ = name;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

SrecCatRun run_srec_cat(const std::vector<std::string>& arguments) {
  const ScratchDir scratch;
  const fs::path log = scratch.path() / "srec_cat.log";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<std::string> words = {"srec_cat"};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  SrecCatRun run;
  run.started = posix_spawnp(&pid, "srec_cat", &actions, nullptr, argv.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  if (!run.started) return run;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return run;
  }
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);) {
    // It wraps a long message, indenting the lines that go on with it.
    const std::size_t text = line.find_first_not_of(' ');
    if (text == std::string::npos) continue;
    if (text > 0 && !run.messages.empty()) {
      run.messages.back() += " " + line.substr(text);
      continue;
    }
    constexpr std::string_view kPrefix = "srec_cat: ";
    if (line.starts_with(kPrefix)) line.erase(0, kPrefix.size());
    run.messages.push_back(line);
  }
  return run;
}

}  // namespace patu::pkg
