// Exposure-to-reference transformations: each image slot's MAT file (stars
// matched between the reference frame (u, v) and the exposure's corrected
// pixels (x, y)) is fitted with a linear map, the chip's reference pixel is
// located in both systems, and the matched magnitudes give the chip's zero
// point and flux scale. Results go to the per-chip arrays of ImageSlots, to
// standard output and to "LOGK.TRANS_zeb".
#pragma once

#include <span>
#include <string>

#include "core/robust_stats.h"  // barsig, the robust mean of the zero points
#include "setup/run_state.h"

namespace zeb {

// Reference pixel of a chip in raw pixels: axis ixy (1 = i, 2 = j), chip ik
// (1..4), camera code kkk (1..10). Stops on arguments outside those ranges.
int ij_cen(int ixy, int ik, int kkk);

// Least-squares linear map dx = a du + b dv, dy = c du + d dv about the means
// of the n points (no rejection, double precision). With n <= 2 or an exactly
// singular system the identity with zero means is returned. The result is
// true only when the points determine the map: n >= 3 and the (u, v) points
// not all on one line (relative to their spread).
bool glob_fit6nrdp(std::span<const double> u, std::span<const double> v, std::span<const double> x,
                   std::span<const double> y, int n, double& a, double& b, double& c, double& d, double& ubar,
                   double& vbar, double& xbar, double& ybar);

// Reads slot g's MAT file (path as given) and fills the slot's per-chip
// transformation: ucen_cg .. sc_cg for chip 1; zp_cg(1, g) holds the slot's
// zero point on entry and keeps it unless it is -90 or less. An empty slot
// (camera code 0) is left with its initial values; a camera with more than one
// chip stops ("Cs.gt._CDIM_"). A missing file or a malformed line is a
// run-time error naming the file and line; a file that cannot place its
// exposure (fewer than 3 matched stars, a singular fit) stops the run.
void read_mat(const std::string& filemat, int kkk, int flt, const std::string& filegcs, int g, ImageSlots& slots);

// The set-up's MAT step for slots 1..Gs: banner, per-slot fit and rows on
// standard output, and "LOGK.TRANS_zeb".
void read_mat_files(const Settings& settings, ImageSlots& slots, const FilterSlots& filters);

}  // namespace zeb
