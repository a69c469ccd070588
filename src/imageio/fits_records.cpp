// Record layer, file-name cut, header parsing and the header carry-over tables.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "core/files.h"
#include "core/list_directed.h"
#include "core/stop.h"
#include "core/text.h"
#include "imageio/fits.h"

namespace zeb {

// ---------------------------------------------------------------------------
// Record layer (POSIX positioned reads and writes: no shared file position).

std::optional<FitsRecords> FitsRecords::open(const std::string& path, Access access) {
  int flags = access == Access::Read ? O_RDONLY : access == Access::Update ? O_RDWR : (O_RDWR | O_CREAT | O_TRUNC);
  // A file that is created is emptied first: rewriting a smaller image over a
  // larger one must not leave the old records behind the new data unit.
  // O_NONBLOCK: a name that leads to a pipe must not hang the run (it is then
  // refused below as no regular file); regular files are not affected.
  int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }
  if (access == Access::Read) note_input_file(path);
  return FitsRecords(fd, path, static_cast<long long>(st.st_size));
}

FitsRecords::FitsRecords(FitsRecords&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)), size_(other.size_) {}

FitsRecords& FitsRecords::operator=(FitsRecords&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
    size_ = other.size_;
  }
  return *this;
}

FitsRecords::~FitsRecords() {
  if (fd_ >= 0) ::close(fd_);
}

namespace {

long long record_offset(long n) { return static_cast<long long>(n - 1) * kFitsRecordBytes; }

}  // namespace

void FitsRecords::read(long n, FitsRecord& record) const {
  if (n < 1 || n > count()) {
    run_error(path_, "record " + std::to_string(n) + " lies beyond the end of the file (" + std::to_string(size_) +
                         " bytes, " + std::to_string(count()) + " records of 2880 bytes)");
  }
  long long offset = record_offset(n);
  std::size_t want = static_cast<std::size_t>(std::min<long long>(kFitsRecordBytes, size_ - offset));
  std::size_t got = 0;
  while (got < want) {
    ssize_t r = ::pread(fd_, record.data() + got, want - got, static_cast<off_t>(offset + static_cast<long long>(got)));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      run_error(path_, "cannot read record " + std::to_string(n) + (r < 0 ? ": " + std::string(std::strerror(errno))
                                                                          : ": the file is shorter than it was"));
    }
    got += static_cast<std::size_t>(r);
  }
  std::memset(record.data() + want, 0, record.size() - want);
}

void FitsRecords::write(long n, const FitsRecord& record) { write_run(n, record.data(), 1); }

void FitsRecords::write_run(long first, const unsigned char* bytes, long nrecords) {
  long long offset = record_offset(first);
  std::size_t want = static_cast<std::size_t>(nrecords) * kFitsRecordBytes;
  std::size_t done = 0;
  while (done < want) {
    ssize_t r = ::pwrite(fd_, bytes + done, want - done, static_cast<off_t>(offset + static_cast<long long>(done)));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      run_error(path_, "cannot write record " + std::to_string(first + static_cast<long>(done / kFitsRecordBytes)) +
                           (r < 0 ? ": " + std::string(std::strerror(errno)) : ""));
    }
    done += static_cast<std::size_t>(r);
  }
  size_ = std::max(size_, offset + static_cast<long long>(want));
}

// ---------------------------------------------------------------------------
// File names.

namespace {
constexpr std::size_t kNameField = 80;
}

bool has_fits_suffix(const std::string& field) { return field.find(".fits") != std::string::npos; }

std::string fits_open_name(const std::string& field) {
  std::string name = fit_field(field, kNameField, "FITS file name");
  std::size_t p = name.find(".fits");
  if (p != std::string::npos) return name.substr(0, p + 5);
  return name;
}

// ---------------------------------------------------------------------------
// Header parsing.

