// Fortran-style formatted records and list-directed reading and writing, the
// layer every log line and input file goes through; and the bubble order.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/bubble_order.h"
#include "core/fortran_format.h"
#include "core/list_directed.h"
#include "core/stop.h"

using zeb::fortran_record;

TEST(FortranFormat, IntegerWidthsAndZeroPadding) {
  EXPECT_EQ(fortran_record("(i4)", 42), "  42");
  EXPECT_EQ(fortran_record("(i4)", -42), " -42");
  EXPECT_EQ(fortran_record("(i3.3)", 7), "007");
  EXPECT_EQ(fortran_record("(1x,'IT',i3.3,1x,'JT',i3.3)", 1, 12), " IT001 JT012");
  EXPECT_EQ(fortran_record("(i20.4)", 301), "                0301");
  EXPECT_EQ(fortran_record("(i5.4)", -3), "-0003");
  EXPECT_EQ(fortran_record("(3i7.4)", 1, 76, 151), "   0001   0076   0151");
}

TEST(FortranFormat, IntegerOverflowGivesAsterisks) {
  EXPECT_EQ(fortran_record("(i2)", 100), "**");
  EXPECT_EQ(fortran_record("(i2)", -10), "**");
  EXPECT_EQ(fortran_record("(i1)", 9), "9");
  EXPECT_EQ(fortran_record("(i3.3)", 1000), "***");
}

TEST(FortranFormat, FixedRoundingAndWidths) {
  EXPECT_EQ(fortran_record("(f8.3)", 1.5), "   1.500");
  EXPECT_EQ(fortran_record("(f4.2)", 2.5f), "2.50");
  EXPECT_EQ(fortran_record("(f6.2)", 99.999), "100.00");
  EXPECT_EQ(fortran_record("(f5.2)", 99.999), "*****");
  // Correct rounding from the binary value: 0.125 is exact and rounds to even,
  // 2.675 is stored just below and rounds down.
  EXPECT_EQ(fortran_record("(f5.2)", 0.125), " 0.12");
  EXPECT_EQ(fortran_record("(f5.2)", 2.675), " 2.67");
  EXPECT_EQ(fortran_record("(f10.2)", 1e6), "1000000.00");
  EXPECT_EQ(fortran_record("(f9.2)", 1e6), "*********");
}

TEST(FortranFormat, FixedDropsLeadingZeroWhenNarrow) {
  EXPECT_EQ(fortran_record("(f5.3)", -0.123), "-.123");
  EXPECT_EQ(fortran_record("(f4.3)", 0.5), ".500");
  EXPECT_EQ(fortran_record("(f6.3)", -0.123), "-0.123");
  EXPECT_EQ(fortran_record("(f4.3)", 1.5), "****");
}

TEST(FortranFormat, Exponent) {
  EXPECT_EQ(fortran_record("(e20.7)", 1.0), "       0.1000000E+01");
  EXPECT_EQ(fortran_record("(e20.7)", 0.0), "       0.0000000E+00");
  EXPECT_EQ(fortran_record("(e20.7)", 0.5), "       0.5000000E+00");
  EXPECT_EQ(fortran_record("(e12.4)", -12345.678), " -0.1235E+05");
  EXPECT_EQ(fortran_record("(e10.3)", 1.0e-120), " 0.100-119");
  EXPECT_EQ(fortran_record("(e9.3)", -1.0), "-.100E+01");
  EXPECT_EQ(fortran_record("(e8.3)", -1.0), "********");
  EXPECT_EQ(fortran_record("(e11.4)", 0.99996), " 0.1000E+01");
}

TEST(FortranFormat, TextCutAndRightJustify) {
  EXPECT_EQ(fortran_record("(a5)", "ab"), "   ab");
  EXPECT_EQ(fortran_record("(a3)", "abcdef"), "abc");
  EXPECT_EQ(fortran_record("('FILE: ',a)", "x.fits"), "FILE: x.fits");
  EXPECT_EQ(fortran_record("('DATATYPE= ',9a)", " 'INTEGER*2 '"), "DATATYPE=  'INTEGER*2 '");
  EXPECT_EQ(fortran_record("(a05)", "     "), "     ");
  EXPECT_EQ(fortran_record("(l1,l2)", true, false), "T F");
}

