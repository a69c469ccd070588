// The joint criterion J of find_tile: a matched-filter detection of point
// sources over all the exposures of a tile at once.
//
// The statistic. Near a point source at tile-grid position (u, v), exposure n
// (raster position (x, y), local PSF P_n, residual d) is modelled over the
// B = 25 raster pixels k of the 5 x 5 box around (x, y) as
//     d_k = a_n + f_n P_k + e_k,   P_k = P_n(x_k - x, y_k - y),
// with a local sky a_n of its own (the residuals still hold the sky of the
// cameras whose readers do not subtract it, and whatever faint light the
// model lacks), the source's flux f_n, and independent Gaussian noise e_k of
// variance sigma_n^2, the exposure's noise level at the box (below). The
// log-likelihood is -chi^2 / 2 with
//     chi^2(a, f) = sum_k (d_k - a - f P_k)^2 / sigma_n^2.
// Minimising over a gives a = (sum d - f sum P) / B, and what is left is
//     chi^2(f) = chi^2_0 - 2 f s_n + f^2 I_n,
//     s_n = sum_k K_k d_k / sigma_n^2     (the score),
//     I_n = sum_k K_k^2 / sigma_n^2       (the Fisher information of f_n),
// with the zero-mean kernel K_k = P_k - (sum P) / B: the exposure's own
// estimate is f_n = s_n / I_n with variance 1 / I_n. Taking one flux f for
// all exposures (below), the chi^2 of the tile adds up and is minimal at
//     f = sum_n s_n / sum_n I_n,   sigma(f) = 1 / sqrt(sum_n I_n),
//     S = f / sigma(f) = sum_n s_n / sqrt(sum_n I_n).
// The likelihood ratio of "a source of flux f > 0 here" against "no source"
// is exp(S^2 / 2) for S > 0, so thresholding S is the maximum-likelihood
// (generalised likelihood-ratio) test for a point source in independent
// Gaussian noise, and where there is no source S is a standard normal
// deviate: JSIG = 5 has the false-alarm rate of a 5-sigma test at each
// position. Fitting the sky per exposure costs some information (sum K^2
// against sum P^2) but makes S immune to any constant offset of a residual,
// which a sum over a dozen exposures would otherwise turn into a bias of
// several sigma.
//
// The noise level. sigma_n^2 is the mean over the box of the pixels'
// variances (k_n pixe)^2 + pixm^2: the errors of the exposure, the
// bright-star mask level counting as noise as in the measurement, and the
// exposure's noise scale k_n (noise_scale). One level per box rather than
// per pixel: for a source at the detection limit the background sets the
// noise, and per-pixel errors would also carry the photon noise of whatever
// is being tested, making the weights depend on the data.
//
// One flux for all exposures. Fluxes are in each filter's own units
// (electrons in EXPFLT seconds at throughput 1), so one flux means a source
// equally bright in both filter slots. The alternative, a free flux per
// filter, gives 2 ln(likelihood ratio) = S_1^2 + S_2^2, a chi-square with two
// degrees of freedom where there is no source: for the false-alarm rate of a
// one-sided 5-sigma test it needs S_1^2 + S_2^2 >= 5.49^2. A source of
// per-filter significances S_1, S_2 (information I_1, I_2) reaches
// S = (S_1 sqrt(I_1) + S_2 sqrt(I_2)) / sqrt(I_1 + I_2) under one flux; with
// equal information that is (S_1 + S_2) / sqrt(2), which beats the free fit
// (sqrt(S_1^2 + S_2^2) against 5.49 instead of 5) unless one filter carries
// most of the signal. Whatever the colours, S stays a standard normal
// deviate where there is no source, so the choice changes what is found
// near the threshold, never the false-alarm rate. On the crowded simulated
// field (colours of 0 to 1.2 mag between the filters, six exposures in
// each) one flux found 1% more true stars than free fluxes at the same
// false-alarm rate, with the same 50% completeness magnitude.
//
// The map. S is evaluated at every tile-grid point of the window, each
// exposure through its own tables, PSF, residual and errors in its own
// pixels (no resampling). The PSF over the box is taken at the source
// position rounded to an eighth of a raster pixel, so that each exposure
// needs 81 kernels of 25 values, prepared once per call; the map costs 25
// products per exposure and grid point and allocates nothing. A candidate is
// then refined and evaluated with the PSF at its exact position.
#include <algorithm>
#include <cmath>
#include <vector>

