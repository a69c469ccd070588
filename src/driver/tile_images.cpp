#include "driver/tile_images.h"

#include <iostream>

#include "core/fortran_format.h"
#include "core/parallel.h"
#include "core/stop.h"
#include "psf/psf_library.h"
#include "measure/tile_model.h"

namespace zeb {

namespace {

// The flux column of filter slot f: z0_lf(1..LDIM, f), contiguous.
std::span<const float> fluxes_of_filter(const LocalList& local, int f) {
  return std::span<const float>(&local.z0_lf(1, f), static_cast<std::size_t>(local.z0_lf.nx()));
}

std::span<const float> all_of(const Array1<float>& a) {
  return std::span<const float>(a.data(), static_cast<std::size_t>(a.n()));
}

void check_psfs(const TileExposures& te, std::span<const LocalPsf> psfs) {
  if (static_cast<long>(psfs.size()) < te.ns) {
    write_list(std::cout, "local PSFs: ", static_cast<long>(psfs.size()), "  Ns: ", te.ns);
    stop_run("local PSFs missing for the tile's exposures");
  }
}

}  // namespace

void make_local_psfs(const TileExposures& te, const FilterSlots& filters, Array3<float>& psf_n,
                     std::vector<LocalPsf>& psf_eval, bool verbose) {
  psf_n.resize(PSF_NPIX, PSF_NPIX, te.ns);
  get_psfloc_ns(te.ns, te.itil_n, te.jtil_n, te.fff_n, te.kkk_n, filters.psf_f, psf_n, te.filepsf_n, verbose);
  psf_eval.resize(static_cast<std::size_t>(te.ns));
  parallel_for(1, te.ns, [&](int n, int) {
    psf_taper(psf_n.plane(n), 6.0f, 11.0f);
    psf_eval[static_cast<std::size_t>(n - 1)].assign(psf_n.plane(n));
  });
}

void hold_exposures(TileExposures& te) {
  hold_pixv(te.ns, te.pixv_n, te.pixv_h);
  hold_pixv(te.ns, te.pixe_n, te.pixe_h);
}

void restore_exposures(TileExposures& te) {
  hold_pixv(te.ns, te.pixv_h, te.pixv_n);
  hold_pixv(te.ns, te.pixe_h, te.pixe_n);
}

void reset_working_images(TileExposures& te) { init_pixsub(te.ns, te.pixv_n, te.pixd_n, te.pixf_n); }

void model_and_subtract(TileExposures& te, std::span<const LocalPsf> psfs, const LocalList& local, int ls, int n) {
  check_psfs(te, psfs);
  const int f = te.fff_n(n);
  if (f < 1 || f > FDIM) {
    write_list(std::cout, "mod_tile: exposure ", n, " has filter slot ", f);
    stop_run("mod_tile: filter slot out of range");
  }
  mod_tile(all_of(local.u0_l), all_of(local.v0_l), fluxes_of_filter(local, f), ls, tab_of(te.xtab_n, n),
           tab_of(te.ytab_n, n), psfs[static_cast<std::size_t>(n - 1)], te.pixf_n.plane(n));
  sub_tile(te.pixv_n.plane(n), te.pixf_n.plane(n), te.pixd_n.plane(n), te.pixu_n.plane(n));
}

void model_and_subtract_all(TileExposures& te, std::span<const LocalPsf> psfs, const LocalList& local, int ls) {
  // Each exposure's model and residual are its own rasters.
  parallel_for(1, te.ns, [&](int n, int) { model_and_subtract(te, psfs, local, ls, n); });
}

void stack_values_and_masks(const TileExposures& te, TileStacks& s, const StackWindow& window) {
  const StackJob jobs[] = {{te.pixv_n, s.stackv_tf, &s.stackn_tf, STACK_CLIP},
                           {te.pixm_n, s.stackm_tf, nullptr, STACK_NO_CLIP}};
  stack_tiles(te.ns, te.fff_n, te.xtab_n, te.ytab_n, te.pixe_n, te.pixu_n, jobs, window);
}

void stack_residuals(const TileExposures& te, TileStacks& s) {
  stack_tile(te.ns, te.fff_n, te.xtab_n, te.ytab_n, te.pixd_n, te.pixe_n, te.pixu_n, s.stacks_tf, &s.stackp_tf,
             STACK_CLIP);
}

void stack_residuals_and_model(const TileExposures& te, TileStacks& s) {
  // The model has no noise and no cosmic rays: clipping could only drop
  // exposures whose PSF differs, so its stack is the plain weighted mean.
  const StackJob jobs[] = {{te.pixd_n, s.stacks_tf, &s.stackp_tf, STACK_CLIP},
                           {te.pixf_n, s.stackf_tf, nullptr, STACK_NO_CLIP}};
  stack_tiles(te.ns, te.fff_n, te.xtab_n, te.ytab_n, te.pixe_n, te.pixu_n, jobs);
}

ArtLevels add_art_to_tile(TileExposures& te, std::span<const LocalPsf> psfs, double ug, double vg,
                          const std::array<double, FDIM>& z, const FilterSlots& filters, bool verbose) {
  check_psfs(te, psfs);
  std::array<float, FDIM> zf{};
  for (std::size_t k = 0; k < zf.size(); ++k) zf[k] = static_cast<float>(z[k]);
  return add_art(te.ns, te.pixv_n, te.pixe_n, te.pixu_n, psfs, static_cast<float>(ug), static_cast<float>(vg), zf,
                 te.fff_n, filters.exp_f, te.exp_n, te.xtab_n, te.ytab_n, verbose);
}

void sky_of_local_stars(const TileExposures& te, LocalList& local, int ls, int fs, bool verbose) {
  rmssky_xyz_tile(ls, all_of(local.u0_l), all_of(local.v0_l), te.ns, te.xtab_n, te.ytab_n, te.pixv_n, te.pixu_n, fs,
                  te.fff_n, local.barsky_lf, local.rmssky_lf, verbose);
}

void sky_at(const TileExposures& te, double ug, double vg, int fs, std::array<float, FDIM>& sky,
            std::array<float, FDIM>& scatter, bool verbose) {
  const float u[1] = {static_cast<float>(ug)}, v[1] = {static_cast<float>(vg)};
  Array2<float> level(1, FDIM), scat(1, FDIM);
  rmssky_xyz_tile(1, u, v, te.ns, te.xtab_n, te.ytab_n, te.pixv_n, te.pixu_n, fs, te.fff_n, level, scat, verbose);
  for (int f = 1; f <= FDIM; ++f) {
    sky[static_cast<std::size_t>(f - 1)] = level(1, f);
    scatter[static_cast<std::size_t>(f - 1)] = scat(1, f);
  }
}

}  // namespace zeb
