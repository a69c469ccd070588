// 1-based, column-major (first index fastest) arrays that own their storage.
// Images are stored x fastest, so a(i, j) and a(i, j + 1) are nx elements apart.
// Index checks are compiled in with ZEB_CHECK_BOUNDS (debug and sanitizer builds)
// and cost nothing otherwise.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <type_traits>
#include <vector>

namespace zeb {

namespace detail {
[[noreturn]] inline void bounds_failure(const char* what, long idx, long lo, long hi) {
  std::fprintf(stderr, "array index out of bounds: %s index %ld not in %ld..%ld\n", what, idx, lo, hi);
  std::abort();
}
#ifdef ZEB_CHECK_BOUNDS
inline void check_index(const char* what, long idx, long n) {
  if (idx < 1 || idx > n) bounds_failure(what, idx, 1, n);
}
#else
inline void check_index(const char*, long, long) {}
#endif
}  // namespace detail

// Non-owning 2-D view of nx x ny elements, 1-based, x fastest.
template <typename T>
class View2 {
 public:
  View2() = default;
  View2(T* data, long nx, long ny) : data_(data), nx_(nx), ny_(ny) {}
  // A view of mutable elements also serves where read-only elements are asked for.
  template <typename U, typename = std::enable_if_t<std::is_same_v<const U, T> && !std::is_const_v<U>>>
  View2(const View2<U>& other) : data_(other.data()), nx_(other.nx()), ny_(other.ny()) {}
  T& operator()(long i, long j) const {
    detail::check_index("1st", i, nx_);
    detail::check_index("2nd", j, ny_);
    return data_[(i - 1) + nx_ * (j - 1)];
  }
  long nx() const { return nx_; }
  long ny() const { return ny_; }
  T* data() const { return data_; }
  std::size_t size() const { return static_cast<std::size_t>(nx_) * ny_; }

 private:
  T* data_ = nullptr;
  long nx_ = 0, ny_ = 0;
};

template <typename T>
class Array1 {
 public:
  Array1() = default;
  explicit Array1(long n, T init = T()) { resize(n, init); }
  void resize(long n, T init = T()) {
    n_ = n;
    v_.assign(static_cast<std::size_t>(n), init);
  }
  T& operator()(long i) {
    detail::check_index("1st", i, n_);
    return v_[i - 1];
  }
  const T& operator()(long i) const {
    detail::check_index("1st", i, n_);
    return v_[i - 1];
  }
  void fill(const T& x) { std::fill(v_.begin(), v_.end(), x); }
  long n() const { return n_; }
  T* data() { return v_.data(); }
  const T* data() const { return v_.data(); }

 private:
  std::vector<T> v_;
  long n_ = 0;
};

template <typename T>
class Array2 {
 public:
  Array2() = default;
  Array2(long nx, long ny, T init = T()) { resize(nx, ny, init); }
  void resize(long nx, long ny, T init = T()) {
    nx_ = nx;
    ny_ = ny;
    v_.assign(static_cast<std::size_t>(nx) * ny, init);
  }
  T& operator()(long i, long j) {
    detail::check_index("1st", i, nx_);
    detail::check_index("2nd", j, ny_);
    return v_[(i - 1) + nx_ * (j - 1)];
  }
  const T& operator()(long i, long j) const {
    detail::check_index("1st", i, nx_);
    detail::check_index("2nd", j, ny_);
    return v_[(i - 1) + nx_ * (j - 1)];
  }
  void fill(const T& x) { std::fill(v_.begin(), v_.end(), x); }
  View2<T> view() { return View2<T>(v_.data(), nx_, ny_); }
  View2<const T> view() const { return View2<const T>(v_.data(), nx_, ny_); }
  long nx() const { return nx_; }
  long ny() const { return ny_; }
  T* data() { return v_.data(); }
  const T* data() const { return v_.data(); }
  std::size_t size() const { return v_.size(); }

