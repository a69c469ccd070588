// The parameter-file reader, line by line: settings, slot commits and every
// error stop of the file's syntax.
#include <gtest/gtest.h>

#include "core/stop.h"
#include "imageio/fits.h"
#include "setup/param_file.h"
#include "setup/param_parse.h"
#include "support/test_support.h"

using zeb::parse;

TEST(Parse, FieldsOfALine) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"0001 PIX=a.fits MAT=b.mat   RAP=3", {"0001", "PIX", "a.fits", "MAT", "b.mat", "RAP", "3"}},
      // An unquoted slash ends the value, a quoted value keeps it. Apostrophes
      // do not protect blanks from starting a field, but the value read from
      // the quote's start runs to the closing apostrophe.
      {"0001 PIX=data/x.fits PSF=\"dir/my psf.fits\" MAT='a b'",
       {"0001", "PIX", "data", "PSF", "dir/my psf.fits", "MAT", "a b", "b'"}},
      {"SUBDIR /abs/path", {"SUBDIR", ""}},         // a value starting with a slash is empty
      {"RAP 3 ! note ! more", {"RAP", "3", "!", "note"}},  // the content ends at the last '!'
      {"ULIM 10,20 30", {"ULIM", "10", "30"}},           // a comma ends an unquoted value
      {"RAP 3" + std::string(194, ' ') + "XY", {"RAP", "3", "X"}},  // the line is cut at 200 characters
  };
  for (const auto& [line, want] : cases) {
    const zeb::ParamLine l = parse(line);
    std::vector<std::string> got;
    for (int k = 1; k <= l.count(); ++k) got.push_back(l.field(k));
    EXPECT_EQ(got, want) << line;
    EXPECT_EQ(l.field(l.count() + 1), "") << line;
    EXPECT_EQ(l.text.size(), 200u) << line;
  }
}

TEST(ParamLineWalker, CommentsAndSkippedBlocksCarryNothingAndEndEndsTheInput) {
  using Kind = zeb::ParamLineWalker::Kind;
  zeb::ParamLineWalker w;
  const std::pair<std::string, Kind> lines[] = {
      {"# a comment", Kind::Ignored}, {"RAP 3 # then a comment", Kind::Content}, {"SKIP", Kind::Ignored},
      {"RAP 4", Kind::Ignored},       {"PIKS", Kind::Ignored},                   {"END", Kind::End}};
  for (auto [line, kind] : lines) EXPECT_EQ(w.next(line), kind) << line;
  std::string kept = "RAP 3 # then a comment";
  w.next(kept);
  EXPECT_EQ(kept, "RAP 3 ");
}

using namespace zeb::test;

namespace {

struct Fixture {
  TempDir dir;
  zeb::RunState run;
  zeb::PrescanCounts counts{35, 2, 2};
  std::unique_ptr<zeb::ParamFileReader> reader;
  Fixture() {
    reader = std::make_unique<zeb::ParamFileReader>(run, counts, "params.txt");
    reader->initialise();
  }
  // Feeds the lines of `text` (the first being the MODE line).
  Captured feed(const std::string& text) {
    return capture([&] {
      auto lines = split_lines(text);
      reader->first_line(lines.at(0));
      for (std::size_t i = 1; i < lines.size(); ++i)
        if (!reader->next_line(lines[i])) break;
    });
  }
};

// The lines written after the echo lines.
std::vector<std::string> messages(const Captured& c) {
  std::vector<std::string> out;
  for (const std::string& l : split_lines(c.out))
    if (l.rfind("ZEB_SETUP LINE", 0) != 0) out.push_back(l);
  return out;
}

}  // namespace