namespace {

std::string card_keyword(std::string_view card) { return std::string(card.substr(0, 8)); }
std::string card_value(std::string_view card) { return std::string(card.substr(10, 20)); }

long long read_card_int(const std::string& value, const std::string& context) {
  ListReader reader(value, context);
  long long v = 0;
  if (reader.read_int(v) != Got::Value) run_error(context + ": no integer value");
  return v;
}

double read_card_real(const std::string& value, const std::string& context) {
  ListReader reader(value, context);
  double v = 0;
  if (reader.read_real(v) != Got::Value) run_error(context + ": no real value");
  return v;
}

// Takes the keywords a FITS routine needs from one card.
void take_card(FitsHeader& h, const std::string& card, const std::string& file) {
  std::string key = card_keyword(card);
  if (key[0] != 'N' && key[0] != 'B') return;
  std::string context = file + ": header card " + rtrim(key);
  if (key == "NAXIS   ") {
    h.naxis = read_card_int(card_value(card), context);
  } else if (key == "NAXIS1  ") {
    h.naxis1 = read_card_int(card_value(card), context);
  } else if (key == "NAXIS2  ") {
    h.naxis2 = read_card_int(card_value(card), context);
  } else if (key == "NAXIS3  ") {
    h.naxis3 = read_card_int(card_value(card), context);
  } else if (key == "NEXTEND ") {
    h.nextend = read_card_int(card_value(card), context);
  } else if (key == "BITPIX  ") {
    h.bitpix = read_card_int(card_value(card), context);
  } else if (key == "BSCALE  ") {
    h.bscale = read_card_real(card_value(card), context);
  } else if (key == "BZERO   ") {
    h.bzero = read_card_real(card_value(card), context);
  }
}

bool is_end_card(std::string_view card) { return card.substr(0, 8) == "END     "; }

}  // namespace

FitsHeader parse_fits_header(const FitsRecords& records, long first_record) {
  FitsHeader h;
  h.first_record = first_record;
  FitsRecord rec;
  for (long n = first_record;; ++n) {
    if (n > records.count()) {
      run_error(records.path(), "the header that starts in record " + std::to_string(first_record) +
                                    " has no END card before the end of the file");
    }
    records.read(n, rec);
    for (int c = 0; c < kFitsCardsPerRecord; ++c) {
      std::string card(reinterpret_cast<const char*>(rec.data()) + c * kFitsCardBytes, kFitsCardBytes);
      h.cards.push_back(card);
      if (is_end_card(card)) {
        h.end_record = n;
        h.data_record = n + 1;
        return h;
      }
      take_card(h, card, records.path());
    }
  }
}

std::optional<std::string> FitsHeader::value_field(std::string_view keyword) const {
  std::string key = pad(keyword, 8);
  for (auto it = cards.rbegin(); it != cards.rend(); ++it)
    if (card_keyword(*it) == key) return card_value(*it);
  return std::nullopt;
}

long long FitsHeader::data_bytes(const std::string& file) const {
  auto fail = [&](const std::string& what) { run_error(file, what); };
  if (bitpix != 8 && bitpix != 16 && bitpix != 32 && bitpix != 64 && bitpix != -32 && bitpix != -64)
    fail("BITPIX = " + std::to_string(bitpix) + " is not a FITS pixel size (8, 16, 32, 64, -32, -64)");
  if (naxis < 0 || naxis > 999) fail("NAXIS = " + std::to_string(naxis) + " is outside 0..999");
  if (naxis == 0) return 0;
  auto optional_int = [&](const char* key, long long fallback) {
    std::optional<std::string> v = value_field(key);
    return v ? read_card_int(*v, file + ": header card " + key) : fallback;
  };
  constexpr long long kLimit = 1LL << 62;
  long long pixels = 1;
  for (long long n = 1; n <= naxis; ++n) {
    long long len = n == 1 ? naxis1 : n == 2 ? naxis2 : n == 3 ? naxis3
                                                       : optional_int(("NAXIS" + std::to_string(n)).c_str(), 1);
    if (len < 0) fail("NAXIS" + std::to_string(n) + " = " + std::to_string(len) + " is negative");
    if (__builtin_mul_overflow(pixels, len, &pixels) || pixels > kLimit)
      fail("the axes NAXIS1..NAXIS" + std::to_string(naxis) + " give a data unit too large for any file");
  }
  long long pcount = optional_int("PCOUNT", 0);
  long long gcount = optional_int("GCOUNT", 1);
  if (pcount < 0 || gcount < 0) fail("negative PCOUNT or GCOUNT");
  long long bytes = 0;
  if (__builtin_add_overflow(pixels, pcount, &bytes) || __builtin_mul_overflow(bytes, gcount, &bytes) ||
      __builtin_mul_overflow(bytes, (bitpix < 0 ? -bitpix : bitpix) / 8, &bytes) || bytes > kLimit)
    fail("the header gives a data unit too large for any file");
  return bytes;
}

long FitsHeader::data_records(const std::string& file) const {
  return static_cast<long>((data_bytes(file) + kFitsRecordBytes - 1) / kFitsRecordBytes);
}

