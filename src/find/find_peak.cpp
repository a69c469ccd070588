// The local-maximum test of the per-exposure candidate search.
#include <algorithm>
#include <cmath>
#include <limits>

#include "find/find_internal.h"

namespace zeb::find_detail {

namespace {

constexpr float INF = std::numeric_limits<float>::infinity();
// Neighbours beyond the raster are ignored, so a larger radius reaches no
// more pixels than this one.
constexpr int RADIUS_CAP = TILE_GRID - 1;
// Candidates lie in raster pixels 6..296: neighbourhoods up to this radius
// stay inside the raster.
constexpr int RADIUS_INSIDE = 5;
// Neighbourhoods smaller than this are always visited pixel by pixel (at
// most this many visits per pixel).
constexpr std::size_t MAP_WORTHWHILE = 256;
// Visits per searched pixel after which the neighbourhood map pays off. On
// real residuals a pixel takes about ln(neighbourhood) visits, so this is
// only reached where the residual is flat.
constexpr long long VISITS_PER_PIXEL = 48;
constexpr long long SEARCHED_PIXELS = 291LL * 291;

// out[x] := largest in[x'] for |x' - x| <= w, 0 <= x' < n (in holds no NaN).
void sliding_max(const float* in, float* out, int n, int w, std::vector<float>& pad, std::vector<float>& pre,
                 std::vector<float>& suf) {
  if (w <= 0) {
    std::copy(in, in + n, out);
    return;
  }
  if (w >= n - 1) {
    std::fill(out, out + n, *std::max_element(in, in + n));
    return;
  }
  // Blocks of the window length over the row padded with -inf at both ends:
  // the maximum of a window is that of the tail of one block and the head of
  // the next.
  const int k = 2 * w + 1, len = n + 2 * w;
  pad.assign(static_cast<std::size_t>(len), -INF);
  std::copy(in, in + n, pad.begin() + w);
  pre.resize(static_cast<std::size_t>(len));
  suf.resize(static_cast<std::size_t>(len));
  for (int i = 0; i < len; ++i) pre[i] = (i % k == 0) ? pad[i] : std::max(pre[i - 1], pad[i]);
  for (int i = len - 1; i >= 0; --i) suf[i] = (i == len - 1 || (i + 1) % k == 0) ? pad[i] : std::max(suf[i + 1], pad[i]);
  for (int x = 0; x < n; ++x) out[x] = std::max(suf[x], pre[x + 2 * w]);
}

}  // namespace

void LocalMaximumTest::configure(int h) {
  h = std::min(h, RADIUS_CAP);
  if (configured_ && h == h_) return;
  configured_ = true;
  h_ = h;
  offsets_.clear();
  for (const Offset& o : disc_offsets(h_))
    if (o.dx != 0 || o.dy != 0) offsets_.push_back(o);
  std::stable_sort(offsets_.begin(), offsets_.end(), [](const Offset& a, const Offset& b) {
    return a.dx * a.dx + a.dy * a.dy < b.dx * b.dx + b.dy * b.dy;
  });
  may_leave_raster_ = h_ > RADIUS_INSIDE;
  half_width_ = disc_half_widths(h_);
  budget_ = offsets_.size() > MAP_WORTHWHILE ? VISITS_PER_PIXEL * SEARCHED_PIXELS : -1;
}

void LocalMaximumTest::start(View2<const float> d, View2<const std::uint8_t> u) {
  d_ = d;
  u_ = u;
  visits_ = 0;
  map_ready_ = false;
}

bool LocalMaximumTest::visit_neighbours(int x, int y) {
  const float c = d_(x, y);
  long long k = 0;
  bool peak = true;
  for (const Offset& o : offsets_) {
    ++k;
    const int nx = x + o.dx, ny = y + o.dy;
    if (may_leave_raster_ && (nx < 1 || nx > TILE_GRID || ny < 1 || ny > TILE_GRID)) continue;
    if (c < d_(nx, ny) || u_(nx, ny) != 0) {
      peak = false;
      break;
    }
  }
  visits_ += k;
  return peak;
}

bool LocalMaximumTest::operator()(int x, int y) {
  if (map_ready_) {
    const float c = d_(x, y);
    // The map holds the centre itself, so c passes exactly when nothing in
    // reach is higher or flagged. A centre that is not a number (every
    // comparison false) or +inf (equal to a flag's mark) is visited.
    if (!std::isnan(c) && c != INF) return c >= best_(x, y);
    return visit_neighbours(x, y);
  }
  const bool peak = visit_neighbours(x, y);
  if (budget_ >= 0 && visits_ > budget_) build_neighbourhood_map();
  return peak;
}

void LocalMaximumTest::build_neighbourhood_map() {
  const int n = TILE_GRID;
  value_.resize(n, n);
  row_max_.resize(n, n);
  best_.resize(n, n, -INF);
  best_.fill(-INF);
  for (int y = 1; y <= n; ++y)
    for (int x = 1; x <= n; ++x) {
      const float v = d_(x, y);
      value_(x, y) = u_(x, y) != 0 ? INF : (std::isnan(v) ? -INF : v);
    }
  int width = -1;
  for (int dy = 0; dy <= h_; ++dy) {
    if (half_width_[static_cast<std::size_t>(dy)] != width) {
      width = half_width_[static_cast<std::size_t>(dy)];
      for (int y = 1; y <= n; ++y) sliding_max(&value_(1, y), &row_max_(1, y), n, width, pad_, pre_, suf_);
    }
    for (int y = 1; y <= n; ++y) {
      for (int yy : {y - dy, y + dy}) {
        if (yy < 1 || yy > n) continue;
        float* b = &best_(1, y);
        const float* r = &row_max_(1, yy);
        for (int x = 0; x < n; ++x) b[x] = std::max(b[x], r[x]);
        if (dy == 0) break;
      }
    }
  }
  map_ready_ = true;
}

}  // namespace zeb::find_detail
