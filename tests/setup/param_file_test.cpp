// The parameter-file reader, line by line: settings, slot commits and every
// error stop of the file's syntax.
#include "setup/param_file.h"

#include <gtest/gtest.h>

#include "core/stop.h"
#include "imageio/fits.h"
#include "support/test_support.h"

using zeb::test::capture;
using zeb::test::Captured;
using zeb::test::split_lines;
using zeb::test::TempDir;

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

TEST(ParamFile, FirstLineSetsTheMode) {
  Fixture f;
  Captured c = f.feed("MODE=D and more text\n");
  EXPECT_FALSE(c.stopped);
  EXPECT_EQ(f.run.settings.cmode, 'D');
  EXPECT_EQ(split_lines(c.out).at(0), "ZEB_SETUP LINE001   MODE=D");
}

TEST(ParamFile, BadModeStopsOnLineOne) {
  Fixture f;
  Captured c = f.feed("MODE=Q\n");
  EXPECT_TRUE(c.stopped);
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.err, "STOP must spec MODE=R,D,A, or C... on LINE1\n");
}

TEST(ParamFile, EchoLogHoldsEveryLine) {
  Fixture f;
  f.feed("MODE=R\n# a comment\nSKIP\nRAP 7\nPIKS\nEND\nRAP 9\n");
  f.reader.reset();  // closes the log
  auto lines = zeb::test::read_lines("LOGK.INPUT_FILE");
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], "ZEB_SETUP LINE001   MODE=R");
  EXPECT_EQ(lines[1], "ZEB_SETUP LINE002   # a comment" + std::string(189, ' '));
  EXPECT_EQ(lines[5], "ZEB_SETUP LINE006   END" + std::string(197, ' '));
}

TEST(ParamFile, SkippedBlockHasNoEffectAndEndStopsInput) {
  Fixture f;
  Captured c = f.feed("MODE=R\nSKIP\nULIM 5 6\nPIKS\nVLIM 7 8 END ULIM 1 2\nULIM 3 4\n");
  EXPECT_FALSE(c.stopped);
  EXPECT_EQ(f.run.settings.umin, 0);
  EXPECT_EQ(f.run.settings.umax, 1200);
  EXPECT_EQ(f.run.settings.vmin, 7);
  EXPECT_EQ(f.run.settings.vmax, 8);
}

TEST(ParamFile, PiksOutsideASkippedBlockIsAParsingError) {
  Fixture f;
  Captured c = f.feed("MODE=R\nPIKS\n");
  EXPECT_TRUE(c.stopped);
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.err, "");
  auto m = messages(c);
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m[0], " PARSING ERROR... ");
  EXPECT_EQ(m[1], "     N:  1 PIKS");
  EXPECT_EQ(m[2], "    Ns:  1");
}

TEST(ParamFile, TrailingCommentIsRemoved) {
  Fixture f;
  Captured c = f.feed("MODE=R\nCHIPNAME=WFC3IR\nF_SLOT 1\nRAP 5 # RAP 6\n0003 PIX=x\n");
  // PIX queries a file that does not exist: the run ends with a run-time error,
  // after RAP 5 has been committed to slot 3.
  EXPECT_EQ(f.run.slots.rap_g(3), 5);
  (void)c;
}

