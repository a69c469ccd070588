// The star model on the simulated demo field: zeb sets the field up, prepares
// its tiles, and subtracts the model of the true stars (positions and fluxes
// from truth.txt) from every exposure; what remains must be the noise.
//
// The noise of a pixel is derived from first principles: the sky noise of the
// exposure (1.4826 times the median absolute deviation of its residuals about
// their median, the sky level, which zeb does not subtract for WFC3/IR) and
// the Poisson noise of the modelled star light, whose variance in zeb's units
// is model / (exp_n 10^(zpu_n / 2.5)) (one electron per count). Its errors
// pixe_n are not used for this: the reader raises IR errors to at least 0.15
// e/s, about three times the sky noise of these exposures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "driver/master_hash.h"
#include "driver/prescan.h"
#include "driver/tile_images.h"
#include "field_files.h"
#include "imageio/fits.h"
#include "score.h"
#include "setup/param_file.h"
#include "support/test_support.h"
#include "tile/init_tile.h"
#include "tile/tile_geometry.h"

namespace zebsim {
namespace {

using namespace zeb::test;

struct ChiStats {
  long n = 0;
  double sum2 = 0.0;
  long beyond5 = 0;
  double rms() const { return n > 0 ? std::sqrt(sum2 / n) : 0.0; }
  void add(double chi) {
    ++n;
    sum2 += chi * chi;
    beyond5 += std::fabs(chi) > 5.0;
  }
};

struct Residuals {
  ChiStats model;     // residual against the noise
  ChiStats cores;     // the same where the model exceeds 10 sky sigmas
  ChiStats no_model;  // the exposure itself against the same noise
  ChiStats pixe;      // residual against zeb's pixel errors
};

double median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

// One prepared tile with the true stars around it in its local list.
struct TruthTile {
  zeb::TileExposures te;
  zeb::LocalBrightStars bright;
  zeb::Array3<float> psf_n;
  std::vector<zeb::LocalPsf> psfs;
  std::unique_ptr<zeb::LocalList> local = std::make_unique<zeb::LocalList>();
  int ls = 0;

  // Every true star whose light can reach the tile grid (its PSF reaches 12
  // raw pixels, some 24 grid steps).
  void load_truth(const Truth& truth, const zeb::TileLimits& t) {
    zeb::reset_local(*local);
    for (const TruthStar& s : truth.stars) {
      const double ug = 2.0 * (s.u - t.uref_t) + 151.0, vg = 2.0 * (s.v - t.vref_t) + 151.0;
      if (ug < -40.0 || ug > 341.0 || vg < -40.0 || vg > 341.0) continue;
      ++ls;
      local->u0_l(ls) = static_cast<float>(ug);
      local->v0_l(ls) = static_cast<float>(vg);
      local->z0_lf(ls, 1) = static_cast<float>(s.flux[0]);
      local->z0_lf(ls, 2) = static_cast<float>(s.flux[1]);
    }
  }

  void prepare_and_subtract(const zeb::RunState& run, const Truth& truth, int it, int jt) {
    const zeb::TileLimits t = zeb::tile_limits(it, jt);
    zeb::init_tile_a(it, jt, t.uref_t, t.vref_t, run.slots, te, false);
    te.allocate_rasters(te.ns);
    zeb::init_tile_b(it, jt, t.uref_t, t.vref_t, te, run.bright, bright, run.settings);
    zeb::make_local_psfs(te, run.filters, psf_n, psfs, false);
    load_truth(truth, t);
    zeb::model_and_subtract_all(te, psfs, *local, ls);
  }

  // Unflagged pixels of exposure n away from the raster edges.
  template <typename F>
  void each_pixel(int n, F&& f) const {
    for (int j = 20; j <= 281; ++j)
      for (int i = 20; i <= 281; ++i)
        if (te.pixu_n(i, j, n) == 0) f(i, j);
  }

  void add_residuals(int n, Residuals& r) const {
    std::vector<double> res, dev;
    each_pixel(n, [&](int i, int j) { res.push_back(te.pixd_n(i, j, n)); });
    const double sky = median(res);
    for (double x : res) dev.push_back(std::fabs(x - sky));
    const double sigma_sky = 1.4826 * median(dev);
    const double per_count = 1.0 / (te.exp_n(n) * std::pow(10.0, te.zpu_n(n) / 2.5));
    each_pixel(n, [&](int i, int j) {
      const double model = te.pixf_n(i, j, n);
      const double sigma = std::sqrt(sigma_sky * sigma_sky + std::max(model, 0.0) * per_count);
      const double chi = (te.pixd_n(i, j, n) - sky) / sigma;
      r.model.add(chi);
      if (model > 10.0 * sigma_sky) r.cores.add(chi);
      r.no_model.add((te.pixv_n(i, j, n) - sky) / sigma);
      r.pixe.add((te.pixd_n(i, j, n) - sky) / te.pixe_n(i, j, n));
    });
  }
};

TEST(ModelResidual, TrueStarsOfTheDemoFieldLeaveTheNoise) {
  TempDir dir;
  write_field(field_preset("demo"), dir.path().string());
  const Truth truth = read_truth(kTruthFile);

  zeb::RunState run;
  Captured c = capture([&] {
    zeb::reset_fits_carry_over();
    const zeb::PrescanCounts counts = zeb::extract_gsfscs(kParamFile, run.settings.verbose);
    run.master.allocate(zeb::FDIM);
    run.art.allocate(zeb::FDIM);
    zeb_setup(kParamFile, counts, run);
  });
  ASSERT_FALSE(c.stopped || c.errored) << c.out << c.err;

  Residuals r;
  for (int jt = 1; jt <= 2; ++jt)
    for (int it = 1; it <= 2; ++it) {
      TruthTile tile;
      c = capture([&] { tile.prepare_and_subtract(run, truth, it, jt); });
      ASSERT_FALSE(c.stopped || c.errored) << c.out << c.err;
      ASSERT_EQ(tile.te.ns, 6);
      ASSERT_GT(tile.ls, 300);
      for (int n = 1; n <= tile.te.ns; ++n) tile.add_residuals(n, r);
    }
  RecordProperty("chi_rms_model", std::to_string(r.model.rms()));
  RecordProperty("chi_rms_cores", std::to_string(r.cores.rms()));
  RecordProperty("chi_rms_no_model", std::to_string(r.no_model.rms()));
  RecordProperty("rms_against_pixe", std::to_string(r.pixe.rms()));
  // 4 tiles x 6 exposures x about 21000 unflagged pixels.
  ASSERT_GT(r.model.n, 400000);
  EXPECT_NEAR(r.model.rms(), 1.0, 0.06);
  EXPECT_LT(r.model.beyond5, r.model.n / 100000);
  ASSERT_GT(r.cores.n, 5000);
  EXPECT_NEAR(r.cores.rms(), 1.0, 0.15);
  // Without the model the stars stand far out of the noise.
  EXPECT_GT(r.no_model.rms(), 5.0);
  EXPECT_GT(r.no_model.beyond5, r.model.n / 50);
  // zeb's errors, floored, are larger than the noise: the residual is inside them.
  EXPECT_LT(r.pixe.rms(), 1.0);
}

}  // namespace
}  // namespace zebsim
