#include "setup/image_slots.h"

#include <array>
#include <fstream>
#include <iostream>

#include "core/file_check.h"
#include "core/fortran_format.h"
#include "core/files.h"
#include "core/stop.h"
#include "core/text.h"

namespace zeb {

namespace {

constexpr int kFilterEntries = 12;
constexpr const char* kEmptyFilter = "FFFFF";
using FilterList = std::array<const char*, kFilterEntries>;

constexpr FilterList kNoFilters = {"FFFFF", "FFFFF", "FFFFF", "FFFFF", "FFFFF", "FFFFF",
                                   "FFFFF", "FFFFF", "FFFFF", "FFFFF", "FFFFF", "FFFFF"};
constexpr FilterList kAcsWfcFilters = {"F435W", "F475W", "F555W", "F606W", "F814W", "F850L",
                                       "F625W", "F658N", "F775W", "F660N", "F502N", "F550M"};
constexpr FilterList kAcsHrcFilters = {"F220W", "F330W", "F435W", "F475W", "F555W", "F606W",
                                       "F625W", "F775W", "F814W", "F850L", "FFFFF", "FFFFF"};
constexpr FilterList kWfc3UvFilters = {"F275W", "F336W", "F390W", "F438W", "F555W", "F606W",
                                       "F775W", "F814W", "F850L", "FFFFF", "FFFFF", "F225W"};
constexpr FilterList kWfc3IrFilters = {"F110W", "F160W", "FFFFF", "FFFFF", "FFFFF", "FFFFF",
                                       "FFFFF", "FFFFF", "FFFFF", "FFFFF", "FFFFF", "FFFFF"};

const FilterList& filter_list(int kkk) {
  switch (kkk) {
    case 5:
    case 6:
      return kAcsWfcFilters;
    case 7:
      return kAcsHrcFilters;
    case 8:
      return kWfc3UvFilters;
    case 9:
      return kWfc3IrFilters;
    default:
      return kNoFilters;
  }
}

constexpr std::size_t kFitsRecord = 2880;
constexpr std::size_t kFitsCard = 80;

// The exposure file cannot be read as FITS records up to an END card. `why`,
// a line saying what exactly went wrong, comes first.
[[noreturn]] void stop_not_fits(const std::string& filename, const std::string& key, const std::string& why) {
  std::cout << why << '\n';
  write_list(std::cout, " ");
  write_list(std::cout, "imginfo.e ERROR EXIT. ");
  write_list(std::cout, " ");
  write_list(std::cout, "ONE OF THE IMAGES WAS NOT IN STANDARD");
  write_list(std::cout, "HST FITS FORMAT.");
  write_list(std::cout, " ");
  write_record(std::cout, "('PROBLEM FILE: ',a80)", pad(filename, 80));
  write_list(std::cout, " ");
  write_list(std::cout, " FILENAME: ", rtrim(filename));
  write_list(std::cout, "   FIELDX: ", key);
  write_list(std::cout, " ");
  stop_run();
}

[[noreturn]] void stop_key_missing(const std::string& filename, const std::string& key) {
  write_list(std::cout, "query_hdr... no fill: ");
  write_list(std::cout, "---> FILENAME: ", rtrim(columns(filename, 1, 40)));
  write_list(std::cout, "--->   FIELDX: ", key);
  stop_run();
}

const char* const kAsterisks = "('***********************************************')";

}  // namespace

int cs_kkk(int kkk) {
  switch (kkk) {
    case 1:
      return 4;
    case 5:
    case 8:
      return 2;
    case 7:
    case 9:
      return 1;
    default:
      return 0;
  }
}

std::string flt_vs_chip(int i, int kkk) {
  if (i < 1 || i > kFilterEntries) return kEmptyFilter;
  return filter_list(kkk)[i - 1];
}

int which_filt(const std::string& name, int kkk) {
  if (kkk < 1 || kkk > 10) stop_run("KKK out of range");
  const std::string name5 = pad(name, 5);
  // An empty entry ("FFFFF") is a gap in the list, not a filter: a name that
  // happens to read FFFFF gets index 0 like any other unknown name.
  if (name5 == kEmptyFilter) return 0;
  int found = 0;
  for (int i = 1; i <= kFilterEntries; ++i)
    if (flt_vs_chip(i, kkk) == name5) found = i;
  return found;
}

std::string query_hdr(const std::string& filename, const std::string& key) {
  const std::string path = rtrim(filename);
  const std::string key8 = pad(key, 8);
  // Only regular files are read: a device or pipe named as an exposure would
  // otherwise be read for ever.
  std::error_code ec;
  const std::string unreadable = unreadable_reason(path);
  if (!unreadable.empty()) stop_not_fits(filename, key, "zeb: cannot open " + path + ": " + unreadable);
  std::ifstream in(path, std::ios::binary);
  if (!in) stop_not_fits(filename, key, "zeb: cannot open " + path);
  note_input_file(path);
  std::string record(kFitsRecord, ' ');
  for (;;) {
    in.read(record.data(), static_cast<std::streamsize>(kFitsRecord));
    // A short last record is a truncated file, not a header.
    if (static_cast<std::size_t>(in.gcount()) != kFitsRecord)
      stop_not_fits(filename, key, "zeb: " + path + " ends before the END card of its primary header");
    for (std::size_t c = 0; c < kFitsRecord; c += kFitsCard) {
      const std::string_view card(record.data() + c, kFitsCard);
      if (card.substr(0, 8) == key8) return std::string(card.substr(10, 20));
      if (card.substr(0, 8) == "END     ") stop_key_missing(filename, key);
    }
  }
}

std::string abbrev(const std::string& path) {
  std::string in = columns(path, 1, 80);
  in.resize(static_cast<std::size_t>(strlen_blank(in)));
  std::string out;
  std::size_t start = 0;
  for (std::size_t slash = in.find('/'); slash != std::string::npos; slash = in.find('/', start)) {
    if (slash > start) out += in[start];
    out += '/';
    start = slash + 1;
  }
  out += in.substr(start);
  return out;
}

std::string slot_file_path(const Settings& settings, const ImageSlots& slots, int g, const std::string& name,
                           const std::string& what) {
  const int ndirect = settings.ndirect > 0 ? settings.ndirect : 0;
  const int nsubdir = slots.nsubdir_g(g) > 0 ? slots.nsubdir_g(g) : 0;
  const std::string path = pad(settings.direct, static_cast<std::size_t>(ndirect)) +
                           pad(slots.subdir_g(g), static_cast<std::size_t>(nsubdir)) + rtrim(name);
  return fit_field(path, 80, what.empty() ? "file path of image slot " + std::to_string(g) : what);
}

void report_image_slots(const ImageSlots& slots) {
  std::cout << '\n';
  write_record(std::cout, kAsterisks);
  write_record(std::cout, "('***** ')");
  write_record(std::cout, "('***** REPORT ON IMAGE SLOTS ---- Gs :',i4)", slots.gs);
  write_record(std::cout, "('***** ')");
  write_record(std::cout, "('***** ')");
  write_record(std::cout, kAsterisks);
  std::cout << '\n';

  const std::string header = fortran_record(
      "('#  G.Cs',3x,                                                     'PIX                           ',1x,                              'PSF                           ',1x,                              'GCS                           ',1x,                              'MAT                           ',3x,                              'SLT RAP POS...... FND...... KKK.FLT',2x,                         '  MSK   OTH   SUBDIR ')");
  std::cout << header << '\n';
  std::ofstream log("LOGK.INFO_zeb");
  if (!log) run_error("LOGK.INFO_zeb", "cannot be created");
  log << header << '\n';

  for (int g = 1; g <= slots.gs; ++g) {
    std::vector<FArg> items{g,
                            cs_kkk(slots.kkk_g(g)),
                            pad(abbrev(slots.filename_g(g)), 30),
                            pad(abbrev(slots.filepsf_g(g)), 30),
                            pad(abbrev(slots.filegcs_g(g)), 30),
                            pad(abbrev(slots.filemat_g(g)), 30),
                            slots.fff_g(g),
                            slots.rap_g(g),
                            pad(slots.pos_g(g), 9),
                            pad(slots.fnd_g(g), 9),
                            slots.kkk_g(g),
                            slots.flt_g(g),
                            slots.msk_g(g),
                            slots.oth_g(g)};
    // The sub-directory fills the closing 20a, one character per item; a longer
    // one is shown by its first 20 characters (more items would run the
    // record into a second line of the format).
    const int nsub = std::min(std::max(slots.nsubdir_g(g), 0), 20);
    for (int k = 1; k <= nsub; ++k) items.emplace_back(char_at(slots.subdir_g(g), static_cast<std::size_t>(k)));
    const std::string line = fortran_record_v(
        "(i4.4,'.',i1,4x,a30,1x,a30,1x,a30,1x,a30,                               2x,2i4,1x,a9,1x,a9,1x,i3,'.',i2.2,                                3x,f6.2,1x,f6.2,3x,20a)",
        items);
    log << line << '\n';
    std::cout << line << '\n';
  }
  log.close();
  if (!log) run_error("LOGK.INFO_zeb", "could not be written");
}

void end_of_setup(const ImageSlots& slots, const FilterSlots& filters) {
  write_record(std::cout, "('***** EXIT SETUP ---     Gs: ',i5)", slots.gs);
  for (int f = 1; f <= filters.fs && f <= filters.exp_f.n(); ++f) {
    write_record(std::cout, "('      EXPTIMES   ---      F: ',i2,f10.2)", f, filters.exp_f(f));
    if (!(filters.exp_f(f) > 0.0f)) stop_run();
  }
  if (filters.fs != FDIM) {
    write_list(std::cout, " ");
    write_list(std::cout, "STRANGE, I KNOW, BUT THE ROUTINE");
    write_list(std::cout, "DOESN'T SEEM TO WORK WHEN Fs.ne._FDIM_");
    write_list(std::cout, "     Fs  : ", filters.fs);
    write_list(std::cout, "   _FDIM_: ", FDIM);
    stop_run();
  }
  // A slot defined before any F_SLOT setting belongs to no filter slot: its
  // fluxes could not be normalised nor stacked, so it is refused here rather
  // than indexing filter slot 0 later in the run.
  for (int g = 1; g <= slots.gs; ++g) {
    if (slots.kkk_g(g) == 0) continue;
    if (slots.fff_g(g) < 1 || slots.fff_g(g) > FDIM) {
      write_list(std::cout, " ");
      write_list(std::cout, "IMAGE SLOT WITHOUT A FILTER SLOT: ", g);
      write_list(std::cout, "   F_SLOT: ", slots.fff_g(g));
      write_list(std::cout, "(set F_SLOT=1 or 2 before the slot's line)");
      stop_run();
    }
  }
}

}  // namespace zeb
