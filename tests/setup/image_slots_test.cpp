#include "setup/image_slots.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/test_support.h"

namespace {

using zeb::test::capture;
using zeb::test::read_file;
using zeb::test::TempDir;
using zeb::test::write_file;

std::string sp(int n) { return std::string(static_cast<std::size_t>(n), ' '); }

// One 80-character header card.
std::string card(const std::string& text) {
  std::string c = text;
  c.resize(80, ' ');
  return c;
}

// A header of the given cards, END appended when asked, blank-filled to whole records.
std::string fits_header(const std::vector<std::string>& cards, bool with_end = true) {
  std::string h;
  for (const auto& c : cards) h += card(c);
  if (with_end) h += card("END");
  while (h.size() % 2880 != 0) h += ' ';
  return h;
}

TEST(CameraTables, ChipsPerCode) {
  EXPECT_EQ(zeb::cs_kkk(1), 4);
  EXPECT_EQ(zeb::cs_kkk(5), 2);
  EXPECT_EQ(zeb::cs_kkk(7), 1);
  EXPECT_EQ(zeb::cs_kkk(8), 2);
  EXPECT_EQ(zeb::cs_kkk(9), 1);
  for (int k : {0, 2, 3, 4, 6, 10, 11, -3}) EXPECT_EQ(zeb::cs_kkk(k), 0) << k;
}

TEST(CameraTables, FilterIndices) {
  EXPECT_EQ(zeb::which_filt("F160W", 9), 2);
  EXPECT_EQ(zeb::which_filt("F110W", 9), 1);
  EXPECT_EQ(zeb::which_filt("F606W", 9), 0);
  EXPECT_EQ(zeb::which_filt("F225W", 8), 12);
  EXPECT_EQ(zeb::which_filt("F814W", 8), 8);
  EXPECT_EQ(zeb::which_filt("F814W", 7), 9);
  EXPECT_EQ(zeb::which_filt("F550M", 5), 12);
  EXPECT_EQ(zeb::which_filt("F606W", 6), 4);  // code 6 shares the wide-field list
  EXPECT_EQ(zeb::which_filt("F606W", 1), 0);
  // Only five characters take part.
  EXPECT_EQ(zeb::which_filt("F160WX", 9), 2);
  // The empty-entry marker is not a filter.
  EXPECT_EQ(zeb::which_filt("FFFFF", 9), 0);
  EXPECT_EQ(zeb::which_filt("FFFFF", 8), 0);
  EXPECT_EQ(zeb::flt_vs_chip(12, 8), "F225W");
  EXPECT_EQ(zeb::flt_vs_chip(10, 8), "FFFFF");
  EXPECT_EQ(zeb::flt_vs_chip(1, 3), "FFFFF");
  EXPECT_EQ(zeb::flt_vs_chip(13, 5), "FFFFF");
}

TEST(CameraTables, FilterLookUpNeedsAKnownCode) {
  for (int k : {0, 11, -1}) {
    auto r = capture([&] { zeb::which_filt("F160W", k); });
    EXPECT_TRUE(r.stopped);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "STOP KKK out of range\n");
  }
}

TEST(Abbrev, ShortensDirectoriesToTheirFirstCharacter) {
  EXPECT_EQ(zeb::abbrev("a/bcd/efgh/name.fits"), "a/b/e/name.fits");
  EXPECT_EQ(zeb::abbrev("/abc/def/x.fits"), "/a/d/x.fits");
  EXPECT_EQ(zeb::abbrev("name.fits"), "name.fits");
  EXPECT_EQ(zeb::abbrev("NULL"), "NULL");
  EXPECT_EQ(zeb::abbrev("dir/x.fits trailing words"), "d/x.fits");
  EXPECT_EQ(zeb::abbrev("a//b"), "a//b");
  EXPECT_EQ(zeb::abbrev("dir/sub/"), "d/s/");
  EXPECT_EQ(zeb::abbrev(""), "");
  // Only the first 80 characters are looked at: here "q...q/a".
  EXPECT_EQ(zeb::abbrev(std::string(78, 'q') + "/abc"), "q/a");
}

TEST(QueryHdr, ReturnsColumns11To30OfTheFirstMatchingCard) {
  TempDir dir;
  write_file("x.fits", fits_header({"SIMPLE  =                    T", "EXPTIMEX=                  1.0",
                                    "EXPTIME =                500.0 / exposure time", "EXPTIME =                  9.0"}) +
                           std::string(2880, '\0'));
  EXPECT_EQ(zeb::query_hdr("x.fits", "EXPTIME "), "               500.0");
  // Names are blank-padded fields: trailing blanks are not part of the file name.
  EXPECT_EQ(zeb::query_hdr("x.fits" + sp(74), "EXPTIME"), "               500.0");
}

