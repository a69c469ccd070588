#include "output/star_records.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/fortran_format.h"

namespace zeb {

namespace {

constexpr double NO_LIMIT = std::numeric_limits<double>::infinity();
constexpr int NFILT = 2;  // both filter groups are always written

constexpr const char* FMT_Z0 =
    "(1x,f8.2,1x,f8.2,5x,f15.5,1x,f10.2,1x,i2,1x,i2,1x,'L',i4.4,1x,i1,1x,i1,1x,a1,i7.7)";
constexpr const char* FMT_Z2 =
    "(1x,f8.2,1x,f8.2,5x,f15.5,1x,f10.2,1x,5x,f8.4,1x,f15.5,1x,3x,i3,1x,i3,1x,'L',i4.4,1x,i1,1x,i1,1x,a1,i7.7)";
constexpr const char* FMT_UV1 =
    "(1x,f10.4,1x,f10.4,1x,f15.5,5x,f6.3,1x,f6.3,1x,f8.2,5x,f8.4,1x,f15.5,1x,3x,i2,1x,i2,1x,3x,'L',i4.4,1x,f8.2,1x,"
    "f8.2,1x,i1,1x,i1,1x,a1,i7.7)";
constexpr const char* FMT_NIMFO =
    "(1x,f12.5,1x,f12.5,1x,f8.4,3x,f7.3,1x,f7.3,1x,f8.1,1x,f8.1,1x,i1,1x,i1,3x,f7.3,1x,f7.3,1x,3x,f7.3,1x,f7.3,1x,3x,"
    "f8.3,1x,f8.3,1x,3x,f15.5,1x,f8.1,1x,f6.4,1x,f7.1,1x,i1,1x,i1,3x,f8.3,1x,f8.3,1x,3x,f15.5,1x,f8.1,1x,f6.4,1x,f7.1,"
    "1x,i1,1x,i1,3x,f15.5,1x,f8.1,1x,f6.4,1x,f7.1,1x,i1,1x,i1,3x,a1,i7.7,2x,'L',i3.3,1x,'N',i3.3,2x,'G',i3.3,'.',i1,"
    "1x,'F',i1,1x,'C',i1,1x,'F',i1,1x,'SCL=',f8.3,4x,i4,1x,i4,1x,i1,1x,f10.2,1x,f12.5)";
constexpr const char* FMT_XYFIND =
    "(1x,f9.3,1x,f9.3,1x,f7.3,3x,f7.3,1x,f7.3,3x,f7.3,1x,f7.3,3x,a1,i7.7,3x,'L',i4.4,1x,'IT',i3.3,1x,'JT',i3.3,3x,"
    "'W',i1,1x,'Y',i1,3x,'C',i3.3,1x,'Q',i3.3,'/',i3.3,1x,'D',i3.3,'/',i3.3,1x,'P',i3.3,'/',i3.3,3x,f7.1,1x,f7.1,3x,"
    "f7.1,1x,f7.1,1x,f11.1)";
constexpr const char* FMT_XYVIQ0 = "(3x,f12.5,1x,f12.5,1x,f8.4,1x,a1,i7.7,1x,2(2x,f15.5,1x,f11.3,1x,i3,1x,i3))";
constexpr const char* FMT_XYVIQ1 =
    "(3x,f12.5,1x,f12.5,1x,f8.4,1x,a1,i7.7,1x,2(2x,f15.5,1x,f11.3,1x,f5.3,1x,f12.5,1x,i3,1x,i3))";
constexpr const char* FMT_XYVIQ2 =
    "(3x,f12.5,1x,f15.5,1x,f8.4,1x,a1,i7.7,1x,2(2x,f15.5,1x,f13.5,1x,f5.3,1x,f15.5,1x,i3,1x,i3))";
constexpr const char* FMT_XYVIQ3_ZERO =
    "(3x,f12.5,1x,f12.5,1x,a1,i7.7,1x,2(2x,f15.5,1x,f11.3,1x,f11.3,1x,f15.5,1x,i3,1x,i3))";
constexpr const char* FMT_XYVIQS = "(3x,a1,i7.7,2(3x,f15.5,1x,f12.5,1x,f12.5))";
constexpr const char* FMT_INPUT =
    "(f9.3,1x,f9.3,1x,f8.4,1x,5x,i3.3,1x,i3.3,1x,i3,1x,i3,5x,f6.2,1x,f6.2,1x,5x,i3,1x,i3,1x,i3,1x,i3,5x,i1,1x,i3,1x,"
    "i3,1x,i3,5x,'A',i7.7,5x,2(1x,f15.5,1x,f8.2,1x,f8.2,1x,f8.3))";

// Reference-frame coordinate of a tile-grid coordinate.
double reference_of(double grid, int ref) { return 0.5 * (grid - 151.0) + ref; }

void add_id(std::vector<FArg>& r, StarId id) {
  r.emplace_back(id.letter);
  r.emplace_back(id.number);
}

void write_find_avg_z0(std::ostream& os, const LocalList& lo, int l, StarId id, const TilePlace& t) {
  for (int k = 1; k <= NFILT; ++k)
    write_record(os, FMT_Z0, reference_of(lo.u0_l(l), t.uref_t), reference_of(lo.v0_l(l), t.vref_t), lo.z0_lf(l, k),
                 lo.sz0_lf(l, k), lo.f0_lf(l, k), lo.g0_lf(l, k), l, k, lo.w0_l(l), id.letter, id.number);
}

void write_find_avg_z2(std::ostream& os, const LocalList& lo, int l, StarId id, const TilePlace& t) {
  for (int k = 1; k <= NFILT; ++k)
    write_record(os, FMT_Z2, reference_of(lo.u0_l(l), t.uref_t), reference_of(lo.v0_l(l), t.vref_t), lo.z2_lf(l, k),
                 lo.sz2_lf(l, k), lo.q2_lf(l, k), lo.o2_lf(l, k), lo.f2_lf(l, k), lo.g2_lf(l, k), l, k,
                 lo.w0_l(l), id.letter, id.number);
}

// Method-1 positions u1_lf, v1_lf are tile-grid positions like u0_l; the
// record gives them in the reference frame, and u0_l, v0_l as they are.
void write_find_avg_uv1(std::ostream& os, const LocalList& lo, int l, StarId id, const TilePlace& t) {
  for (int k = 1; k <= NFILT; ++k)
    write_record(os, FMT_UV1, reference_of(lo.u1_lf(l, k), t.uref_t), reference_of(lo.v1_lf(l, k), t.vref_t),
                 lo.z1_lf(l, k), clip_field(lo.su1_lf(l, k), 0, 9.99, 6, 3),
                 clip_field(lo.sv1_lf(l, k), 0, 9.99, 6, 3), clip_field(lo.sz1_lf(l, k), -9999, 99999, 8, 2),
                 lo.q1_lf(l, k), lo.o1_lf(l, k), lo.f1_lf(l, k), lo.g1_lf(l, k), l, lo.u0_l(l), lo.v0_l(l),
                 lo.w0_l(l), k, id.letter, id.number);
}

// One line per exposure that method 1 or 2 measured the star in. The raw
// position is the raster centre's raw pixel plus the offset from raster pixel 151.
void write_find_nimfo(std::ostream& os, int l, int n_master, const MasterList& m, StarId id, const TileExposures& te,
                      const LocalExposureResults& r) {
  for (int n = 1; n <= te.ns; ++n) {
    if (r.f1_ln(l, n) != 1 && r.f2_ln(l, n) != 1) continue;
    std::vector<FArg> v{m.umast0(n_master), m.vmast0(n_master), magnitude_of(r.z1_ln(l, n)), r.u0_ln(l, n),
                        r.v0_ln(l, n), r.z0_ln(l, n), r.sz0_ln(l, n), r.gp0_ln(l, n), r.gz0_ln(l, n),
                        r.u1_ln(l, n), r.v1_ln(l, n), r.x1_ln(l, n), r.y1_ln(l, n),
                        te.itil_n(n) + static_cast<double>(r.x1_ln(l, n)) - 151.0,
                        te.jtil_n(n) + static_cast<double>(r.y1_ln(l, n)) - 151.0,
                        r.z1_ln(l, n), r.sz1_ln(l, n), r.q1_ln(l, n), r.o1_ln(l, n), r.f1_ln(l, n), r.g1_ln(l, n),
                        r.x2_ln(l, n), r.y2_ln(l, n), r.z2_ln(l, n), r.sz2_ln(l, n), r.q2_ln(l, n), r.o2_ln(l, n),
                        r.f2_ln(l, n), r.g2_ln(l, n), r.z3_ln(l, n), r.sz3_ln(l, n), r.q3_ln(l, n), r.o3_ln(l, n),
                        r.f3_ln(l, n), r.g3_ln(l, n)};
    add_id(v, id);
    for (int x : {l, n, te.ggg_n(n), te.ccc_n(n), te.fff_n(n)}) v.emplace_back(x);
    write_record_v(os, FMT_NIMFO, v);
  }
}

// The value of an image at the grid point nearest (x, y); 0 off the grid.
float nearest_grid_value(const View2<const float>& image, double x, double y) {
  if (!(x + 0.5 >= 1.0 && x + 0.5 < image.nx() + 1.0 && y + 0.5 >= 1.0 && y + 0.5 < image.ny() + 1.0)) return 0.0f;
  return image(static_cast<long>(x + 0.5), static_cast<long>(y + 0.5));
}

// The quantities the XYFIND record shows besides the star's finding records.
void set_find_extras(LocalList& lo, int l, double u, double v, const TileStacks& stacks, const BrightStars& bright) {
  lo.mf_l(l) = static_cast<float>(magnitude_of(lo.z0_lf(l, 1)));
  const BrightNeighbour b = find_brite_prox(u, v, bright);
  lo.ubri_l(l) = b.u;
  lo.vbri_l(l) = b.v;
  lo.zbri_l(l) = b.z;
  lo.flux_l(l) = loc_flux(stacks.stackv_tf.plane(1), lo.uf_l(l), lo.vf_l(l));
  lo.mask_l(l) = nearest_grid_value(stacks.stackm_tf.plane(1), lo.uf_l(l), lo.vf_l(l));
}

void write_xyfind(std::ostream& os, const LocalList& lo, int l, const MasterList& m, int n, StarId id,
                  const TilePlace& t) {
  write_record(os, FMT_XYFIND, reference_of(lo.uf_l(l), t.uref_t), reference_of(lo.vf_l(l), t.vref_t), lo.mf_l(l),
               lo.uf_l(l), lo.vf_l(l), clip_field(m.xmast0(n), -9999, 99999, 7, 3),
               clip_field(m.ymast0(n), -9999, 99999, 7, 3), id.letter, id.number, l, t.it, t.jt, lo.w0_l(l),
               lo.y0_l(l), lo.cfnd_l(l), lo.qfnd_l(l), lo.qmin_l(l), lo.dfnd_l(l), lo.dmin_l(l), lo.pfnd_l(l),
               lo.pmin_l(l), clip_field(lo.flux_l(l), -9999.9, 99999.9, 7, 1),
               clip_field(lo.mask_l(l), -9999.9, 99999.9, 7, 1), lo.ubri_l(l), lo.vbri_l(l), lo.zbri_l(l));
}

// The per-filter fields of one method's XYVIQ line.
struct MethodColumns {
  const Array2<float>&z, &sz, &q, &o;
  const Array2<short>&f, &g;
};

MethodColumns method_columns(const MasterList& m, int method) {
  switch (method) {
    case 1: return {m.zmast1, m.szmast1, m.qmast1, m.omast1, m.fmast1, m.gmast1};
    case 2: return {m.zmast2, m.szmast2, m.qmast2, m.omast2, m.fmast2, m.gmast2};
    default: return {m.zmast3, m.szmast3, m.qmast3, m.omast3, m.fmast3, m.gmast3};
  }
}

std::vector<FArg> xyviq_start(const MasterList& m, int n, const Array2<float>& z, StarId id, int vwidth) {
  std::vector<FArg> r{clip_field(m.umast0(n), -9999, 99999, 12, 5), clip_field(m.vmast0(n), -9999, 99999, vwidth, 5),
                      magnitude_of(z(n, 1))};
  add_id(r, id);
  return r;
}

void write_xyviq0(std::ostream& os, const MasterList& m, int n, StarId id) {
  std::vector<FArg> r = xyviq_start(m, n, m.zmast0, id, 12);
  for (int k = 1; k <= NFILT; ++k) {
    r.emplace_back(clip_field(m.zmast0(n, k), -1e8, 1e9, 15, 5));
    r.emplace_back(clip_field(m.szmast0(n, k), -999999, 9999999, 11, 3));
    r.emplace_back(m.fmast0(n, k));
    r.emplace_back(m.gmast0(n, k));
  }
  write_record_v(os, FMT_XYVIQ0, r);
}

// XYVIQ1 writes the flux error f11.3 and o f12.5; XYVIQ2 and XYVIQ3 f13.5 and
// f15.5 and their second coordinate f15.5. Flux and error without a stated
// range are only kept within their fields.
void write_xyviq_method(std::ostream& os, const MasterList& m, int n, StarId id, int method) {
  const MethodColumns c = method_columns(m, method);
  const bool wide = method != 1;
  std::vector<FArg> r = xyviq_start(m, n, c.z, id, wide ? 15 : 12);
  for (int k = 1; k <= NFILT; ++k) {
    r.emplace_back(clip_field(c.z(n, k), -NO_LIMIT, NO_LIMIT, 15, 5));
    r.emplace_back(wide ? clip_field(c.sz(n, k), -NO_LIMIT, NO_LIMIT, 13, 5)
                        : clip_field(c.sz(n, k), -NO_LIMIT, NO_LIMIT, 11, 3));
    r.emplace_back(clip_field(c.q(n, k), -9, 99, 5, 3));
    r.emplace_back(wide ? clip_field(c.o(n, k), -9999, 99999, 15, 5) : clip_field(c.o(n, k), -9999, 99999, 12, 5));
    r.emplace_back(c.f(n, k));
    r.emplace_back(c.g(n, k));
  }
  write_record_v(os, wide ? FMT_XYVIQ2 : FMT_XYVIQ1, r);
}

void write_xyviqs(std::ostream& os, const MasterList& m, int n, StarId id) {
  std::vector<FArg> r;
  add_id(r, id);
  for (int k = 1; k <= NFILT; ++k) {
    r.emplace_back(clip_field(m.zmast3(n, k), -99999, 999999, 15, 5));
    r.emplace_back(clip_field(m.barsky(n, k), 0, 999.9, 12, 5));
    r.emplace_back(clip_field(m.rmssky(n, k), 0, 999.9, 12, 5));
  }
  write_record_v(os, FMT_XYVIQS, r);
}

void write_regions(CatalogueLogs& logs, const MasterList& m, int n, const Settings& st) {
  if (st.cmode == 'A') return;
  if (std::ostream* r1 = logs.found_uv1())
    *r1 << region_circle_of_iteration(m.umast0(n), m.vmast0(n), m.wmast0(n), st) << '\n';
  if (std::ostream* r2 = logs.found_uv2())
    *r2 << region_circle_of_iteration(2 * m.umast0(n), 2 * m.vmast0(n), m.wmast0(n), st) << '\n';
}

}  // namespace

double magnitude_of(double flux) {
  if (!(flux >= 1.0)) flux = 1.0;  // also a flux that is not a number
  return -2.5 * std::log10(flux);
}

double clip_field(double v, double lo, double hi, int w, int d) {
  if (std::isnan(v)) return v;
  // Largest magnitudes an Fw.d field shows: w - d - 1 integer digits when
  // positive, one fewer when negative (a negative fraction drops its zero).
  const double step = std::pow(10.0, -d);
  const double top = std::pow(10.0, w - d - 1) - step;
  const double bottom = -(std::pow(10.0, std::max(w - d - 2, 0)) - step);
  return std::clamp(std::clamp(v, lo, hi), bottom, top);
}

BrightNeighbour find_brite_prox(double u, double v, const BrightStars& bright) {
  BrightNeighbour best;
  double best_d = 9e9;
  for (int b = 1; b <= bright.bs; ++b) {
    const double d = std::hypot(bright.uref_b(b) - u, bright.vref_b(b) - v);
    if (d < best_d) {
      best_d = d;
      best = {bright.uref_b(b), bright.vref_b(b), bright.zref_bf(b, 1)};
    }
  }
  return best;
}

float loc_flux(const View2<const float>& image, double x, double y) {
  if (!(x >= 10.0 && x <= 292.0 && y >= 10.0 && y <= 292.0)) return 0.0f;
  const int i0 = static_cast<int>(x + 0.5);
  const int j0 = static_cast<int>(y + 0.5);
  double best = 0.0;
  for (int jc = j0 - 1; jc <= j0 + 1; ++jc) {
    for (int ic = i0 - 1; ic <= i0 + 1; ++ic) {
      double inner = 0.0, annulus = 0.0;
      int n_inner = 0, n_annulus = 0;
      for (int j = j0 - 5; j <= j0 + 5; ++j) {
        for (int i = i0 - 5; i <= i0 + 5; ++i) {
          const int d2 = (i - ic) * (i - ic) + (j - jc) * (j - jc);
          if (d2 < 6) {
            inner += image(i, j);
            ++n_inner;
          }
          if (d2 > 5 && d2 < 25) {
            annulus += image(i, j);
            ++n_annulus;
          }
        }
      }
      if (n_annulus > 0) best = std::max(best, (inner - n_inner * annulus / n_annulus) / 4.0);
    }
  }
  return static_cast<float>(best);
}

void write_star_records(CatalogueLogs& logs, LocalList& local, int l, const MasterList& master, int n, StarId id,
                        const TilePlace& tile, const TileExposures& exposures, const LocalExposureResults& results,
                        const TileStacks& stacks, const BrightStars& bright, const Settings& st) {
  logs.count_star();
  if (std::ostream* os = logs.find_avg_z0()) write_find_avg_z0(*os, local, l, id, tile);
  if (std::ostream* os = logs.find_avg_z2()) write_find_avg_z2(*os, local, l, id, tile);
  if (std::ostream* os = logs.find_avg_uv1()) write_find_avg_uv1(*os, local, l, id, tile);
  if (std::ostream* os = logs.find_nimfo()) write_find_nimfo(*os, l, n, master, id, exposures, results);
  set_find_extras(local, l, master.umast0(n), master.vmast0(n), stacks, bright);
  write_xyfind(logs.xyfind(), local, l, master, n, id, tile);
  write_xyviq0(logs.xyviq(0), master, n, id);
  for (int method = 1; method <= 3; ++method) write_xyviq_method(logs.xyviq(method), master, n, id, method);
  write_xyviqs(logs.xyviqs(), master, n, id);
  write_regions(logs, master, n, st);
}

void write_zero_records(CatalogueLogs& logs, StarId id) {
  const std::vector<FArg> zeros_0{0.0, 0.0, 0.0, id.letter, id.number, 0.0, 0.0, 0, 0, 0.0, 0.0, 0, 0};
  write_record_v(logs.xyviq(0), FMT_XYVIQ0, zeros_0);
  std::vector<FArg> zeros_1{0.0, 0.0, 0.0, id.letter, id.number};
  std::vector<FArg> zeros_3{0.0, 0.0, id.letter, id.number};
  for (int k = 1; k <= NFILT; ++k) {
    for (auto* r : {&zeros_1, &zeros_3}) {
      for (int c = 0; c < 4; ++c) r->emplace_back(0.0);
      r->emplace_back(0);
      r->emplace_back(0);
    }
  }
  write_record_v(logs.xyviq(1), FMT_XYVIQ1, zeros_1);
  write_record_v(logs.xyviq(2), FMT_XYVIQ1, zeros_1);
  write_record_v(logs.xyviq(3), FMT_XYVIQ3_ZERO, zeros_3);
}

void write_art_input_line(std::ostream& os, const ArtInputLine& a) {
  std::vector<FArg> r{a.u, a.v, magnitude_of(a.z[0]), a.it, a.jt, a.nartu, a.nartf, a.ia, a.ja,
                      a.i1, a.i2, a.j1, a.j2, a.nit, a.p, a.q, a.c, a.id};
  for (int k = 0; k < NFILT; ++k) {
    r.emplace_back(clip_field(a.z[k], -999999, NO_LIMIT, 15, 5));
    r.emplace_back(a.reported[k]);
    r.emplace_back(a.sky[k]);
    r.emplace_back(a.sky_scatter[k]);
  }
  write_record_v(os, FMT_INPUT, r);
}

ArtInputLine art_input_line(const ArtPass& p, int it, int jt, int nartf, const SearchWindow& window) {
  ArtInputLine a;
  a.u = p.star.u;
  a.v = p.star.v;
  a.it = it;
  a.jt = jt;
  a.nartu = p.nartu;
  a.nartf = nartf;
  a.ia = p.ia;
  a.ja = p.ja;
  a.i1 = window.i1;
  a.i2 = window.i2;
  a.j1 = window.j1;
  a.j2 = window.j2;
  a.nit = p.peak_nit;
  a.p = p.peak_p;
  a.q = p.peak_q;
  a.c = p.peak_c;
  a.id = p.star.id;
  for (int k = 1; k <= FDIM; ++k) {
    const std::size_t f = static_cast<std::size_t>(k - 1);
    a.z[f] = p.star.z[f];
    a.reported[f] = p.levels.level[f];
    a.sky[f] = p.sky[f];
    a.sky_scatter[f] = p.sky_scatter[f];
  }
  return a;
}

}  // namespace zeb
