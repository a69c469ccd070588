#include "measure/tile_stacks.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <iostream>

#include "core/fortran_format.h"
#include "core/parallel.h"
#include "core/stop.h"
#include "core/robust_stats.h"

namespace zeb {

namespace {

constexpr int kStackLo = 17, kStackHi = 285;  // grid points pasted into the mosaics
constexpr int kSmallSample = 11;              // below this barsig_sns decides (when clipping)
constexpr float kSmallSampleMaxClip = 10.0f;
constexpr float kLowestValue = -9999.0f;

// Weight of a sample with error e: 1000 / e^2. An error so small that the
// weight overflows makes the sample dominate, as its error says it should,
// without turning the sums into infinities.
float sample_weight(float e) {
  const float w = 1000.0f / (e * e);
  return w > FLT_MAX ? FLT_MAX : w;
}

// Nearest raster pixel of a raster coordinate when it lies in 2..300
// (trunc(x + 0.5)); 0 otherwise, also for coordinates that are not numbers.
int inner_pixel(float x) {
  const float r = x + 0.5f;
  if (!(r >= 2.0f && r < static_cast<float>(TILE_GRID))) return 0;
  return static_cast<int>(r);
}

// What the 3 x 3 flags around (ix, iy) say about an exposure at a grid point.
enum class Around { Clear, Flagged, Other };
Around flags_around(View2<const std::uint8_t> u, int ix, int iy) {
  bool clear = true;
  for (int dy = -1; dy <= 1; ++dy)
    for (int dx = -1; dx <= 1; ++dx) {
      const std::uint8_t f = u(ix + dx, iy + dy);
      if (f == 1) return Around::Flagged;
      if (f >= 1) clear = false;
    }
  return clear ? Around::Clear : Around::Other;
}

bool holds_tile_stack(long n1, long n2, long n3) { return n1 == TILE_GRID && n2 == TILE_GRID && n3 >= FDIM; }

void check_stack_arguments(int ns, const Array1<int>& fff_n, const Array3<float>& values, const Array3<float>& pixe_n,
                           const Array3<std::uint8_t>& pixu_n, const Array3<float>& stack,
                           const Array3<std::int16_t>* counts) {
  auto raster_set = [ns](long n1, long n2, long n3) { return n1 == TILE_GRID && n2 == TILE_GRID && n3 >= ns; };
  const bool rasters_ok = raster_set(values.n1(), values.n2(), values.n3()) &&
                          raster_set(pixe_n.n1(), pixe_n.n2(), pixe_n.n3()) &&
                          raster_set(pixu_n.n1(), pixu_n.n2(), pixu_n.n3());
  const bool sizes_ok = holds_tile_stack(stack.n1(), stack.n2(), stack.n3()) &&
                        (!counts || holds_tile_stack(counts->n1(), counts->n2(), counts->n3()));
  if (ns < 0 || ns > NDIM || fff_n.n() < ns || !rasters_ok || !sizes_ok) {
    write_list(std::cout, "stack_tile: Ns: ", ns, " _NDIM_: ", NDIM, " rasters: ", static_cast<long>(values.n3()));
    stop_run("stack_tile: rasters or stacks do not hold Ns exposures");
  }
}

}  // namespace

void init_stacks(TileStacks& s) {
  for (Array3<float>* a : {&s.stackv_tf, &s.stacks_tf, &s.stackf_tf, &s.stackm_tf}) a->fill(0.0f);
  s.stackn_tf.fill(0);
  s.stackp_tf.fill(0);
}

void init_stacku(Array2<std::uint8_t>& stacktu) {
  stacktu.resize(TILE_GRID, TILE_GRID);
  for (int j = 1; j <= TILE_GRID; ++j)
    for (int i = 1; i <= TILE_GRID; ++i)
      stacktu(i, j) = (i >= kStackLo && i <= kStackHi && j >= kStackLo && j <= kStackHi) ? 1 : 0;
}

void stack_tile(int ns, const Array1<int>& fff_n, const Array3<float>& xtab_n, const Array3<float>& ytab_n,
                const Array3<float>& values, const Array3<float>& pixe_n, const Array3<std::uint8_t>& pixu_n,
                Array3<float>& stack, Array3<std::int16_t>* counts, float k, const StackWindow& window) {
  const StackJob job{values, stack, counts, k};
  stack_tiles(ns, fff_n, xtab_n, ytab_n, pixe_n, pixu_n, std::span<const StackJob>(&job, 1), window);
}

void stack_tiles(int ns, const Array1<int>& fff_n, const Array3<float>& xtab_n, const Array3<float>& ytab_n,
                 const Array3<float>& pixe_n, const Array3<std::uint8_t>& pixu_n, std::span<const StackJob> jobs,
                 const StackWindow& window) {
  for (const StackJob& job : jobs) check_stack_arguments(ns, fff_n, job.values, pixe_n, pixu_n, job.stack, job.counts);
  const int i1 = std::max(window.i1, 1), i2 = std::min(window.i2, TILE_GRID);
  const int j1 = std::max(window.j1, 1), j2 = std::min(window.j2, TILE_GRID);
  int of_filter[NDIM];
  for (int f = 1; f <= FDIM; ++f) {
    int nf = 0;
    for (int n = 1; n <= ns; ++n)
      if (fff_n(n) == f) of_filter[nf++] = n;
    // Every point of the stack is combined on its own: rows go to the threads.
    parallel_for(j1, j2, [&](int j, int) {
      // The exposures that offer a sample at the point: exposure, pixel, weight.
      int taken_n[NDIM], taken_x[NDIM], taken_y[NDIM];
      float taken_w[NDIM];
      float x[NDIM], w[NDIM];
      // The raster position of the row's points in each exposure.
      float x_rows[NDIM][TILE_GRID], y_rows[NDIM][TILE_GRID];
      const TableAxis& aj = pixel_axis(j);
      for (int q = 0; q < nf; ++q) {
        rtab_row(tab_of(xtab_n, of_filter[q]), aj, i1, i2, x_rows[q]);
        rtab_row(tab_of(ytab_n, of_filter[q]), aj, i1, i2, y_rows[q]);
      }
      for (int i = i1; i <= i2; ++i) {
        int taken = 0, flagged = 0;
        for (int q = 0; q < nf; ++q) {
          const int n = of_filter[q];
          const int ix = inner_pixel(x_rows[q][i - i1]);
          if (ix == 0) continue;
          const int iy = inner_pixel(y_rows[q][i - i1]);
          if (iy == 0) continue;
          const Around around = flags_around(pixu_n.plane(n), ix, iy);
          if (around == Around::Flagged) ++flagged;
          if (around != Around::Clear) continue;
          taken_n[taken] = n;
          taken_x[taken] = ix;
          taken_y[taken] = iy;
          taken_w[taken] = sample_weight(pixe_n(ix, iy, n));
          ++taken;
        }
        for (const StackJob& job : jobs) {
          int samples = 0;
          for (int t = 0; t < taken; ++t) {
            const float value = job.values(taken_x[t], taken_y[t], taken_n[t]);
            // A value or weight that is not a number says nothing about the point.
            if (!std::isfinite(value) || std::isnan(taken_w[t])) continue;
            x[samples] = value;
            w[samples] = taken_w[t];
            ++samples;
          }
          // barsig_sns replaces barsigw's result for small samples, so barsigw
          // is not run for them.
          const RobustMean r = (samples < kSmallSample && job.k < kSmallSampleMaxClip)
                                   ? barsig_sns(x, samples)
                                   : barsigw(x, w, samples, job.k);
          float v = r.mean;
          if (r.used == 0 && flagged > 0) v = STACK_FLAGGED;
          if (!(v > kLowestValue)) v = 0.0f;
          job.stack(i, j, f) = v;
          if (job.counts) (*job.counts)(i, j, f) = static_cast<std::int16_t>(r.used);
        }
      }
    });
  }
}

}  // namespace zeb
