#include "targets.h"

#include <array>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

#include "core/array.h"
#include "core/files.h"
#include "core/limits.h"
#include "core/list_directed.h"
#include "core/stop.h"
#include "driver/master_hash.h"
#include "driver/prescan.h"
#include "imageio/fits.h"
#include "measure/noise.h"
#include "psf/psf.h"
#include "psf/psf_camera.h"
#include "psf/psf_library.h"
#include "setup/image_slots.h"
#include "setup/param_file.h"
#include "setup/param_parse.h"
#include "setup/source_lists.h"
#include "setup/transforms.h"
#include "tile/exposure_readers.h"

namespace zeb::fuzz {

namespace {

// ---------------------------------------------------------------------------
// Harness.

void write_bytes(const std::string& name, std::string_view bytes) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Runs one reader call: its refusals (stops, run-time errors) are answers,
// not findings; standard output is dropped. The process-wide state a reader
// leaves is put back, so every input is read the same way whatever came before.
template <typename F>
void attempt(F&& f) {
  std::ostringstream sink;
  std::streambuf* old = std::cout.rdbuf(sink.rdbuf());
  try {
    f();
  } catch (const RunStop&) {
  } catch (const RunError&) {
  } catch (...) {
    std::cout.rdbuf(old);
    throw;
  }
  std::cout.rdbuf(old);
}

void reset_process_state() {
  reset_fits_carry_over();
  reset_run_random();
  reset_input_files();
}

// ---------------------------------------------------------------------------
// Small FITS files.

std::string card(const std::string& key, const std::string& value) {
  std::string c = key;
  c.resize(8, ' ');
  c += "= ";
  c += std::string(value.size() < 20 ? 20 - value.size() : 0, ' ') + value;
  c.resize(80, ' ');
  return c;
}

std::string header(const std::vector<std::string>& cards) {
  std::string h;
  for (const std::string& c : cards) h += c;
  std::string end = "END";
  end.resize(80, ' ');
  h += end;
  h.resize((h.size() + 2879) / 2880 * 2880, ' ');
  return h;
}

std::string padded(std::string data) {
  data.resize((data.size() + 2879) / 2880 * 2880, '\0');
  return data;
}

void put_be32(std::string& out, std::uint32_t u) {
  for (int s = 24; s >= 0; s -= 8) out += static_cast<char>((u >> s) & 0xFF);
}

std::string floats(std::size_t n, float v) {
  std::uint32_t u;
  std::memcpy(&u, &v, sizeof u);
  std::string out;
  for (std::size_t k = 0; k < n; ++k) put_be32(out, u);
  return out;
}

std::string image_cards_ext(int bitpix, int nx, int ny, const char* name) {
  return header({card("XTENSION", "'IMAGE   '"), card("BITPIX", std::to_string(bitpix)), card("NAXIS", "2"),
                 card("NAXIS1", std::to_string(nx)), card("NAXIS2", std::to_string(ny)), card("PCOUNT", "0"),
                 card("GCOUNT", "1"), card("EXTNAME", name)});
}

// A WFC3/IR calibrated exposure of 16 x 16 pixels.
std::string ir_exposure() {
  const int n = 16;
  std::string f = header({card("SIMPLE", "T"), card("BITPIX", "16"), card("NAXIS", "0"), card("EXTEND", "T"),
                          card("NEXTEND", "3"), card("EXPTIME", "100.0")});
  f += image_cards_ext(-32, n, n, "'SCI     '") + padded(floats(n * n, 10.0f));
  f += image_cards_ext(-32, n, n, "'ERR     '") + padded(floats(n * n, 1.0f));
  f += image_cards_ext(16, n, n, "'DQ      '") + padded(std::string(2 * n * n, '\0'));
  return f;
}

// A PSF library of one fiducial.
std::string psf_library() {
  std::vector<std::string> cards{card("SIMPLE", "T"), card("BITPIX", "-32"), card("NAXIS", "3"),
                                 card("NAXIS1", "101"), card("NAXIS2", "101"), card("NAXIS3", "1"),
                                 card("NXPSFs", "1"), card("NYPSFs", "1")};
  for (int k = 1; k <= 10; ++k) {
    const std::string nn = (k < 10 ? "0" : "") + std::to_string(k);
    cards.push_back(card("IPSFX" + nn, std::to_string(100 * k)));
    cards.push_back(card("JPSFY" + nn, std::to_string(100 * k)));
  }
  std::string plane = floats(PSF_NPIX * PSF_NPIX, 0.0f);
  const std::string peak = floats(1, 0.2f);
  plane.replace(4 * ((PSF_CENTRE - 1) + PSF_NPIX * (PSF_CENTRE - 1)), 4, peak);
  return header(cards) + padded(plane);
}

// A tail of well-formed float planes written after a fuzzed PSF file, so that
// a header that asks for a cube of up to four fiducials finds one: the
// fuzzer's bytes then reach the readers of the header and of the planes.
const std::string& psf_tail() {
  static const std::string tail = floats(4 * PSF_NPIX * PSF_NPIX, 0.001f);
  return tail;
}

// ---------------------------------------------------------------------------
// The targets.

struct SetupState {
  RunState run;
  SpatialHash hash_000, hash_art;
  SetupState() {
    run.master.allocate(FDIM);
    run.art.allocate(FDIM);
  }
};

int params(const std::uint8_t* data, std::size_t size) {
  static SetupState* state = new SetupState;  // the lists are large: allocated once
  reset_process_state();
  write_bytes("params.txt", std::string_view(reinterpret_cast<const char*>(data), size));
  RunState& run = state->run;
  run.settings = Settings();
  attempt([&] {
    int verbose = 0;
    const PrescanCounts counts = extract_gsfscs("params.txt", verbose);
    if (counts.gs > GDIM || counts.fs > FDIM) return;  // where the driver stops
    run.settings.verbose = verbose;
    zeb_setup("params.txt", counts, run);
    build_hashes(run.settings.cmode, run.master, run.art, state->hash_000, state->hash_art);
  });
  return 0;
}

int list(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const unsigned ops = data[0];
  const std::string record(reinterpret_cast<const char*>(data) + 1, size - 1);
  attempt([&] {
    ListReader reader(record, "fuzz record");
    for (int k = 0; k < 64; ++k) {
      Got got = Got::Value;
      switch ((ops >> (2 * (k % 4))) & 3U) {
        case 0: {
          int i = 0;
          got = k % 8 < 4 ? reader.read_int(i) : (reader.need_int(), Got::Value);
          break;
        }
        case 1: {
          double x = 0.0;
          got = k % 8 < 4 ? reader.read_real(x) : (reader.need_real(), Got::Value);
          break;
        }
        case 2: {
          float x = 0.0f;
          got = reader.read_real(x);
          break;
        }
        default: {
          std::string t;
          got = reader.read_text(t);
        }
      }
      if (got == Got::End || got == Got::Slash) break;
    }
  });
  attempt([&] { parse(record, "fuzz line"); });
  attempt([&] {
    parse_int_item(record);
    parse_real_item(record);
  });
  return 0;
}

struct Rasters {
  Array2<float> v{TILE_GRID, TILE_GRID}, e{TILE_GRID, TILE_GRID};
  Array2<std::uint8_t> u{TILE_GRID, TILE_GRID};
};

int fits(const std::uint8_t* data, std::size_t size) {
  static Rasters* r = new Rasters;
  reset_process_state();
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  write_bytes("f.fits", bytes);
  long long nx = 0, ny = 0;
  attempt([&] {
    std::optional<FitsRecords> file = FitsRecords::open("f.fits", FitsRecords::Access::Read);
    if (!file) return;
    const FitsHeader h = parse_fits_header(*file, 1);
    nx = h.naxis1;
    ny = h.naxis2;
    check_data_unit(h, *file);
    const long next = h.next_header_record(file->path());
    if (next <= file->count()) parse_fits_header(*file, next);
  });
  const bool small = nx >= 1 && nx <= 64 && ny >= 1 && ny <= 64;
  attempt([&] {
    Array2<float> a(64, 64);
    readfits_r4("f.fits", a.view(), 64, 64);
  });
  attempt([&] {
    const int ix = small ? static_cast<int>(nx) : 8, iy = small ? static_cast<int>(ny) : 8;
    Array2<std::int32_t> a(ix, iy);
    readfits_i4("f.fits", a.view(), ix, iy);
  });
  attempt([&] { query_hdr("f.fits", "EXPTIME "); });
  attempt([&] {
    readfits_wfc3ir_flt_rast("f.fits", r->v.view(), r->e.view(), r->u.view(), 8, 8, TILE_GRID, TILE_GRID);
  });
  attempt([&] {
    readfits_wfc3uv_wj2_rast("f.fits", r->v.view(), r->e.view(), r->u.view(), 2048, 2048, TILE_GRID, TILE_GRID);
  });
  attempt([&] { readfits_hrc_i4_rast("f.fits", r->v.view(), r->e.view(), r->u.view(), 8, 8, TILE_GRID, TILE_GRID); });
  if (small) {
    write_bytes("g.fits", bytes);
    attempt([&] {
      Array2<std::int16_t> strip(16, 8, -32025);
      writfits_j2_rastx("g.fits", strip.view(), 1, 1, 1, 16, 1, 8, 16, 8, static_cast<int>(nx), static_cast<int>(ny));
      writfits_b1_rastx("g.fits", strip.view(), 2, 1, 1, 16, 1, 8, 16, 8, static_cast<int>(nx), static_cast<int>(ny));
    });
  }
  return 0;
}

int psf(const std::uint8_t* data, std::size_t size) {
  static CameraPsf* camera = new CameraPsf;
  static Array2<float>* local = new Array2<float>(PSF_NPIX, PSF_NPIX);
  reset_process_state();
  std::string file(reinterpret_cast<const char*>(data), size);
  write_bytes("l.fits", file + psf_tail());
  attempt([&] {
    StdpsfHeader h = infofits_stdpsf("l.fits");
    for (const auto& [i, j] : std::array<std::pair<int, int>, 3>{{{1, 1}, {550, 320}, {-70, 5000}}}) {
      StdpsfHeader again;  // read again, as every build does
      locpsfij_stdpsf(i, j, local->view(), "l.fits", again);
    }
    (void)h;
  });
  for (auto reader : {read_psf3ir, read_psfhrc, read_psfacs, read_psf3uv}) attempt([&] { reader("l.fits", *camera); });
  for (int kkk : {5, 7, 8, 9}) attempt([&] { mk_loc_psf(local->view(), 300, 300, *camera, kkk, "l.fits", false); });
  return 0;
}

int matlist(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static SetupState* state = new SetupState;
  reset_process_state();
  write_bytes("l.txt", std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  RunState& run = state->run;
  static const char* const items[] = {"PREMAG l.txt 0 0", "PREFLX l.txt -5 -5", "BRITE l.txt -10 -10",
                                      "ARTFLX l.txt",     "ARTMAG l.txt",       "DRIVXY l.txt"};
  const unsigned choice = data[0] % 7U;
  attempt([&] {
    if (choice == 0) {
      run.slots.allocate(GDIM, CDIM);
      run.slots.zp_cg(1, 1) = -99.0f;
      read_mat("l.txt", 9, 1, "NULL", 1, run.slots);
      return;
    }
    const ParamLine line = parse(items[choice - 1], "fuzz item");
    switch (choice) {
      case 1: item_premag(line, 1, true, run.master); break;
      case 2: item_premag(line, 1, false, run.master); break;
      case 3: item_brite(line, 1, run.bright); break;
      case 4: item_artfile(line, 1, false, run.art); break;
      case 5: item_artfile(line, 1, true, run.art); break;
      default: item_drivxy(line, 1, run.master);
    }
  });
  return 0;
}

}  // namespace

const std::vector<Target>& targets() {
  static const std::vector<Target> all = {
      {"params", params}, {"list", list}, {"fits", fits}, {"psf", psf}, {"matlist", matlist}};
  return all;
}

void write_support_files() {
  write_bytes("e.fits", ir_exposure());
  write_bytes("l.fits", psf_library());
  Array2<float> single(PSF_NPIX, PSF_NPIX, 0.0f);
  single(PSF_CENTRE, PSF_CENTRE) = 0.2f;
  std::ostringstream sink;
  std::streambuf* old = std::cout.rdbuf(sink.rdbuf());
  writfits_r4("p.fits", single.view(), PSF_NPIX, PSF_NPIX);
  std::cout.rdbuf(old);
  // A MAT file that places the exposure: a 4 x 4 grid of matched stars.
  std::string mat = "# u v x y m1 m2\n";
  for (int a = 0; a < 4; ++a)
    for (int b = 0; b < 4; ++b)
      mat += std::to_string(100 + 200 * a) + " " + std::to_string(120 + 190 * b) + " " + std::to_string(90 + 200 * a) +
             " " + std::to_string(110 + 190 * b) + " -12.0 -5.5\n";
  write_bytes("m.mat", mat);
  write_bytes("s.txt", "# u v m1 m2\n100 120 -12.5 -12.0\n230.5 180.25 -9 -8.5\n");
  write_bytes("b.txt", "# u v m1 m2\n150 160 -14.5 -14\n");
  write_bytes("a.txt", "# u v f1 f2\n140 150 1000 800\n200 210 -7.5 -7\n");
}

}  // namespace zeb::fuzz
