#include "tile/exposure_readers.h"

#include <algorithm>
#include <cmath>
#include <iostream>

#include "core/bilinear.h"
#include "core/file_check.h"
#include "core/fortran_format.h"
#include "core/stop.h"
#include "core/text.h"
#include "imageio/fits.h"
#include "tile/calibration_maps.h"

namespace zeb {

namespace {

template <typename T>
void fill_view(View2<T> a, T v) {
  std::fill(a.data(), a.data() + a.size(), v);
}

// Parses the header that starts at `record` and adds its cards to the header
// carry-over tables.
FitsHeader read_header(const FitsRecords& file, long record) {
  FitsHeader h = parse_fits_header(file, record);
  copy_carry_over(h);
  return h;
}

// ---------------------------------------------------------------------------
// 16-bit joint frame.

constexpr long kGapFirstRow = 2045, kGapLastRow = 2052;

struct Pixel {
  float value, error;
  std::uint8_t flag;
};

float count_error(float f) { return std::sqrt(std::max(f, 1.0f) + 20.25f); }

// Compressed ("WJL") encoding: linear up to 6000, geometric above.
Pixel decode_wjl(std::int16_t s) {
  float f = static_cast<float>(s) + 32000.0f;
  Pixel p{f, count_error(f), kPixGood};
  if (p.value <= -700.0f) p = Pixel{10000.0f, 99999.0f, kPixSaturated};
  if (f > 6000.0f) {
    f = static_cast<float>(6000.0 * std::pow(1.0 + 1.0 / 6000.0, static_cast<double>(f) - 6000.0));
    p = Pixel{f, count_error(f), kPixGood};
  }
  return p;
}

// Plain ("WJ2") encoding: linear, stretched by 5 above 55000; -750 marks a
// saturated pixel.
Pixel decode_wj2(std::int16_t s) {
  float f = static_cast<float>(s) + 32000.0f;
  if (f > 55000.0f) f = (f - 55000.0f) * 5.0f + 55000.0f;
  Pixel p{f, count_error(f), kPixGood};
  if (f < -50.0f) p.flag = kPixNegative;
  if (p.value == -750.0f) p = Pixel{10000.0f, 99999.0f, kPixSaturated};
  if (p.value > 60000.0f) {
    p.flag = kPixBad;
    p.error = 99999.0f;
  }
  return p;
}

void stop_wj2_open(const std::string& name, int itil, int jtil, int nx, int ny) {
  say_why_unreadable(std::cout, fits_open_name(name));
  write_list(std::cout, "READFITS_wfc3uv_wj2_rast ERROR");
  write_list(std::cout, "FILE: ", rtrim(name));
  write_list(std::cout, "  ic: ", itil, jtil);
  write_list(std::cout, "  NX: ", nx, ny);
  stop_run();
}

void stop_wj2_bitpix(const std::string& name, long long bitpix) {
  write_list(std::cout, "readfits_i2...: ");
  write_list(std::cout, std::string(16, ' '));
  write_list(std::cout, "   you called a routine to read in an");
  write_list(std::cout, "   unsigned i2 image, and the image you");
  write_list(std::cout, "   gave it has BITPIX = ", bitpix);
  write_list(std::cout, std::string(3, ' '));
  write_list(std::cout, "   FILEU: ", rtrim(name));
  write_list(std::cout, std::string(3, ' '));
  stop_run();
}

void stop_wj2_size(const std::string& name, long long naxis1, long long naxis2, int nx, int ny) {
  write_list(std::cout, " not enough image space! ");
  write_list(std::cout, "   FILE: " + rtrim(name));
  write_list(std::cout);
  write_list(std::cout, "  laxis1: ", naxis1);
  write_list(std::cout, "      NX: ", nx);
  write_list(std::cout);
  write_list(std::cout, "  laxis2: ", naxis2);
  write_list(std::cout, "      NY: ", ny);
  write_list(std::cout);
  stop_run();
}

// ---------------------------------------------------------------------------
// WFC3/IR.

constexpr float kIrErrorFloor = 0.15f;

std::uint8_t ir_flag(std::uint16_t w, float value, float error) {
  std::uint8_t flag = kPixGood;
  if (w & 256) flag = kPixSaturated;
  if (w & 2) flag = kPixBad;
  if (w & 4) flag = kPixBad;
  if ((w & 32) && std::fabs(value) < 0.001f && std::fabs(error) < 0.001f) flag = kPixBad;
  return flag;
}

void stop_ir(const std::string& name, const std::string& what) {
  write_list(std::cout, "readfits_wfc3ir_flt_rast: ", what);
  write_list(std::cout, "FILE: ", rtrim(name));
  stop_run();
}

// ---------------------------------------------------------------------------
// ACS/HRC.

constexpr int kHrcSide = 1024;

}  // namespace

// ---------------------------------------------------------------------------

void readfits_wfc3uv_wj2_rast(const std::string& name, View2<float> values, View2<float> errors,
                              View2<std::uint8_t> flags, int itil, int jtil, int nx, int ny) {
  fill_view(values, -500.0f);
  fill_view(errors, 9999.9f);
  fill_view(flags, kPixNoData);
  if (!has_fits_suffix(name)) {
    write_list(std::cout, "writfits_i2 bomb...");
    write_list(std::cout, "no .fits in filename...");
    write_list(std::cout, "FILE: ", rtrim(name));
    stop_run();
  }
  const bool compressed = name.find("WJL.fits") != std::string::npos;
  std::optional<FitsRecords> file = FitsRecords::open(fits_open_name(name), FitsRecords::Access::Read);
  if (!file) stop_wj2_open(name, itil, jtil, nx, ny);
  reset_fits_carry_over();
  const FitsHeader h = read_header(*file, 1);
  if (h.bitpix != 16) stop_wj2_bitpix(name, h.bitpix);
  if (h.naxis1 != 4096 && h.naxis2 != 4096) stop_wj2_size(name, h.naxis1, h.naxis2, nx, ny);
  check_data_unit(h, *file);

  read_window(*file, h, 2, window_around(itil, jtil, nx, ny),
              [&](int xt, int yt, long long y, const unsigned char* bytes) {
                Pixel p = compressed ? decode_wjl(get_be_int16(bytes)) : decode_wj2(get_be_int16(bytes));
                if (y >= kGapFirstRow && y <= kGapLastRow) p = Pixel{-750.0f, 9999.9f, kPixNoData};
                values(xt, yt) = p.value;
                errors(xt, yt) = p.error;
                flags(xt, yt) = p.flag;
              });
}

void readfits_wfc3ir_flt_rast(const std::string& name, View2<float> values, View2<float> errors,
                              View2<std::uint8_t> flags, int itil, int jtil, int nx, int ny) {
  fill_view(values, -500.0f);
  fill_view(errors, 99999.0f);
  fill_view(flags, kPixNoData);
  std::optional<FitsRecords> file = FitsRecords::open(fits_open_name(name), FitsRecords::Access::Read);
  if (!file) {
    // "READFITS ERROR" alone would not say which of a tile's exposures is
    // missing; the file is named as the 16-bit reader names its own.
    say_why_unreadable(std::cout, fits_open_name(name));
    write_list(std::cout, "READFITS ERROR");
    write_list(std::cout, "FILE: ", rtrim(name));
    stop_run();
  }
  reset_fits_carry_over();
  const FitsHeader primary = read_header(*file, 1);
  long next = primary.next_header_record(file->path());

  // The science, error and data-quality extensions, in this order.
  FitsHeader ext[3];
  const char* what[3] = {"science", "error", "data-quality"};
  for (int e = 0; e < 3; ++e) {
    if (next > file->count())
      stop_ir(name, std::string("the file ends before its ") + what[e] + " extension (extension " +
                        std::to_string(e + 1) + ")");
    ext[e] = read_header(*file, next);
    if (e == 0 && ext[e].bitpix != -32) {
      write_list(std::cout, "prob");
      write_list(std::cout, "readfits_wfc3ir_flt_rast: " + rtrim(name) + ", extension 1 (science): BITPIX = " +
                                std::to_string(ext[e].bitpix) + ", not -32");
      stop_run();
    }
    check_data_unit(ext[e], *file);
    next = ext[e].next_header_record(file->path());
  }
  if (ext[1].bitpix != -32)
    stop_ir(name, "the error extension has BITPIX " + std::to_string(ext[1].bitpix) + ", not -32");
  if (ext[2].bitpix != 16)
    stop_ir(name, "the data-quality extension has BITPIX " + std::to_string(ext[2].bitpix) + ", not 16");
  for (int e = 1; e < 3; ++e) {
    // Values, errors and flags are paired pixel by pixel: the three images
    // must have one shape.
    if (ext[e].naxis1 != ext[0].naxis1 || ext[e].naxis2 != ext[0].naxis2 ||
        (ext[e].naxis > 0) != (ext[0].naxis > 0))
      stop_ir(name, std::string("the ") + what[e] + " extension is " + std::to_string(ext[e].naxis1) + " x " +
                        std::to_string(ext[e].naxis2) + ", the science extension " + std::to_string(ext[0].naxis1) +
                        " x " + std::to_string(ext[0].naxis2));
  }

  const FitsWindow w = window_around(itil, jtil, nx, ny);
  read_window(*file, ext[0], 4, w, [&](int xt, int yt, long long, const unsigned char* b) { values(xt, yt) = get_be_float(b); });
  read_window(*file, ext[1], 4, w, [&](int xt, int yt, long long, const unsigned char* b) { errors(xt, yt) = get_be_float(b); });
  read_window(*file, ext[2], 2, w, [&](int xt, int yt, long long, const unsigned char* b) {
    const std::uint16_t dq = static_cast<std::uint16_t>(get_be_int16(b));
    float& value = values(xt, yt);
    float& error = errors(xt, yt);
    // The zero-signal rule looks at the error as the file holds it: after the
    // 0.15 floor no error could pass its |error| < 0.001 test.
    flags(xt, yt) = ir_flag(dq, value, error);
    error = std::max(error, kIrErrorFloor);
    if (!std::isfinite(value) || !std::isfinite(error)) {
      // A pixel the file holds no number for carries no information: it is
      // excluded rather than let through into sums and fits.
      value = 0.0f;
      error = 99999.0f;
      flags(xt, yt) = kPixBad;
    }
  });
}

void readfits_hrc_i4_rast(const std::string& name, View2<float> values, View2<float> errors,
                          View2<std::uint8_t> flags, int itil, int jtil, int nx, int ny) {
  fill_view(values, -999.0f);
  fill_view(errors, 999.0f);
  fill_view(flags, kPixBad);
  std::optional<FitsRecords> file = FitsRecords::open(fits_open_name(name), FitsRecords::Access::Read);
  if (!file) readfits_open_failure(name);
  reset_fits_carry_over();
  const FitsHeader h = read_header(*file, 1);
  check_i4_image(h, kHrcSide, kHrcSide, name);
  check_data_unit(h, *file);
  read_window(*file, h, 4, window_around(itil, jtil, nx, ny),
              [&](int xt, int yt, long long, const unsigned char* b) {
                const float count = static_cast<float>(get_be_int32(b));
                values(xt, yt) = count;
                errors(xt, yt) = std::sqrt(std::max(count, 0.0f) + 16.0f);
                flags(xt, yt) = kPixGood;
              });
  for (std::size_t k = 0; k < values.size(); ++k) {
    if (values.data()[k] > 119000.0f) {
      flags.data()[k] = kPixSaturated;
      errors.data()[k] = 999999.0f;
      values.data()[k] = 120000.0f;
    }
  }
}

void apply_correction_map(View2<float> values, int itil, int jtil, int s, float (*zpa)(double, double)) {
  const int nx = static_cast<int>(values.nx()), ny = static_cast<int>(values.ny());
  const int hx = (nx - 1) / 2, hy = (ny - 1) / 2;
  const int ilo = std::max(itil - hx, 1), ihi = std::min(itil + hx, s);
  const int jlo = std::max(jtil - hy, 1), jhi = std::min(jtil + hy, s);
  const float z11 = zpa(ilo, jlo), z21 = zpa(ihi, jlo), z12 = zpa(ilo, jhi), z22 = zpa(ihi, jhi);
  if (!(ihi > ilo && jhi > jlo)) return;
  for (int yt = 1; yt <= ny; ++yt) {
    const int y = jtil + yt - (hy + 1);
    if (y < jlo || y > jhi) continue;
    const float fy = static_cast<float>(y - jlo) / static_cast<float>(jhi - jlo);
    for (int xt = 1; xt <= nx; ++xt) {
      const int x = itil + xt - (hx + 1);
      if (x < ilo || x > ihi) continue;
      const float fx = static_cast<float>(x - ilo) / static_cast<float>(ihi - ilo);
      const float z = bilinear(z11, z21, z12, z22, fx, fy);
      values(xt, yt) *= std::pow(10.0f, -z / 2.5f);
    }
  }
}

void read_tile(const std::string& filepix, int kkk, int /*chip*/, int itil, int jtil, View2<float> values,
               View2<float> errors, View2<std::uint8_t> flags, float sky) {
  const int nx = static_cast<int>(values.nx()), ny = static_cast<int>(values.ny());
  switch (kkk) {
    case 1:
      write_list(std::cout, "cannot read in wfpc2 yet...");
      stop_run();
    case 7:
      readfits_hrc_i4_rast(filepix, values, errors, flags, itil, jtil, nx, ny);
      return;
    case 5:
    case 8:
      readfits_wfc3uv_wj2_rast(filepix, values, errors, flags, itil, jtil, nx, ny);
      for (std::size_t k = 0; k < values.size(); ++k)
        if (flags.data()[k] == kPixGood) values.data()[k] -= sky;
      apply_correction_map(values, itil, jtil, 4096, kkk == 5 ? wfc_zpa : wfc3uv_zpa);
      return;
    case 9:
      readfits_wfc3ir_flt_rast(filepix, values, errors, flags, itil, jtil, nx, ny);
      apply_correction_map(values, itil, jtil, 1014, wfc3ir_zpa);
      return;
    default:
      return;
  }
}

}  // namespace zeb
