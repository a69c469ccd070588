// The two entry points of the distortion solutions: pick the camera's built-in
// solution (or stop for the cases that have none).
#include "geometry/distortion.h"

#include <iostream>

#include "core/fortran_format.h"
#include "core/stop.h"
#include "core/text.h"

namespace zeb {

namespace {

bool wants_file_solution(const std::string& filegcs) { return columns(filegcs, 1, 4) != "NULL"; }

// A distortion-solution file was named: this system has only the built-in
// solutions, so the run stops after saying what was asked for. No file
// solution is ever held, hence the blank FILEH.
[[noreturn]] void stop_file_solution(const std::string& filegcs, double x, double y, double xc, double yc,
                                     int chip) {
  write_list(std::cout, "STDGC NEEDS TO BE SAFE FOR OPENMP...");
  write_list(std::cout, "  FILEH: ", "");
  write_list(std::cout, "  FILEI: ", rtrim(filegcs));
  write_list(std::cout, "     xr: ", x, y);
  write_list(std::cout, "     xc: ", xc, yc);
  write_list(std::cout, "      k: ", chip);
  stop_run();
}

constexpr double kUvChipShift = 2048.0;

}  // namespace

void gc_cf(double x, double y, double& xc, double& yc, int kkk, int flt, int chip, const std::string& filegcs) {
  if (wants_file_solution(filegcs)) stop_file_solution(filegcs, x, y, xc, yc, chip);
  if (kkk == 5 && (chip == 1 || chip == 2)) {
    wfc_gcf(x, y, xc, yc, flt, chip);
  } else if (kkk == 8 && chip == 1) {
    wfc3uv_gc_meta_k(x, y - kUvChipShift, xc, yc, flt, 2);
  } else if (kkk == 8 && chip == 2) {
    wfc3uv_gc_meta_k(x, y, xc, yc, flt, 1);
  } else if (kkk == 9) {
    wfc3ir_gc(x, y, xc, yc);
  } else if (kkk == 7) {
    hrc_gcf(x, y, xc, yc, flt);
  } else if (kkk == 1) {
    stop_run("wfpc2 correction not matched to image");
  }
  // Any other code: the outputs are left as they were.
}

void cg_cf(double xc, double yc, double& x, double& y, int kkk, int flt, int chip, const std::string& filegcs) {
  // The inverse would call the forward conversion on its first iterate, which
  // is (xc, yc), with fresh (zero) outputs, and stop there.
  if (wants_file_solution(filegcs)) stop_file_solution(filegcs, xc, yc, 0.0, 0.0, chip);
  if (kkk == 5 && (chip == 1 || chip == 2)) {
    wfc_cgf(xc, yc, x, y, flt, chip);
  } else if (kkk == 8 && chip == 1) {
    // Only the requested internal chip is inverted: the other's result would
    // not be used.
    wfc3uv_cg_meta(xc, yc, x, y, flt, 2);
    y += kUvChipShift;
  } else if (kkk == 8 && chip == 2) {
    wfc3uv_cg_meta(xc, yc, x, y, flt, 1);
  } else if (kkk == 9) {
    wfc3ir_cg(xc, yc, x, y);
  } else if (kkk == 7) {
    hrc_cgf(xc, yc, x, y, flt);
  } else if (kkk == 1) {
    stop_run("wfpc2 rawrection not matched to image");
  }
}

}  // namespace zeb