TEST(ParamFile, IterationLinesSetTheirTables) {
  Fixture f;
  Captured c = f.feed(
      "MODE=R\nNIT03 HMIN=7 SSIG 1.5 QMIN 4 QSEL .8 QSEP .4 PMIN 5 PSEP .6 DMIN 6 DSEP .2 OPRX 1.5 OPRV 3.5 JSIG 4.5\n"
      "NIT02 RSIZ=1.25 RWID=3 RCOL=magenta DANGLING\nNIT00 RCOL=white RSIZ=6\n");
  ASSERT_FALSE(c.stopped) << c.out;
  const zeb::Settings& s = f.run.settings;
  EXPECT_EQ(s.hmin_nit(3), 7);
  EXPECT_FLOAT_EQ(s.ssig_nit(3), 1.5f);
  EXPECT_EQ(s.qmin_nit(3), 4);
  EXPECT_FLOAT_EQ(s.qsel_nit(3), 0.8f);
  EXPECT_FLOAT_EQ(s.qsep_nit(3), 0.4f);
  EXPECT_EQ(s.pmin_nit(3), 5);
  EXPECT_FLOAT_EQ(s.psep_nit(3), 0.6f);
  EXPECT_EQ(s.dmin_nit(3), 6);
  EXPECT_FLOAT_EQ(s.dsep_nit(3), 0.2f);
  EXPECT_FLOAT_EQ(s.oprx_nit(3), 1.5f);
  EXPECT_FLOAT_EQ(s.oprv_nit(3), 3.5f);
  EXPECT_FLOAT_EQ(s.jsig_nit(3), 4.5f);
  EXPECT_TRUE(s.jsig_given);
  EXPECT_EQ(s.hmin_nit(2), 4);  // untouched defaults
  EXPECT_FLOAT_EQ(s.jsig_nit(2), 99.99f);
  EXPECT_FLOAT_EQ(s.rsiz_nit(2), 1.25f);
  EXPECT_EQ(s.rwid_nit(2), 3);
  EXPECT_EQ(s.rcol_nit(2), "magenta");
  EXPECT_EQ(s.rcol_nit(11), "white  ");
  EXPECT_FLOAT_EQ(s.rsiz_nit(11), 6.0f);
  EXPECT_EQ(s.rwid_nit(11), 3);
}

TEST(ParamFile, Nit00AcceptsOnlyRegionKeys) {
  Fixture f;
  Captured c = f.feed("MODE=R\nNIT00 JSIG=3\n");
  EXPECT_TRUE(c.stopped);
  EXPECT_EQ(c.status, 1);
  auto m = messages(c);
  std::vector<std::string> want = {"   ",
                                   " NIT0 SYNTAX ERROR, YOU BOZO!",
                                   "   ",
                                   " FIELD NOT RECOGNIZED AS NIT SPEC: ",
                                   " FIELD:  JSIG",
                                   "  LIST: HMIN= SSIG= ",
                                   "        QMIN= QSEL= ",
                                   "        DMIN= DSEL= ",
                                   "        PMIN= ",
                                   "        OPRX= OPRV= ",
                                   "        RCOL= RWID= RSIZ= ",
                                   "  ",
                                   " (NIT00 can only do RCOL,RWID,RSIZ...)",
                                   "  "};
  EXPECT_EQ(m, want);
}

TEST(ParamFile, UnknownIterationKeyShowsFiveCharacters) {
  Fixture f;
  Captured c = f.feed("MODE=R\nNIT01 HMIN 2 BOGUSKEY 3\n");
  EXPECT_TRUE(c.stopped);
  EXPECT_EQ(f.run.settings.hmin_nit(1), 2);
  auto m = messages(c);
  ASSERT_GE(m.size(), 5u);
  EXPECT_EQ(m[4], " FIELD:  BOGUS");
}

TEST(ParamFile, IllegalColourStops) {
  Fixture f;
  Captured c = f.feed("MODE=R\nNIT01 RCOL=orange\n");
  EXPECT_TRUE(c.stopped);
  EXPECT_EQ(c.status, 1);
  std::vector<std::string> want = {" LEGIT COLORS FOR RCOL_NIT: ", "    yellow, red, green, blue ",
                                   "    cyan magenta white black "};
  EXPECT_EQ(messages(c), want);
}

