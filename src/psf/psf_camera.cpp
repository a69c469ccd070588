#include "psf/psf_camera.h"

#include <cmath>
#include <iostream>

#include "core/fortran_format.h"
#include "core/stop.h"
#include "core/text.h"
#include "imageio/fits.h"
#include "psf/psf.h"

namespace zeb {

namespace {

// Fiducials ip = 1..nip, jp = 1..njp, fiducial (ip, jp) from image pixels
// (a + 100 (ip - 1), b + 100 (jp - 1)).
void copy_fiducial_mosaic(View2<const float> image, int nip, int njp, CameraPsf& psf) {
  for (int jp = 1; jp <= njp; ++jp)
    for (int ip = 1; ip <= nip; ++ip)
      for (int b = 1; b <= PSF_NPIX; ++b)
        for (int a = 1; a <= PSF_NPIX; ++a) psf(a, b, ip, jp) = image(a + 100 * (ip - 1), b + 100 * (jp - 1));
}

void write_rows(std::ostream& os, const CameraPsf& psf, int row_hi, int row_lo, int col_lo, int step) {
  for (int b = row_hi; b >= row_lo; b -= step) {
    std::vector<FArg> items{FArg(b)};
    for (int k = 0; k < 11; ++k) items.emplace_back(psf(col_lo + step * k, b, 1, 1));
    write_record_v(os, "(10x,i2,1x,11f8.4)", items);
  }
}

// A float camera file must be the stated image: another size would leave part
// of the fiducials unread (0) or read them from the wrong pixels. (The open
// failure and a BITPIX other than -32 are reported by readfits_r4 itself.)
void require_image_size(const std::string& file, const char* kind, int nx, int ny) {
  std::optional<FitsRecords> records = FitsRecords::open(fits_open_name(file), FitsRecords::Access::Read);
  if (!records) return;
  const FitsHeader h = parse_fits_header(*records, 1);
  if (h.naxis1 == nx && h.naxis2 == ny) return;
  write_list(std::cout, std::string(kind) + " PSF file is not the expected image:");
  write_list(std::cout, " FILE: ", rtrim(file));
  write_list(std::cout, " NAXIS1, NAXIS2: ", h.naxis1, h.naxis2);
  write_list(std::cout, " expected: ", nx, ny);
  stop_run();
}

void require_finite(const Array2<float>& image, const std::string& file) {
  for (long j = 1; j <= image.ny(); ++j)
    for (long i = 1; i <= image.nx(); ++i)
      if (!std::isfinite(image(i, j)))
        run_error(fits_open_name(file), "PSF pixel (" + std::to_string(i) + "," + std::to_string(j) +
                                            ") is not a finite number");
}

// Reads a whole float camera file of nx x ny pixels.
Array2<float> read_float_image(const std::string& file, const char* kind, int nx, int ny) {
  require_image_size(file, kind, nx, ny);
  Array2<float> image(nx, ny, 0.0f);
  readfits_r4(file, image.view(), nx, ny);
  require_finite(image, file);
  return image;
}

View2<const float> cview(const Array2<float>& a) { return View2<const float>(a.data(), a.nx(), a.ny()); }

}  // namespace

void fill_psfacs(View2<const float> image, CameraPsf& psf) {
  // Every fiducial is overwritten, so the array needs no clearing first.
  if (!camera_psf_loaded(psf)) clear_camera_psf(psf);
  copy_fiducial_mosaic(image, PSF_NX, PSF_NY, psf);
}

void fill_psfhrc(View2<const std::int32_t> image, CameraPsf& psf) {
  clear_camera_psf(psf);
  // The image is sampled ten times finer than the PSF grid and holds millionths.
  for (int b = 1; b <= PSF_NPIX; ++b) {
    for (int a = 1; a <= PSF_NPIX; ++a) {
      const std::int32_t v = image(601 + 10 * (a - PSF_CENTRE), 601 + 10 * (b - PSF_CENTRE));
      const float value = static_cast<float>(v) / 1000000.0f;
      for (int jp = 1; jp <= PSF_NY; ++jp)
        for (int ip = 1; ip <= PSF_NX; ++ip) psf(a, b, ip, jp) = value;
    }
  }
}

void fill_psf3ir(View2<const float> image, CameraPsf& psf) {
  clear_camera_psf(psf);
  copy_fiducial_mosaic(image, 1, 1, psf);
}

void fill_psf3uv(View2<const float> image, CameraPsf& psf) {
  clear_camera_psf(psf);
  copy_fiducial_mosaic(image, 7, 8, psf);
}

void write_fiducial_table(std::ostream& os, const CameraPsf& psf) {
  for (int jp = PSF_NY; jp >= 1; --jp) {
    std::vector<FArg> items{FArg(jp)};
    for (int ip = 1; ip <= PSF_NX; ++ip) items.emplace_back(psf(PSF_CENTRE, PSF_CENTRE, ip, jp));
    write_record_v(os, "(10x,i2,1x,9f8.4)", items);
  }
}

void write_fiducial_core(std::ostream& os, const CameraPsf& psf) {
  write_rows(os, psf, 56, 46, 46, 1);
  write_rows(os, psf, 71, 31, 31, 4);
}

void read_psfacs(const std::string& file, CameraPsf& psf) {
  const Array2<float> image = read_float_image(file, "PSFACS", PSFACS_NX, PSFACS_NY);
  fill_psfacs(cview(image), psf);
  write_fiducial_table(std::cout, psf);
}

void read_psfhrc(const std::string& file, CameraPsf& psf) {
  Array2<std::int32_t> image(PSFHRC_NX, PSFHRC_NY, 0);
  readfits_i4(file, image.view(), PSFHRC_NX, PSFHRC_NY);
  fill_psfhrc(View2<const std::int32_t>(image.data(), PSFHRC_NX, PSFHRC_NY), psf);
  write_list(std::cout, "---> PSFHRC: ");
  write_fiducial_table(std::cout, psf);
  write_fiducial_core(std::cout, psf);
}

void read_psf3ir(const std::string& file, CameraPsf& psf) {
  const Array2<float> image = read_float_image(file, "PSF3IR", PSF3IR_NX, PSF3IR_NY);
  fill_psf3ir(cview(image), psf);
  write_list(std::cout, "---> PSF3IR: ");
  write_fiducial_table(std::cout, psf);
}

void read_psf3uv(const std::string& file, CameraPsf& psf) {
  std::cout << '\n';
  write_record(std::cout, "(10x,'READ_PSF3UV: ',80a)", pad(file, 80));
  const Array2<float> image = read_float_image(file, "PSF3UV", PSF3UV_NX, PSF3UV_NY);
  fill_psf3uv(cview(image), psf);
  write_fiducial_table(std::cout, psf);
}

}  // namespace zeb
