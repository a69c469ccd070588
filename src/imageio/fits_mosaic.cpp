// Mosaic files: creation with every pixel blank, and strip writes that update a
// window in place, record by record.
#include <algorithm>
#include <cstring>
#include <iostream>

#include "core/file_check.h"
#include "core/fortran_format.h"
#include "core/stop.h"
#include "core/text.h"
#include "imageio/fits_internal.h"

namespace zeb {

using fits_detail::DataUnitWriter;
using fits_detail::HeaderCards;

namespace {

// ---------------------------------------------------------------------------
// Creation.

// The j2 blank: stored -32025 (bit pattern 0x82E7), value -25 before scaling.
constexpr std::int16_t kJ2Blank = -32025;
constexpr unsigned char kB1Blank = 255;

template <typename Pack>
void create_blank_mosaic(const char* routine, const std::string& name, const HeaderCards& header, int nx, int ny,
                         std::size_t bytes_per_pixel, Pack pack_blank) {
  if (nx < 1 || ny < 1) {
    std::cout << routine << ": a mosaic needs at least one pixel, not " << nx << " x " << ny << '\n';
    stop_run();
  }
  std::optional<FitsRecords> file = fits_detail::create_fits(fits_open_name(name));
  if (!file) {
    write_list(std::cout, "WRITFITS ERROR");
    write_list(std::cout, "FILE: " + rtrim(name));
    stop_run();
  }
  file->write(1, header.record());
  DataUnitWriter data(*file, 2);
  // Every pixel is the same: one blank is packed and copied, many pixels at
  // a time.
  unsigned char blank[8] = {};
  pack_blank(blank);
  constexpr long long kChunkPixels = 16384;
  const long long npix = static_cast<long long>(nx) * ny;
  for (long long k = 0; k < npix; k += kChunkPixels) {
    const long long n = std::min(kChunkPixels, npix - k);
    unsigned char* p = data.next(static_cast<std::size_t>(n) * bytes_per_pixel);
    for (long long q = 0; q < n; ++q) std::memcpy(p + q * static_cast<long long>(bytes_per_pixel), blank, bytes_per_pixel);
  }
  data.finish();
}

}  // namespace

void writfits_j2_init(const std::string& name, int nx, int ny, float s, float z) {
  fits_detail::check_positive("writfits_j2_init", "scale", s);
  fits_detail::check_positive("writfits_j2_init", "zoom", z);
  create_blank_mosaic("writfits_j2_init", name, fits_detail::header_style_c_j2(nx, ny, s, z), nx, ny, 2,
                      [](unsigned char* p) { fits_detail::put_be16(p, kJ2Blank); });
}

void writfits_b1_init(const std::string& name, int nx, int ny, float z) {
  fits_detail::check_positive("writfits_b1_init", "zoom", z);
  create_blank_mosaic("writfits_b1_init", name, fits_detail::header_style_c_b1(nx, ny, z), nx, ny, 1,
                      [](unsigned char* p) { p[0] = kB1Blank; });
}

// ---------------------------------------------------------------------------
// Strip writes.

namespace {

struct StripWindow {
  int i0, j0, i1, i2, j1, j2, ldx, ldy;
};

// The window must lie inside the array the caller hands over.
void check_window(const char* routine, const StripWindow& w, View2<const std::int16_t> array) {
  bool ok = w.ldx <= array.nx() && w.ldy <= array.ny() && w.i1 >= 1 && w.j1 >= 1 && w.i2 <= w.ldx && w.j2 <= w.ldy;
  if (ok) return;
  std::cout << routine << ": window [" << w.i1 << ".." << w.i2 << "] x [" << w.j1 << ".." << w.j2
            << "] does not lie in the array of " << w.ldx << " x " << w.ldy << " (held " << array.nx() << " x "
            << array.ny() << ")\n";
  stop_run();
}

// Opens the mosaic for update and parses its header. The carry-over tables are
// blanked, VAFACTOR is set to "  1.000", and then the mosaic's own cards of the
// tables are copied as every header parse does.
FitsRecords open_mosaic(const std::string& name, FitsHeader& header) {
  std::optional<FitsRecords> file = FitsRecords::open(fits_open_name(name), FitsRecords::Access::Update);
  if (!file) {
    say_why_unreadable(std::cout, fits_open_name(name));
    write_list(std::cout, "WRITFITS_I2_32K_RASTX ERROR");
    write_list(std::cout, "FILE: ", rtrim(name));
    stop_run();
  }
  header = parse_fits_header(*file, 1);
  reset_fits_carry_over();
  const auto& keys = hdr_keywords();
  std::size_t vafactor = static_cast<std::size_t>(std::find(keys.begin(), keys.end(), "VAFACTOR") - keys.begin());
  fits_carry_over().hdr.at(vafactor) = pad("  1.000", kCarryOverWidth);
  copy_carry_over(header);
  return std::move(*file);
}

void check_mosaic_header(const FitsHeader& h, int bitpix, int nx, int ny, const std::string& name) {
  if (h.bitpix == bitpix && h.naxis1 == nx && h.naxis2 == ny) return;
  write_list(std::cout, "FILE: " + rtrim(name));
  write_list(std::cout, " NREAD:", h.records_read());
  write_list(std::cout, "NEXTEND:", h.nextend);
  write_list(std::cout, "NAXIS:", h.naxis);
  write_list(std::cout, "LAXIS:", h.naxis1, h.naxis2, h.naxis3);
  write_list(std::cout, "BITPIX:", h.bitpix);
  write_list(std::cout, "BSCALE:", h.bscale);
  write_list(std::cout, "BZERO:", h.bzero);
  stop_run();
}

// Replaces the window's pixels record by record. Pixel k (0-based) of the data
// unit is column k mod nx + 1 of row k div nx + 1; a record is read and
// written back only when it holds a pixel of the window.
template <typename Store>
long write_strip(const char* routine, int bitpix, const std::string& name, View2<const std::int16_t> array,
                 const StripWindow& w, int nx, int ny, Store store) {
  check_window(routine, w, array);
  FitsHeader h;
  FitsRecords file = open_mosaic(name, h);
  check_mosaic_header(h, bitpix, nx, ny, name);
  check_data_unit(h, file);

  // Mosaic columns and rows the window reaches, cut to the mosaic.
  const long long c_lo = std::max(1, w.i0), c_hi = std::min<long long>(nx, static_cast<long long>(w.i0) + w.i2 - w.i1);
  const long long r_lo = std::max(1, w.j0), r_hi = std::min<long long>(ny, static_cast<long long>(w.j0) + w.j2 - w.j1);
  if (c_lo > c_hi || r_lo > r_hi) return 0;

  const int bytes_per_pixel = bitpix / 8;
  const long long per_record = kFitsRecordBytes / bytes_per_pixel;
  const long long npix = static_cast<long long>(nx) * ny;
  const long long first = ((r_lo - 1) * nx + c_lo - 1) / per_record;
  const long long last = ((r_hi - 1) * nx + c_hi - 1) / per_record;

  long written = 0;
  FitsRecord rec;
  for (long long r = first; r <= last; ++r) {
    const long long k0 = r * per_record;
    const long long k1 = std::min(k0 + per_record, npix) - 1;
    const long n = h.data_record + static_cast<long>(r);
    bool loaded = false;
    for (long long row = std::max(k0 / nx + 1, r_lo); row <= std::min(k1 / nx + 1, r_hi); ++row) {
      const long long row_k = (row - 1) * nx;  // k of column 1
      const long long seg_lo = std::max(row_k + c_lo - 1, k0), seg_hi = std::min(row_k + c_hi - 1, k1);
      if (seg_lo > seg_hi) continue;
      if (!loaded) {
        file.read(n, rec);
        loaded = true;
      }
      const long j = static_cast<long>(row - w.j0 + w.j1);
      for (long long k = seg_lo; k <= seg_hi; ++k) {
        const long i = static_cast<long>(k - row_k + 1 - w.i0 + w.i1);
        store(rec.data() + (k - k0) * bytes_per_pixel, array(i, j));
      }
    }
    if (loaded) {
      file.write(n, rec);
      ++written;
    }
  }
  return written;
}

}  // namespace

long writfits_j2_rastx(const std::string& name, View2<const std::int16_t> array, int i0, int j0, int i1, int i2,
                       int j1, int j2, int ldx, int ldy, int nx, int ny) {
  return write_strip("writfits_j2_rastx", 16, name, array, StripWindow{i0, j0, i1, i2, j1, j2, ldx, ldy}, nx, ny,
                     [](unsigned char* p, std::int16_t v) { fits_detail::put_be16(p, v); });
}

long writfits_b1_rastx(const std::string& name, View2<const std::int16_t> array, int i0, int j0, int i1, int i2,
                       int j1, int j2, int ldx, int ldy, int nx, int ny) {
  return write_strip("writfits_b1_rastx", 8, name, array, StripWindow{i0, j0, i1, i2, j1, j2, ldx, ldy}, nx, ny,
                     [](unsigned char* p, std::int16_t v) { p[0] = static_cast<unsigned char>(v & 0xFF); });
}

}  // namespace zeb