TEST(ParamFile, SpreadingRadiiOutsideZeroToTenStopOnTheirLine) {
  {
    Fixture f;
    EXPECT_FALSE(f.feed("MODE=R\nNIT02 QSEP=10 DSEP=0 PSEP 7.5\n").stopped);
  }
  for (const auto& [line, message] : {std::pair<std::string, std::string>{"NIT02 QSEP=10.5", " QSEP MUST LIE IN 0 .. 10:  10.5"},
                                      {"NIT04 HMIN 2 DSEP=-0.5", " DSEP MUST LIE IN 0 .. 10:  -0.5"},
                                      {"NIT01 PSEP=nan", " PSEP MUST LIE IN 0 .. 10:  nan"}}) {
    Fixture f;
    Captured c = f.feed("MODE=R\n" + line + "\n");
    EXPECT_TRUE(c.stopped) << line;
    EXPECT_EQ(c.status, 1);
    EXPECT_EQ(messages(c), (std::vector<std::string>{message, " params.txt line 2"})) << line;
  }
}

TEST(ParamFile, JsigMustBePositive) {
  Fixture f;
  Captured c = f.feed("MODE=R\nNIT02 JSIG=-1\n");
  EXPECT_TRUE(c.stopped);
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(messages(c).at(0), " JSIG MUST BE A POSITIVE SIGNIFICANCE:  -1");
}

TEST(ParamFile, IterationNumberMustBeADigit) {
  Fixture f;
  Captured c = f.feed("MODE=R\nNIT0X HMIN=1\n");
  EXPECT_TRUE(c.errored);
  EXPECT_EQ(c.status, 2);
  EXPECT_NE(c.err.find("params.txt line 2"), std::string::npos);
}

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

TEST(ParamFile, ChipNameTakesEffectFromTheNextLine) {
  Fixture f;
  Captured c = f.feed("MODE=R\nF_SLOT 1\nCHIPNAME WFC3IR\n0001 CHIPNAME ACSHRC SKY 1\n0002 SKY 1\n");
  ASSERT_FALSE(c.stopped);
  EXPECT_EQ(f.run.slots.kkk_g(1), 9);
  EXPECT_EQ(f.run.slots.kkk_g(2), 7);
}

TEST(ParamFile, SlotWithoutChipStops) {
  Fixture f;
  Captured c = f.feed("MODE=R\nF_SLOT 1\n0001 SKY 1\n");
  EXPECT_TRUE(c.stopped);
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(messages(c), std::vector<std::string>{" Image has been specified w/o a chip."});
}

TEST(ParamFile, SlotWithoutFilterSlotStops) {
  Fixture f;
  Captured c = f.feed("MODE=R\nCHIPNAME WFC3IR\n0001 SKY 1\n");
  EXPECT_TRUE(c.stopped);
  EXPECT_EQ(c.status, 1);
  EXPECT_NE(c.out.find("w/o a filter slot"), std::string::npos);
}

TEST(ParamFile, SlotNumberAboveLimitStops) {
  Fixture f;
  Captured c = f.feed("MODE=R\nCHIPNAME WFC3IR\nF_SLOT 1\n0036 SKY 1\n");
  EXPECT_TRUE(c.stopped);
  std::vector<std::string> want = {"                  ", " Gs.gt._GDIM_ --- ", "    Gs  :  36", "  _GDIM_:  35",
                                   "                  "};
  EXPECT_EQ(messages(c), want);
  EXPECT_EQ(c.err, "");
}

TEST(ParamFile, SlotNumberZeroStops) {
  Fixture f;
  Captured c = f.feed("MODE=R\nCHIPNAME WFC3IR\nF_SLOT 1\n0000 SKY 1\n");
  EXPECT_TRUE(c.stopped);
  EXPECT_EQ(c.status, 1);
}

TEST(ParamFile, SlotItemsWithoutSlotNumberStop) {
  for (const char* line : {"SKY 1", "PIX x.fits", "MAT m.mat", "ZPU 1", "EXPT 5"}) {
    Fixture f;
    Captured c = f.feed(std::string("MODE=R\n") + line + "\n");
    EXPECT_TRUE(c.stopped) << line;
    EXPECT_EQ(c.status, 1) << line;
  }
}

