#include "tile/bright_mask.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <iostream>
#include <mutex>
#include <vector>

#include "core/fortran_format.h"
#include "core/stop.h"
#include "core/text.h"

namespace zeb {

namespace {

// ---------------------------------------------------------------------------
// Profiles.

constexpr int kNodes = 23;
constexpr int kMaxRadius = 1001;
constexpr int kCameras = 10;
constexpr float kNodeRadius[kNodes] = {0,   5,   10,  15,  20,  30,  40,  50,  60,  75,  100, 125,
                                       150, 200, 250, 300, 400, 500, 600, 700, 800, 900, 1000};

struct CameraProfiles {
  std::array<float, kNodes> halo{};
  std::array<float, kNodes> spike{};
  std::array<int, kNodes> width{};
};

CameraProfiles camera_profiles(int kkk) {
  CameraProfiles p;
  p.width.fill(5);
  auto set = [](auto& dst, std::initializer_list<double> values) {
    int k = 0;
    for (double v : values) dst[k++] = static_cast<std::remove_reference_t<decltype(dst[0])>>(v);
  };
  switch (kkk) {
    case 5:
      set(p.halo, {0.0008, 0.0004, 0.0002, 0.00004, 0.00001, 0.000005, 0.000002, 0.000001, 0.0000008, 0.0000003,
                   0.0000001});
      set(p.spike, {0, 0.00004, 0.00008, 0.00005, 0.00003, 0.00002, 0.00001, 0.00001, 0.000008, 0.000004, 0.000002,
                    0.000001, 0.0000003, 0.0000002, 0.0000001, 0.00000004, 0.00000001, 0.000000004, 0.000000001});
      set(p.width, {5, 5, 5, 5, 4, 4, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 4, 4, 4, 5, 5, 5, 5});
      break;
    case 7:
      set(p.halo, {0.006, 0.003, 0.002, 0.0006, 0.0003, 0.00004, 0.000008, 0.000001});
      set(p.spike, {0, 0.0002, 0.0003, 0.0001, 0.00005, 0.00004, 0.00003, 0.00002, 0.00001, 0.000005});
      break;
    case 8:
      set(p.halo, {0.001, 0.001, 0.0005, 0.0002, 0.00001, 0.000006, 0.000005, 0.000004, 0.000002, 0.0000008,
                   0.0000002, 0.0000001, 0.00000006, 0.00000003, 0.00000001});
      set(p.spike, {0,          0.00004,    0.00007,    0.00007,    0.00005,    0.00004,    0.00003,    0.00002,
                    0.00001,    0.000008,   0.000006,   0.000004,   0.000002,   0.000001,   0.0000006,  0.0000003,
                    0.0000001,  0.00000005, 0.00000003, 0.00000003, 0.00000003, 0.00000002, 0.00000001});
      set(p.width, {5, 5, 5, 5, 4, 4, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 2, 2, 2, 2, 2, 2, 2});
      break;
    case 9:
      set(p.halo, {0.0007, 0.0005, 0.00007, 0.00003, 0.00001, 0.000004, 0.000002, 0.000001, 0.0000006, 0.00000002,
                   0.00000001});
      set(p.spike, {0,          0.0002,     0.0006,     0.0004,     0.0002,     0.00006,    0.00003,    0.00001,
                    0.000008,   0.000006,   0.000005,   0.000003,   0.000002,   0.000001,   0.0000006,  0.0000004,
                    0.0000002,  0.0000001,  0.00000005, 0.00000004, 0.00000003, 0.00000002, 0.00000001});
      set(p.width, {5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 6, 6, 8, 10, 11, 12, 13, 14, 15, 15});
      break;
    default:
      break;
  }
  return p;
}

// The profiles tabulated at every radius 1..1001 for every camera code: the
// node interval holding r (the last interval for 1000 and 1001), linear in
// between.
struct ProfileTables {
  float halo[kCameras + 1][kMaxRadius + 1] = {};
  float spike[kCameras + 1][kMaxRadius + 1] = {};
  int width[kCameras + 1][kMaxRadius + 1] = {};
  bool any_light[kCameras + 1] = {};

