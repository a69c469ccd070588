// FITS image files.
//
// Files are sequences of 2880-byte records addressed by number (record 1 is the
// first). A header is a run of 80-character cards, 36 per record, ended by END;
// the data unit starts in the record after the one holding END, pixels in row
// order (x fastest), big-endian, the last record zero-padded.
//
// Pixel kinds: b1 (BITPIX 8, unsigned byte), i2 (16, signed 16-bit), j2 (16,
// signed 16-bit holding value - 32000), r4 (-32, IEEE single), i4 (32, read only).
//
// Every reader (and the strip writers, on the mosaic they update) fills the
// process-wide header carry-over tables `hdr` and `fitsinfo`; the writers of
// the image headers echo `hdr`.
//
// File names are fields of at most 80 characters; before opening, a name is cut
// right after its first ".fits" (text after it is ignored).
//
// Failures print their lines to standard output and stop the run (status 1);
// a file whose header or size lies (bad numbers, impossible axes, a data unit
// the file does not hold, no END) is a run-time error naming the file (status 2).
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/array.h"

namespace zeb {

inline constexpr long kFitsRecordBytes = 2880;
inline constexpr int kFitsCardBytes = 80;
inline constexpr int kFitsCardsPerRecord = 36;

using FitsRecord = std::array<unsigned char, kFitsRecordBytes>;

// ---------------------------------------------------------------------------
// Record layer.

class FitsRecords {
 public:
  enum class Access {
    Read,    // an existing file, read only
    Update,  // an existing file, records read and written in place
    Create,  // a new file (an existing one is emptied first)
  };

  // The opened file, or nothing when it cannot be opened (each caller prints
  // its own message).
  static std::optional<FitsRecords> open(const std::string& path, Access access);

  FitsRecords(FitsRecords&& other) noexcept;
  FitsRecords& operator=(FitsRecords&& other) noexcept;
  FitsRecords(const FitsRecords&) = delete;
  FitsRecords& operator=(const FitsRecords&) = delete;
  ~FitsRecords();

  const std::string& path() const { return path_; }
  long long size_bytes() const { return size_; }
  // Records holding at least one byte of the file (a short last record counts).
  long count() const { return static_cast<long>((size_ + kFitsRecordBytes - 1) / kFitsRecordBytes); }

  // Reads record n. A short last record is completed with zero bytes; a record
  // beyond the end of the file is a run-time error naming the file.
  void read(long n, FitsRecord& record) const;
  // Writes record n in place (or extends the file).
  void write(long n, const FitsRecord& record);
  // Writes nrecords consecutive records from `bytes` starting at record `first`.
  void write_run(long first, const unsigned char* bytes, long nrecords);

 private:
  FitsRecords(int fd, std::string path, long long size) : fd_(fd), path_(std::move(path)), size_(size) {}
  int fd_ = -1;
  std::string path_;
  long long size_ = 0;
};

// The name a FITS routine opens: the field (at most 80 characters) cut right
// after its first ".fits", or the whole field without trailing blanks when it
// holds no ".fits".
std::string fits_open_name(const std::string& field);
bool has_fits_suffix(const std::string& field);

// ---------------------------------------------------------------------------
// Header parsing.

struct FitsHeader {
  long first_record = 1;  // record of the first card
  long end_record = 0;    // record holding END
  long data_record = 0;   // first record of the data unit

  long long bitpix = 0;
  long long naxis = 0;
  long long naxis1 = 1, naxis2 = 1, naxis3 = 1;  // missing axes count as 1
  long long nextend = 0;
  double bscale = 1.0, bzero = 0.0;

  // Every card from the first record up to and including END, 80 characters each.
  std::vector<std::string> cards;

  // Header records read (END's record included).
  long records_read() const { return end_record - first_record + 1; }

  // Columns 11..30 of the last card whose keyword (columns 1..8) is `keyword`
  // (blank-padded for the comparison), or nothing.
  std::optional<std::string> value_field(std::string_view keyword) const;