TEST(ParamFile, BadChipNameStops) {
  Fixture f;
  Captured c = f.feed("MODE=R\nCHIPNAME=WFPC2X\n");
  EXPECT_TRUE(c.stopped);
  EXPECT_EQ(messages(c), std::vector<std::string>{" BAD CHIP NAME... WFPC2X"});
}

TEST(ParamFile, FilterSlotErrors) {
  struct Case {
    const char* lines;
    const char* stop;
  } cases[] = {
      {"F_SLOT 3\n", "STOP F_SLOT.gt._FDIM_\n"},
      {"EXPFLT 100\n", "STOP ETIME FSLOT\n"},
      {"SCLFLT 2\n", "STOP SCLFLT FSLOT\n"},
      {"F_SLOT 1\nEXPFLT 0\n", "STOP ETIME ERROR\n"},
      {"F_SLOT 1\nEXPFLT Inf\n", "STOP ETIME ERROR\n"},
      {"F_SLOT 2\nSCLFLT -1\n", "STOP SCALE ERROR\n"},
      {"F_SLOT 2\nSCLFLT NaN\n", "STOP SCALE ERROR\n"},
  };
  for (const Case& k : cases) {
    Fixture f;
    Captured c = f.feed(std::string("MODE=R\n") + k.lines);
    EXPECT_TRUE(c.stopped) << k.lines;
    EXPECT_EQ(c.status, 1) << k.lines;
    EXPECT_EQ(c.err, k.stop) << k.lines;
  }
}

TEST(ParamFile, FilterSlotValues) {
  Fixture f;
  Captured c = f.feed("MODE=R\nF_SLOT 2\nEXPFLT 800 SCLFLT 2.5\nF_SLOT 1\nEXPFLT=500.\n");
  ASSERT_FALSE(c.stopped);
  EXPECT_FLOAT_EQ(f.run.filters.exp_f(1), 500.0f);
  EXPECT_FLOAT_EQ(f.run.filters.exp_f(2), 800.0f);
  EXPECT_FLOAT_EQ(f.run.filters.scl_f(1), 1.0f);
  EXPECT_FLOAT_EQ(f.run.filters.scl_f(2), 2.5f);
}

TEST(ParamFile, BadMaskStops) {
  Fixture f;
  Captured c = f.feed("MODE=R\nUSEPOS 11111111\n");
  EXPECT_TRUE(c.stopped);
  std::vector<std::string> want = {" ZEB_SETUP ERRROR: ", " UPOS must be 9x 1s and 0s", " UPOS:  11111111 "};
  EXPECT_EQ(messages(c), want);
}

TEST(ParamFile, RunWideSwitchesAndLimits) {
  Fixture f;
  Captured c = f.feed(
      "MODE=C\nLABEL7=abcdefghij\nVERBOSE+\nVERBOSE\nLOGNIMFO+ LOGFINFO+\nMOSAIC_X1- MOSAIC_X2-\nSHOW_TILES+\n"
      "SHOW_TILE-\nSHOW_TILES+ SHOW_TILES-\nIJTLIM 2 3 4 5\nNITLIM 2 4\nNITMAX 5\nULIM 10 20\nVLIM 30 40\n"
      "DIRECT=\"/data/run1/ \"\nONEOFF 100.4 200.6\n");
  ASSERT_FALSE(c.stopped) << c.out;
  const zeb::Settings& s = f.run.settings;
  EXPECT_EQ(s.cmode, 'C');
  EXPECT_EQ(s.label, "abcdefg");
  EXPECT_EQ(s.verbose, 1);
  EXPECT_EQ(s.lognimfo, 1);
  EXPECT_EQ(s.logfinfo, 1);
  EXPECT_EQ(s.mosaic_x1, 0);
  EXPECT_EQ(s.mosaic_x2, 0);
  EXPECT_EQ(s.show_tile, 1);
  EXPECT_EQ(s.show_tiles, 0);
  EXPECT_EQ(s.ijtminmaxu, (std::array<int, 4>{2, 3, 4, 5}));
  EXPECT_EQ(s.nitminmaxu, (std::array<int, 2>{2, 5}));
  EXPECT_EQ(s.umin, 10);
  EXPECT_EQ(s.umax, 20);
  EXPECT_EQ(s.vmin, 30);
  EXPECT_EQ(s.vmax, 40);
  EXPECT_EQ(s.direct, "/data/run1/");
  EXPECT_EQ(s.ndirect, 11);
  EXPECT_TRUE(s.oneoff);
  EXPECT_EQ(s.oneoffx, 100);
  EXPECT_EQ(s.oneoffy, 201);
  auto m = messages(c);
  ASSERT_FALSE(m.empty());
  EXPECT_EQ(m.back(), "          ONEOFF: T    100    201");
}

