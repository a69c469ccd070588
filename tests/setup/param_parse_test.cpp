#include "setup/param_parse.h"

#include <gtest/gtest.h>

using zeb::parse;

TEST(Parse, EqualsSignsSeparateKeyAndValue) {
  zeb::ParamLine l = parse("0001 PIX=a.fits MAT=b.mat   RAP=3");
  ASSERT_EQ(l.count(), 7);
  EXPECT_EQ(l.field(1), "0001");
  EXPECT_EQ(l.field(2), "PIX");
  EXPECT_EQ(l.field(3), "a.fits");
  EXPECT_EQ(l.field(6), "RAP");
  EXPECT_EQ(l.field(7), "3");
  EXPECT_EQ(l.field(8), "");
  EXPECT_EQ(l.text.size(), 200u);
}

TEST(Parse, UnquotedSlashEndsTheValueQuotedKeepsIt) {
  zeb::ParamLine l = parse("0001 PIX=data/x.fits PSF=\"dir/my psf.fits\" MAT='a b'");
  ASSERT_GE(l.count(), 5);
  EXPECT_EQ(l.field(3), "data");
  EXPECT_EQ(l.field(5), "dir/my psf.fits");
  // Apostrophes do not protect blanks from starting a field, but the value read
  // from the quote's start runs to the closing apostrophe.
  EXPECT_EQ(l.field(7), "a b");
  EXPECT_EQ(l.field(8), "b'");
}

TEST(Parse, ValueStartingWithSlashIsEmpty) {
  zeb::ParamLine l = parse("SUBDIR /abs/path");
  ASSERT_EQ(l.count(), 2);
  EXPECT_EQ(l.field(2), "");
}

TEST(Parse, ContentEndsAtLastBang) {
  zeb::ParamLine l = parse("RAP 3 ! note ! more");
  ASSERT_EQ(l.count(), 4);
  EXPECT_EQ(l.field(3), "!");
  EXPECT_EQ(l.field(4), "note");
}

TEST(Parse, BlankLineHasNoFields) {
  EXPECT_EQ(parse("").count(), 0);
  EXPECT_EQ(parse(std::string(200, ' ')).count(), 0);
  EXPECT_EQ(parse("   =  = ").count(), 0);
}

TEST(Parse, CommaEndsAnUnquotedValue) {
  zeb::ParamLine l = parse("ULIM 10,20 30");
  ASSERT_EQ(l.count(), 3);
  EXPECT_EQ(l.field(2), "10");
  EXPECT_EQ(l.field(3), "30");
}

TEST(Parse, LineIsCutAt200Characters) {
  std::string line = "RAP 3" + std::string(194, ' ') + "XY";
  zeb::ParamLine l = parse(line);
  ASSERT_EQ(l.count(), 3);
  EXPECT_EQ(l.field(3), "X");
}

TEST(Strlen, CharactersBeforeFirstBlank) {
  EXPECT_EQ(zeb::strlen("sub/dir/   "), 8);
  EXPECT_EQ(zeb::strlen("nodir"), 5);
  EXPECT_EQ(zeb::strlen("   "), 0);
}

TEST(ParamLineWalker, CommentsAndSkippedBlocksCarryNothingAndEndEndsTheInput) {
  using Kind = zeb::ParamLineWalker::Kind;
  zeb::ParamLineWalker w;
  const std::pair<std::string, Kind> lines[] = {
      {"# a comment", Kind::Ignored}, {"RAP 3 # then a comment", Kind::Content}, {"SKIP", Kind::Ignored},
      {"RAP 4", Kind::Ignored},       {"PIKS", Kind::Ignored},                   {"END", Kind::End}};
  for (auto [line, kind] : lines) EXPECT_EQ(w.next(line), kind) << line;
  std::string kept = "RAP 3 # then a comment";
  w.next(kept);
  EXPECT_EQ(kept, "RAP 3 ");
}
