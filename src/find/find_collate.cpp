// Stages 2 and 3 of find_tile: spreading the candidate tallies, binning them
// onto the tile grid, collating new sources and the level map.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <iostream>

#include "core/fortran_format.h"
#include "core/parallel.h"
#include "core/stop.h"
#include "find/find_internal.h"
#include "find/find_tile.h"
#include "imageio/fits.h"

namespace zeb {

namespace find_detail {

void spread_tallies(FineCounts& counts, const FineWindow& fw, int r) {
  counts.spread_r = r;
  if (r < 0) return;
  const std::vector<int> half = disc_half_widths(r);
  // Tallies this close to the edge of the fine grid are not spread.
  const int alo = std::max(6, fw.a1 - 8), ahi = std::min(FINE_GRID - 5, fw.a2 + 8);
  const int blo = std::max(6, fw.b1 - 8), bhi = std::min(FINE_GRID - 5, fw.b2 + 8);
  for (std::size_t k = 0; k < counts.marked_a.size(); ++k) {
    const int a = counts.marked_a[k], b = counts.marked_b[k];
    if (a < alo || a > ahi || b < blo || b > bhi) continue;
    const int t = counts.tally(a, b);
    // Saturating sums of non-negative counts do not depend on their order.
    for (int bt = std::max(b - r, fw.b1); bt <= std::min(b + r, fw.b2); ++bt) {
      const int h = half[static_cast<std::size_t>(std::abs(bt - b))];
      const int from = std::max(a - h, fw.a1), to = std::min(a + h, fw.a2);
      if (from > to) continue;
      std::int16_t* row = &counts.spread(from, bt);
      for (int q = 0; q <= to - from; ++q) row[q] = static_cast<std::int16_t>(std::min<int>(row[q] + t, COUNT_MAX));
    }
  }
}

void FineCounts::clear() {
  const int r = spread_r;
  for (std::size_t k = 0; k < marked_a.size(); ++k) {
    const int a = marked_a[k], b = marked_b[k];
    tally(a, b) = 0;
    for (int bt = std::max(1, b - r); bt <= std::min(FINE_GRID, b + r); ++bt)
      for (int at = std::max(1, a - r); at <= std::min(FINE_GRID, a + r); ++at) spread(at, bt) = 0;
  }
  marked_a.clear();
  marked_b.clear();
  spread_r = -1;
}

void bin_to_tile(const FineCounts& counts, const FindWindow& w, Array2<std::uint8_t>& seen,
                 std::vector<std::int16_t>& column_max, Array2<std::int16_t>& out) {
  const int r = counts.spread_r;
  if (r < 0) return;
  seen.fill(0);
  // Grid point iu's block holds fine pixels 4 iu - 5 .. 4 iu - 1: it meets
  // lo..hi (1 <= lo) for iu from (lo + 4) / 4 to (hi + 5) / 4.
  for (std::size_t k = 0; k < counts.marked_a.size(); ++k) {
    const int a = counts.marked_a[k], b = counts.marked_b[k];
    const int iu_lo = std::max(w.i1, (std::max(1, a - r) + 4) / 4);
    const int iu_hi = std::min(w.i2, (std::min(FINE_GRID, a + r) + 5) / 4);
    const int iv_lo = std::max(w.j1, (std::max(1, b - r) + 4) / 4);
    const int iv_hi = std::min(w.j2, (std::min(FINE_GRID, b + r) + 5) / 4);
    if (iu_lo > iu_hi) continue;
    for (int iv = iv_lo; iv <= iv_hi; ++iv) std::fill(&seen(iu_lo, iv), &seen(iu_hi, iv) + 1, std::uint8_t{1});
  }
  // Row by row: the largest value of each fine column over the row's five
  // fine rows, whole rows at a time, then of five columns for each point.
  column_max.resize(FINE_GRID + 1);
  for (int iv = std::max(w.j1, 1); iv <= std::min(w.j2, TILE_GRID); ++iv) {
    int first = std::max(w.i1, 1), last = std::min(w.i2, TILE_GRID);
    while (first <= last && !seen(first, iv)) ++first;
    while (last >= first && !seen(last, iv)) --last;
    if (first > last) continue;
    const int b = 4 * (iv - 1) + 1;
    const int blo = std::max(1, b - 2), bhi = std::min(FINE_GRID, b + 2);
    const int plo = std::max(1, 4 * (first - 1) - 1), phi = std::min(FINE_GRID, 4 * (last - 1) + 3);
    std::int16_t* const cm = column_max.data();
    std::copy(&counts.spread(plo, blo), &counts.spread(phi, blo) + 1, cm + plo);
    for (int q = blo + 1; q <= bhi; ++q) {
      const std::int16_t* row = &counts.spread(1, q);
      for (int p = plo; p <= phi; ++p) cm[p] = std::max(cm[p], row[p - 1]);
    }
    for (int iu = first; iu <= last; ++iu) {
      if (!seen(iu, iv)) continue;
      const int a = 4 * (iu - 1) + 1;
      const int alo = std::max(1, a - 2), ahi = std::min(FINE_GRID, a + 2);
      std::int16_t mx = cm[alo];
      for (int p = alo + 1; p <= ahi; ++p) mx = std::max(mx, cm[p]);
      out(iu, iv) = mx;
    }
  }
}

int claim_radius(const FindSettings& s) {
  float r = 3.5f;
  if (s.oprx > r) r = s.oprx;
  if (s.oprv > r) r = s.oprv;
  return static_cast<int>(std::min(r, 8.0f));
}

void claim_zone(Array2<std::uint8_t>& stacka, int iu, int iv, int rc, int criterion) {
  for (int dv = -5; dv <= 5; ++dv) {
    const int j = iv + dv;
    if (j < 1 || j > TILE_GRID) continue;
    for (int du = -5; du <= 5; ++du) {
      const int i = iu + du;
      if (i < 1 || i > TILE_GRID || du * du + dv * dv > rc * rc) continue;
      stacka(i, j) = static_cast<std::uint8_t>(criterion);
    }
  }
}

void append_source(int nit, int criterion, double u, double v, int iu, int iv, const FindSettings& s,
                   const FindingMaps& maps, LocalList& local, int& ls) {
  if (ls + 1 > LDIM) stop_run("Ls.gt._LDIM_");
  const int l = ++ls;
  // The slot may hold a star of an earlier artificial-star pass: start it
  // from the cleared state.
  reset_entry(l, local);
  local.n0_l(l) = 0;  // found in this tile, not yet committed
  local.u0_l(l) = local.uf_l(l) = static_cast<float>(u);
  local.v0_l(l) = local.vf_l(l) = static_cast<float>(v);
  local.w0_l(l) = nit;
  local.y0_l(l) = criterion;
  const int c = maps.stackc_t(iu, iv);
  local.cfnd_l(l) = c;
  local.qfnd_l(l) = maps.stackq_t(iu, iv);
  local.dfnd_l(l) = maps.stackd_t(iu, iv);
  local.pfnd_l(l) = maps.stackp_t(iu, iv);
  local.qmin_l(l) = std::max(qreq_n(c), s.qmin);
  local.dmin_l(l) = std::max(dreq_n(c), s.dmin);
  local.pmin_l(l) = std::max(preq_n(c), s.pmin);
}

namespace {

// The Q, D and P requirements of the call (each at least its iteration's
// minimum) for every coverage a point can have, looked up instead of worked
// out point by point.
class Requirements {
 public:
  explicit Requirements(const FindSettings& s) : s_(s) {
    for (int c = 0; c <= NDIM; ++c) {
      q_[static_cast<std::size_t>(c)] = std::max(qreq_n(c), s.qmin);
      d_[static_cast<std::size_t>(c)] = std::max(dreq_n(c), s.dmin);
      p_[static_cast<std::size_t>(c)] = std::max(preq_n(c), s.pmin);
    }
  }
  int q(int c) const { return in_table(c) ? q_[static_cast<std::size_t>(c)] : std::max(qreq_n(c), s_.qmin); }
  int d(int c) const { return in_table(c) ? d_[static_cast<std::size_t>(c)] : std::max(dreq_n(c), s_.dmin); }
  int p(int c) const { return in_table(c) ? p_[static_cast<std::size_t>(c)] : std::max(preq_n(c), s_.pmin); }

