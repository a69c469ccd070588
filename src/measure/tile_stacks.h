// The per-filter stacks of a tile: for every point of the 301 x 301 tile grid
// and each filter slot, the co-located pixels of all exposures of that filter
// combined into one robust mean (stack_tile), with the number of exposures used.
#pragma once

#include <cstdint>
#include <span>

#include "core/array.h"
#include "core/limits.h"
#include "geometry/tile_tables.h"

namespace zeb {

// Value of a stack point seen only by exposures with flagged pixels around it.
inline constexpr float STACK_FLAGGED = 99999.0f;

// Clip factors of stack_tile: pixel and residual images are clipped at 3
// scatters; 99.9 (anything above 90) takes the plain weighted mean.
inline constexpr float STACK_CLIP = 3.0f;
inline constexpr float STACK_NO_CLIP = 99.9f;

// Stacks of one tile, 301 x 301 x FDIM (tile grid x filter slot), created when
// the tile starts (all zero) and released when it ends. The end of a tile fills
// them from its final images; the mosaic strips take them from here.
struct TileStacks {
  Array3<float> stackv_tf{TILE_GRID, TILE_GRID, FDIM};  // exposure values (pixv_n)
  Array3<float> stacks_tf{TILE_GRID, TILE_GRID, FDIM};  // residuals, values minus the star model (pixd_n)
  Array3<float> stackf_tf{TILE_GRID, TILE_GRID, FDIM};  // star model (pixf_n)
  Array3<float> stackm_tf{TILE_GRID, TILE_GRID, FDIM};  // bright-star mask level (pixm_n)
  Array3<std::int16_t> stackn_tf{TILE_GRID, TILE_GRID, FDIM};  // exposures used in stackv_tf
  Array3<std::int16_t> stackp_tf{TILE_GRID, TILE_GRID, FDIM};  // exposures used in stacks_tf
  // Stack mask: 1 on grid points 17..285 in both axes, the part of the tile
  // that is pasted into the mosaics.
  Array2<std::uint8_t> stacktu{TILE_GRID, TILE_GRID};
};

// Grid points a stack is formed at, inclusive (the whole tile grid unless
// narrowed).
struct StackWindow {
  int i1 = 1, i2 = TILE_GRID, j1 = 1, j2 = TILE_GRID;
};

// Sets every stack and count to 0 (the mask is left as it is).
void init_stacks(TileStacks& stacks);

// Sets the stack mask: 1 where 17 <= i <= 285 and 17 <= j <= 285, else 0.
void init_stacku(Array2<std::uint8_t>& stacktu);

// Stacks one kind of image (values(., ., n) for n = 1..ns) per filter slot
// F = 1..FDIM into stack(., ., F), and the number of exposures used into
// counts(., ., F) when counts is given. For each grid point and each exposure
// of filter F (fff_n(n) = F): the grid point mapped into the raster, its
// nearest pixel (ix, iy) must lie in 2..300; a flag value 1 among the 3 x 3
// pixels around it counts the exposure as flagged; with all nine flags 0 the
// value at (ix, iy) is a sample with weight 1000 / pixe(ix, iy)^2. The samples
// are combined by barsigw with clip factor k, replaced by barsig_sns when there
// are fewer than 11 and k < 10. A point with no sample used but a flagged
// exposure gets STACK_FLAGGED; a value not above -9999 (or not a number) 0.
// Only the grid points of `window` (clipped to the grid) are formed; the rest
// of the stack is left as it is. Allocates nothing per grid point.
void stack_tile(int ns, const Array1<int>& fff_n, const Array3<float>& xtab_n, const Array3<float>& ytab_n,
                const Array3<float>& values, const Array3<float>& pixe_n, const Array3<std::uint8_t>& pixu_n,
                Array3<float>& stack, Array3<std::int16_t>* counts, float k, const StackWindow& window = {});

// One kind of image to stack: its values, the stack and counts it goes into
// and its clip factor.
struct StackJob {
  const Array3<float>& values;
  Array3<float>& stack;
  Array3<std::int16_t>* counts;
  float k;
};

// stack_tile for several kinds of image of the same exposures at once: where
// each grid point falls, its flags and its weights are worked out once for all
// of them. Each stack is the one stack_tile forms for its kind alone.
void stack_tiles(int ns, const Array1<int>& fff_n, const Array3<float>& xtab_n, const Array3<float>& ytab_n,
                 const Array3<float>& pixe_n, const Array3<std::uint8_t>& pixu_n, std::span<const StackJob> jobs,
                 const StackWindow& window = {});

}  // namespace zeb
