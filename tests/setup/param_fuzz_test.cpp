// Mutated parameter lines must never crash the reader: every line ends in a
// normal return, an error stop or a run-time error.
#include <gtest/gtest.h>

#include <random>

#include "core/stop.h"
#include "setup/param_file.h"
#include "setup/param_parse.h"
#include "support/test_support.h"

namespace {

const char* const SEEDS[] = {
    "0001 PIX=\"a b.fits\" MAT=m.mat SKY=1.5 RAP=3 USEPOS=101010101",
    "NIT01 HMIN=5 SSIG=2.5 QMIN=1 RCOL=green RSIZ=1.5 RWID=2",
    "NIT00 RCOL=blue RSIZ=5.0 RWID=3",
    "F_SLOT 0001 EXPFLT=500.0 SCLFLT=1.0",
    "CHIPNAME=WFC3IR FILTER=F160W SUBDIR=\"raw/\" DIRECT=\"/d/\"",
    "UVLIM 0 1200 0 1200 IJTLIM 1 2 3 4 NITLIM 1 3",
    "ONEOFF 100.5 200.5",
    "VERBOSE+ MOSAIC_X1- SHOW_TILES+ LOGNIMFO+ LABEL7=abc",
    "PSFSTD=lib.fits GCSTD=NULL MASKFAC=2.0 OTHRFAC 1.0",
    "SKIP",
    "PIKS",
    "0002 EXPT 100 ZPU 25 USEFND 111000000 # comment",
    "ADDBRITE 10 20 -12 -11 ADDART 5 6 1000 -7.5",
    "DRIVXY=nofile.txt PREMAG=nofile.txt 0 0",
};

std::string mutate(std::string s, std::mt19937& rng) {
  const std::string alphabet = " =\"'/,!#*0123456789.+-eEdDabcXYZ\t";
  std::uniform_int_distribution<int> op(0, 5);
  int edits = 1 + static_cast<int>(rng() % 4);
  for (int e = 0; e < edits; ++e) {
    std::size_t pos = s.empty() ? 0 : rng() % (s.size() + 1);
    char c = alphabet[rng() % alphabet.size()];
    switch (op(rng)) {
      case 0:
        s.insert(pos, 1, c);
        break;
      case 1:
        if (pos < s.size()) s.erase(pos, 1);
        break;
      case 2:
        if (pos < s.size()) s[pos] = c;
        break;
      case 3:
        s.insert(pos, std::string(1 + rng() % 120, c));
        break;
      case 4:
        if (pos < s.size()) s = s.substr(0, pos);
        break;
      default:
        s += " " + std::string(SEEDS[rng() % (sizeof SEEDS / sizeof *SEEDS)]);
    }
  }
  return s;
}

}  // namespace

TEST(ParamFuzz, MutatedLinesNeverCrash) {
  zeb::test::TempDir dir;
  std::mt19937 rng(20261206);
  const int total = 100000;
  int stops = 0, errors = 0;
  zeb::test::Captured c = zeb::test::capture([&] {
    // One run state for all lines (the lists are large); a fresh reader after
    // every stop, as a new run would have.
    auto run = std::make_unique<zeb::RunState>();
    run->master.allocate(2);
    run->art.allocate(2);
    std::unique_ptr<zeb::ParamFileReader> reader;
    for (int i = 0; i < total; ++i) {
      if (!reader || i % 500 == 0) {
        reader = std::make_unique<zeb::ParamFileReader>(*run, zeb::PrescanCounts{35, 2, 2}, "fuzz.txt");
        reader->initialise();
        reader->first_line("MODE=R");
      }
      std::string line = mutate(SEEDS[rng() % (sizeof SEEDS / sizeof *SEEDS)], rng);
      try {
        zeb::parse(line);
        if (!reader->next_line(line)) reader.reset();
      } catch (const zeb::RunStop&) {
        ++stops;
        reader.reset();
      } catch (const zeb::RunError&) {
        ++errors;
        reader.reset();
      }
    }
  });
  // Both kinds of refusal occur, and most lines are read without either.
  EXPECT_GT(stops, 100);
  EXPECT_GT(errors, 100);
  EXPECT_LT(stops + errors, total);
}
