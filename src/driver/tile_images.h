// The tile loop's work on the images of its exposures: the held copies and
// working images, the star model and residual of each exposure, the per-filter
// stacks, artificial stars and the local sky, each routine of the measurement
// subsystem applied to the tile's exposures and local list.
#pragma once

#include <array>
#include <span>
#include <vector>

#include "core/limits.h"
#include "measure/art_sky.h"
#include "measure/local_list.h"
#include "psf/psf.h"
#include "measure/tile_stacks.h"
#include "setup/run_state.h"
#include "tile/tile_exposures.h"

namespace zeb {

// Builds every exposure's local PSF at its raster centre (psf_n, 101 x 101 x
// Ns), tapers it to zero between 6 and 11 pixels from the centre, and prepares
// it for evaluation (psf_eval, one per exposure).
void make_local_psfs(const TileExposures& te, const FilterSlots& filters, Array3<float>& psf_n,
                     std::vector<LocalPsf>& psf_eval, bool verbose);

// Keeps copies of the exposure values and errors (pixv_h, pixe_h).
void hold_exposures(TileExposures& te);

// Puts the held values and errors back (each artificial star of mode A starts
// from the untouched exposures).
void restore_exposures(TileExposures& te);

// Working images: residual pixd_n := values, model pixf_n := 0.
void reset_working_images(TileExposures& te);

// Exposure n's model of local stars 1..ls at (u0_l, v0_l) with the flux z0_lf
// of the exposure's filter slot (pixf_n), and its residual (pixd_n).
void model_and_subtract(TileExposures& te, std::span<const LocalPsf> psfs, const LocalList& local, int ls, int n);

// The same for every exposure of the tile.
void model_and_subtract_all(TileExposures& te, std::span<const LocalPsf> psfs, const LocalList& local, int ls);

// The per-filter stacks of the tile. Values V (stackv_tf, counts stackn_tf)
// and residuals S (stacks_tf, counts stackp_tf) are clipped at 3 scatters; the
// mask level M (stackm_tf) and the star model F (stackf_tf) are plain weighted
// means. V and M depend on the exposures alone and can be formed over part of
// the grid; S and F follow the current model and cover the whole grid.
void stack_values_and_masks(const TileExposures& te, TileStacks& stacks, const StackWindow& window = {});
void stack_residuals(const TileExposures& te, TileStacks& stacks);
void stack_residuals_and_model(const TileExposures& te, TileStacks& stacks);

// Adds an artificial star at tile-grid position (ug, vg) to every exposure.
ArtLevels add_art_to_tile(TileExposures& te, std::span<const LocalPsf> psfs, double ug, double vg,
                          const std::array<double, FDIM>& z, const FilterSlots& filters, bool verbose);

// Local sky level and scatter of local stars 1..ls (barsky_lf, rmssky_lf).
void sky_of_local_stars(const TileExposures& te, LocalList& local, int ls, int fs, bool verbose);

// Sky level and scatter at one tile-grid position, per filter slot.
void sky_at(const TileExposures& te, double ug, double vg, int fs, std::array<float, FDIM>& sky,
            std::array<float, FDIM>& scatter, bool verbose);

}  // namespace zeb
