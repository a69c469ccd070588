// The project's own detector geometry, as the simulator uses it: raw positions
// of simulated stars come from the same inverse distortion that zeb applies, and
// filter indices from the same camera filter lists.
#pragma once

#include "geometry/distortion.h"
#include "setup/image_slots.h"
