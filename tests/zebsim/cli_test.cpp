// The zebsim command line: generating, scoring, and refusing what it cannot do.
#include "cli.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_support.h"

namespace zebsim {
namespace {

using zeb::test::capture;
using zeb::test::TempDir;

struct Result {
  int status = -1;
  std::string out, err;
};

Result zebsim(std::vector<std::string> args) {
  args.insert(args.begin(), "zebsim");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  Result r;
  auto c = capture([&] { r.status = zebsim_main(static_cast<int>(argv.size()), argv.data()); });
  r.out = c.out;
  r.err = c.err;
  return r;
}

TEST(ZebsimCommand, WritesAPresetFieldWithTheSeedGiven) {
  TempDir dir;
  Result r = zebsim({"e2e-ir", "field", "--seed", "3"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::string summary = "zebsim: preset e2e-ir, seed 3: 504 stars, 4 exposures, 18 files in field (";
  EXPECT_EQ(r.out.substr(0, summary.size()), summary);
  EXPECT_TRUE(std::filesystem::exists("field/params.txt"));
  EXPECT_NE(zeb::test::read_file("field/truth.txt").find("seed 3,"), std::string::npos);
}

TEST(ZebsimCommand, ScoresACatalogueAgainstTheTruth) {
  TempDir dir;
  ASSERT_EQ(zebsim({"e2e-hrc", "."}).status, 0);
  // The truth against itself: every star of the region found, no errors.
  Result r = zebsim({"score", "truth.txt", "truth.txt", "--radius", "0.5"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("# match radius  0.50 reference pixels"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("# region u      16.00     256.00 v      16.00     136.00\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("unmatched       0  completeness  1.000\n"), std::string::npos) << r.out;
}

TEST(ZebsimCommand, RefusesWhatItCannotDo) {
  TempDir dir;
  Result none = zebsim({});
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.out.find("usage: zebsim <preset> <directory>"), std::string::npos);
  EXPECT_EQ(zebsim({"nonesuch", "x"}).status, 1);
  EXPECT_EQ(zebsim({"demo", "x", "--seed", "-4"}).status, 1);
  EXPECT_EQ(zebsim({"demo", "x", "--fast"}).status, 1);
  EXPECT_FALSE(std::filesystem::exists("x/params.txt"));
  EXPECT_EQ(zebsim({"score", "truth.txt"}).status, 1);
  EXPECT_EQ(zebsim({"score", "a", "b", "--radius", "0"}).status, 1);
  Result missing = zebsim({"score", "missing.txt", "missing.txt"});
  EXPECT_EQ(missing.status, 2);
  // A directory that cannot be made.
  zeb::test::write_file("plain", "a file, not a directory\n");
  EXPECT_EQ(zebsim({"e2e-ir", "plain/sub"}).status, 2);
  Result list = zebsim({"presets"});
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(list.out, "demo\ne2e-ir\ne2e-hrc\nbench\ncrowded\n");
}

}  // namespace
}  // namespace zebsim
