// find_tile: stages 0 (set-up), 1 (per-exposure candidate search) and 2
// (spreading and binning), then the collation of stage 3 (find_collate.cpp).
#include "find/find_tile.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <iostream>
#include <memory>

#include "core/bubble_order.h"
#include "core/fortran_format.h"
#include "core/parallel.h"
#include "core/robust_stats.h"
#include "core/stop.h"
#include "core/text.h"
#include "find/find_internal.h"
#include "imageio/fits.h"
#include "psf/psf.h"
#include "tile/tile_geometry.h"

namespace zeb {

using namespace find_detail;

namespace {

// Candidate levels: the last test of stage 1 a raster pixel passed.
constexpr int LEVEL_USABLE = 1;       // recorded in pkmapn
constexpr int LEVEL_FREE = 2;         // not next to a known star
constexpr int LEVEL_PEAK = 3;         // local maximum within HMIN
constexpr int LEVEL_WING = 4;         // no deep negative wing
constexpr int LEVEL_MASK = 5;         // flux above the bright-star mask level
constexpr int LEVEL_MODEL = 6;        // flux above the model level
constexpr int LEVEL_SIGNIFICANT = 7;  // significant against the sky ring: a P candidate

constexpr int EXCLUSION_REACH = 9;                  // tile-grid steps of the exclusion test
using Work = ExposureWork;

// What the search needs for one call, worked out once.
struct Search {
  int nit = 0;
  FindSettings s;
  FindWindow w;
  FineWindow fw;
  std::vector<Offset> wing;  // negative-wing neighbourhood
  int level_r = 0;           // level-map radius, fine pixels
  std::vector<int> level_half_width;  // of the level-map disc's rows dy = 0..level_r
  // The tile-grid points of the level-map disc around a fine pixel (a, b),
  // as offsets in the level map from the grid point at or before it, one list
  // for each phase ((a - 1) mod 4, (b - 1) mod 4): the points of a disc that
  // lies wholly inside the fine window, found without working out its rows.
  std::array<std::vector<int>, 16> level_disc;
};

// The grid points at fine distance 4 di - pa across and 4 dj - pb down from
// a fine pixel of phase (pa, pb) that a disc of the half-widths `half` covers,
// as offsets di + TILE_GRID dj in a tile-grid map.
std::vector<int> grid_points_of_disc(const std::vector<int>& half, int pa, int pb) {
  std::vector<int> points;
  const int r = static_cast<int>(half.size()) - 1;
  for (int dj = -(r / 4 + 1); dj <= r / 4 + 1; ++dj) {
    const int dy = std::abs(4 * dj - pb);
    if (dy > r) continue;
    for (int di = -(r / 4 + 1); di <= r / 4 + 1; ++di)
      if (std::abs(4 * di - pa) <= half[static_cast<std::size_t>(dy)]) points.push_back(di + TILE_GRID * dj);
  }
  return points;
}

Search make_search(int nit, const FindSettings& s, const FindWindow& w) {
  Search sr;
  sr.nit = nit;
  sr.s = s;
  sr.w = w;
  sr.fw = fine_window(w);
  for (int dy = -4; dy <= 4; ++dy)
    for (int dx = -4; dx <= 4; ++dx)
      if (dx * dx + dy * dy <= 20) sr.wing.push_back({dx, dy});  // dx^2 + dy^2 <= 20.25
  sr.level_r = fine_radius(s.psep, 1.0f);
  sr.level_half_width = disc_half_widths(sr.level_r);
  if (sr.level_r >= 0)
    for (int phase = 0; phase < 16; ++phase)
      sr.level_disc[static_cast<std::size_t>(phase)] = grid_points_of_disc(sr.level_half_width, phase % 4, phase / 4);
  return sr;
}

// The rasters and tables of exposure n.
struct Exposure {
  View2<const float> d, e, m, f, psf;
  View2<const std::uint8_t> u;
  TabView utab, vtab, xtab, ytab;
  float msk = 0.0f, oth = 0.0f;
  QoptKernels qopt;

