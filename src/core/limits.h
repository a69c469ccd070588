// Compile-time limits of the run. Messages name them by their tokens
// (_GDIM_, _NDIM_, ...).
#pragma once

namespace zeb {

inline constexpr int GDIM = 35;         // image slots
inline constexpr int FDIM = 2;          // filter slots
inline constexpr int CDIM = 2;          // chips per image slot in the per-chip arrays
inline constexpr int NDIM = 35;         // exposures overlapping one tile
inline constexpr int LDIM = 2999;       // stars in the local list of one tile
inline constexpr int NSTMAX = 199999;   // stars in the master list
inline constexpr int ARTMAX = 199999;   // artificial stars
inline constexpr int ART_LOCAL_MAX = 999;  // artificial stars of one tile (numbered with three digits)
inline constexpr int HASHDM = 99;       // tile indices and hash grid
inline constexpr int HASH_CELL_MAX = 32767;  // members of one hash cell (16-bit count)
inline constexpr int BDIM = 3500;       // bright reference stars
inline constexpr int PXDIMX1 = 1200;    // 1x mosaic width
inline constexpr int PXDIMY1 = 1200;    // 1x mosaic height
inline constexpr int PXDIMX2 = 2400;    // 2x mosaic width
inline constexpr int PXDIMY2 = 2400;    // 2x mosaic height
inline constexpr int TILE_GRID = 301;   // 2x-sampled pixels of one tile
inline constexpr int NITDIM = 10;       // per-iteration settings (entry 11 is "NIT00")
inline constexpr int PSF_NPIX = 101;    // PSF grid side
inline constexpr int PSF_NX = 9;        // PSF library columns
inline constexpr int PSF_NY = 10;       // PSF library rows
inline constexpr int PSF_MASK_NPIX = 901;

}  // namespace zeb
