#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/array.h"
#include "core/bubble_order.h"
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
    std::vector<float> v(1 + rng() % 16);
    for (float& x : v) x = pool[rng() % (trial < 200 ? pool.size() - 1 : pool.size())];
    const std::vector<float> expected = bubble(v);
    zeb::bubble_order(v.data(), static_cast<int>(v.size()));
    ASSERT_EQ(std::memcmp(v.data(), expected.data(), v.size() * sizeof(float)), 0) << "trial " << trial;
  }
}