 private:
  std::vector<T> v_;
  long nx_ = 0, ny_ = 0;
};

template <typename T>
class Array3 {
 public:
  Array3() = default;
  Array3(long n1, long n2, long n3, T init = T()) { resize(n1, n2, n3, init); }
  void resize(long n1, long n2, long n3, T init = T()) {
    n1_ = n1;
    n2_ = n2;
    n3_ = n3;
    v_.assign(static_cast<std::size_t>(n1) * n2 * n3, init);
  }
  // New extents; the elements are left as the storage holds them (elements
  // beyond the old size are value-initialised), for a caller that sets them
  // all itself.
  void reshape(long n1, long n2, long n3) {
    n1_ = n1;
    n2_ = n2;
    n3_ = n3;
    v_.resize(static_cast<std::size_t>(n1) * n2 * n3);
  }
  T& operator()(long i, long j, long k) { return v_[offset(i, j, k)]; }
  const T& operator()(long i, long j, long k) const { return v_[offset(i, j, k)]; }
  // The 2-D plane k (for rasters: one exposure's n1 x n2 image).
  View2<T> plane(long k) {
    detail::check_index("3rd", k, n3_);
    return View2<T>(v_.data() + static_cast<std::size_t>(n1_) * n2_ * (k - 1), n1_, n2_);
  }
  View2<const T> plane(long k) const {
    detail::check_index("3rd", k, n3_);
    return View2<const T>(v_.data() + static_cast<std::size_t>(n1_) * n2_ * (k - 1), n1_, n2_);
  }
  void fill(const T& x) { std::fill(v_.begin(), v_.end(), x); }
  long n1() const { return n1_; }
  long n2() const { return n2_; }
  long n3() const { return n3_; }
  T* data() { return v_.data(); }
  const T* data() const { return v_.data(); }
  std::size_t size() const { return v_.size(); }

 private:
  std::size_t offset(long i, long j, long k) const {
    detail::check_index("1st", i, n1_);
    detail::check_index("2nd", j, n2_);
    detail::check_index("3rd", k, n3_);
    return static_cast<std::size_t>(i - 1) + static_cast<std::size_t>(n1_) * ((j - 1) + static_cast<std::size_t>(n2_) * (k - 1));
  }
  std::vector<T> v_;
  long n1_ = 0, n2_ = 0, n3_ = 0;
};

template <typename T>
class Array4 {
 public:
  Array4() = default;
  Array4(long n1, long n2, long n3, long n4, T init = T()) { resize(n1, n2, n3, n4, init); }
  void resize(long n1, long n2, long n3, long n4, T init = T()) {
    n1_ = n1;
    n2_ = n2;
    n3_ = n3;
    n4_ = n4;
    v_.assign(static_cast<std::size_t>(n1) * n2 * n3 * n4, init);
  }
  T& operator()(long i, long j, long k, long l) { return v_[offset(i, j, k, l)]; }
  const T& operator()(long i, long j, long k, long l) const { return v_[offset(i, j, k, l)]; }
  View2<T> plane(long k, long l) {
    return View2<T>(v_.data() + offset(1, 1, k, l), n1_, n2_);
  }
  View2<const T> plane(long k, long l) const {
    return View2<const T>(v_.data() + offset(1, 1, k, l), n1_, n2_);
  }
  void fill(const T& x) { std::fill(v_.begin(), v_.end(), x); }
  long n1() const { return n1_; }
  long n2() const { return n2_; }
  long n3() const { return n3_; }
  long n4() const { return n4_; }
  T* data() { return v_.data(); }
  const T* data() const { return v_.data(); }

 private:
  std::size_t offset(long i, long j, long k, long l) const {
    detail::check_index("1st", i, n1_);
    detail::check_index("2nd", j, n2_);
    detail::check_index("3rd", k, n3_);
    detail::check_index("4th", l, n4_);
    return static_cast<std::size_t>(i - 1) +
           static_cast<std::size_t>(n1_) *
               ((j - 1) + static_cast<std::size_t>(n2_) * ((k - 1) + static_cast<std::size_t>(n3_) * (l - 1)));
  }
  std::vector<T> v_;
  long n1_ = 0, n2_ = 0, n3_ = 0, n4_ = 0;
};

}  // namespace zeb
