// patu-package as a vendor or a script runs it: its outputs, exit statuses and messages, and
// nothing written when it refuses.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <cstdlib>

#include "tests/package/tool_fixture.h"

namespace patu::pkg::testing {
namespace {

class PackageToolCli : public ToolTest {
 protected:
  // Runs the tool with `arguments` (already quoted); its exit status, its output and errors
  // in `out` and `err`.
  int tool(const std::string& arguments) {
    const std::string command = std::string("\"") + PATU_PACKAGE_TOOL + "\" " + arguments +
                                " > \"" + path("out") + "\" 2> \"" + path("err") + "\"";
    const int status = std::system(command.c_str());
    out = read("out");
    err = read("err");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  static std::string q(const std::string& text) { return "\"" + text + "\""; }

  std::string out, err;
};

TEST_F(PackageToolCli, BuildWritesThePackageTheCompilerAcceptsOrNothingAtAll) {
  const std::string sample = std::string(PATU_SAMPLE_DIR) + "/manifest.toml";
  ASSERT_EQ(tool("build " + q(sample) + " -o " + q(path("pacote.txt"))), 0) << err;
  EXPECT_TRUE(read("pacote.txt") == read(PATU_PACKAGE_FILE));
  EXPECT_NE(out.find("665 lines, 509 pages, 0 bytes filled with FF in all\n"), std::string::npos);
  const std::string compile = std::string("\"") + PATU_PACKAGE_COMPILER_EXE + "\" " +
                              q(path("pacote.txt")) + " --cpp " + q(path("table.cpp"));
  EXPECT_EQ(std::system(compile.c_str()), 0);

  // A refusal leaves an earlier package as it was, and no part of a new one.
  TestManifest m;
  m.section1 = "address = 0x8900\nimage = \"none.bin\"\n";
  text("manifest.toml", m.text());
  EXPECT_EQ(tool("build " + q(manifest_path()) + " -o " + q(path("pacote.txt"))), 1);
  EXPECT_EQ(err, "patu-package build: section1.image: " + path("none.bin") + ": no such file\n");
  EXPECT_TRUE(read("pacote.txt") == read(PATU_PACKAGE_FILE));
  EXPECT_EQ(tool("build " + q(manifest_path()) + " -o " + q(path("new.txt"))), 1);
  EXPECT_FALSE(fs::exists(dir_ / "new.txt"));
  for (const auto& entry : fs::directory_iterator(dir_)) {
    EXPECT_EQ(entry.path().string().find(".partial"), std::string::npos) << entry.path();
  }
}

TEST_F(PackageToolCli, ShowDiffAndExtractExitStatuses) {
  EXPECT_EQ(tool("show " + q(PATU_PACKAGE_FILE)), 0) << err;
  EXPECT_NE(out.find("  F = 664      end line \"FIM\"\n"), std::string::npos) << out;

  EXPECT_EQ(tool("diff " + q(PATU_PACKAGE_FILE) + " " + q(PATU_PACKAGE_FILE)), 0) << err;
  EXPECT_EQ(out, "");
  std::string changed = read(PATU_PACKAGE_FILE);
  const std::size_t line = changed.find("\n*\n", changed.find("\n*\n") + 1);  // the codes' marker
  ASSERT_NE(line, std::string::npos);
  text("changed.txt", changed.replace(changed.find('\n', line + 3) - 1, 1, "0"));
  EXPECT_EQ(tool("diff " + q(PATU_PACKAGE_FILE) + " " + q(path("changed.txt"))), 1) << err;
  EXPECT_FALSE(out.empty());

  // A package that breaks the rules is named, line by line, and compared with nothing.
  text("broken.txt", "\nFIM\n");
  EXPECT_EQ(tool("diff " + q(PATU_PACKAGE_FILE) + " " + q(path("broken.txt"))), 2);
  EXPECT_EQ(err, "patu-package diff: " + path("broken.txt") +
                     ":2: package line 1: no marker line \"*\" ends the contents lines before "
                     "the end line\n"
                     "patu-package diff: " +
                     path("broken.txt") +
                     ":4: package line 3: the version is not a decimal integer\n");
  EXPECT_EQ(tool("show " + q(path("broken.txt"))), 1);

  EXPECT_EQ(tool("extract " + q(PATU_PACKAGE_FILE) + " -o " + q(path("x.txt"))), 1);
  EXPECT_EQ(err, "patu-package extract: " + std::string(PATU_PACKAGE_FILE) +
                     ": not a Windows program (no MZ header)\n");
  EXPECT_FALSE(fs::exists(dir_ / "x.txt"));
  text("fake.exe", "MZ and nothing of a program");
  EXPECT_EQ(tool("extract " + q(path("fake.exe")) + " -o " + q(path("x.txt"))), 1);
  EXPECT_EQ(
      err, "patu-package extract: " + path("fake.exe") + ": no MZ header: not a Windows program\n");

  EXPECT_EQ(tool("frobnicate"), 2);
  EXPECT_EQ(tool("build " + q(manifest_path())), 2);
}

}  // namespace
}  // namespace patu::pkg::testing