  Exposure(const TileExposures& te, const Array3<float>& psf_n, int n)
      : d(te.pixd_n.plane(n)),
        e(te.pixe_n.plane(n)),
        m(te.pixm_n.plane(n)),
        f(te.pixf_n.plane(n)),
        psf(psf_n.plane(n)),
        u(te.pixu_n.plane(n)),
        utab(tab_of(te.utab_n, n)),
        vtab(tab_of(te.vtab_n, n)),
        xtab(tab_of(te.xtab_n, n)),
        ytab(tab_of(te.ytab_n, n)),
        msk(te.msk_n(n)),
        oth(te.oth_n(n)),
        qopt(psf) {}
};

}  // namespace

void find_detail::mark_known_stars(const LocalList& local, int first, int last, int nit, const FindSettings& s,
                                   Array2<std::uint8_t>& stack_prev) {
  for (int k = first; k <= last; ++k) {
    const float fu = local.u0_l(k) + 0.5f;
    const float fv = local.v0_l(k) + 0.5f;
    // Centres further out reach no grid point (and a position that is not a
    // number has no centre).
    if (!(fu > -10.0f && fu < 312.0f && fv > -10.0f && fv < 312.0f)) continue;
    const int ic = static_cast<int>(fu);
    const int jc = static_cast<int>(fv);
    const bool recent = local.w0_l(k) >= nit - 1;  // NIT <= w0 + 1, without overflow
    for (int dy = -EXCLUSION_REACH; dy <= EXCLUSION_REACH; ++dy) {
      const int j = jc + dy;
      if (j < 1 || j > TILE_GRID) continue;
      for (int dx = -EXCLUSION_REACH; dx <= EXCLUSION_REACH; ++dx) {
        const int i = ic + dx;
        if (i < 1 || i > TILE_GRID) continue;
        const float r = std::sqrt(static_cast<float>(dx * dx + dy * dy)) / 2.0f;  // reference pixels
        if (r <= s.oprx || (recent && r <= s.oprv)) stack_prev(i, j) = 1;
      }
    }
  }
}

namespace {

// flagged5(x, y) := 1 when a pixel of the 5 x 5 box around (x, y) has a
// non-zero flag (x, y in 3..299), done as a row pass and a column pass.
void mark_flagged_boxes(View2<const std::uint8_t> u, Work& wk) {
  // Whole rows through plain pointers (element k is pixel x = k + 1), so that
  // many pixels go at a time.
  for (int y = 1; y <= TILE_GRID; ++y) {
    const std::uint8_t* in = &u(1, y);
    std::uint8_t* out = &wk.flag_rows(1, y);
    for (int k = 2; k <= TILE_GRID - 3; ++k) out[k] = (in[k - 2] | in[k - 1] | in[k] | in[k + 1] | in[k + 2]) != 0;
  }
  for (int y = 3; y <= TILE_GRID - 2; ++y) {
    const std::uint8_t* r0 = &wk.flag_rows(1, y - 2);
    const std::uint8_t* r1 = &wk.flag_rows(1, y - 1);
    const std::uint8_t* r2 = &wk.flag_rows(1, y);
    const std::uint8_t* r3 = &wk.flag_rows(1, y + 1);
    const std::uint8_t* r4 = &wk.flag_rows(1, y + 2);
    std::uint8_t* out = &wk.flagged5(1, y);
    for (int k = 2; k <= TILE_GRID - 3; ++k) out[k] = r0[k] | r1[k] | r2[k] | r3[k] | r4[k];
  }
}

bool has_negative_wing(const Exposure& ex, const Search& sr, int xt, int yt) {
  const float c = -ex.d(xt, yt);
  for (const Offset& o : sr.wing)
    if (ex.d(xt + o.dx, yt + o.dy) < c) return true;
  return false;
}

}  // namespace

BoxFlux find_detail::box_flux(View2<const float> d, int xt, int yt) {
  BoxFlux bf;
  for (int sx = -1; sx <= 1; sx += 2) {
    for (int sy = -1; sy <= 1; sy += 2) {
      const float s = d(xt, yt) + d(xt + sx, yt) + d(xt, yt + sy) + d(xt + sx, yt + sy);
      if (!(s > bf.best)) continue;
      bf.best = s;
      float sum = 0.0f;
      for (int ky = -1; ky <= 2; ++ky) {
        for (int kx = -1; kx <= 2; ++kx) {
          if ((kx == 0 || kx == 1) && (ky == 0 || ky == 1)) continue;  // the 2 x 2 box itself
          sum += d(xt + kx * sx, yt + ky * sy);
        }
      }
      bf.sky = sum / 12.0f;
    }
  }
  return bf;
}

namespace {

// Is the box flux significant against the scatter of the sky ring (the 16
// pixels at Chebyshev distance 2)?
bool is_significant(View2<const float> d, int xt, int yt, float best, float ssig) {
  float ring[16];
  int k = 0;
  for (int dy = -2; dy <= 2; ++dy)
    for (int dx = -2; dx <= 2; ++dx)
      if (dx == -2 || dx == 2 || dy == -2 || dy == 2) ring[k++] = d(xt + dx, yt + dy);
  bubble_order(ring, 16);
  const float sig = (ring[12] - ring[3]) / 2.0f;
  const float med = (ring[7] + ring[8]) / 2.0f;
  return ssig * sig <= best - 4.0f * med;
}

// Stage 1, steps 1 to 11 for raster pixel (xt, yt): the level it reaches and
// its fine-grid position (a, b) (meaningful from level 1 on).
// (ut, vt) is the pixel's tile-grid position.
int pixel_level(const Exposure& ex, const Search& sr, const Array2<std::uint8_t>& stack_prev, Work& wk, int xt,
                int yt, float ut, float vt, int& a, int& b) {
  const FindWindow& w = sr.w;
  if (!(static_cast<float>(w.i1) < ut && ut < static_cast<float>(w.i2))) return 0;
  if (!(static_cast<float>(w.j1) < vt && vt < static_cast<float>(w.j2))) return 0;
  const int iu = static_cast<int>(ut + 0.5f);
  const int iv = static_cast<int>(vt + 0.5f);
  if (iu < w.i1 || iu > w.i2 || iv < w.j1 || iv > w.j2 || ex.u(xt, yt) != 0) return 0;
  if (wk.flagged5(xt, yt)) return 0;
  a = static_cast<int>(4.0f * (ut - 1.0f) + 1.0f);
  b = static_cast<int>(4.0f * (vt - 1.0f) + 1.0f);
  const FineWindow& fw = sr.fw;
  if (!(fw.a1 < a && a < fw.a2 && fw.b1 < b && b < fw.b2)) return 0;

  wk.pkmapn(xt, yt) = 1;
  if (stack_prev(iu, iv)) return LEVEL_USABLE;
  if (!wk.is_local_maximum(xt, yt)) return LEVEL_FREE;
  if (has_negative_wing(ex, sr, xt, yt)) return LEVEL_PEAK;
  const BoxFlux bf = box_flux(ex.d, xt, yt);
  const float flux = bf.best - 4.0f * bf.sky;
  if (!(ex.m(xt, yt) * ex.msk < flux)) return LEVEL_WING;
  if (!(ex.f(xt, yt) * ex.oth < flux)) return LEVEL_MASK;
  if (!is_significant(ex.d, xt, yt, bf.best, sr.s.ssig)) return LEVEL_MODEL;
  return LEVEL_SIGNIFICANT;
}

// Stage 1, step 11: a P candidate at fine pixel (a, b), refined with the PSF
// into a D candidate (and a Q candidate when the correlation beats QSEL).
void add_candidate(const Exposure& ex, const Search& sr, CandidateLog& log, int xt, int yt, int a, int b) {
  log.p.push_back(a);
  log.p.push_back(b);
  const QoptResult qr = find_qopt(xt, yt, ex.d, ex.e, ex.qopt);
  // No trial correlated positively: there is no refined position (find_qopt
  // leaves the raster corner (0, 0)), so the candidate counts for P only.
  // Tallying the corner's position would put a D count where no peak is.
  if (!(qr.q > 0.0f)) return;
  const float ut = ut_txy(qr.xq, qr.yq, ex.utab, ex.vtab);
  const float vt = vt_txy(qr.xq, qr.yq, ex.utab, ex.vtab);
  const float fa = 4.0f * (ut - 1.0f) + 1.5f;
  const float fb = 4.0f * (vt - 1.0f) + 1.5f;
  // trunc(fa) within a1..a2 (a1 >= 1), written so that no far or undefined
  // position is ever converted.
  const FineWindow& fw = sr.fw;
  if (!(fa >= static_cast<float>(fw.a1) && fa < static_cast<float>(fw.a2 + 1) && fb >= static_cast<float>(fw.b1) &&
        fb < static_cast<float>(fw.b2 + 1)))
    return;
  const int ad = static_cast<int>(fa), bd = static_cast<int>(fb);
  log.d.push_back(ad);
  log.d.push_back(bd);
  if (qr.q > sr.s.qsel) {
    log.q.push_back(ad);
    log.q.push_back(bd);
  }
}

// First fine point of the tile grid (4 (i - 1) + 1) at or after fine pixel x >= 1.
inline int first_grid_point_from(int x) { return (x + 2) / 4 * 4 + 1; }

// Stage 1, step 12, at the fine points of the tile grid: the level reached
// at (a, b) raises the level map over the disc of radius trunc(4 PSEP + 1).
void raise_level_map(const Search& sr, Work& wk, int a, int b, int level) {
  const int r = sr.level_r;
  if (r < 0) return;
  const FineWindow& fw = sr.fw;
  const auto lv = static_cast<std::uint8_t>(level);
  if (a - r >= std::max(fw.a1, 1) && a + r <= fw.a2 && b - r >= std::max(fw.b1, 1) && b + r <= fw.b2) {
    const int phase = (a - 1) % 4 + 4 * ((b - 1) % 4);
    std::uint8_t* const centre = &wk.level_t((a - 1) / 4 + 1, (b - 1) / 4 + 1);
    for (const int offset : sr.level_disc[static_cast<std::size_t>(phase)]) {
      std::uint8_t& cell = centre[offset];
      if (cell < lv) cell = lv;
    }
    return;
  }
  const int blo = first_grid_point_from(std::max(b - r, fw.b1)), bhi = std::min(b + r, fw.b2);
  for (int bt = blo; bt <= bhi; bt += 4) {
    const int hw = sr.level_half_width[static_cast<std::size_t>(std::abs(bt - b))];
    const int alo = first_grid_point_from(std::max(a - hw, fw.a1)), ahi = std::min(a + hw, fw.a2);
    const int row = (bt - 1) / 4 + 1;
    for (int at = alo; at <= ahi; at += 4) {
      std::uint8_t& cell = wk.level_t((at - 1) / 4 + 1, row);
      if (cell < lv) cell = lv;
    }
  }
}

// Stage 1, step 3: every window point that maps onto a usable raster pixel
// of this exposure is covered once more.
void add_coverage(const Exposure& ex, const FindWindow& w, const Work& wk, Array2<std::int16_t>& stackc_t) {
  float x_row[TILE_GRID], y_row[TILE_GRID];
  for (int iv = w.j1; iv <= w.j2; ++iv) {
    const TableAxis& av = pixel_axis(iv);
    rtab_row(ex.xtab, av, w.i1, w.i2, x_row);
    rtab_row(ex.ytab, av, w.i1, w.i2, y_row);
    for (int iu = w.i1; iu <= w.i2; ++iu) {
      const float fx = x_row[iu - w.i1] + 0.5f;
      const float fy = y_row[iu - w.i1] + 0.5f;
      // trunc(x + 0.5) within 1..301.
      if (!(fx >= 1.0f && fx < 302.0f && fy >= 1.0f && fy < 302.0f)) continue;
      if (wk.pkmapn(static_cast<int>(fx), static_cast<int>(fy))) ++stackc_t(iu, iv);
    }
  }
}

// Stage 1 for one exposure: its candidates go to `log`, its level counts and
// coverage to the thread's tallies.
void search_exposure(const Exposure& ex, const Search& sr, const Array2<std::uint8_t>& stack_prev, Work& wk,
                     CandidateLog& log) {
  log.clear();
  // Cleared where a search writes them: the level map over the window (the
  // only cells it raises and reads), the usable-pixel map over the searched
  // pixels (the rest of it is never set, so it stays 0).
  if (sr.w.i1 <= sr.w.i2)
    for (int iv = sr.w.j1; iv <= sr.w.j2; ++iv)
      std::fill(&wk.level_t(sr.w.i1, iv), &wk.level_t(sr.w.i2, iv) + 1, std::uint8_t{0});
  for (int yt = RASTER_FIRST; yt <= RASTER_LAST; ++yt)
    std::fill(&wk.pkmapn(RASTER_FIRST, yt), &wk.pkmapn(RASTER_LAST, yt) + 1, std::uint8_t{0});
  mark_flagged_boxes(ex.u, wk);
  wk.is_local_maximum.start(ex.d, ex.u);
  float ut_row[RASTER_LAST - RASTER_FIRST + 1], vt_row[RASTER_LAST - RASTER_FIRST + 1];
  for (int yt = RASTER_FIRST; yt <= RASTER_LAST; ++yt) {
    const TableAxis& ay = pixel_axis(yt);
    rtab_row(ex.utab, ay, RASTER_FIRST, RASTER_LAST, ut_row);
    rtab_row(ex.vtab, ay, RASTER_FIRST, RASTER_LAST, vt_row);
    for (int xt = RASTER_FIRST; xt <= RASTER_LAST; ++xt) {
      int a = 1, b = 1;
      const int level = pixel_level(ex, sr, stack_prev, wk, xt, yt, ut_row[xt - RASTER_FIRST],
                                    vt_row[xt - RASTER_FIRST], a, b);
      if (level == 0) continue;  // level 0 raises nothing
      if (level == LEVEL_SIGNIFICANT) add_candidate(ex, sr, log, xt, yt, a, b);
      raise_level_map(sr, wk, a, b, level);
    }
  }
  add_coverage(ex, sr.w, wk, wk.stackc);
  for (int iv = sr.w.j1; iv <= sr.w.j2; ++iv)
    for (int iu = sr.w.i1; iu <= sr.w.i2; ++iu)
      if (const int lv = wk.level_t(iu, iv); lv >= 1) wk.tallyy.add(iu, iv, lv);
}

void clear_maps(FindingMaps& maps) {
  maps.stackp_t.fill(0);
  maps.stackq_t.fill(0);
  maps.stackd_t.fill(0);
  maps.stackc_t.fill(0);
  maps.stacky_t.fill(0);
}

// Stage 2, step 3: the count maps as images, each tile overwriting the last;
// with the joint criterion also its significance map (32-bit reals).
void write_count_images(int nit, const FindWork& wk, const FindingMaps& maps, const JointWork* joint) {
  auto name = [nit](const char* what, int scale) {
    return fortran_record("('AUX/FIND_TILE_',a6,'_x',i1,'_NIT',i1,'.fits')", what, scale, nit);
  };
  auto fine = [&](const char* what, const Array2<std::int16_t>& a) {
    writfits_i2_ltv(name(what, 4), a.view(), FINE_GRID, FINE_GRID, 4.0f);
  };
  auto tile = [&](const char* what, const Array2<std::int16_t>& a) {
    writfits_i2_ltv(name(what, 1), a.view(), TILE_GRID, TILE_GRID, 1.0f);
  };
  fine("tallyq", wk.q.tally);
  fine("tallyd", wk.d.tally);
  fine("tallyp", wk.p.tally);
  fine("stackq", wk.q.spread);
  fine("stackd", wk.d.spread);
  fine("stackp", wk.p.spread);
  tile("stackc", maps.stackc_t);
  tile("stackq", maps.stackq_t);
  tile("stackd", maps.stackd_t);
  tile("stackp", maps.stackp_t);
  if (joint) writfits_r4_ltv(name("stackj", 1), joint->sig.view(), TILE_GRID, TILE_GRID, 1.0f);
}

void check_inputs(const TileExposures& te, const Array3<float>& psf_n, int ls) {
  if (ls > LDIM) stop_run("Ls.gt._LDIM_");
  const long ns = te.ns;
  const bool rasters_ok = te.pixd_n.n3() >= ns && te.pixe_n.n3() >= ns && te.pixm_n.n3() >= ns &&
                          te.pixf_n.n3() >= ns && te.pixu_n.n3() >= ns && psf_n.n3() >= ns;
  const bool sizes_ok = ns == 0 || (te.pixd_n.n1() == TILE_GRID && te.pixd_n.n2() == TILE_GRID &&
                                    psf_n.n1() == PSF_NPIX && psf_n.n2() == PSF_NPIX);
  if (ns < 0 || ns > NDIM || !rasters_ok || !sizes_ok) {
    write_list(std::cout, "find_tile: the rasters or PSFs of the tile do not match its exposures, Ns: ", te.ns);
    stop_run("find_tile: tile not prepared");
  }
}

// Candidates (a, b pairs) into fine counts.
void add_candidates(const std::vector<int>& ab, FineCounts& counts) {
  for (std::size_t k = 0; k + 1 < ab.size(); k += 2) counts.add(ab[k], ab[k + 1]);
}

// Stage 1 over the exposures that take part, spread over the threads: each
// exposure's candidates into its own log, the level counts and coverage into
// the tallies of the thread that searched it.
void search_exposures(int nit, const TileExposures& te, const Array3<float>& psf_n, const Search& sr,
                      FindWork& wk) {
  wk.taking.clear();
  for (int n = 1; n <= te.ns; ++n)
    if (takes_part(te, n, nit)) wk.taking.push_back(n);
  const int count = static_cast<int>(wk.taking.size());
  const int workers = workers_for(count);
  while (static_cast<int>(wk.threads.size()) < workers) wk.threads.push_back(std::make_unique<ExposureWork>());
  for (auto& xw : wk.threads) {
    xw->is_local_maximum.configure(sr.s.hmin);
    xw->used = false;
  }
  parallel_for(0, count - 1, [&](int k, int worker) {
    Work& xw = *wk.threads[static_cast<std::size_t>(worker)];
    if (!xw.used) {
      xw.tallyy.clear();
      xw.stackc.fill(0);
      xw.used = true;
    }
    const int n = wk.taking[static_cast<std::size_t>(k)];
    search_exposure(Exposure(te, psf_n, n), sr, wk.stack_prev, xw, wk.candidates[static_cast<std::size_t>(n)]);
  });
}

// The threads' level counts and coverage, summed (integers: in any order).
void sum_thread_tallies(const FindWindow& w, FindWork& wk, FindingMaps& maps) {
  wk.tallyy.clear();
  for (const auto& xw : wk.threads) {
    if (!xw->used) continue;
    wk.tallyy.add(xw->tallyy);
    for (int iv = w.j1; iv <= w.j2; ++iv)
      for (int iu = w.i1; iu <= w.i2; ++iu)
        maps.stackc_t(iu, iv) = static_cast<std::int16_t>(maps.stackc_t(iu, iv) + xw->stackc(iu, iv));
  }
}

}  // namespace

FindWorkspace::FindWorkspace() : work_(std::make_unique<find_detail::FindWork>()) {}
FindWorkspace::~FindWorkspace() = default;

int find_tile(int nit, const Settings& settings, const FindWindow& window, const TileExposures& te,
              const Array3<float>& psf_n, LocalList& local, int& ls, FindingMaps& maps) {
  FindWorkspace workspace;
  return find_tile(nit, settings, window, te, psf_n, local, ls, maps, workspace);
}

int find_tile(int nit, const Settings& settings, const FindWindow& window, const TileExposures& te,
              const Array3<float>& psf_n, LocalList& local, int& ls, FindingMaps& maps, FindWorkspace& workspace) {
  const FindSettings fs = find_settings(settings, nit);
  check_inputs(te, psf_n, ls);
  const FindWindow w = clip_window(window);
  const Search sr = make_search(nit, fs, w);
  FindWork& wk = *workspace.work_;

  // Stage 0.
  wk.stack_prev.fill(0);
  mark_known_stars(local, 1, ls, nit, fs, wk.stack_prev);
  clear_maps(maps);

  JointWork* joint = nullptr;
  if (fs.joint()) {
    if (!wk.joint) wk.joint = std::make_unique<JointWork>();
    joint = wk.joint.get();
    start_joint_map(te, *joint);
  }

  // Stage 1: exposures whose finding-mask character is "0" add nothing, not
  // even coverage.
  search_exposures(nit, te, psf_n, sr, wk);
  if (joint) {
    // The joint map sums the exposures' terms in exposure order.
    Work& xw = *wk.threads.front();
    for (int n = 1; n <= te.ns; ++n) {
      if (!takes_part(te, n, nit)) continue;
      mark_flagged_boxes(te.pixu_n.plane(n), xw);
      add_joint_exposure(n, te, psf_n, w, xw.flagged5, *joint);
    }
    finish_joint_map(w, *joint);
  }

  // Stage 2. Each kind on its own, at once: its counts (cleared of the last
  // call's) take the exposures' candidates in exposure order, are spread and
  // binned; beside them the threads' tallies are summed.
  struct Kind {
    FineCounts& counts;
    std::vector<int> CandidateLog::*log;
    int r;
    Array2<std::int16_t>& out;
  };
  const int rq = fine_radius(fs.qsep, 0.5f), rd = fine_radius(fs.dsep, 0.5f), rp = fine_radius(fs.psep, 0.5f);
  // P first: it has the most candidates, so the others share the remaining threads.
  const std::array<Kind, 3> kinds{Kind{wk.p, &CandidateLog::p, rp, maps.stackp_t},
                                  Kind{wk.d, &CandidateLog::d, rd, maps.stackd_t},
                                  Kind{wk.q, &CandidateLog::q, rq, maps.stackq_t}};
  parallel_for(0, 3, [&](int k, int) {
    if (k == 3) {
      sum_thread_tallies(w, wk, maps);
      return;
    }
    const Kind& kind = kinds[static_cast<std::size_t>(k)];
    kind.counts.clear();
    for (const int n : wk.taking) add_candidates(wk.candidates[static_cast<std::size_t>(n)].*kind.log, kind.counts);
    spread_tallies(kind.counts, sr.fw, kind.r);
    bin_to_tile(kind.counts, w, wk.bin_seen[static_cast<std::size_t>(k)], wk.bin_column_max[static_cast<std::size_t>(k)],
                kind.out);
  });
  if (settings.show_tiles) write_count_images(nit, wk, maps, joint);

  // Stage 3.
  const int first_new = ls + 1;
  int news = collate_sources(nit, fs, w, wk.p, wk.d, wk.q, maps, wk.stacka, wk.reaching, local, ls);
  if (joint) {
    // J takes only what the other criteria left, away from the stars they
    // found in this call as from every known star.
    mark_known_stars(local, first_new, ls, nit, fs, wk.stack_prev);
    news += collate_joint_sources(nit, fs, w, te, maps, wk.stacka, wk.stack_prev, *joint, local, ls);
  }
  fill_level_map(fs, wk.tallyy, maps);
  return news;
}

}  // namespace zeb