TEST(QueryHdr, FindsAKeyInALaterHeaderRecord) {
  TempDir dir;
  std::vector<std::string> cards{"SIMPLE  =                    T"};
  for (int k = 0; k < 40; ++k) cards.push_back("HISTORY filler");
  cards.push_back("EXPTIME =               1234.5");
  write_file("y.fits", fits_header(cards));
  EXPECT_EQ(zeb::query_hdr("y.fits", "EXPTIME "), "              1234.5");
}

TEST(QueryHdr, KeyMissingFromThePrimaryHeaderStops) {
  TempDir dir;
  // The key exists, but only after END (in an extension header).
  write_file("z.fits", fits_header({"SIMPLE  =                    T"}) + fits_header({"EXPTIME =  5.0"}));
  auto r = capture([] { zeb::query_hdr("z.fits", "EXPTIME "); });
  EXPECT_TRUE(r.stopped);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            " query_hdr... no fill: \n"
            " ---> FILENAME:  z.fits\n"
            " --->   FIELDX:  EXPTIME \n");
}

std::string not_fits_block(const std::string& name, const std::string& why) {
  return "zeb: " + why + "\n"
         "  \n"
         " imginfo.e ERROR EXIT. \n"
         "  \n"
         " ONE OF THE IMAGES WAS NOT IN STANDARD\n"
         " HST FITS FORMAT.\n"
         "  \n"
         "PROBLEM FILE: " +
         name + sp(80 - static_cast<int>(name.size())) +
         "\n"
         "  \n"
         "  FILENAME:  " +
         name +
         "\n"
         "    FIELDX:  EXPTIME \n"
         "  \n";
}

TEST(QueryHdr, UnreadableFilesTakeTheErrorExit) {
  TempDir dir;
  write_file("noend.fits", fits_header({"SIMPLE  =                    T", "NAXIS   =                    0"}, false));
  // The key sits in a record that the file cuts short.
  write_file("short.fits", card("SIMPLE  =                    T") + card("EXPTIME =   5.0"));
  write_file("empty.fits", "");
  std::filesystem::create_directory("adir.fits");
  // The first line says what is wrong with the file.
  const std::pair<std::string, std::string> cases[] = {
      {"missing.fits", "cannot open missing.fits: no such file or directory"},
      {"noend.fits", "noend.fits ends before the END card of its primary header"},
      {"short.fits", "short.fits ends before the END card of its primary header"},
      {"empty.fits", "empty.fits ends before the END card of its primary header"},
      {"adir.fits", "cannot open adir.fits: is a directory"}};
  for (const auto& [name, why] : cases) {
    auto r = capture([&] { zeb::query_hdr(name, "EXPTIME "); });
    EXPECT_TRUE(r.stopped) << name;
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_EQ(r.out, not_fits_block(name, why)) << name;
  }
}

// Three slots: a WFC3/IR exposure with a sub-directory, an ACS/HRC exposure
// whose names are long, and a slot number that no line used.
zeb::ImageSlots sample_slots() {
  zeb::ImageSlots s;
  s.allocate(3, zeb::CDIM);
  s.gs = 3;
  s.filename_g(1) = "data/ir/ib1f01abq_flt.fits";
  s.filemat_g(1) = "mats/ib1f01abq.mat";
  s.subdir_g(1) = "ir/";
  s.nsubdir_g(1) = 3;
  s.fff_g(1) = 1;
  s.rap_g(1) = 2;
  s.pos_g(1) = "111111111";
  s.fnd_g(1) = "110000000";
  s.kkk_g(1) = 9;
  s.flt_g(1) = 2;
  s.msk_g(1) = 2.0f;
  s.oth_g(1) = 1.0f;

  s.filename_g(2) = "/data/hst/acs/hrc/visit01/j8xi01abq_flt_drizzled.fits";
  s.filepsf_g(2) = "psf/STDPBF_ACSHRC_F814W.fits";
  s.filemat_g(2) = "j8xi01abq.mat";
  s.subdir_g(2) = "abcdefghijklmnopqrstuvwxy/";
  s.nsubdir_g(2) = 26;
  s.fff_g(2) = 2;
  s.rap_g(2) = 3;
  s.pos_g(2) = "111000000";
  s.fnd_g(2) = "000000000";
  s.kkk_g(2) = 7;
  s.flt_g(2) = 9;
  s.msk_g(2) = 2.5f;
  s.oth_g(2) = 0.75f;
  return s;
}