TEST(ParamFile, SlotLineTakesCurrentSettings) {
  Fixture f;
  Captured c = f.feed(
      "MODE=R\nCHIPNAME=WFC3IR FILTER=F160W\nF_SLOT 2\nUSEPOS 101010101\nMASKFAC 3.5 OTHRFAC 0.5\n"
      "RAP 4\nSUBDIR=\"raw/ir \"\nGCSTD=NULLX\n"
      "0002 SKY=1.5 SKY=0.5 ZPU 25.5 EXPT 300 RAP 6 USEFND 110000000 MAT=m.mat\n"
      "0003 SKY 2 RAP 9\n");
  ASSERT_FALSE(c.stopped) << c.out << c.err;
  const zeb::ImageSlots& s = f.run.slots;
  EXPECT_EQ(s.gs, 3);
  EXPECT_EQ(f.run.filters.fs, 2);
  EXPECT_EQ(s.fff_g(2), 2);
  EXPECT_EQ(s.kkk_g(2), 9);
  EXPECT_FLOAT_EQ(s.sky_g(2), 2.0f);
  EXPECT_FLOAT_EQ(s.zpu_g(2), 25.5f);
  EXPECT_FLOAT_EQ(s.exp_g(2), 300.0f);
  EXPECT_EQ(s.rap_g(2), 6);             // a later field followed RAP on the line
  EXPECT_EQ(s.rap_g(3), 4);             // RAP as the last item does not reach the slot
  EXPECT_EQ(s.pos_g(2), "101010101");
  EXPECT_EQ(s.fnd_g(2), "110000000");   // a later field followed USEFND
  EXPECT_EQ(s.fnd_g(3), "111111111");   // slot-line masks hold for that line only
  EXPECT_FLOAT_EQ(s.msk_g(2), 3.5f);
  EXPECT_FLOAT_EQ(s.oth_g(3), 0.5f);
  EXPECT_EQ(s.subdir_g(2), "raw/ir");
  EXPECT_EQ(s.nsubdir_g(2), 6);
  EXPECT_EQ(s.filegcs_g(2), "NULLX");
  EXPECT_EQ(s.filemat_g(2), "m.mat");
  EXPECT_EQ(s.filemat_g(3), "NULL");
  EXPECT_FLOAT_EQ(s.zpu_g(3), -99.0f);
  EXPECT_EQ(s.kkk_g(1), 0);             // unused slot keeps its defaults
  EXPECT_EQ(s.pos_g(1), "000000000");
}

TEST(ParamFile, SwitchesTakeTheLastSignGiven) {
  Fixture f;
  Captured c = f.feed("MODE=R\nLOGFINFO+ LOGNIMFO+ MOSAIC_X2-\nLOGFINFO- LOGNIMFO- LOGNIMFO+ MOSAIC_X1- MOSAIC_X2+\n");
  ASSERT_FALSE(c.stopped) << c.out << c.err;
  const zeb::Settings& st = f.run.settings;
  EXPECT_EQ(st.logfinfo, 0);
  EXPECT_EQ(st.lognimfo, 1);
  EXPECT_EQ(st.mosaic_x1, 0);
  EXPECT_EQ(st.mosaic_x2, 1);
}

// Values that would once have been taken silently (a NaN threshold switches a
// finding test off, a reversed tile range processes nothing, an exposure time
// of 0 or infinity feeds the artificial-star noise) stop the run, naming the
// keyword, the value as written, the file and the line.
TEST(ParamFile, ValuesWithoutMeaningStopNamingKeywordValueAndLine) {
  struct Case {
    const char* line;
    const char* key;
    const char* value;
    const char* stop;  // the stop text when it is not "<key> out of range"
  } cases[] = {
      {"MASKFAC=NaN", "MASKFAC", "NaN", nullptr},        {"OTHRFAC -0.5", "OTHRFAC", "-0.5", nullptr},
      {"NIT01 SSIG=NaN", "SSIG", "NaN", nullptr},         {"NIT02 SSIG=Inf QSEL=-Inf", "SSIG", "Inf", nullptr},
      {"NIT03 QSEL=-Inf", "QSEL", "-Inf", nullptr},       {"NIT04 OPRV=-1", "OPRV", "-1", nullptr},
      {"NIT00 RSIZ=150", "RSIZ", "150", nullptr},         {"NIT05 RWID=12", "RWID", "12", nullptr},
      {"0001 SKY=NaN", "SKY", "NaN", nullptr},            {"0001 EXPT=Inf", "EXPT", "Inf", nullptr},
      {"0001 EXPT=0", "EXPT", "0", nullptr},              {"0001 ZPU=95", "ZPU", "95", nullptr},
      {"IJTLIM 2 1 2 1", "IJTLIM", "2 1 2 1", nullptr},   {"IJTLIM 1 1 0 1", "IJTLIM", "1 1 0 1", nullptr},
      {"IJTLIM 1 100 1 1", "IJTLIM", "1 100 1 1", "IT.gt._HASHDM_"},
      {"ULIM 600 500", "ULIM", "600 500", nullptr},
  };
  for (const Case& k : cases) {
    Fixture f;
    Captured c = f.feed(std::string("MODE=R\nCHIPNAME=WFC3IR\nF_SLOT 1\n") + k.line + "\n");
    EXPECT_EQ(c.status, 1) << k.line;
    EXPECT_EQ(c.err, "STOP " + (k.stop ? std::string(k.stop) : std::string(k.key) + " out of range") + "\n") << k.line;
    EXPECT_NE(c.out.find(std::string(" VALUE REFUSED: ") + k.key + " = " + k.value + "\n"), std::string::npos)
        << k.line << "\n" << c.out;
    EXPECT_NE(c.out.find("   in params.txt line 4\n"), std::string::npos) << k.line;
  }
  Fixture f;
  Captured c = f.feed("MODE=R\nMASKFAC=NaN\n");
  std::vector<std::string> want = {" ", " VALUE REFUSED: MASKFAC = NaN", "   it must be a finite number >= 0",
                                   "   in params.txt line 2", " "};
  EXPECT_EQ(messages(c), want);
}