 private:
  static bool in_table(int c) { return c >= 0 && c <= NDIM; }
  FindSettings s_;
  std::array<int, NDIM + 1> q_{}, d_{}, p_{};
};

}  // namespace

int collate_sources(int nit, const FindSettings& s, const FindWindow& w, const FineCounts& p, const FineCounts& d,
                    const FineCounts& q, const FindingMaps& maps, Array2<std::uint8_t>& stacka,
                    Array2<std::uint8_t>& reaching, LocalList& local, int& ls) {
  stacka.fill(0);
  const int rc = claim_radius(s);
  const int rq = fine_radius(s.qsep, 0.5f), rd = fine_radius(s.dsep, 0.5f), rp = fine_radius(s.psep, 0.5f);
  const Requirements req(s);
  const int iu1 = std::max(4, w.i1), iu2 = std::min(TILE_GRID - 3, w.i2);
  const int iv1 = std::max(4, w.j1), iv2 = std::min(TILE_GRID - 3, w.j2);
  // Only a point where a count reaches its requirement can become a source:
  // those points are marked first, side by side, in the order of the scan
  // below (iv fastest), so that the scan passes the others at a glance.
  parallel_for(iu1, iu2, [&](int iu, int) {
    for (int iv = iv1; iv <= iv2; ++iv) {
      const int c = maps.stackc_t(iu, iv);
      reaching(iv, iu) = maps.stackq_t(iu, iv) >= req.q(c) || maps.stackd_t(iu, iv) >= req.d(c) ||
                         maps.stackp_t(iu, iv) >= req.p(c);
    }
  });
  int news = 0;
  // The scan order decides between nearby peaks: the first found claims its zone.
  for (int iu = iu1; iu <= iu2; ++iu) {
    for (int iv = iv1; iv <= iv2; ++iv) {
      if (!reaching(iv, iu) || stacka(iu, iv)) continue;
      const int c = maps.stackc_t(iu, iv);
      const int qreq = req.q(c), dreq = req.d(c), preq = req.p(c);
      const int qc = maps.stackq_t(iu, iv), dc = maps.stackd_t(iu, iv), pc = maps.stackp_t(iu, iv);
      const int a = 4 * (iu - 1) + 1, b = 4 * (iv - 1) + 1;
      int criterion = 0;
      Centroid pos;
      if (qc >= qreq && is_map_peak(maps.stackq_t, iu, iv)) {
        pos = find_ubarvbar(iu, iv, a, b, rq, maps.stackq_t.view(), q.tally.view(), q.spread.view(), "q");
        criterion = FOUND_BY_Q;
      } else if (dc >= dreq && is_map_peak(maps.stackd_t, iu, iv)) {
        pos = find_ubarvbar(iu, iv, a, b, rd, maps.stackd_t.view(), d.tally.view(), d.spread.view(), "d");
        criterion = FOUND_BY_D;
      } else if (pc >= preq && is_map_peak(maps.stackp_t, iu, iv)) {
        pos = find_ubarvbar(iu, iv, a, b, rp, maps.stackp_t.view(), p.tally.view(), p.spread.view(), "p");
        criterion = FOUND_BY_P;
      }
      if (criterion == 0) continue;

      ++news;
      append_source(nit, criterion, pos.ubar, pos.vbar, iu, iv, s, maps, local, ls);
      claim_zone(stacka, iu, iv, rc, criterion);
    }
  }
  return news;
}

void fill_level_map(const FindSettings& s, const LevelTally& tallyy, FindingMaps& maps) {
  const Requirements req(s);
  // Every point on its own: rows go to the threads.
  parallel_for(1, TILE_GRID, [&](int iv, int) {
    for (int iu = 1; iu <= TILE_GRID; ++iu) {
      const int preq = req.p(maps.stackc_t(iu, iv));
      // The highest level k that at least Preq exposures reached (level k or above).
      int level = 0, reached = 0;
      for (int k = 7; k >= 1; --k) {
        reached += tallyy.count(iu, iv, k);
        if (reached >= preq) {
          level = k;
          break;
        }
      }
      maps.stacky_t(iu, iv) = static_cast<std::int16_t>(level);
    }
  });
}

}  // namespace find_detail

Centroid find_ubarvbar(int iu, int iv, int a, int b, int r, View2<const std::int16_t> m,
                       View2<const std::int16_t> t, View2<const std::int16_t> k, const std::string& label) {
  double n = 0.0, su = 0.0, sv = 0.0;
  const int mc = m(iu, iv);
  if (mc >= 1 && r >= 0) {
    const double lim = (r + 0.5) * (r + 0.5);
    for (int qq = std::max(1, b - 4); qq <= std::min(FINE_GRID, b + 4); ++qq) {
      for (int pp = std::max(1, a - 4); pp <= std::min(FINE_GRID, a + 4); ++pp) {
        if (k(pp, qq) < mc) continue;
        // A tally within reach of several such pixels counts once for each.
        for (int dy = -r; dy <= r; ++dy) {
          const int y = qq + dy;
          if (y < 1 || y > FINE_GRID) continue;
          for (int dx = -r; dx <= r; ++dx) {
            const int x = pp + dx;
            if (x < 1 || x > FINE_GRID || static_cast<double>(dx) * dx + static_cast<double>(dy) * dy > lim) continue;
            const int tt = t(x, y);
            if (tt <= 0) continue;
            n += tt;
            su += static_cast<double>(tt) * x;
            sv += static_cast<double>(tt) * y;
          }
        }
      }
    }
  }
  if (n > 0.0) return {(su / n - 1.0) / 4.0 + 1.0, (sv / n - 1.0) / 4.0 + 1.0};

  write_list(std::cout, "---> qdp ", label);
  write_list(std::cout, "---> i1: ", iu, iv, mc);
  const bool fine_ok = a >= 1 && a <= FINE_GRID && b >= 1 && b <= FINE_GRID;
  write_list(std::cout, "---> i4: ", a, b, fine_ok ? int{k(a, b)} : 0, fine_ok ? int{t(a, b)} : 0);
  writfits_i2("BOMB_stack_x1.fits", m, TILE_GRID, TILE_GRID);
  writfits_i2("BOMB_stack_x4.fits", k, FINE_GRID, FINE_GRID);
  writfits_i2("BOMB_tally_x4.fits", t, FINE_GRID, FINE_GRID);
  write_list(std::cout, " ");
  write_list(std::cout, " ");
  stop_run("find_tile:  ntot.eq.0");
}

}  // namespace zeb