long FitsHeader::next_header_record(const std::string& file) const { return data_record + data_records(file); }

void check_data_unit(const FitsHeader& header, const FitsRecords& records) {
  long long bytes = header.data_bytes(records.path());
  long long start = static_cast<long long>(header.data_record - 1) * kFitsRecordBytes;
  if (start + bytes > records.size_bytes()) {
    run_error(records.path(), "the header (BITPIX " + std::to_string(header.bitpix) + ", NAXIS1 " +
                                  std::to_string(header.naxis1) + ", NAXIS2 " + std::to_string(header.naxis2) +
                                  ") needs " + std::to_string(bytes) + " data bytes from byte " +
                                  std::to_string(start) + ", but the file has only " +
                                  std::to_string(records.size_bytes()) + " bytes: truncated or a false header");
  }
}

// ---------------------------------------------------------------------------
// Header carry-over tables.

const std::array<std::string_view, kHdrEntries>& hdr_keywords() {
  static const std::array<std::string_view, kHdrEntries> keys = {
      "CRPIX1",   "CRPIX2",   "CRVAL1",  "CRVAL2",  "CTYPE1",   "CTYPE2",   "CD1_1",    "CD1_2",    "CD2_1",
      "CD2_2",    "ORIENTAT", "PA_APER", "PA_V3",   "DATE-OBS", "TIME-OBS", "EXPTIME",  "ROOTNAME", "TARGNAME",
      "RA_TARG",  "DEC_TARG", "PROPOSID", "FILTER1", "FILTER2", "VAFACTOR", "CCDGAIN"};
  return keys;
}

const std::array<std::string_view, kFitsinfoEntries>& fitsinfo_keywords() {
  static const std::array<std::string_view, kFitsinfoEntries> keys = {
      "EXPTIME", "FILTNAM1", "FILENAME", "DATE-OBS", "TIME-OBS", "DEC_TARG", "RA_TARG", "PA_V3", "PROPOSID", "CCDGAIN"};
  return keys;
}

namespace {

FitsCarryOver blank_tables() {
  FitsCarryOver t;
  t.hdr.fill(std::string(kCarryOverWidth, ' '));
  t.fitsinfo.fill(std::string(kCarryOverWidth, ' '));
  return t;
}

// The value field as an entry: 20 characters, rest blank. Bytes that are not
// printable ASCII become blanks, so a hostile header cannot carry control
// characters into the headers written later.
std::string carry_over_entry(const std::string& value) {
  std::string e = pad(value, kCarryOverWidth);
  for (char& c : e)
    if (c < 32 || c > 126) c = ' ';
  return e;
}

template <std::size_t N>
void copy_into(std::array<std::string, N>& table, const std::array<std::string_view, N>& keys, const std::string& key,
               const std::string& value) {
  for (std::size_t k = 0; k < N; ++k)
    if (pad(keys[k], 8) == key) table[k] = carry_over_entry(value);
}

}  // namespace

namespace {
// Where this thread's readers put the tables (see CarryOverScope).
thread_local CarryOverScope* carry_over_scope = nullptr;
}  // namespace

CarryOverScope::CarryOverScope(FitsCarryOver& tables) : tables_(tables), outer_(carry_over_scope) {
  carry_over_scope = this;
}
CarryOverScope::~CarryOverScope() { carry_over_scope = outer_; }

FitsCarryOver& fits_carry_over() {
  if (carry_over_scope) {
    carry_over_scope->used_ = true;
    return carry_over_scope->tables_;
  }
  static FitsCarryOver tables = blank_tables();
  return tables;
}

void reset_fits_carry_over() { fits_carry_over() = blank_tables(); }

std::string hdr_entry(std::string_view keyword) {
  const auto& keys = hdr_keywords();
  for (std::size_t k = 0; k < keys.size(); ++k)
    if (keys[k] == keyword) return fits_carry_over().hdr[k];
  return std::string();
}

void refill_carry_over(const FitsHeader& header) {
  reset_fits_carry_over();
  copy_carry_over(header);
}

void copy_carry_over(const FitsHeader& header) {
  FitsCarryOver& t = fits_carry_over();
  for (const std::string& card : header.cards) {
    std::string key = card_keyword(card);
    std::string value = card_value(card);
    copy_into(t.hdr, hdr_keywords(), key, value);
    copy_into(t.fitsinfo, fitsinfo_keywords(), key, value);
  }
}

}  // namespace zeb
