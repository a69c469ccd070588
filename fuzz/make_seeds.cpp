// Derives the seed corpora of the fuzz targets from simulated fields: zebsim
// writes the e2e-ir and e2e-hrc fields, and their parameter files, exposures,
// PSF files, MAT files and star lists are cut down to small inputs (images to
// 16 x 16 pixels, a PSF cube to its header, lists to their first lines) that
// still have the shape the readers expect.
//
//   fuzz_seeds <corpus directory>     writes <dir>/<target>/seed-*
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "field.h"
#include "field_files.h"

namespace fs = std::filesystem;

namespace {

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const fs::path& p, const std::string& bytes) {
  fs::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// ---------------------------------------------------------------------------
// FITS header-data units.

struct Hdu {
  std::vector<std::string> cards;  // without END
  std::string data;                // unpadded
};

long long card_int(const std::vector<std::string>& cards, const std::string& key, long long fallback) {
  for (const std::string& c : cards)
    if (c.compare(0, key.size(), key) == 0 && c[key.size()] == ' ') return std::stoll(c.substr(10, 20));
  return fallback;
}

void set_card(std::vector<std::string>& cards, const std::string& key, long long value) {
  std::string v = std::to_string(value);
  std::string c = key;
  c.resize(8, ' ');
  c += "= " + std::string(20 - v.size(), ' ') + v;
  c.resize(80, ' ');
  for (std::string& old : cards)
    if (old.compare(0, 8, c, 0, 8) == 0) old = c;
}

std::vector<Hdu> read_hdus(const std::string& f) {
  std::vector<Hdu> out;
  std::size_t p = 0;
  while (p + 2880 <= f.size()) {
    Hdu h;
    bool end = false;
    while (!end && p + 2880 <= f.size()) {
      for (int k = 0; k < 36; ++k) {
        std::string c = f.substr(p + 80 * static_cast<std::size_t>(k), 80);
        if (c.compare(0, 8, "END     ") == 0) {
          end = true;
          break;
        }
        if (!end) h.cards.push_back(c);
      }
      p += 2880;
    }
    const long long naxis = card_int(h.cards, "NAXIS", 0);
    long long n = naxis > 0 ? std::llabs(card_int(h.cards, "BITPIX", 8)) / 8 : 0;
    for (int a = 1; a <= naxis; ++a) n *= card_int(h.cards, "NAXIS" + std::to_string(a), 1);
    h.data = f.substr(p, static_cast<std::size_t>(n));
    p += (static_cast<std::size_t>(n) + 2879) / 2880 * 2880;
    out.push_back(h);
  }
  return out;
}

std::string write_hdus(const std::vector<Hdu>& hdus) {
  std::string f;
  for (const Hdu& h : hdus) {
    std::string head;
    for (const std::string& c : h.cards) head += c;
    head += std::string("END") + std::string(77, ' ');
    head.resize((head.size() + 2879) / 2880 * 2880, ' ');
    std::string data = h.data;
    data.resize((data.size() + 2879) / 2880 * 2880, '\0');
    f += head + data;
  }
  return f;
}

// The first n x n pixels of every image, the axes set to n.
std::string shrink(const std::string& file, long long n) {
  std::vector<Hdu> hdus = read_hdus(file);
  for (Hdu& h : hdus) {
    const long long naxis = card_int(h.cards, "NAXIS", 0);
    if (naxis < 2) continue;
    const long long bytes = std::llabs(card_int(h.cards, "BITPIX", 8)) / 8;
    const long long nx = card_int(h.cards, "NAXIS1", 1);
    std::string data;
    for (long long row = 0; row < n; ++row)
      data += h.data.substr(static_cast<std::size_t>(row * nx * bytes), static_cast<std::size_t>(n * bytes));
    h.data = data;
    set_card(h.cards, "NAXIS1", n);
    set_card(h.cards, "NAXIS2", n);
    if (naxis >= 3) set_card(h.cards, "NAXIS3", 1);
  }
  return write_hdus(hdus);
}

// ---------------------------------------------------------------------------
// Text.

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

// The first n lines that are not comments, after the comment lines before them.
std::string head(const std::string& text, int n) {
  std::string out;
  for (const std::string& l : lines_of(text)) {
    if (n == 0) break;
    out += l + "\n";
    if (!l.empty() && l[0] != '#') --n;
  }
  return out;
}

void replace_all(std::string& s, const std::string& from, const std::string& to) {
  for (std::size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
    s.replace(p, from.size(), to);
}

// The parameter file of a field with its files renamed to the support files
// of the params target.
std::string support_names(std::string params, const zebsim::Field& field) {
  for (const zebsim::Exposure& e : field.exposures) {
    replace_all(params, zebsim::exposure_file(e), "e.fits");
    replace_all(params, zebsim::mat_file(e), "m.mat");
  }
  for (const zebsim::FilterDesign& f : field.design.filters) {
    replace_all(params, zebsim::psf_library_file(f), "l.fits");
    replace_all(params, "PSFHRC " + zebsim::psf_integer_file(f), "PSF3IR p.fits");
    replace_all(params, zebsim::psf_single_file(f), "p.fits");
  }
  replace_all(params, zebsim::kBrightFile, "b.txt");
  replace_all(params, zebsim::kStartFile, "s.txt");
  replace_all(params, "#PREMAG", "PREMAG");
  return params;
}

struct Written {
  zebsim::Field field;
  fs::path dir;
};

Written simulate(const std::string& preset, const fs::path& dir) {
  zebsim::FieldDesign d = zebsim::field_preset(preset);
  d.with_start_list = true;
  zebsim::write_field(d, dir.string());
  return Written{zebsim::plan_field(d), dir};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: fuzz_seeds <corpus directory>\n";
    return 1;
  }
  const fs::path out = argv[1];
  const fs::path work = fs::temp_directory_path() / ("zeb-seeds-" + std::to_string(::getpid()));
  const Written ir = simulate("e2e-ir", work / "ir");
  const Written hrc = simulate("e2e-hrc", work / "hrc");
  const zebsim::Exposure& ire = ir.field.exposures.front();
  const zebsim::Exposure& hre = hrc.field.exposures.front();
  const zebsim::FilterDesign& irf = ir.field.design.filters[0];
  const zebsim::FilterDesign& hrf = hrc.field.design.filters[0];

  // params: the fields' parameter files on the support files, in every mode.
  const std::string ir_params = support_names(read_file(ir.dir / zebsim::kParamFile), ir.field);
  const std::string hrc_params = support_names(read_file(hrc.dir / zebsim::kParamFile), hrc.field);
  std::string mode_d = ir_params, mode_a = ir_params, mode_c = hrc_params;
  replace_all(mode_d, "MODE=R", "MODE=D");
  replace_all(mode_a, "MODE=R", "MODE=A\nARTFLX a.txt\nADDART 150 160 -9.5 -9");
  replace_all(mode_c, "MODE=R", "MODE=C\nARTMAG a.txt");
  std::string settings = ir_params;
  replace_all(settings, "NITLIM 1 3",
              "NITLIM 1 4\nNIT01 HMIN=4 SSIG=3.0 QSEL=0.8 OPRX=2.0 RSIZ=2.5 RWID=3 RCOL=cyan\nNIT00 RCOL=red\n"
              "MASKFAC=1.5 OTHRFAC 0.5\nUVLIM 0 400 0 300\nLOGNIMFO+ LOGFINFO+ VERBOSE-\nDRIVXY s.txt");
  replace_all(settings, "MAT= m.mat", "MAT= m.mat SKY=1.5 ZPU=25 EXPT=120");
  write_file(out / "params" / "seed-ir", ir_params);
  write_file(out / "params" / "seed-hrc", hrc_params);
  write_file(out / "params" / "seed-mode-d", mode_d);
  write_file(out / "params" / "seed-mode-a", mode_a);
  write_file(out / "params" / "seed-mode-c", mode_c);
  write_file(out / "params" / "seed-settings", settings);

  // list: records of the MAT files, the star lists and the parameter files.
  const std::string mat = read_file(ir.dir / zebsim::mat_file(ire));
  const std::string bright = read_file(ir.dir / zebsim::kBrightFile);
  int n = 0;
  for (const std::string& text : {head(mat, 3), head(bright, 2), head(ir_params, 16)})
    for (const std::string& l : lines_of(text))
      if (!l.empty() && l[0] != '#')
        write_file(out / "list" / ("seed-" + std::to_string(++n)), std::string(1, static_cast<char>(0x1B * n)) + l);

  // fits: the exposures, PSF files and a primary header, cut to 16 x 16.
  const std::string ir_exposure = read_file(ir.dir / zebsim::exposure_file(ire));
  write_file(out / "fits" / "seed-ir-exposure", shrink(ir_exposure, 16));
  write_file(out / "fits" / "seed-ir-primary", ir_exposure.substr(0, 2880));
  write_file(out / "fits" / "seed-hrc-exposure", shrink(read_file(hrc.dir / zebsim::exposure_file(hre)), 16));
  write_file(out / "fits" / "seed-psf-single", shrink(read_file(ir.dir / zebsim::psf_single_file(irf)), 16));
  write_file(out / "fits" / "seed-psf-integer", shrink(read_file(hrc.dir / zebsim::psf_integer_file(hrf)), 16));

  // psf: the library cut to one fiducial and its header (the target supplies
  // the cube), the single and the integer PSF files cut to their header and
  // first record.
  std::vector<Hdu> lib = read_hdus(read_file(ir.dir / zebsim::psf_library_file(irf)));
  set_card(lib.front().cards, "NXPSFs", 1);
  set_card(lib.front().cards, "NYPSFs", 1);
  set_card(lib.front().cards, "NAXIS3", 1);
  lib.front().data = lib.front().data.substr(0, 2880);
  write_file(out / "psf" / "seed-library", write_hdus(lib));
  write_file(out / "psf" / "seed-single", read_file(ir.dir / zebsim::psf_single_file(irf)).substr(0, 5760));
  write_file(out / "psf" / "seed-integer", read_file(hrc.dir / zebsim::psf_integer_file(hrf)).substr(0, 5760));

  // matlist: the selector byte (0 MAT, 1 PREMAG, 2 PREFLX, 3 BRITE, 4 ARTFLX,
  // 5 ARTMAG, 6 DRIVXY), then the file.
  const std::string start = read_file(ir.dir / zebsim::kStartFile);
  write_file(out / "matlist" / "seed-mat", std::string(1, '\0') + head(mat, 20));
  write_file(out / "matlist" / "seed-premag", std::string(1, '\1') + head(start, 8));
  write_file(out / "matlist" / "seed-preflx", std::string(1, '\2') + "100 120 5000 4000\n140.5 160.25 800 900\n");
  write_file(out / "matlist" / "seed-brite", std::string(1, '\3') + head(bright, 8));
  write_file(out / "matlist" / "seed-artflx", std::string(1, '\4') + "100 120 5000 4000\n140.5 160.25 800 900\n");
  write_file(out / "matlist" / "seed-artmag", std::string(1, '\5') + head(start, 4));
  write_file(out / "matlist" / "seed-drivxy", std::string(1, '\6') + "100 120\n140 160 -9.5\n150 170 -9 -8\n");

  fs::remove_all(work);
  std::cout << "seeds written under " << out.string() << "\n";
  return 0;
}
