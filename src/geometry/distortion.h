// Detector distortion solutions: raw chip pixels <-> distortion-corrected pixels.
//
// gc_cf (raw to corrected) and cg_cf (corrected to raw) serve the whole
// program; they pick the built-in solution of the camera code. Every forward
// map is a closed formula (polynomial plus look-up-table residuals); every
// inverse is a damped fixed-point iteration on the forward map.
//
// Camera codes: 5 ACS/WFC (chips 1, 2), 7 ACS/HRC, 8 WFC3/UVIS (chips 1, 2),
// 9 WFC3/IR, 1 WFPC2 (no solution: stop). Any other code leaves the outputs
// untouched. A distortion-solution name other than "NULL" asks for a
// file-based solution, which this system does not have: the run stops.
#pragma once

#include <string>

namespace zeb {

void gc_cf(double x, double y, double& xc, double& yc, int kkk, int flt, int chip, const std::string& filegcs);
void cg_cf(double xc, double yc, double& x, double& y, int kkk, int flt, int chip, const std::string& filegcs);

// The per-camera solutions behind the dispatch.

// WFC3/IR (single precision): the cubic polynomial alone, and the full forward
// map (polynomial minus the 11 x 11 residual tables) with its inverse.
void wfc3ir_poly(double x, double y, double& xc, double& yc);
void wfc3ir_gc(double x, double y, double& xc, double& yc);
void wfc3ir_cg(double xc, double yc, double& x, double& y);

// ACS/HRC (single precision): quartic polynomial added to the raw position,
// then the per-filter residual (filter index 1..10).
void hrc_gcf(double x, double y, double& xc, double& yc, int flt);
void hrc_cgf(double xc, double yc, double& x, double& y, int flt);

// The ACS/WFC distortion polynomial, also the source of the chips' pixel
// areas. Per chip an x polynomial (15 terms) then a y polynomial (15 terms);
// entries 1..30 for chip 1 with Y = (j - 3072) / 1024, entries 31..60 for
// chip 2 with Y = (j - 1024) / 1024; X = (i - 2048) / 2048 for both.
inline constexpr double WFC_POLY[60] = {
    4.222858,  -25.8109722, 7.5227451,  35.1100426, -15.4586792, 2.224611,    -3.9974229, -0.461412,
    -1.137435, 0.069899,    0.365157,   0.297704,   0.451025,    -0.059556,   0.16458,    2090.8291016,
    166.6364441, -22.5819912, -9.2248287, 11.8548412, -9.8124752, 0.450533,  -1.922356,  -0.151181,
    -0.408813, -0.294261,   -0.302678,  -0.414122,  0.10131,     -0.188003,   -0.013903,  0.115885,
    -0.014278, 35.8456612,  -10.9553528, 2.264019,  -4.0188618,  -0.189312,   -1.135375,  0.008529,
    0.419362,  0.099082,    0.167527,   -0.036017,  -0.000001,   0.023567,    141.2454987, 11.9044418,
    -4.9667311, 12.4176483, -7.4886379, 0.463892,   -2.23911,    -0.249694,   -0.464881,  -0.258344,
    -0.022357, -0.105517,   -0.050072,  -0.031641};

// ACS/WFC (double precision), chip ku = 1 (raw rows 2049..4096) or 2 (rows
// 1..2048) of the joint 4096-row frame.
void wfc_gcf(double x, double y, double& xc, double& yc, int flt, int ku);
void wfc_cgf(double xc, double yc, double& x, double& y, int flt, int ku);

// WFC3/UVIS (double precision) for internal chip k = 1 or 2, raw y local to
// the chip (the dispatch applies the 2048-row shift of chip 1).
void wfc3uv_gc_meta_k(double x, double y, double& xc, double& yc, int flt, int k);
void wfc3uv_cg_meta(double xc, double yc, double& x, double& y, int flt, int k);

}  // namespace zeb
