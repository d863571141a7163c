// The technician's guide quotes every text the program can show, as the program holds it:
// the guide is read as a browser shows it (tags dropped, entities decoded, runs of white
// space as one blank).

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "package/lines.h"
#include "package/loader.h"
#include "package/unicode.h"
#include "tests/package/sample_package.h"
#include "update/job.h"
#include "update/messages.h"
#include "update/port_panels.h"

namespace patu {
namespace {

// Runs of white space become one blank; none at either end.
std::string collapse_blanks(std::string_view text) {
  std::string out;
  for (char c : text) {
    const bool blank = c == ' ' || c == '\t' || c == '\n' || c == '\r';
    if (!blank) {
      out += c;
    } else if (!out.empty() && out.back() != ' ') {
      out += ' ';
    }
  }
  if (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

// The text a browser shows of `html`. An entity it cannot decode fails the test, so that no
// text hides behind one.
std::string visible_text(std::string_view html) {
  std::string out;
  std::size_t i = 0;
  while (i < html.size()) {
    if (html.substr(i, 4) == "<!--") {
      const std::size_t end = html.find("-->", i);
      i = end == std::string_view::npos ? html.size() : end + 3;
    } else if (html.substr(i, 6) == "<style") {
      const std::size_t end = html.find("</style>", i);
      i = end == std::string_view::npos ? html.size() : end + 8;
    } else if (html[i] == '<') {
      const std::size_t end = html.find('>', i);
      i = end == std::string_view::npos ? html.size() : end + 1;
      out += ' ';  // a tag never joins two words
    } else if (html[i] == '&') {
      const std::size_t end = html.find(';', i);
      const std::string_view name =
          html.substr(i + 1, end == std::string_view::npos ? 0 : end - i - 1);
      if (name == "lt") {
        out += '<';
      } else if (name == "gt") {
        out += '>';
      } else if (name == "amp") {
        out += '&';
      } else if (name == "quot") {
        out += '"';
      } else if (name == "apos") {
        out += '\'';
      } else if (name == "nbsp") {
        out += ' ';
      } else if (name.size() > 1 && name[0] == '#') {
        const bool hex = name[1] == 'x' || name[1] == 'X';
        append_utf8(out, std::stoul(std::string(name.substr(hex ? 2 : 1)), nullptr, hex ? 16 : 10));
      } else {
        ADD_FAILURE() << "the guide has an entity this test cannot read: &" << name << ";";
      }
      i = end == std::string_view::npos ? html.size() : end + 1;
    } else {
      out += html[i++];
    }
  }
  return collapse_blanks(out);
}

class Guide : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::ifstream file(PATU_GUIDE, std::ios::binary);
    ASSERT_TRUE(file) << PATU_GUIDE;
    text_ = visible_text(
        std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()));
  }

  // True when the guide shows `quote`, white space taken as the browser takes it.
  static ::testing::AssertionResult Shows(std::string_view quote) {
    const std::string wanted = collapse_blanks(quote);
    if (text_.find(wanted) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the guide does not show \"" << wanted << "\"";
  }

  static std::string text_;
};

std::string Guide::text_;

TEST_F(Guide, QuotesEveryDialogMessageWholeUnderItsTitle) {
  for (const Message& m : kCatalogue) {
    std::string quote(m.title);
    for (std::string_view line : m.lines) (quote += ' ') += line;
    EXPECT_TRUE(Shows(quote)) << "message " << m.code;
  }
}

TEST_F(Guide, QuotesTheMessageBoxesUnderTheApplicationTitle) {
  const std::string title(kApplicationTitle);
  EXPECT_TRUE(Shows(title + ' ' + std::string(kBoxFailed)));
  EXPECT_TRUE(Shows(title + ' ' + std::string(kBoxWrongSerial)));
  EXPECT_TRUE(Shows(title + ' ' + std::string(kInvalidPackage)));
}

TEST_F(Guide, QuotesEveryStatusLineText) {
  for (std::string_view status : {kStatusRunning, kStatusDone, kStatusFailed}) {
    EXPECT_TRUE(Shows(status));
  }
  for (std::string_view port : {kUnnamedPort, kAbsentPort}) EXPECT_TRUE(Shows(port));
}

TEST_F(Guide, QuotesTheReasonWindowsShowsWhenAShutdownIsRefused) {
  EXPECT_TRUE(Shows(kEndSessionRefused));
}

TEST_F(Guide, QuotesThePackageErrorOfAVersionThatIsNoInteger) {
  // The loader's own words, with the line's text left open as the guide leaves it.
  testing::SamplePackage package;
  package.version = "v21";
  PackageState state;
  std::string error = load_package(LineTable(package.lines()), state).error;
  const std::size_t at = error.find(package.version);
  ASSERT_NE(at, std::string::npos) << error;
  error.replace(at, package.version.size(), "…");
  EXPECT_TRUE(Shows(error));
}

}  // namespace
}  // namespace patu
