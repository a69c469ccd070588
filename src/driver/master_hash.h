// The spatial hashes of the starting list and of the artificial stars, loading
// a tile's local list through them, and the commit of a tile's stars into the
// master list.
//
// The hash grid has one cell per tile, 99 x 99: a position belongs to the cell
// of the tile whose centre is nearest. Each cell keeps its members (list
// indices) in insertion order; the 16-bit count image `nash` can be written as
// a FITS image.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/array.h"
#include "core/limits.h"
#include "measure/local_list.h"
#include "setup/run_state.h"

namespace zeb {

struct SpatialHash {
  Array2<short> nash{HASHDM, HASHDM};  // members per cell, the counts image
  // Member lists, cell (it, jt) at (it - 1) + HASHDM (jt - 1); each holds just
  // its entries, so memory follows the number of stars, not the grid's capacity.
  std::vector<std::vector<int>> members = std::vector<std::vector<int>>(static_cast<std::size_t>(HASHDM) * HASHDM);

  static constexpr std::size_t offset(int it, int jt) {
    return static_cast<std::size_t>(it - 1) + static_cast<std::size_t>(HASHDM) * (jt - 1);
  }
  const std::vector<int>& cell(int it, int jt) const { return members[offset(it, jt)]; }
  // Bytes held by the counts image and the member lists.
  std::size_t storage_bytes() const;
};

// Hash cell (tile) of a position: it = trunc((u - 76) / 120 + 0.5) + 1,
// likewise jt. Positions so far off that the index would not fit an integer
// give a cell far outside the grid.
struct HashCell {
  int it = 0, jt = 0;
  bool in_grid() const { return it >= 1 && it <= HASHDM && jt >= 1 && jt <= HASHDM; }
};
int hash_index(double u);
HashCell hash_cell(double u, double v);

// Empties every cell.
void init_hash(SpatialHash& hash);

// Enters list entries no + 1 .. ns at positions u(k), v(k). A star outside the
// grid stops the run with the "HASH PROB" block, a cell that would hold more
// than 32767 members stops it too; the entries before the offending one stay.
void push_hash(SpatialHash& hash, int no, int ns, const Array1<double>& u, const Array1<double>& v);

// Writes the counts image as a 16-bit FITS image.
void show_hash(const SpatialHash& hash, const std::string& name);

// Start-up: the master hash of the starting list ("LOGR.HASH_000.fits") and,
// in modes A and C, the artificial-star hash ("LOGA.HASH_ART.fits").
void build_hashes(char cmode, const MasterList& master, const ArtificialStars& art, SpatialHash& hash_000,
                  SpatialHash& hash_art);

// A tile, its centre and its loading limits in the reference frame.
struct TileLimits {
  int it = 0, jt = 0;
  int uref_t = 0, vref_t = 0;
  int umin_t = 0, umax_t = 0, vmin_t = 0, vmax_t = 0;
};

// The tile (it, jt) with the search window i1..i2 x j1..j2 on its grid (the
// full window 1..301 gives the limits UREF_T -/+ 75).
TileLimits tile_limits(int it, int jt, int i1 = 1, int i2 = TILE_GRID, int j1 = 1, int j2 = TILE_GRID);

// True when (uu, vv) lies in the inner region of the tile centred at (uref_t, vref_t).
bool in_inner_region(double uu, double vv, int uref_t, int vref_t);

// Loads the starting-list stars strictly inside the tile's loading limits from
// the 3 x 3 hash cells around it (it outer, jt inner, members in insertion
// order) into the local list; returns Ls. With `verbose` one line per star.
int load_local_list(const TileLimits& tile, const SpatialHash& hash_000, const MasterList& master,
                    LocalList& local, bool verbose);

// Commits local stars 1..ls of the tile: outside mode A, a star found in this
// tile (n0_l = 0) whose position lies in the inner region gets the next
// identifier; every star with gg_l = 1 writes its results into its master
// entry. Returns the number of new identifiers.
int commit_tile(char cmode, const TileLimits& tile, int ls, LocalList& local, MasterList& master);

// The commit of a mode-A pass: the local star chosen to answer for the
// injected star (gg_l = 1) is written into entry 1 of `report`, from which its
// records are written under the artificial star's identifier. The master list
// is left alone: the identifier of an artificial star is not that of a
// starting star, and writing the report into the starting list would move
// that star and change what every later pass loads, so a pass's results would
// depend on which artificial stars were measured before it.
void commit_art_report(const TileLimits& tile, int ls, LocalList& local, MasterList& report);

}  // namespace zeb