TEST(FortranFormat, GroupsRepeatsAndSlash) {
  EXPECT_EQ(fortran_record("(2(2x,f15.5,1x,i3))", 1.0, 2, 3.5, 4),
            "          1.00000   2          3.50000   4");
  EXPECT_EQ(fortran_record("('A',/,'B')"), "A\nB");
  EXPECT_EQ(fortran_record("(2i6)", 0, 1200), "     0  1200");
  EXPECT_EQ(fortran_record("(5x,'         No: ',i6)", 0), "              No:      0");
}

TEST(FortranFormat, RecordEndsAtFirstDescriptorWithoutValue) {
  EXPECT_EQ(fortran_record("('A',i3,'B',i3,'C')", 1), "A  1B");
  EXPECT_EQ(fortran_record("('ONLY LITERAL ',i3)"), "ONLY LITERAL ");
  // Repeated group stops midway.
  EXPECT_EQ(fortran_record("(1x,f9.3,10(3x,f9.1,1x,f7.3))", 1.0, 2.0, 3.0),
            "     1.000         2.0   3.000");
  EXPECT_EQ(fortran_record("('ZEB_SETUP LINE',i3.3,3x,200a)", 1, "MODE=R"), "ZEB_SETUP LINE001   MODE=R");
}

TEST(FortranFormat, ReversionStartsANewLine) {
  EXPECT_EQ(fortran_record("(i2)", 1, 2, 3), " 1\n 2\n 3");
  EXPECT_EQ(fortran_record("('X',2(i2))", 1, 2, 3), "X 1 2\n 3");
}

TEST(FortranFormat, NonFiniteValues) {
  EXPECT_EQ(fortran_record("(f8.2)", std::nan("")), "     NaN");
  EXPECT_EQ(fortran_record("(f9.2)", -HUGE_VAL), "-Infinity");
  EXPECT_EQ(fortran_record("(f2.0)", HUGE_VAL), "**");
}

TEST(ListOutput, ItemsSeparatedByBlanks) {
  EXPECT_EQ(zeb::list_record("NARTs: ", 12), " NARTs:  12");
  EXPECT_EQ(zeb::list_record("x", 0.1), " x 0.1");
  EXPECT_EQ(zeb::list_record(0.1f), " 0.1");
  EXPECT_EQ(zeb::list_record(true, -3), " T -3");
}

using zeb::Got;
using zeb::ListReader;

TEST(ListDirected, BlanksAndCommasSeparate) {
  ListReader r(" 1.5, 2  ,3 4");
  double d = 0;
  for (double want : {1.5, 2.0, 3.0, 4.0}) {
    EXPECT_EQ(r.read_real(d), Got::Value);
    EXPECT_DOUBLE_EQ(d, want);
  }
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
  // A null leaves its target as it was (-1 here).
  ListReader r("3*2.5 , ,9 2* 4");
  const std::pair<Got, double> want[] = {{Got::Value, 2.5}, {Got::Value, 2.5}, {Got::Value, 2.5}, {Got::Null, -1},
                                         {Got::Value, 9},   {Got::Null, -1},   {Got::Null, -1},   {Got::Value, 4}};
  for (const auto& [got, value] : want) {
    double v = -1;
    EXPECT_EQ(r.read_real(v), got);
    EXPECT_DOUBLE_EQ(v, value);
  }
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

// The quick way gives the bubble sort's order bit for bit: equal values (-0
// and +0) keep their places, and values that are not numbers end where the
// passes leave them.
TEST(BubbleOrder, SameBitsAsTheBubbleSort) {
  auto bubble = [](std::vector<float> v) {
    for (bool swapped = true; swapped;) {
      swapped = false;
      for (std::size_t k = 0; k + 1 < v.size(); ++k)
        if (v[k] > v[k + 1]) std::swap(v[k], v[k + 1]), swapped = true;
    }
    return v;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> pool{-0.0f, 0.0f, 1.0f, -1.0f, 2.5f, 2.5f, -7.0f, nan};
  std::mt19937 rng(7);
  for (int trial = 0; trial < 400; ++trial) {
    std::vector<float> v(1 + rng() % 24);
    for (float& x : v) x = pool[rng() % (trial < 200 ? pool.size() - 1 : pool.size())];
    const std::vector<float> expected = bubble(v);
    zeb::bubble_order(v.data(), static_cast<int>(v.size()));
    ASSERT_EQ(std::memcmp(v.data(), expected.data(), v.size() * sizeof(float)), 0) << "trial " << trial;
  }
}