TEST(SlotReport, BannerHeaderAndOneLinePerSlot) {
  TempDir dir;
  const zeb::ImageSlots slots = sample_slots();
  auto r = capture([&] { zeb::report_image_slots(slots); });
  ASSERT_FALSE(r.stopped);

  const std::string stars(47, '*');
  const std::string header = "#  G.Cs" + sp(3) + "PIX" + sp(27) + " PSF" + sp(27) + " GCS" + sp(27) + " MAT" + sp(27) +
                             sp(3) + "SLT RAP POS...... FND...... KKK.FLT" + sp(2) + "  MSK   OTH   SUBDIR ";
  const std::string line1 = "0001.1    d/i/ib1f01abq_flt.fits" + sp(8) + " NULL" + sp(26) + " NULL" + sp(26) +
                            " m/ib1f01abq.mat" + sp(15) + "     1   2 111111111 110000000   9.02     2.00   1.00   ir/";
  const std::string line2 = "0002.1    /d/h/a/h/v/j8xi01abq_flt_drizz p/STDPBF_ACSHRC_F814W.fits" + sp(4) + " NULL" +
                            sp(26) + " j8xi01abq.mat" + sp(17) +
                            "     2   3 111000000 000000000   7.09     2.50   0.75   abcdefghijklmnopqrst";
  const std::string line3 = "0003.0    NULL" + sp(26) + " NULL" + sp(26) + " NULL" + sp(26) + " NULL" + sp(26) +
                            "     0   0 000000000 000000000   0.00     0.00   0.00";
  EXPECT_EQ(r.out, "\n" + stars + "\n***** \n***** REPORT ON IMAGE SLOTS ---- Gs :   3\n***** \n***** \n" + stars +
                       "\n\n" + header + "\n" + line1 + "\n" + line2 + "\n" + line3 + "\n");
  EXPECT_EQ(read_file("LOGK.INFO_zeb"), header + "\n" + line1 + "\n" + line2 + "\n" + line3 + "\n");
}

TEST(EndOfSetup, TwoFilterSlotsWithExposureTimesPass) {
  zeb::ImageSlots slots = sample_slots();
  zeb::FilterSlots filters;
  filters.allocate(2);
  filters.fs = 2;
  filters.exp_f(1) = 100.0f;
  filters.exp_f(2) = 1234.567f;
  auto r = capture([&] { zeb::end_of_setup(slots, filters); });
  EXPECT_FALSE(r.stopped);
  EXPECT_EQ(r.out,
            "***** EXIT SETUP ---     Gs:     3\n"
            "      EXPTIMES   ---      F:  1    100.00\n"
            "      EXPTIMES   ---      F:  2   1234.57\n");
}

TEST(EndOfSetup, AFilterSlotWithoutExposureTimeStops) {
  zeb::ImageSlots slots = sample_slots();
  zeb::FilterSlots filters;
  filters.allocate(2);
  filters.fs = 2;
  filters.exp_f(1) = -5.0f;
  filters.exp_f(2) = 100.0f;
  auto r = capture([&] { zeb::end_of_setup(slots, filters); });
  EXPECT_TRUE(r.stopped);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "***** EXIT SETUP ---     Gs:     3\n"
            "      EXPTIMES   ---      F:  1     -5.00\n");
}

TEST(EndOfSetup, OneFilterSlotIsNotEnough) {
  zeb::ImageSlots slots = sample_slots();
  zeb::FilterSlots filters;
  filters.allocate(1);
  filters.fs = 1;
  filters.exp_f(1) = 10.0f;
  auto r = capture([&] { zeb::end_of_setup(slots, filters); });
  EXPECT_TRUE(r.stopped);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "***** EXIT SETUP ---     Gs:     3\n"
            "      EXPTIMES   ---      F:  1     10.00\n"
            "  \n"
            " STRANGE, I KNOW, BUT THE ROUTINE\n"
            " DOESN'T SEEM TO WORK WHEN Fs.ne._FDIM_\n"
            "      Fs  :  1\n"
            "    _FDIM_:  2\n");
}

TEST(EndOfSetup, ASlotOutsideBothFilterSlotsIsRefused) {
  zeb::ImageSlots slots = sample_slots();
  slots.fff_g(2) = 0;
  zeb::FilterSlots filters;
  filters.allocate(2);
  filters.fs = 2;
  filters.exp_f(1) = 10.0f;
  filters.exp_f(2) = 20.0f;
  auto r = capture([&] { zeb::end_of_setup(slots, filters); });
  EXPECT_TRUE(r.stopped);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find(" IMAGE SLOT WITHOUT A FILTER SLOT:  2\n"), std::string::npos);
  // The unused slot 3 (no camera) is not a fault.
  slots.fff_g(2) = 2;
  EXPECT_FALSE(capture([&] { zeb::end_of_setup(slots, filters); }).stopped);
}

TEST(SlotFilePath, PrefixSubdirectoryAndName) {
  zeb::Settings settings;
  settings.direct = "/base/dir/ignored";
  settings.ndirect = 10;
  zeb::ImageSlots slots = sample_slots();
  EXPECT_EQ(zeb::slot_file_path(settings, slots, 1, "x.mat"), "/base/dir/ir/x.mat");
  EXPECT_EQ(zeb::slot_file_path(settings, slots, 3, "y.mat"), "/base/dir/y.mat");
  settings.direct = std::string(70, 'd');
  settings.ndirect = 70;
  auto r = capture([&] { zeb::slot_file_path(settings, slots, 1, "long_name.mat"); });
  EXPECT_TRUE(r.stopped);
  EXPECT_EQ(r.status, 1);
}

}  // namespace
