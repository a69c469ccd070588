#include "driver/tile_art.h"

#include <algorithm>
#include <fstream>

#include "core/fortran_format.h"
#include "core/stop.h"

namespace zeb {

namespace {

// trunc(x) of a window bound already held to 1..301 by max/min; a bound that
// is not a number or lies beyond the grid stays off it without an integer
// conversion that could not hold it.
int window_bound(double x) {
  if (!(x > -1.0e6)) return -1000000;
  if (!(x < 1.0e6)) return 1000000;
  return static_cast<int>(x);
}

}  // namespace

std::vector<TileArtStar> tile_art_list(const std::vector<int>& cell, const ArtificialStars& art) {
  std::vector<TileArtStar> list;
  list.reserve(cell.size());
  for (int k : cell) {
    TileArtStar s;
    s.id = k;
    s.u = art.uart0(k);
    s.v = art.vart0(k);
    for (int f = 1; f <= FDIM; ++f) s.z[static_cast<std::size_t>(f - 1)] = art.zart0(k, f);
    list.push_back(s);
  }
  return list;
}

std::string local_art_line(int index, const TileArtStar& star, int fs) {
  std::vector<FArg> values{index, star.id, star.u, star.v};
  for (int f = 1; f <= std::min(fs, FDIM); ++f) values.emplace_back(star.z[static_cast<std::size_t>(f - 1)]);
  return fortran_record_v("(1x,i3.3,1x,i7.7,4x,f12.5,1x,f12.5,4x,99(f15.5,1x))", values);
}

void write_local_art(const std::vector<TileArtStar>& list, int fs, const std::string& path) {
  std::ofstream out(path, std::ios::out | std::ios::trunc);
  if (!out) run_error(path, "cannot be created");
  for (std::size_t k = 0; k < list.size(); ++k) out << local_art_line(static_cast<int>(k + 1), list[k], fs) << '\n';
  out.close();
  if (!out) run_error(path, "could not be written");
}

SearchWindow art_window(double ia, double ja) {
  SearchWindow w;
  w.i1 = window_bound(std::max(1.0, ia - 40.0));
  w.i2 = window_bound(std::min(static_cast<double>(TILE_GRID), ia + 40.0));
  w.j1 = window_bound(std::max(1.0, ja - 40.0));
  w.j2 = window_bound(std::min(static_cast<double>(TILE_GRID), ja + 40.0));
  return w;
}

}  // namespace zeb
