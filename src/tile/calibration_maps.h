// Position-dependent photometric corrections of the exposure readers.
#pragma once

namespace zeb {

// Zero-point correction of a WFC3/IR raw position, in magnitudes: bilinear
// interpolation of the 64 x 64 map whose node k lies at raw pixel 8 + 16 (k - 1),
// clamped to the outermost cell. The reader multiplies a pixel by 10^(-z/2.5).
float wfc3ir_zpa(double x, double y);

// The same for WFC3/UVIS in the joint 4096-pixel frame: node k at 32 + 64 (k - 1).
float wfc3uv_zpa(double x, double y);

}  // namespace zeb