  // Bytes of the data unit: |BITPIX|/8 x GCOUNT x (PCOUNT + NAXIS1 x ... x NAXISn),
  // zero when NAXIS = 0. A BITPIX that is no FITS pixel size, NAXIS outside
  // 0..999, a negative axis or a size beyond 2^62 is a run-time error naming `file`.
  long long data_bytes(const std::string& file) const;
  // Records of the data unit, and the record where the next header (of an
  // extension) starts.
  long data_records(const std::string& file) const;
  long next_header_record(const std::string& file) const;
};

// Reads the header that starts at `first_record`: BITPIX, NAXIS, NAXIS1..3,
// NEXTEND as integers and BSCALE, BZERO as reals (free-format reading of
// columns 11..30; the last card of a keyword counts), up to the END card.
// A value that is not a number, or a file that ends before END, is a run-time
// error naming the file. The carry-over tables are not touched.
FitsHeader parse_fits_header(const FitsRecords& records, long first_record = 1);

// Checks that the file holds the whole data unit the header describes
// (run-time error naming the file otherwise).
void check_data_unit(const FitsHeader& header, const FitsRecords& records);

// ---------------------------------------------------------------------------
// Big-endian pixels, as FITS stores them.

inline std::uint32_t get_be32(const unsigned char* p) {
  return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
         (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}
inline std::int16_t get_be_int16(const unsigned char* p) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>((p[0] << 8) | p[1]));
}
inline std::int32_t get_be_int32(const unsigned char* p) { return static_cast<std::int32_t>(get_be32(p)); }
inline float get_be_float(const unsigned char* p) { return std::bit_cast<float>(get_be32(p)); }

// ---------------------------------------------------------------------------
// Windowed reading of one image.

// An nx x ny raster whose pixel (1, 1) is the image's pixel (x0, y0).
struct FitsWindow {
  long x0, y0;
  int nx, ny;
};

// The nx x ny raster centred on image pixel (itil, jtil).
inline FitsWindow window_around(int itil, int jtil, int nx, int ny) {
  return FitsWindow{itil - (nx - 1) / 2L, jtil - (ny - 1) / 2L, nx, ny};
}

// Calls put(xt, yt, y, bytes) for every pixel of the image's first plane that
// lies in the window (raster position, image row, and its stored bytes),
// reading only the records that hold such pixels, each once. The caller has
// checked that the file holds the whole data unit (check_data_unit).
template <typename Put>
void read_window(const FitsRecords& file, const FitsHeader& h, int bytes_per_pixel, const FitsWindow& w, Put put) {
  if (h.naxis <= 0) return;
  const long long ncols = h.naxis1;
  const long long nrows = h.naxis >= 2 ? h.naxis2 : 1;
  if (ncols < 1 || nrows < 1) return;
  const long long xa = std::max<long long>(w.x0, 1), xb = std::min<long long>(w.x0 + w.nx - 1, ncols);
  const long long ya = std::max<long long>(w.y0, 1), yb = std::min<long long>(w.y0 + w.ny - 1, nrows);
  FitsRecord rec;
  long current = -1;
  for (long long y = ya; y <= yb; ++y) {
    for (long long x = xa; x <= xb; ++x) {
      const long long byte = ((y - 1) * ncols + (x - 1)) * bytes_per_pixel;
      const long n = h.data_record + static_cast<long>(byte / kFitsRecordBytes);
      if (n != current) {
        file.read(n, rec);
        current = n;
      }
      put(static_cast<int>(x - w.x0 + 1), static_cast<int>(y - w.y0 + 1), y, rec.data() + byte % kFitsRecordBytes);
    }
  }
}

// ---------------------------------------------------------------------------
// Header carry-over tables (process-wide).

inline constexpr int kHdrEntries = 25;
inline constexpr int kFitsinfoEntries = 10;
inline constexpr std::size_t kCarryOverWidth = 70;

// Keywords of the entries, in table order.
const std::array<std::string_view, kHdrEntries>& hdr_keywords();
const std::array<std::string_view, kFitsinfoEntries>& fitsinfo_keywords();

struct FitsCarryOver {
  std::array<std::string, kHdrEntries> hdr;            // 70 characters each
  std::array<std::string, kFitsinfoEntries> fitsinfo;  // 70 characters each
};

// The tables as the last reader left them.
FitsCarryOver& fits_carry_over();

// While a scope lives, the readers of its thread fill `tables` instead of the
// run's tables: exposures read side by side each keep their own, and the
// caller hands the run the tables of the exposure read last in the serial
// order. used() tells whether anything touched them.
class CarryOverScope {
 public:
  explicit CarryOverScope(FitsCarryOver& tables);
  ~CarryOverScope();
  CarryOverScope(const CarryOverScope&) = delete;
  CarryOverScope& operator=(const CarryOverScope&) = delete;
  bool used() const { return used_; }

