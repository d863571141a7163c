#include "tests/support/emulator_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace patu::testing {

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

EmulatorProcess::EmulatorProcess() {
  char pattern[] = "/tmp/patu-emulator-XXXXXX";
  const char* made = mkdtemp(pattern);
  EXPECT_NE(made, nullptr);
  dir_ = made ? made : "/tmp";
}

EmulatorProcess::~EmulatorProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (stdout_ >= 0) close(stdout_);
  if (dir_ != "/tmp") fs::remove_all(dir_);
}

void EmulatorProcess::start(const std::vector<std::string>& options) {
  std::vector<std::string> args{PATU_EMULATOR_PATH};
  args.insert(args.end(), options.begin(), options.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  const std::string err = path("stderr");
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  EXPECT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  stdout_ = out[0];
}

bool EmulatorProcess::start_device(const std::vector<std::string>& extra) {
  std::vector<std::string> options{"--link", link(), "--dump", dump_path()};
  options.insert(options.end(), extra.begin(), extra.end());
  start(options);
  // The link is made once the line is served.
  for (int i = 0; i < 200 && pid_ > 0 && !fs::is_symlink(link()); ++i) {
    std::this_thread::sleep_for(milliseconds(25));
  }
  return fs::is_symlink(link());
}

std::string EmulatorProcess::stderr_text() const { return slurp(path("stderr")); }

std::string EmulatorProcess::first_line() {
  std::string line;
  char c = 0;
  pollfd pfd{stdout_, POLLIN, 0};
  while (poll(&pfd, 1, 5000) == 1 && read(stdout_, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

std::string EmulatorProcess::rest_of_stdout() {
  std::string text;
  char buffer[256];
  ssize_t n = 0;
  while ((n = read(stdout_, buffer, sizeof buffer)) > 0) text.append(buffer, std::size_t(n));
  return text;
}

std::string EmulatorProcess::pty() {
  const std::string line = first_line();
  return line.rfind("pty /dev/", 0) == 0 ? line.substr(4) : "";
}

int EmulatorProcess::wait_exit(milliseconds limit) {
  const auto end = steady_clock::now() + limit;
  int status = 0;
  while (pid_ > 0 && steady_clock::now() < end) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(milliseconds(10));
  }
  return -1;
}

int EmulatorProcess::stop() {
  if (pid_ > 0) kill(pid_, SIGTERM);
  return wait_exit();
}

std::optional<emu::Dump> EmulatorProcess::dump() {
  stop();
  std::string error;
  auto parsed = emu::parse_dump(slurp(dump_path()), &error);
  if (!parsed) ADD_FAILURE() << "dump: " << error;
  return parsed;
}

}  // namespace patu::testing
