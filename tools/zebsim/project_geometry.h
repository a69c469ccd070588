// The project's own detector geometry, as the simulator uses it: raw positions
// of simulated stars come from the same inverse distortion that zeb applies, and
// filter indices from the same camera filter lists.
#pragma once

#if __has_include("geometry/distortion.h")
#include "geometry/distortion.h"
#include "setup/image_slots.h"
#else
#include <string>
namespace zeb {
void gc_cf(double x, double y, double& xc, double& yc, int kkk, int flt, int chip, const std::string& filegcs);
void cg_cf(double xc, double yc, double& x, double& y, int kkk, int flt, int chip, const std::string& filegcs);
int which_filt(const std::string& name, int kkk);
}  // namespace zeb
#endif