 private:
  friend FitsCarryOver& fits_carry_over();
  FitsCarryOver& tables_;
  CarryOverScope* outer_;
  bool used_ = false;
};
// The entry of `hdr` for a keyword of hdr_keywords() (empty string otherwise).
std::string hdr_entry(std::string_view keyword);
// Blanks every entry of both tables (also the state at program start).
void reset_fits_carry_over();
// Copies columns 11..30 of every card whose keyword has an entry into the first
// 20 characters of that entry (rest blank); later cards overwrite earlier ones.
void copy_carry_over(const FitsHeader& header);
// What every image reader does with the header it parsed: blank both tables,
// then copy.
void refill_carry_over(const FitsHeader& header);

// ---------------------------------------------------------------------------
// Whole images. The explicit dimensions are those of the image; the views must
// be at least that large (the image is element (1..nx, 1..ny) of the view).

// The checks of the 32-bit integer reader on the parsed header of file `name`:
// NAXIS1 and NAXIS2 must equal nxdim and nydim and BITPIX must be 32, else the
// reader's messages, the file named, and a stop.
void check_i4_image(const FitsHeader& h, int nxdim, int nydim, const std::string& name);

// What a whole-image reader says when it cannot open its file, naming the
// file as the caller gave it (before the cut after ".fits"); then a stop.
[[noreturn]] void readfits_open_failure(const std::string& name);

// A BITPIX -32 image into array(1..nxdim, 1..nydim); image pixels beyond that
// are skipped, array elements the image does not reach are left as they were.
void readfits_r4(const std::string& name, View2<float> array, int nxdim, int nydim);
// A BITPIX 32 image of exactly nxdim x nydim pixels.
void readfits_i4(const std::string& name, View2<std::int32_t> array, int nxdim, int nydim);

// Float image, header style A'.
void writfits_r4(const std::string& name, View2<const float> array, int nx, int ny);
// 16-bit image, header style A. The int form saturates values outside the
// 16-bit range (a count never wraps to a negative number).
void writfits_i2(const std::string& name, View2<const std::int16_t> array, int nx, int ny);
void writfits_i2(const std::string& name, View2<const int> array, int nx, int ny);
// Byte image, header style A.
void writfits_b1(const std::string& name, View2<const std::uint8_t> array, int nx, int ny);
// Per-tile images, header style B; z is the zoom (image pixels per
// reference-frame pixel).
void writfits_i2_ltv(const std::string& name, View2<const std::int16_t> array, int nx, int ny, float z);
void writfits_i2_ltv(const std::string& name, View2<const int> array, int nx, int ny, float z);
void writfits_r4_ltv(const std::string& name, View2<const float> array, int nx, int ny, float z);

// ---------------------------------------------------------------------------
// Mosaics: created blank at full size, then updated strip by strip.

// A j2 mosaic of nx x ny pixels, every pixel blank (stored -32025, which reads
// as -25/s through BSCALE = 1/s, BZERO = 32000/s); header style C.
void writfits_j2_init(const std::string& name, int nx, int ny, float s, float z);
// A b1 mosaic of nx x ny pixels, every pixel 255; header style C.
void writfits_b1_init(const std::string& name, int nx, int ny, float z);

// Writes the window [i1..i2] x [j1..j2] of array (ldx x ldy elements, 16-bit
// values holding value - 32000, as the mosaic strips keep them) into the
// existing nx x ny mosaic: element (i, j) goes to pixel (i0 + i - i1, j0 + j - j1);
// the part of the window that falls outside the mosaic is dropped. Only the
// records holding window pixels are read and written back, one at a time.
// Returns the number of records written back.
//
// The byte mosaic stores the low byte of each 16-bit value: as 32000 is a
// multiple of 256, that is the low byte of the value itself, so 0..255 are
// stored as they are and the strips' -1 fill lands as the 255 blank.
long writfits_j2_rastx(const std::string& name, View2<const std::int16_t> array, int i0, int j0, int i1, int i2,
                       int j1, int j2, int ldx, int ldy, int nx, int ny);
long writfits_b1_rastx(const std::string& name, View2<const std::int16_t> array, int i0, int j0, int i1, int i2,
                       int j1, int j2, int ldx, int ldy, int nx, int ny);

}  // namespace zeb
