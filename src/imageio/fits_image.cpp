// Whole-image readers (r4, i4) and writers (r4, i2, b1 and the per-tile _ltv forms).
#include <algorithm>
#include <climits>
#include <iostream>

#include "core/file_check.h"
#include "core/fortran_format.h"
#include "core/stop.h"
#include "core/text.h"
#include "imageio/fits_internal.h"

namespace zeb {

using fits_detail::DataUnitWriter;
using fits_detail::HeaderCards;

void readfits_open_failure(const std::string& name) {
  say_why_unreadable(std::cout, fits_open_name(name));
  write_list(std::cout);
  write_list(std::cout, "READFITS ERROR: ");
  write_list(std::cout);
  write_record_v(std::cout, "('   could not read in file:   ',80a)", fits_detail::chars(rtrim(name)));
  write_list(std::cout);
  stop_run();
}

namespace {

// ---------------------------------------------------------------------------
// Reading.

// Opens a reader's file and parses its header, filling the carry-over tables.
FitsRecords open_image(const std::string& name, FitsHeader& header) {
  std::optional<FitsRecords> file = FitsRecords::open(fits_open_name(name), FitsRecords::Access::Read);
  if (!file) readfits_open_failure(name);
  header = parse_fits_header(*file, 1);
  refill_carry_over(header);
  return std::move(*file);
}

// Columns and rows of the first image plane; the file must hold the whole data
// unit the header describes.
struct Plane {
  long long ncols = 0, nrows = 0;
};

Plane first_plane(const FitsHeader& h, const FitsRecords& file) {
  check_data_unit(h, file);
  if (h.data_bytes(file.path()) == 0) return Plane{};
  return Plane{h.naxis1, h.naxis >= 2 ? h.naxis2 : 1};
}

// Unpacks the records of the first plane one at a time, storing pixel (col, row)
// into array(col, row) when it lies within nxdim x nydim; stops after the last
// row that can be stored.
template <typename T, typename Decode>
void read_plane(const FitsRecords& file, const FitsHeader& h, Plane plane, int bytes_per_pixel, View2<T> array,
                long nxdim, long nydim, Decode decode) {
  const long per_record = kFitsRecordBytes / bytes_per_pixel;
  const long long npix = plane.ncols * plane.nrows;
  long long k = 0;
  long long col = 1, row = 1;
  FitsRecord rec;
  for (long n = h.data_record; k < npix && row <= nydim; ++n) {
    file.read(n, rec);
    for (long p = 0; p < per_record && k < npix; ++p, ++k) {
      if (col <= nxdim && row <= nydim) array(col, row) = decode(rec.data() + p * bytes_per_pixel);
      if (++col > plane.ncols) {
        col = 1;
        ++row;
      }
    }
  }
}

void check_reader_array(const char* routine, long nxdim, long nydim, long array_nx, long array_ny) {
  if (nxdim >= 0 && nydim >= 0 && nxdim <= array_nx && nydim <= array_ny) return;
  std::cout << routine << ": dimensions " << nxdim << " x " << nydim << " exceed the array of " << array_nx << " x "
            << array_ny << '\n';
  stop_run();
}

}  // namespace

void readfits_r4(const std::string& name, View2<float> array, int nxdim, int nydim) {
  check_reader_array("readfits_r4", nxdim, nydim, array.nx(), array.ny());
  FitsHeader h;
  FitsRecords file = open_image(name, h);
  if (h.bitpix != -32) {
    write_list(std::cout, "prob");
    write_list(std::cout, "readfits_r4: " + rtrim(name) + " has BITPIX = " + std::to_string(h.bitpix) + ", not -32");
    stop_run();
  }
  Plane plane = first_plane(h, file);
  read_plane(file, h, plane, 4, array, nxdim, nydim, get_be_float);
}

void check_i4_image(const FitsHeader& h, int nxdim, int nydim, const std::string& name) {
  if (h.naxis1 != nxdim || h.naxis2 != nydim) {
    write_list(std::cout, "FITS image not the expected dimensions:");
    write_list(std::cout, " FILE: " + rtrim(name));
    write_list(std::cout, " input NX: ", nxdim);
    write_list(std::cout, " input NY: ", nydim);
    write_list(std::cout, " laxis(1): ", h.naxis1);
    write_list(std::cout, " laxis(2): ", h.naxis2);
    stop_run();
  }
  if (h.bitpix != 32) {
    write_list(std::cout, "readfits_i4...: ");
    write_list(std::cout, "you called a routine to read in a");
    write_list(std::cout, "long i*4 image, and the image you");
    write_list(std::cout, "gave it has BITPIX = ", h.bitpix);
    write_list(std::cout, " FILE: " + rtrim(name));
    stop_run();
  }
}

void readfits_i4(const std::string& name, View2<std::int32_t> array, int nxdim, int nydim) {
  check_reader_array("readfits_i4", nxdim, nydim, array.nx(), array.ny());
  FitsHeader h;
  FitsRecords file = open_image(name, h);
  check_i4_image(h, nxdim, nydim, name);
  Plane plane = first_plane(h, file);
  read_plane(file, h, plane, 4, array, nxdim, nydim,
             get_be_int32);
}

// ---------------------------------------------------------------------------
// Writing.

namespace {

[[noreturn]] void writfits_open_failure(const std::string& name) {
  write_list(std::cout, "WRITFITS ERROR");
  write_list(std::cout, "FILE: " + rtrim(name));
  stop_run();
}

// Writes the header record and then the pixels (i fastest), each packed by
// `pack` into `bytes_per_pixel` big-endian bytes, into a new file.
template <typename T, typename Pack>
void write_image(FitsRecords& file, const HeaderCards& header, View2<const T> array, int nx, int ny,
                 std::size_t bytes_per_pixel, Pack pack) {
  file.write(1, header.record());
  DataUnitWriter data(file, 2);
  for (long j = 1; j <= ny; ++j)
    for (long i = 1; i <= nx; ++i) pack(data.next(bytes_per_pixel), array(i, j));
  data.finish();
}

std::int16_t saturate16(int v) { return static_cast<std::int16_t>(std::clamp(v, -32768, 32767)); }

void pack_i2(unsigned char* p, std::int16_t v) { fits_detail::put_be16(p, v); }
void pack_int(unsigned char* p, int v) { fits_detail::put_be16(p, saturate16(v)); }
void pack_b1(unsigned char* p, std::uint8_t v) { p[0] = v; }
void pack_r4(unsigned char* p, float v) { fits_detail::put_be_float(p, v); }

template <typename T, typename Pack>
void write_i2_style_a(const std::string& name, View2<const T> array, int nx, int ny, Pack pack) {
  fits_detail::check_image_fits_array("writfits_i2", nx, ny, array.nx(), array.ny());
  if (!has_fits_suffix(fit_field(name, 80, "FITS file name"))) {
    write_list(std::cout, "writfits_i2 bomb...");
    write_list(std::cout, "no .fits in filename...");
    write_list(std::cout, "FILE: ", rtrim(name));
    stop_run();
  }
  std::optional<FitsRecords> file = fits_detail::create_fits(fits_open_name(name));
  if (!file) writfits_open_failure(name);
  write_image(*file, fits_detail::header_style_a(16, nx, ny), array, nx, ny, 2, pack);
}

template <typename T, typename Pack>
void write_i2_style_b(const std::string& name, View2<const T> array, int nx, int ny, float z, Pack pack) {
  fits_detail::check_image_fits_array("writfits_i2_ltv", nx, ny, array.nx(), array.ny());
  fits_detail::check_positive("writfits_i2_ltv", "zoom", z);
  std::optional<FitsRecords> file = fits_detail::create_fits(fits_open_name(name));
  if (!file) writfits_open_failure(name);
  write_image(*file, fits_detail::header_style_b_i2(nx, ny, z), array, nx, ny, 2, pack);
}

}  // namespace

void writfits_r4(const std::string& name, View2<const float> array, int nx, int ny) {
  fits_detail::check_image_fits_array("writfits_r4", nx, ny, array.nx(), array.ny());
  std::optional<FitsRecords> file = fits_detail::create_fits(fits_open_name(name));
  if (!file) {
    write_list(std::cout, "writfits_r4 ERROR", rtrim(name));
    stop_run();
  }
  write_image(*file, fits_detail::header_style_a_prime(nx, ny), array, nx, ny, 4, pack_r4);
}

void writfits_i2(const std::string& name, View2<const std::int16_t> array, int nx, int ny) {
  write_i2_style_a(name, array, nx, ny, pack_i2);
}

void writfits_i2(const std::string& name, View2<const int> array, int nx, int ny) {
  write_i2_style_a(name, array, nx, ny, pack_int);
}

void writfits_b1(const std::string& name, View2<const std::uint8_t> array, int nx, int ny) {
  fits_detail::check_image_fits_array("writfits_b1", nx, ny, array.nx(), array.ny());
  std::optional<FitsRecords> file = fits_detail::create_fits(fits_open_name(name));
  if (!file) writfits_open_failure(name);
  write_image(*file, fits_detail::header_style_a(8, nx, ny), array, nx, ny, 1, pack_b1);
}

void writfits_i2_ltv(const std::string& name, View2<const std::int16_t> array, int nx, int ny, float z) {
  write_i2_style_b(name, array, nx, ny, z, pack_i2);
}

void writfits_i2_ltv(const std::string& name, View2<const int> array, int nx, int ny, float z) {
  write_i2_style_b(name, array, nx, ny, z, pack_int);
}

void writfits_r4_ltv(const std::string& name, View2<const float> array, int nx, int ny, float z) {
  fits_detail::check_image_fits_array("writfits_r4_ltv", nx, ny, array.nx(), array.ny());
  fits_detail::check_positive("writfits_r4_ltv", "zoom", z);
  std::optional<FitsRecords> file = fits_detail::create_fits(fits_open_name(name));
  if (!file) writfits_open_failure(name);
  write_image(*file, fits_detail::header_style_b_r4(nx, ny, z), array, nx, ny, 4, pack_r4);
}

}  // namespace zeb
