// The manual (docs/manual.md) documents every keyword the parameter-file
// reader matches and every stop text in the sources. Both lists are taken from
// the code, so a keyword or stop added without its entry in the manual is
// named here.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <string>

#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using zeb::test::read_file;

// The string literals among the arguments of every stop_run(...) call of a
// source text: a stop text, or the fixed part of one built from a routine name.
std::set<std::string> stop_texts(const std::string& code) {
  std::set<std::string> texts;
  const std::regex literal(R"re("((?:[^"\\]|\\.)*)")re");
  for (std::size_t at = code.find("stop_run("); at != std::string::npos; at = code.find("stop_run(", at + 1)) {
    const std::size_t end = code.find(';', at);
    const std::string call = code.substr(at, end - at);
    for (std::sregex_iterator m(call.begin(), call.end(), literal), none; m != none; ++m) texts.insert((*m)[1]);
  }
  return texts;
}

TEST(Manual, NamesEveryKeywordAndEveryStopText) {
  const std::string src = std::string(ZEB_SOURCE_DIR) + "/src";
  const std::string manual = read_file(std::string(ZEB_SOURCE_DIR) + "/docs/manual.md");
  std::string missing;

  // Keywords: what the reader compares fields and lines with, is("PIX"),
  // starts_with(line, "SKIP"), name == "HMIN", chip == "WFC3IR", six == "MODE=R".
  // The manual gives each as code, so "`KEY" must appear in it.
  const std::regex keyword(R"re((?:\bis\(|starts_with\(line,\s*|\b(?:name|chip|six)\s*==\s*)"([^"]+)")re");
  int keywords = 0;
  for (const char* file : {"setup/param_file.cpp", "driver/prescan.cpp"}) {
    const std::string code = read_file(src + "/" + file);
    for (std::sregex_iterator m(code.begin(), code.end(), keyword), none; m != none; ++m) {
      ++keywords;
      if (manual.find("`" + (*m)[1].str()) == std::string::npos)
        missing += "  keyword " + (*m)[1].str() + " (" + file + ")\n";
    }
  }
  EXPECT_GT(keywords, 60);

  int stops = 0;
  for (const auto& e : fs::recursive_directory_iterator(src)) {
    if (e.path().extension() != ".cpp") continue;
    for (const std::string& text : stop_texts(read_file(e.path().string()))) {
      ++stops;
      if (manual.find(text) == std::string::npos)
        missing += "  stop text \"" + text + "\" (" + fs::relative(e.path(), src).string() + ")\n";
    }
  }
  EXPECT_GT(stops, 60);
  EXPECT_EQ(missing, "") << "docs/manual.md does not name:\n" << missing;
}

}  // namespace
