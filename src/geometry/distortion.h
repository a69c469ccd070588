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

// ACS/WFC (double precision), chip ku = 1 (raw rows 2049..4096) or 2 (rows
// 1..2048) of the joint 4096-row frame.
void wfc_gcf(double x, double y, double& xc, double& yc, int flt, int ku);
void wfc_cgf(double xc, double yc, double& x, double& y, int flt, int ku);

// WFC3/UVIS (double precision) for internal chip k = 1 or 2, raw y local to
// the chip (the dispatch applies the 2048-row shift of chip 1).
void wfc3uv_gc_meta_k(double x, double y, double& xc, double& yc, int flt, int k);
void wfc3uv_cg_meta(double xc, double yc, double& x, double& y, int flt, int k);

}  // namespace zeb
