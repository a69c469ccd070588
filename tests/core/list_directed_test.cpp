#include "core/list_directed.h"

#include <gtest/gtest.h>

#include "core/stop.h"

using zeb::Got;
using zeb::ListReader;

TEST(ListDirected, BlanksAndCommasSeparate) {
  ListReader r(" 1.5, 2  ,3 4");
  double a = 0, b = 0, c = 0, d = 0;
  EXPECT_EQ(r.read_real(a), Got::Value);
  EXPECT_EQ(r.read_real(b), Got::Value);
  EXPECT_EQ(r.read_real(c), Got::Value);
  EXPECT_EQ(r.read_real(d), Got::Value);
  EXPECT_DOUBLE_EQ(a, 1.5);
  EXPECT_DOUBLE_EQ(b, 2.0);
  EXPECT_DOUBLE_EQ(c, 3.0);
  EXPECT_DOUBLE_EQ(d, 4.0);
  EXPECT_EQ(r.read_real(d), Got::End);
  EXPECT_EQ(r.read_real(d), Got::End);
}

TEST(ListDirected, SlashEndsTheRecordLeavingTargets) {
  ListReader r("7 / 8");
  int a = 0, b = -1;
  EXPECT_EQ(r.read_int(a), Got::Value);
  EXPECT_EQ(r.read_int(b), Got::Slash);
  EXPECT_EQ(a, 7);
  EXPECT_EQ(b, -1);
  std::string t = "keep";
  EXPECT_EQ(ListReader("/data").read_text(t), Got::Slash);
  EXPECT_EQ(t, "keep");
}

TEST(ListDirected, QuotedTextKeepsBlanksAndSlashes) {
  std::string a, b;
  ListReader r("\"data/x y.fits\" 'it''s'");
  EXPECT_EQ(r.read_text(a), Got::Value);
  EXPECT_EQ(r.read_text(b), Got::Value);
  EXPECT_EQ(a, "data/x y.fits");
  EXPECT_EQ(b, "it's");
}

TEST(ListDirected, UnquotedTextEndsAtSlashCommaBlank) {
  std::string a, b, c;
  ListReader r("data/x.fits name,other");
  EXPECT_EQ(r.read_text(a), Got::Value);
  EXPECT_EQ(a, "data");
  EXPECT_EQ(r.read_text(b), Got::Slash);
  ListReader r2("name,other third");
  r2.read_text(a);
  r2.read_text(b);
  r2.read_text(c);
  EXPECT_EQ(a, "name");
  EXPECT_EQ(b, "other");
  EXPECT_EQ(c, "third");
}

TEST(ListDirected, RepeatCountsAndNulls) {
  ListReader r("3*2.5 , ,9 2* 4");
  double v[7] = {-1, -1, -1, -1, -1, -1, -1};
  EXPECT_EQ(r.read_real(v[0]), Got::Value);
  EXPECT_EQ(r.read_real(v[1]), Got::Value);
  EXPECT_EQ(r.read_real(v[2]), Got::Value);
  EXPECT_EQ(r.read_real(v[3]), Got::Null);
  EXPECT_EQ(r.read_real(v[4]), Got::Value);
  EXPECT_EQ(r.read_real(v[5]), Got::Null);
  EXPECT_EQ(r.read_real(v[6]), Got::Null);
  double last = 0;
  EXPECT_EQ(r.read_real(last), Got::Value);
  EXPECT_DOUBLE_EQ(v[0], 2.5);
  EXPECT_DOUBLE_EQ(v[2], 2.5);
  EXPECT_DOUBLE_EQ(v[3], -1);
  EXPECT_DOUBLE_EQ(v[4], 9);
  EXPECT_DOUBLE_EQ(last, 4);
  int a = 5;
  ListReader lead(",3");
  EXPECT_EQ(lead.read_int(a), Got::Null);
  EXPECT_EQ(a, 5);
  EXPECT_EQ(lead.read_int(a), Got::Value);
  EXPECT_EQ(a, 3);
}

TEST(ListDirected, RealForms) {
  double x = 0;
  const char* forms[] = {"1.5e3", "1.5D3", "1500", "+1500.", "1.5E+03", "15e2"};
  for (const char* f : forms) {
    ListReader r(f);
    ASSERT_EQ(r.read_real(x), Got::Value) << f;
    EXPECT_DOUBLE_EQ(x, 1500.0) << f;
  }
  ListReader r(".5 -.25");
  r.read_real(x);
  EXPECT_DOUBLE_EQ(x, 0.5);
  r.read_real(x);
  EXPECT_DOUBLE_EQ(x, -0.25);
}

TEST(ListDirected, UnreadableNumbersAreReadErrors) {
  double x = 0;
  int i = 0;
  EXPECT_THROW(ListReader("abc").read_real(x), zeb::RunError);
  EXPECT_THROW(ListReader("1.5x").read_real(x), zeb::RunError);
  EXPECT_THROW(ListReader("1.5").read_int(i), zeb::RunError);
  EXPECT_THROW(ListReader("99999999999").read_int(i), zeb::RunError);
  EXPECT_THROW(ListReader("1e999").read_real(x), zeb::RunError);
  EXPECT_THROW(ListReader("'5'").read_int(i), zeb::RunError);
  EXPECT_THROW(ListReader("-").read_real(x), zeb::RunError);
  float f = 0;
  EXPECT_THROW(ListReader("1e39").read_real(f), zeb::RunError);
  try {
    ListReader("zz", "list.txt line 4").read_real(x);
    FAIL();
  } catch (const zeb::RunError& e) {
    EXPECT_NE(std::string(e.what()).find("list.txt line 4"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("zz"), std::string::npos);
  }
}

TEST(ListDirected, EmptyRecordEndsAtOnce) {
  double x = 3;
  ListReader r("    ");
  EXPECT_EQ(r.read_real(x), Got::End);
  EXPECT_DOUBLE_EQ(x, 3);
}
