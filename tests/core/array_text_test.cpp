#include <gtest/gtest.h>

#include "core/array.h"
#include "core/stop.h"
#include "core/text.h"

TEST(Arrays, OneBasedFirstIndexFastest) {
  zeb::Array3<int> a(3, 2, 2);
  a(2, 1, 1) = 5;
  a(1, 2, 1) = 7;
  a(3, 2, 2) = 9;
  EXPECT_EQ(a.data()[1], 5);
  EXPECT_EQ(a.data()[3], 7);
  EXPECT_EQ(a.data()[11], 9);
  zeb::View2<int> p = a.plane(2);
  EXPECT_EQ(p(3, 2), 9);
  p(1, 1) = 4;
  EXPECT_EQ(a(1, 1, 2), 4);
  zeb::Array4<float> b(2, 2, 2, 2, 1.5f);
  b(2, 2, 2, 2) = 3;
  EXPECT_EQ(b.data()[15], 3);
  EXPECT_EQ(b.plane(2, 2)(2, 2), 3);
}

TEST(Text, FieldsAndColumns) {
  EXPECT_EQ(zeb::pad("ab", 4), "ab  ");
  EXPECT_EQ(zeb::pad("abcdef", 4), "abcd");
  EXPECT_EQ(zeb::strlen_blank("dir/sub  x"), 7);
  EXPECT_EQ(zeb::strlen_blank("whole"), 5);
  EXPECT_EQ(zeb::columns("F_SLOT  0002", 9, 12), "0002");
  EXPECT_EQ(zeb::columns("ab", 1, 4), "ab  ");
  EXPECT_EQ(zeb::rtrim("x  "), "x");
}

TEST(Text, NameTooLongForItsFieldStops) {
  EXPECT_EQ(zeb::fit_field(std::string(80, 'a'), 80, "PIX"), std::string(80, 'a'));
  EXPECT_THROW(zeb::fit_field(std::string(81, 'a'), 80, "PIX"), zeb::RunStop);
}