#include "core/text.h"
#include "find/find_internal.h"
#include "find/find_tile.h"
#include "tile/tile_geometry.h"

namespace zeb {

namespace find_detail {

namespace {

constexpr int SIDE = 2 * JOINT_HALF + 1;

// The noise scale k of an exposure: how the scatter of its residual compares
// with its pixel errors. The readers hold errors to a floor (a WFC3/IR error
// is at least 0.15, about three times the sky noise of a long exposure), so
// the errors serve as relative weights but not as the noise itself, and S
// must be in sigma for JSIG to mean what it says. The difference of two
// neighbouring pixels cancels the sky and most of the light of anything
// larger than a pixel; over the unflagged pairs (x, y), (x + 1, y), x and y
// odd (some 22000 of them), k = 1.4826 median |d(x+1) - d(x)| / sqrt(e(x)^2 + e(x+1)^2), the median
// ignoring the pairs that a star's core puts into the tails. Without enough
// pairs, or without any scatter (a residual with no noise at all), the
// errors are taken as they are (k = 1).
constexpr std::size_t MIN_PAIRS = 100;

float noise_scale(View2<const float> d, View2<const float> e, View2<const std::uint8_t> u, std::vector<float>& r) {
  r.clear();
  for (int y = 1; y <= TILE_GRID; y += 2)
    for (int x = 1; x < TILE_GRID; x += 2) {
      if (u(x, y) != 0 || u(x + 1, y) != 0) continue;
      const float var = e(x, y) * e(x, y) + e(x + 1, y) * e(x + 1, y);
      const float z = std::fabs(d(x + 1, y) - d(x, y)) / std::sqrt(var);
      if (var > 0.0f && std::isfinite(z)) r.push_back(z);
    }
  if (r.size() < MIN_PAIRS) return 1.0f;
  const auto mid = r.begin() + static_cast<std::ptrdiff_t>(r.size() / 2);
  std::nth_element(r.begin(), mid, r.end());
  const float k = 1.4826f * *mid;
  return k > 0.0f ? k : 1.0f;
}

float pixel_variance(float e, float m, float k) {
  const float ke = k * e;
  return ke * ke + m * m;
}

// The weight 1 / sigma^2 of a box from the sum of its pixels' variances; a
// box without a positive, finite variance has none.
float box_weight(float variance_sum) {
  const float var = variance_sum / JOINT_TAPS;
  return var > 0.0f && var < 1.0e30f ? 1.0f / var : 0.0f;
}

// The box of a source at raster position (x, y): the position rounded to an
// eighth of a pixel, n = trunc(8 x + 0.5), gives the centre pixel
// i0 = (n + 4) div 8 (the pixel nearest x, which must lie in 6..296) and the
// source's offset q / 8 from it, q = n - 8 i0 in -4..3; likewise in y. The
// phase index (1-based) numbers the 64 offsets.
constexpr float EIGHTHS_LO = 8 * RASTER_FIRST - 4, EIGHTHS_HI = 8 * RASTER_LAST + 4;

bool box_centre(float x, float y, int& i0, int& j0, int& phase) {
  const float ex = JOINT_STEPS * x + 0.5f, ey = JOINT_STEPS * y + 0.5f;
  if (!(ex >= EIGHTHS_LO && ex < EIGHTHS_HI && ey >= EIGHTHS_LO && ey < EIGHTHS_HI)) return false;
  const int nx = static_cast<int>(ex), ny = static_cast<int>(ey);
  i0 = (nx + JOINT_STEPS / 2) / JOINT_STEPS;
  j0 = (ny + JOINT_STEPS / 2) / JOINT_STEPS;
  phase = 1 + (nx - JOINT_STEPS * i0 + JOINT_STEPS / 2) + JOINT_STEPS * (ny - JOINT_STEPS * j0 + JOINT_STEPS / 2);
  return true;
}

// Turns the PSF over the box (25 values, x fastest) into the zero-mean
// kernel K and returns sum K^2.
float zero_mean(float* k) {
  float mean = 0.0f;
  for (int t = 0; t < JOINT_TAPS; ++t) mean += k[t];
  mean /= JOINT_TAPS;
  float kk = 0.0f;
  for (int t = 0; t < JOINT_TAPS; ++t) {
    k[t] -= mean;
    kk += k[t] * k[t];
  }
  return kk;
}

// sum K d over the box whose first pixel is d[0], rows `stride` apart; one
// sum per column, so that the additions do not wait on each other.
float correlate(const float* k, const float* d, long stride) {
  float col[SIDE] = {};
  for (int y = 0; y < SIDE; ++y)
    for (int x = 0; x < SIDE; ++x) col[x] += k[SIDE * y + x] * d[y * stride + x];
  return ((col[0] + col[1]) + (col[2] + col[3])) + col[4];
}

bool box_flagged(View2<const std::uint8_t> u, int i0, int j0) {
  for (int y = j0 - JOINT_HALF; y <= j0 + JOINT_HALF; ++y)
    for (int x = i0 - JOINT_HALF; x <= i0 + JOINT_HALF; ++x)
      if (u(x, y) != 0) return true;
  return false;
}

// The terms of every exposure that takes part at tile-grid position (u, v),
// with the PSF at the exact offsets and the box's own noise level. An
// exposure whose box a source and a flat sky cannot describe, its chi^2 far
// above the 23 degrees of freedom (five sigma of a chi-square), holds
// something else there, a cosmic ray, a hot pixel or a residual of its model,
// and is left out.
constexpr float CHI2_LIMIT = 23.0f + 5.0f * 6.78f;  // 23 + 5 sqrt(2 x 23)

void joint_terms(float u, float v, int nit, const TileExposures& te, const std::vector<LocalPsf>& psf,
                 const Array1<float>& scale, std::vector<JointTerm>& terms) {
  terms.clear();
  for (int n = 1; n <= te.ns; ++n) {
    if (!takes_part(te, n, nit)) continue;
    const TabView xtab = tab_of(te.xtab_n, n), ytab = tab_of(te.ytab_n, n);
    const float x = xt_tuv(u, v, xtab, ytab), y = yt_tuv(u, v, xtab, ytab);
    int i0 = 0, j0 = 0, phase = 0;
    if (!box_centre(x, y, i0, j0, phase) || box_flagged(te.pixu_n.plane(n), i0, j0)) continue;
    float p[JOINT_TAPS], k[JOINT_TAPS], d[JOINT_TAPS];
    float variance = 0.0f, mean = 0.0f;
    int t = 0;
    for (int ky = -JOINT_HALF; ky <= JOINT_HALF; ++ky)
      for (int kx = -JOINT_HALF; kx <= JOINT_HALF; ++kx, ++t) {
        const int i = i0 + kx, j = j0 + ky;
        p[t] = k[t] =
            rpsf_phot(static_cast<float>(i) - x, static_cast<float>(j) - y, psf[static_cast<std::size_t>(n - 1)]);
        d[t] = te.pixd_n(i, j, n);
        mean += d[t] / JOINT_TAPS;
        variance += pixel_variance(te.pixe_n(i, j, n), te.pixm_n(i, j, n), scale(n));
      }
    const float w = box_weight(variance);
    const float kk = zero_mean(k);
    const float score = w * correlate(k, d, SIDE);
    const float info = w * kk;
    // chi^2 of the fit: sum (d - mean d)^2 / sigma^2 less what the source
    // explains, s^2 / I.
    float spread = 0.0f;
    for (const float dt : d) spread += (dt - mean) * (dt - mean);
    const float chi2 = w * spread - score * score / info;
    if (!(info > 0.0f) || !std::isfinite(score) || !(chi2 <= CHI2_LIMIT)) continue;
    JointTerm term;
    term.n = n;
    term.filter = te.fff_n(n);
    term.score = score;
    term.info = info;
    // What the box-flux test of the other criteria would see of a star of
    // unit flux here.
    const BoxFlux bf = box_flux(View2<const float>(p, SIDE, SIDE), JOINT_HALF + 1, JOINT_HALF + 1);
    term.box = bf.best - 4.0f * bf.sky;
    term.mask_level = te.pixm_n(i0, j0, n) * te.msk_n(n);
    term.model_level = te.pixf_n(i0, j0, n) * te.oth_n(n);
    terms.push_back(term);
  }
}

struct Combined {
  double score = 0.0, info = 0.0;
  double significance() const { return info > 0.0 ? score / std::sqrt(info) : 0.0; }
};

Combined combine(const std::vector<JointTerm>& terms) {
  Combined c;
  for (const JointTerm& t : terms) {
    c.score += t.score;
    c.info += t.info;
  }
  return c;
}

// Does a candidate hold up at its refined position (joint_terms having left
// out the exposures whose box holds something else)? Besides reaching JSIG
// there, it must not rest on what one or two exposures can have and the
// others lack:
// - at least three exposures see it (with two, a spike in one cannot be
//   told from a source seen in both);
// - without the exposure that contributes the largest score, the others
//   still reach what they give a source at the threshold: JSIG times the
//   square root of their share of the information. So no single exposure
//   can make a source: the others show it on their own. (On the crowded
//   simulated field this costs 0.05 mag of depth against allowing the
//   others one sigma less, and leaves a quarter of the detections that
//   match no true star.)
// And, as for the other criteria, its flux beats the bright-star mask level
// and the model level of the known stars (so that PSF-mismatch residuals
// around bright stars do not become sources): the information-weighted sum
// over the exposures of its box flux f_n * box_n exceeds that of the levels.
constexpr int MIN_EXPOSURES = 3;

bool holds_up(const std::vector<JointTerm>& terms, float jsig) {
  if (static_cast<int>(terms.size()) < MIN_EXPOSURES) return false;
  const Combined all = combine(terms);
  if (!(all.significance() >= jsig)) return false;
  std::size_t strongest = 0;
  for (std::size_t k = 1; k < terms.size(); ++k)
    if (terms[k].score > terms[strongest].score) strongest = k;
  Combined rest = all;
  rest.score -= terms[strongest].score;
  rest.info -= terms[strongest].info;
  if (!(rest.info > 0.0 && rest.significance() >= jsig * std::sqrt(rest.info / all.info))) return false;
  double box = 0.0, mask = 0.0, model = 0.0;
  for (const JointTerm& t : terms) {
    box += t.score * t.box;  // info * flux * box
    mask += t.info * t.mask_level;
    model += t.info * t.model_level;
  }
  return box > mask && box > model;
}

// Vertex of the parabola through (-1, a), (0, b), (1, c), within half a step.
double vertex(double a, double b, double c) {
  const double den = a - 2.0 * b + c;
  if (!(den < 0.0)) return 0.0;
  const double t = 0.5 * (a - c) / den;
  return t < -0.5 ? -0.5 : (t > 0.5 ? 0.5 : t);
}

// box(x, y) := the sum of in over the 5 x 5 box around (x, y), x, y in
// 3..299, as a row pass into `rows` and a column pass.
void box_sums(const Array2<float>& in, Array2<float>& rows, Array2<float>& box) {
  for (int y = 1; y <= TILE_GRID; ++y)
    for (int x = 3; x <= TILE_GRID - 2; ++x)
      rows(x, y) = in(x - 2, y) + in(x - 1, y) + in(x, y) + in(x + 1, y) + in(x + 2, y);
  for (int y = 3; y <= TILE_GRID - 2; ++y)
    for (int x = 3; x <= TILE_GRID - 2; ++x)
      box(x, y) = rows(x, y - 2) + rows(x, y - 1) + rows(x, y) + rows(x, y + 1) + rows(x, y + 2);
}

}  // namespace

bool takes_part(const TileExposures& te, int n, int nit) {
  return char_at(te.fnd_n(n), static_cast<std::size_t>(nit)) != '0';
}

void start_joint_map(const TileExposures& te, JointWork& jw) {
  jw.score.fill(0.0);
  jw.info.fill(0.0);
  jw.sig.fill(0.0f);
  if (jw.psf.size() < static_cast<std::size_t>(te.ns)) jw.psf.resize(static_cast<std::size_t>(te.ns));
}

void add_joint_exposure(int n, const TileExposures& te, const Array3<float>& psf_n, const FindWindow& w,
                        const Array2<std::uint8_t>& flagged5, JointWork& jw) {
  LocalPsf& psf = jw.psf[static_cast<std::size_t>(n - 1)];
  psf.assign(psf_n.plane(n));
  // The kernels: the zero-mean PSF over the box for a source (q_x / 8,
  // q_y / 8) pixels from the box's centre, q = -4..3, and their sum K^2.
  for (int qy = -JOINT_STEPS / 2; qy < JOINT_STEPS / 2; ++qy)
    for (int qx = -JOINT_STEPS / 2; qx < JOINT_STEPS / 2; ++qx) {
      const int phase = 1 + (qx + JOINT_STEPS / 2) + JOINT_STEPS * (qy + JOINT_STEPS / 2);
      const float sx = static_cast<float>(qx) / JOINT_STEPS, sy = static_cast<float>(qy) / JOINT_STEPS;
      float* k = &jw.kernel(1, phase);
      int t = 0;
      for (int ky = -JOINT_HALF; ky <= JOINT_HALF; ++ky)
        for (int kx = -JOINT_HALF; kx <= JOINT_HALF; ++kx, ++t)
          k[t] = rpsf_phot(static_cast<float>(kx) - sx, static_cast<float>(ky) - sy, psf);
      jw.kernel_kk(phase) = zero_mean(k);
    }
  const View2<const float> e = te.pixe_n.plane(n), m = te.pixm_n.plane(n), d = te.pixd_n.plane(n);
  const float scale = jw.scale(n) = noise_scale(d, e, te.pixu_n.plane(n), jw.pairs);
  for (int y = 1; y <= TILE_GRID; ++y)
    for (int x = 1; x <= TILE_GRID; ++x) jw.variance(x, y) = pixel_variance(e(x, y), m(x, y), scale);
  box_sums(jw.variance, jw.rows, jw.box_weight);
  // The weight of each box; none where it holds a flagged pixel.
  for (int y = 3; y <= TILE_GRID - 2; ++y)
    for (int x = 3; x <= TILE_GRID - 2; ++x)
      jw.box_weight(x, y) = flagged5(x, y) ? 0.0f : box_weight(jw.box_weight(x, y));

  const TabView xtab = tab_of(te.xtab_n, n), ytab = tab_of(te.ytab_n, n);
  for (int iv = w.j1; iv <= w.j2; ++iv) {
    // Along a row of the tile grid the tables are linear between their
    // nodes (every 10 grid points): the raster position of each point is
    // interpolated between those of the nodes.
    const float fv = static_cast<float>(iv);
    for (int c = (w.i1 - 1) / 10; c <= (w.i2 - 1) / 10 + 1 && c < TAB_NODES; ++c) {
      const float node = static_cast<float>(10 * c + 1);
      jw.node_x[static_cast<std::size_t>(c)] = xt_tuv(node, fv, xtab, ytab);
      jw.node_y[static_cast<std::size_t>(c)] = yt_tuv(node, fv, xtab, ytab);
    }
    for (int iu = w.i1; iu <= w.i2; ++iu) {
      const int c = std::min((iu - 1) / 10, TAB_NODES - 2);
      const float f = static_cast<float>(iu - 1 - 10 * c) / 10.0f;
      const std::size_t c0 = static_cast<std::size_t>(c);
      const float x = jw.node_x[c0] + f * (jw.node_x[c0 + 1] - jw.node_x[c0]);
      const float y = jw.node_y[c0] + f * (jw.node_y[c0 + 1] - jw.node_y[c0]);
      int i0 = 0, j0 = 0, phase = 0;
      if (!box_centre(x, y, i0, j0, phase)) continue;
      const float wt = jw.box_weight(i0, j0);
      if (wt == 0.0f) continue;
      const float score = wt * correlate(&jw.kernel(1, phase), &d(i0 - JOINT_HALF, j0 - JOINT_HALF), TILE_GRID);
      const float info = wt * jw.kernel_kk(phase);
      if (!(info > 0.0f) || !std::isfinite(score)) continue;
      jw.score(iu, iv) += score;
      jw.info(iu, iv) += info;
    }
  }
}

void finish_joint_map(const FindWindow& w, JointWork& jw) {
  for (int iv = w.j1; iv <= w.j2; ++iv)
    for (int iu = w.i1; iu <= w.i2; ++iu) {
      const double info = jw.info(iu, iv);
      jw.sig(iu, iv) = info > 0.0 ? static_cast<float>(jw.score(iu, iv) / std::sqrt(info)) : 0.0f;
    }
}

int collate_joint_sources(int nit, const FindSettings& s, const FindWindow& w, const TileExposures& te,
                          const FindingMaps& maps, Array2<std::uint8_t>& stacka, Array2<std::uint8_t>& stack_prev,
                          JointWork& jw, LocalList& local, int& ls) {
  const int rc = claim_radius(s);
  const Array2<float>& sig = jw.sig;
  int news = 0;
  // The same scan order as the other criteria: the first found claims its zone.
  for (int iu = std::max(4, w.i1); iu <= std::min(TILE_GRID - 3, w.i2); ++iu) {
    for (int iv = std::max(4, w.j1); iv <= std::min(TILE_GRID - 3, w.j2); ++iv) {
      if (stacka(iu, iv) || stack_prev(iu, iv)) continue;
      if (!(sig(iu, iv) >= s.jsig) || !is_map_peak(sig, iu, iv)) continue;
      // The peak of the map to a fraction of a grid step, then the exact
      // evaluation there.
      const double u = iu + vertex(sig(iu - 1, iv), sig(iu, iv), sig(iu + 1, iv));
      const double v = iv + vertex(sig(iu, iv - 1), sig(iu, iv), sig(iu, iv + 1));
      joint_terms(static_cast<float>(u), static_cast<float>(v), nit, te, jw.psf, jw.scale, jw.terms);
      if (!holds_up(jw.terms, s.jsig)) continue;
      // Criterion 4 at the refined position (also its discovery position);
      // its records are those of its grid point, the coverage and the other
      // criteria's counts and requirements, which show how far they got.
      ++news;
      append_source(nit, FOUND_BY_J, u, v, iu, iv, s, maps, local, ls);
      claim_zone(stacka, iu, iv, rc, FOUND_BY_J);
      mark_known_stars(local, ls, ls, nit, s, stack_prev);
    }
  }
  return news;
}

}  // namespace find_detail

JointEstimate joint_estimate(float u, float v, int nit, const TileExposures& te, const Array3<float>& psf_n) {
  std::vector<LocalPsf> psf(static_cast<std::size_t>(te.ns));
  Array1<float> scale(NDIM, 1.0f);
  std::vector<float> pairs;
  for (int n = 1; n <= te.ns; ++n) {
    psf[static_cast<std::size_t>(n - 1)].assign(psf_n.plane(n));
    scale(n) = find_detail::noise_scale(te.pixd_n.plane(n), te.pixe_n.plane(n), te.pixu_n.plane(n), pairs);
  }
  std::vector<find_detail::JointTerm> terms;
  find_detail::joint_terms(u, v, nit, te, psf, scale, terms);
  const find_detail::Combined c = find_detail::combine(terms);
  JointEstimate est;
  est.exposures = static_cast<int>(terms.size());
  if (c.info > 0.0) {
    est.flux = c.score / c.info;
    est.sigma = 1.0 / std::sqrt(c.info);
    est.significance = c.significance();
  }
  return est;
}

}  // namespace zeb