// The exposure time of a slot comes from its file's EXPTIME card unless an
// EXPT came first; a card that is no usable time is refused, and a slot's
// second PIX would silently replace its first exposure.
TEST(ParamFile, ExposureTimeCardsAndASecondPixAreChecked) {
  auto exposure = [](const std::string& name, const std::string& exptime) {
    std::string h = "SIMPLE  =                    T";
    h.resize(80, ' ');
    std::string e = "EXPTIME = " + std::string(20 - exptime.size(), ' ') + exptime;
    e.resize(80, ' ');
    std::string end = "END";
    end.resize(80, ' ');
    zeb::test::write_file(name, h + e + end + std::string(2880 - 240, ' '));
  };
  const std::string prelude = "MODE=R\nCHIPNAME=WFC3IR\nF_SLOT 1\n";
  for (const char* bad : {"NaN", "-500."}) {
    Fixture f;
    exposure("bad.fits", bad);
    Captured c = f.feed(prelude + "0001 PIX=bad.fits\n");
    EXPECT_EQ(c.err, "STOP EXPTIME out of range\n") << bad;
    EXPECT_NE(c.out.find(std::string(" VALUE REFUSED: EXPTIME = ") + bad + "\n"), std::string::npos) << c.out;
    EXPECT_NE(c.out.find("   in bad.fits, primary header card EXPTIME (PIX on params.txt line 4)\n"),
              std::string::npos)
        << c.out;
  }
  Fixture f;
  exposure("bad.fits", "NaN");
  exposure("good.fits", "250.0");
  Captured c = f.feed(prelude + "0001 EXPT=300 PIX=bad.fits\n0002 PIX=good.fits\n0002 PIX=bad.fits\n");
  EXPECT_FLOAT_EQ(f.run.slots.exp_g(1), 300.0f);
  EXPECT_FLOAT_EQ(f.run.slots.exp_g(2), 250.0f);
  EXPECT_EQ(f.run.slots.filename_g(2), "good.fits");
  EXPECT_EQ(c.err, "STOP image slot given a second PIX\n");
  std::vector<std::string> want = {"  ", " IMAGE SLOT GIVEN A SECOND PIX...  G:  2", "    first :  good.fits",
                                   "    second:  bad.fits", "    in params.txt line 6"};
  EXPECT_EQ(messages(c), want);
}

TEST(ParamFile, PsfStdNamesTheLibraryOfLaterSlots) {
  Fixture f;
  // A 101 x 101 camera PSF, peak 0.25 at its centre.
  zeb::Array2<float> psf(101, 101, 0.0f);
  psf(51, 51) = 0.25f;
  zeb::writfits_r4("ir.fits", psf.view(), 101, 101);
  // "NULL" is compared as a whole name: NULL_lib.fits is a library.
  Captured c = f.feed(
      "MODE=R\nCHIPNAME WFC3IR\nF_SLOT 1\nPSFSTD lib.fits\n0001 SKY 1\nPSF3IR ir.fits\n0002 SKY 1\n"
      "PSFSTD NULL_lib.fits\n0003 SKY 1\n");
  ASSERT_FALSE(c.stopped) << c.out;
  EXPECT_EQ(f.run.slots.filepsf_g(1), "lib.fits");
  EXPECT_EQ(f.run.slots.filepsf_g(2), "NULL");
  EXPECT_EQ(f.run.slots.filepsf_g(3), "NULL_lib.fits");
  EXPECT_EQ(f.run.filters.psfkind_f(1), "PSF3IR");
  EXPECT_EQ(f.run.filters.psffile_f(1), "ir.fits");
  EXPECT_FLOAT_EQ(f.run.filters.psf_f(1)(51, 51, 1, 1), 0.25f);  // read into fiducial (1, 1)
  EXPECT_NE(c.out.find("---> PSF3IR: "), std::string::npos);
  auto m = messages(c);
  ASSERT_GE(m.size(), 2u);
  EXPECT_EQ(m[0], " G       :  0");
  EXPECT_EQ(m[1], " FILEPSFu:  lib.fits");
}