TEST(ParamFile, ArtShardNamesAPartOfAModeARun) {
  Fixture f;
  ASSERT_FALSE(f.feed("MODE=A\nARTSHARD 3 7\n").stopped);
  EXPECT_EQ(f.run.settings.art_part, 3);
  EXPECT_EQ(f.run.settings.art_parts, 7);
  for (const char* lines : {"MODE=R\nARTSHARD 1 2\n", "MODE=A\nARTSHARD 3 2\n", "MODE=A\nARTSHARD 0 2\n"}) {
    Fixture g;
    Captured c = g.feed(lines);
    EXPECT_EQ(c.status, 1) << lines;
    EXPECT_EQ(c.err, lines[5] == 'R' ? "STOP ARTSHARD needs MODE=A\n" : "STOP ARTSHARD out of range\n") << lines;
  }
}

TEST(ParamFile, IterationLimitsOutsideTheTablesStop) {
  for (const char* line : {"NITLIM 0 3", "NITMAX 10", "NITMIN 12"}) {
    Fixture f;
    Captured c = f.feed(std::string("MODE=R\n") + line + "\n");
    EXPECT_TRUE(c.stopped) << line;
    EXPECT_EQ(c.status, 1) << line;
  }
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

TEST(ParamFile, UnreadableNumberIsARunTimeError) {
  Fixture f;
  Captured c = f.feed("MODE=R\nULIM 10 2x\n");
  EXPECT_TRUE(c.errored);
  EXPECT_EQ(c.status, 2);
  EXPECT_NE(c.err.find("params.txt line 2"), std::string::npos);
  EXPECT_NE(c.err.find("2x"), std::string::npos);
}

TEST(ParamFile, MissingValueIsARunTimeError) {
  Fixture f;
  Captured c = f.feed("MODE=R\nUVLIM 1 2 3\n");
  EXPECT_TRUE(c.errored);
  EXPECT_EQ(c.status, 2);
}

TEST(ParamFile, ComposedNameLongerThanItsFieldIsRefused) {
  Fixture f;
  std::string longdir(70, 'd');
  Captured c = f.feed("MODE=R\nCHIPNAME WFC3IR\nF_SLOT 1\nDIRECT \"" + longdir + "/\"\nSUBDIR=sub/\n0001 PIX=file.fits\n");
  EXPECT_TRUE(c.stopped);
  EXPECT_EQ(c.status, 1);
  EXPECT_NE(c.out.find("PIX file of image slot 1"), std::string::npos);
  EXPECT_NE(c.out.find("params.txt line 6"), std::string::npos);
}

TEST(ParamFile, OverlongLineIsRefusedUnlessItsTailIsAComment) {
  {
    Fixture f;
    Captured c = f.feed("MODE=R\nRAP 3" + std::string(200, ' ') + "MORE\n");
    EXPECT_TRUE(c.stopped);
  }
  {
    Fixture f;
    Captured c = f.feed("MODE=R\nRAP 3 #" + std::string(200, ' ') + "MORE\n");
    EXPECT_FALSE(c.stopped);
    EXPECT_EQ(f.run.settings.cmode, 'R');
  }
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