  ProfileTables() {
    for (int kkk = 1; kkk <= kCameras; ++kkk) {
      const CameraProfiles p = camera_profiles(kkk);
      for (int r = 1; r <= kMaxRadius; ++r) {
        int k = 0;  // 0-based node: largest of the first 22 with radius <= r
        while (k + 1 < kNodes - 1 && kNodeRadius[k + 1] <= static_cast<float>(r)) ++k;
        const float f = (static_cast<float>(r) - kNodeRadius[k]) / (kNodeRadius[k + 1] - kNodeRadius[k]);
        halo[kkk][r] = p.halo[k] + f * (p.halo[k + 1] - p.halo[k]);
        spike[kkk][r] = p.spike[k] + f * (p.spike[k + 1] - p.spike[k]);
        width[kkk][r] =
            static_cast<int>(f * static_cast<float>(p.width[k + 1] - p.width[k]) + static_cast<float>(p.width[k]) + 0.5f);
        if (halo[kkk][r] > 0.0f || spike[kkk][r] > 0.0f) any_light[kkk] = true;
      }
    }
  }
};

const ProfileTables& profiles() {
  static const ProfileTables tables;
  return tables;
}

bool in_profile_range(int r, int kkk) { return r >= 1 && r <= kMaxRadius && kkk >= 1 && kkk <= kCameras; }

// ---------------------------------------------------------------------------
// Templates.

constexpr int kCentre = 1001;  // template centre; the template spans 1..2001
constexpr int kSide = 2 * kCentre - 1;

// Largest radius at which a profile is positive (0 when it never is).
int last_positive(const float* profile) {
  for (int r = kMaxRadius; r >= 1; --r)
    if (profile[r] > 0.0f) return r;
  return 0;
}

// Radius bin of a template pixel at offset (dx, dy) from the centre.
int radius_bin(int dx, int dy) {
  return static_cast<int>(std::sqrt(static_cast<float>(dx * dx + dy * dy)) + 1.0f);
}

// Builds a template row by row. For each row, `candidates(dy, lo, hi)` narrows
// the offsets that may hold a positive pixel (a superset: each candidate is
// then evaluated exactly), so a template costs work in proportion to its lit
// area, not to 2001 x 2001.
template <typename Value, typename Candidates>
MaskTemplate build_template(Value value, Candidates candidates) {
  MaskTemplate t;
  std::vector<float> row;
  for (int dy = -(kCentre - 1); dy <= kCentre - 1; ++dy) {
    int lo = 0, hi = -1;
    if (!candidates(dy, lo, hi)) continue;
    lo = std::max(lo, -(kCentre - 1));
    hi = std::min(hi, kCentre - 1);
    int first = 0, last = -1;
    row.clear();
    for (int dx = lo; dx <= hi; ++dx) {
      const float v = value(dx, dy);
      row.push_back(v);
      if (v > 0.0f) {
        if (last < first) first = dx;
        last = dx;
      }
    }
    if (last < first) continue;
    t.rows.push_back({dy + kCentre, first + kCentre, last + kCentre, static_cast<int>(t.values.size())});
    t.values.insert(t.values.end(), row.begin() + (first - lo), row.begin() + (last - lo) + 1);
  }
  return t;
}

// Offsets |dx| that can lie within radius bin `rmax` on row dy (a superset).
bool disc_span(int dy, int rmax, int& lo, int& hi) {
  if (std::abs(dy) > rmax) return false;
  const int half = static_cast<int>(std::sqrt(static_cast<double>(rmax) * rmax - static_cast<double>(dy) * dy)) + 2;
  lo = -half;
  hi = half;
  return true;
}

MaskTemplate build_spike(const float* spike, const int* width, float angle) {
  const float rad = angle * 3.14159f / 180.0f;
  const float c = std::cos(rad), s = std::sin(rad);
  const int rmax = last_positive(spike);
  int wmax = 0;
  for (int r = 1; r <= kMaxRadius; ++r) wmax = std::max(wmax, width[r]);
  auto value = [=](int dx, int dy) {
    const int r = radius_bin(dx, dy);
    if (r > kMaxRadius) return 0.0f;
    const bool on_spike = std::fabs(static_cast<float>(dx) * s - static_cast<float>(dy) * c) < static_cast<float>(width[r]);
    return on_spike ? spike[r] : 0.0f;
  };
  auto candidates = [=](int dy, int& lo, int& hi) {
    if (rmax == 0 || !disc_span(dy, rmax, lo, hi)) return false;
    // |dx s - dy c| < wmax bounds dx when the spike is not along the rows.
    if (std::fabs(s) > 1.0e-3f) {
      const double a = (dy * static_cast<double>(c) - wmax) / s;
      const double b = (dy * static_cast<double>(c) + wmax) / s;
      lo = std::max(lo, static_cast<int>(std::floor(std::min(a, b))) - 2);
      hi = std::min(hi, static_cast<int>(std::ceil(std::max(a, b))) + 2);
    }
    return lo <= hi;
  };
  return build_template(value, candidates);
}

MaskTemplate build_halo(const float* halo) {
  const int rmax = last_positive(halo);
  auto value = [=](int dx, int dy) {
    const int r = radius_bin(dx, dy);
    return r > kMaxRadius ? 0.0f : halo[r];
  };
  auto candidates = [=](int dy, int& lo, int& hi) { return rmax > 0 && disc_span(dy, rmax, lo, hi); };
  return build_template(value, candidates);
}

// Spike directions of a camera at the four detector corners.
struct SpikeCorners {
  float a[4];
  float b[4];
};

SpikeCorners spike_corners(int kkk) {
  switch (kkk) {
    case 5:
      return {{-1.4f, -1.3f, -4.0f, -2.3f}, {92.4f, 91.5f, 93.8f, 91.6f}};
    case 7:
      return {{-6.0f, -6.0f, -6.0f, -6.0f}, {90.0f, 90.0f, 90.0f, 90.0f}};
    case 8:
      return {{43.02f, 43.29f, 43.03f, 43.11f}, {-46.21f, -46.78f, -46.84f, -47.39f}};
    case 9:
      return {{48.1f, 48.1f, 48.1f, 48.1f}, {-48.1f, -48.1f, -48.1f, -48.1f}};
    default:
      return {{0.0f, 0.0f, 0.0f, 0.0f}, {90.0f, 90.0f, 90.0f, 90.0f}};
  }
}

float corner_blend(const float v[4], float fx, float fy) {
  return (1.0f - fx) * (1.0f - fy) * v[0] + fx * (1.0f - fy) * v[1] + (1.0f - fx) * fy * v[2] + fx * fy * v[3];
}

float clip01(float f) { return f < 0.0f ? 0.0f : (f > 1.0f ? 1.0f : f); }

// Template sets already built, most recent last. Cameras 7 and 9 have fixed
// spike directions, so one set serves every exposure of the run; for the
// two-chip cameras the directions follow the raster's place on the detector.
struct TemplateCache {
  struct Entry {
    int kkk;
    float angle_a, angle_b;
    std::shared_ptr<const MaskTemplates> templates;
  };
  static constexpr std::size_t kCapacity = 8;
  std::vector<Entry> entries;
  long builds = 0;
};

TemplateCache& template_cache() {
  static TemplateCache cache;
  return cache;
}

// ---------------------------------------------------------------------------
// Output helpers.

// A flux as the integer the logs show: truncated toward zero, held to the
// range of the field type so that a huge or undefined flux cannot overflow.
long long flux_as_integer(double f) {
  if (!(f == f)) return 0;
  if (f >= 9.0e18) return 9000000000000000000LL;
  if (f <= -9.0e18) return -9000000000000000000LL;
  return static_cast<long long>(f);
}

std::ofstream open_aux_file(const std::string& name) {
  std::ofstream out(name, std::ios::out | std::ios::trunc);
  if (!out) run_error(name, "cannot be created: with SHOW_TILE on, the directory AUX/ must exist");
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------

float rprof_ik(int r, int kkk) { return in_profile_range(r, kkk) ? profiles().halo[kkk][r] : 0.0f; }
float sprof_ik(int r, int kkk) { return in_profile_range(r, kkk) ? profiles().spike[kkk][r] : 0.0f; }
int wprof_ik(int r, int kkk) { return in_profile_range(r, kkk) ? profiles().width[kkk][r] : 0; }

float MaskTemplate::at(int x, int y) const {
  auto it = std::lower_bound(rows.begin(), rows.end(), y, [](const Row& row, int yy) { return row.y < yy; });
  if (it == rows.end() || it->y != y || x < it->x0 || x > it->x1) return 0.0f;
  return values[static_cast<std::size_t>(it->offset + (x - it->x0))];
}

MaskTemplates build_mask_templates(const float* halo, const float* spike, const int* width, float angle_a,
                                   float angle_b) {
  MaskTemplates t;
  t.spike_a = build_spike(spike, width, angle_a);
  t.spike_b = build_spike(spike, width, angle_b);
  t.halo = build_halo(halo);
  return t;
}

std::shared_ptr<const MaskTemplates> mask_templates(int kkk, float angle_a, float angle_b) {
  // The exposures of a tile are masked side by side: one thread at a time
  // looks into (and fills) the cache.
  static std::mutex lock;
  const std::lock_guard<std::mutex> hold(lock);
  TemplateCache& cache = template_cache();
  for (const auto& e : cache.entries)
    if (e.kkk == kkk && e.angle_a == angle_a && e.angle_b == angle_b) return e.templates;
  const int k = (kkk >= 1 && kkk <= kCameras) ? kkk : 0;
  static const float no_light[kMaxRadius + 1] = {};
  static const int no_width[kMaxRadius + 1] = {};
  const ProfileTables& p = profiles();
  auto built = std::make_shared<const MaskTemplates>(
      k ? build_mask_templates(p.halo[k], p.spike[k], p.width[k], angle_a, angle_b)
        : build_mask_templates(no_light, no_light, no_width, angle_a, angle_b));
  ++cache.builds;
  if (cache.entries.size() == TemplateCache::kCapacity) cache.entries.erase(cache.entries.begin());
  cache.entries.push_back({kkk, angle_a, angle_b, built});
  return built;
}

long mask_template_builds() { return template_cache().builds; }

void clear_mask_template_cache() {
  TemplateCache& cache = template_cache();
  cache.entries.clear();
  cache.builds = 0;
}

void add_star_mask(View2<float> sum, const MaskTemplates& templates, float f, int ix, int iy, int itil, int jtil) {
  if (std::abs(ix - itil) >= 1150 || std::abs(iy - jtil) >= 1150) return;
  const int nx = static_cast<int>(sum.nx()), ny = static_cast<int>(sum.ny());
  const int cx = ix - itil + 151, cy = iy - jtil + 151;
  // Template pixel (x', y') lands on raster pixel (cx + x' - 1001, cy + y' - 1001).
  const int ylo = kCentre - cy + 1, yhi = kCentre - cy + ny;
  const int xlo = kCentre - cx + 1, xhi = kCentre - cx + nx;
  for (const MaskTemplate* t : {&templates.spike_a, &templates.spike_b, &templates.halo}) {
    auto row = std::lower_bound(t->rows.begin(), t->rows.end(), ylo,
                                [](const MaskTemplate::Row& r, int y) { return r.y < y; });
    for (; row != t->rows.end() && row->y <= yhi; ++row) {
      const int a = std::max(row->x0, xlo), b = std::min(row->x1, xhi);
      const int yr = cy + row->y - kCentre;
      for (int x = a; x <= b; ++x) {
        const float v = t->values[static_cast<std::size_t>(row->offset + (x - row->x0))];
        if (v > 0.0f) {
          const float light = f * v;
          sum(cx + x - kCentre, yr) += light * light;
        }
      }
    }
  }
}

void find_loc_brite(int uref_t, int vref_t, const BrightStars& bright, LocalBrightStars& local, bool verbose,
                    bool show_tile) {
  if (verbose) write_record(std::cout, "('ENTER FIND_LOC_BRITE:  ...')");
  local.bbs = 0;
  const int bs = std::min<int>(bright.bs, static_cast<int>(bright.uref_b.n()));
  for (int b = 1; b <= bs; ++b) {
    const double du = bright.uref_b(b) - uref_t, dv = bright.vref_b(b) - vref_t;
    if (!(du * du + dv * dv <= 562500.0)) continue;  // 750 reference pixels
    if (local.bbs + 1 > BDIM) stop_run("BBs.gt._BDIM_");
    const int l = ++local.bbs;
    local.ubri(l) = bright.uref_b(b);
    local.vbri(l) = bright.vref_b(b);
    for (int k = 1; k <= FDIM; ++k) local.zbri(l, k) = bright.zref_bf(b, k);
    if (verbose && (l <= 10 || l % 25 == 0)) {
      std::vector<FArg> items{l, b, local.ubri(l), local.vbri(l)};
      for (int k = 1; k <= FDIM; ++k) {
        float z = local.zbri(l, k);
        if (!(z >= 0.0f)) z = 0.0f;  // negative or not a number
        items.emplace_back(flux_as_integer(z));
        items.emplace_back(-2.5f * std::log10(z));
      }
      write_record_v(std::cout,
                     "(2x,i4.4,1x,i5,1x,                                                 5x,f8.1,1x,f8.1,1x,10(i10,1x,f7.3,2x))",
                     items);
    }
  }
  if (!show_tile) return;

  std::ofstream log = open_aux_file("AUX/SHOW_TILE_LOG.BRITE.000");
  for (int l = 1; l <= local.bbs; ++l) {
    write_record(log, "(3x,f12.5,1x,f12.5,1x,f9.1,1x,i5.5,1x,                                2(i10))",
                 2.0 * (local.ubri(l) - uref_t) + 151.0, 2.0 * (local.vbri(l) - vref_t) + 151.0, local.zbri(l, 1), l,
                 flux_as_integer(local.zbri(l, 1)), flux_as_integer(local.zbri(l, 2)));
  }
  std::ofstream reg = open_aux_file("AUX/SHOW_TILE_LOG.BRITE.reg");
  write_record(reg, "('# Region file format: DS9 version 3.0')");
  write_record(reg, "('global color=yellow')");
  for (int l = 1; l <= local.bbs; ++l) {
    write_record(reg,
                 "('linear;circle( ',f8.1,',',f8.1,                                  ',',f6.3,') # color=',a7,' width=',i1)",
                 2.0 * (local.ubri(l) - uref_t) + 151.0, 2.0 * (local.vbri(l) - vref_t) + 151.0, 2.5f,
                 pad("yellow", 7), 4);
  }
  if (!log || !reg) run_error("AUX/SHOW_TILE_LOG.BRITE", "write failed");
}

void mask_tile(View2<float> pixm, int kkk, int fff, int uref_t, int vref_t, int itil, int jtil, TabView xtab,
               TabView ytab, const LocalBrightStars& local) {
  std::fill(pixm.data(), pixm.data() + pixm.size(), 0.0f);
  if (local.bbs == 0) return;
  const bool has_light = kkk >= 1 && kkk <= kCameras && profiles().any_light[kkk];
  if (!has_light) return;
  if (fff < 1 || fff > local.zbri.ny()) {
    write_list(std::cout, "mask_tile: filter slot ", fff, " of the exposure is not 1.. ", static_cast<int>(local.zbri.ny()));
    stop_run("mask_tile: filter slot out of range");
  }

  // Spike directions at the raster's place on the detector.
  float fx = 0.5f, fy = 0.5f;
  if (kkk == 5 || kkk == 8) {
    fx = static_cast<float>(itil) / 4096.0f;
    fy = static_cast<float>(jtil) / 4096.0f;
  } else if (kkk == 7) {
    fx = static_cast<float>(itil) / 1024.0f;
    fy = static_cast<float>(jtil) / 1024.0f;
  }
  fx = clip01(fx);
  fy = clip01(fy);
  const SpikeCorners corners = spike_corners(kkk);
  const float angle_a = corner_blend(corners.a, fx, fy);
  const float angle_b = corner_blend(corners.b, fx, fy);

  std::shared_ptr<const MaskTemplates> templates;  // built when the first star reaches the raster
  for (int b = 1; b <= local.bbs; ++b) {
    const float f = local.zbri(b, fff);
    if (f == 0.0f) continue;  // adds nothing
    const float x = xr_uv(local.ubri(b), local.vbri(b), xtab, ytab, itil, jtil, uref_t, vref_t) + 0.5f;
    const float y = yr_uv(local.ubri(b), local.vbri(b), xtab, ytab, itil, jtil, uref_t, vref_t) + 0.5f;
    // The nearest raw pixel, compared before it becomes an int so that a
    // position far off (or not a number) is simply out of reach.
    if (!(std::fabs(std::trunc(x) - static_cast<float>(itil)) < 1150.0f) ||
        !(std::fabs(std::trunc(y) - static_cast<float>(jtil)) < 1150.0f))
      continue;
    if (!templates) templates = mask_templates(kkk, angle_a, angle_b);
    add_star_mask(pixm, *templates, f, static_cast<int>(x), static_cast<int>(y), itil, jtil);
  }
  for (std::size_t k = 0; k < pixm.size(); ++k) pixm.data()[k] = std::sqrt(pixm.data()[k]);
}

}  // namespace zeb