// Lines the reader cannot take end the run: the stop text, or the run-time
// error's message naming the file and line, and the explanation printed first.
TEST(ParamFile, LinesItCannotTakeStopTheRun) {
  struct Case {
    const char* lines;  // after the MODE line unless they start with MODE
    int status;
    const char* err;    // exact stop text, or a part of the run-time error
    const char* out;    // a part of the explanation
  } cases[] = {
      {"MODE=Q\n", 1, "STOP must spec MODE=R,D,A, or C... on LINE1\n", ""},
      {"NIT01 HMIN 2 BOGUSKEY 3\n", 1, "", " FIELD:  BOGUS\n"},
      {"NIT01 RCOL=orange\n", 1, "", " LEGIT COLORS FOR RCOL_NIT: \n    yellow, red, green, blue \n"},
      {"NIT02 JSIG=-1\n", 1, "", " JSIG MUST BE A POSITIVE SIGNIFICANCE:  -1\n"},
      {"NIT0X HMIN=1\n", 2, "params.txt line 2", ""},
      {"ULIM 10 2x\n", 2, "2x", ""},
      {"UVLIM 1 2 3\n", 2, "params.txt line 2", ""},
      {"F_SLOT 1\n0001 SKY 1\n", 1, "", " Image has been specified w/o a chip.\n"},
      {"CHIPNAME WFC3IR\n0001 SKY 1\n", 1, "", "w/o a filter slot"},
      {"CHIPNAME WFC3IR\nF_SLOT 1\n0036 SKY 1\n", 1, "", " Gs.gt._GDIM_ --- \n    Gs  :  36\n  _GDIM_:  35\n"},
      {"CHIPNAME WFC3IR\nF_SLOT 1\n0000 SKY 1\n", 1, "", ""},
      {"PIX x.fits\n", 1, "", ""},
      {"EXPT 5\n", 1, "", ""},
      {"CHIPNAME=WFPC2X\n", 1, "", " BAD CHIP NAME... WFPC2X\n"},
      {"USEPOS 11111111\n", 1, "", " UPOS must be 9x 1s and 0s\n UPOS:  11111111 \n"},
      {"F_SLOT 3\n", 1, "STOP F_SLOT.gt._FDIM_\n", ""},
      {"EXPFLT 100\n", 1, "STOP ETIME FSLOT\n", ""},
      {"SCLFLT 2\n", 1, "STOP SCLFLT FSLOT\n", ""},
      {"F_SLOT 1\nEXPFLT Inf\n", 1, "STOP ETIME ERROR\n", ""},
      {"F_SLOT 2\nSCLFLT NaN\n", 1, "STOP SCALE ERROR\n", ""},
      {"NITLIM 0 3\n", 1, "", ""},
      {"NITMAX 10\n", 1, "", ""},
  };
  for (const Case& k : cases) {
    Fixture f;
    const std::string text = k.lines;
    Captured c = f.feed(text.rfind("MODE", 0) == 0 ? text : "MODE=R\n" + text);
    EXPECT_EQ(c.status, k.status) << k.lines << c.out << c.err;
    EXPECT_TRUE(k.status == 1 ? c.stopped : c.errored) << k.lines;
    if (k.status == 1 && *k.err) {
      EXPECT_EQ(c.err, k.err) << k.lines;
    }
    if (k.status == 2) {
      EXPECT_NE(c.err.find(k.err), std::string::npos) << k.lines << c.err;
    }
    EXPECT_NE(c.out.find(k.out), std::string::npos) << k.lines << c.out;
  }
  // A line longer than 200 characters is refused unless its tail is a comment;
  // so is a file name that outgrows its field.
  Fixture f, g, h;
  EXPECT_TRUE(f.feed("MODE=R\nRAP 3" + std::string(200, ' ') + "MORE\n").stopped);
  EXPECT_FALSE(g.feed("MODE=R\nRAP 3 #" + std::string(200, ' ') + "MORE\n").stopped);
  Captured c = h.feed("MODE=R\nCHIPNAME WFC3IR\nF_SLOT 1\nDIRECT \"" + std::string(70, 'd') +
                      "/\"\nSUBDIR=sub/\n0001 PIX=file.fits\n");
  EXPECT_EQ(c.status, 1);
  EXPECT_NE(c.out.find("PIX file of image slot 1"), std::string::npos);
  EXPECT_NE(c.out.find("params.txt line 6"), std::string::npos);
}
