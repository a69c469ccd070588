#include "driver/master_hash.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <stdexcept>

#include "core/fortran_format.h"
#include "core/stop.h"
#include "core/text.h"
#include "imageio/fits.h"

namespace zeb {

namespace {


[[noreturn]] void stop_out_of_grid(const HashCell& c, double u, double v) {
  write_list(std::cout, "HASH PROB  it.lt.1 or it.gt._HASHDIM  ");
  write_list(std::cout, "        or jt.lt.1 or jt.gt._HASHDIM: ");
  write_list(std::cout, "--->       it: ", c.it, u);
  write_list(std::cout, "--->       jt: ", c.jt, v);
  write_list(std::cout, "---> _HASHDM_: ", HASHDM);
  stop_run();
}

// The count of a cell is a 16-bit integer: a cell that would overflow it stops
// the run rather than wrap around and lose its members.
[[noreturn]] void stop_cell_full(const HashCell& c, double u, double v) {
  write_list(std::cout, "HASH PROB  one hash cell would hold more than 32767 stars");
  write_list(std::cout, "--->       it: ", c.it, u);
  write_list(std::cout, "--->       jt: ", c.jt, v);
  write_list(std::cout, "---> members : ", HASH_CELL_MAX);
  stop_run("nash.gt.32767");
}

[[noreturn]] void stop_local_list_full(const TileLimits& tile) {
  write_list(std::cout, " ");
  write_list(std::cout, "LOCAL LIST FULL WHILE LOADING THE STARTING STARS");
  write_list(std::cout, "   IT, JT: ", tile.it, tile.jt);
  write_list(std::cout, "   _LDIM_: ", LDIM);
  write_list(std::cout, " ");
  stop_run("Ls.gt._LDIM_");
}

[[noreturn]] void stop_master_full(int l, double uu, double vv, int nmasts) {
  const std::string blanks(14, ' ');
  write_list(std::cout, blanks);
  write_list(std::cout, "--->      L : ", l);
  write_list(std::cout, "--->   uu_L : ", uu);
  write_list(std::cout, "--->   vv_L : ", vv);
  write_list(std::cout, "---> NMASTs : ", nmasts);
  write_list(std::cout, "--->_NSTMAX_: ", NSTMAX);
  write_list(std::cout, blanks);
  stop_run("NMASTs.gt._NSTMAX_");
}

// Copies the results of local star l into master entry n.
void write_master_entry(const LocalList& local, int l, int n, MasterList& master) {
  master.umast0(n) = local.uu_l(l);
  master.vmast0(n) = local.vv_l(l);
  master.xmast0(n) = local.u0_l(l);
  master.ymast0(n) = local.v0_l(l);
  master.wmast0(n) = local.w0_l(l);
  for (int k = 1; k <= FDIM; ++k) {
    master.zmast0(n, k) = local.z0_lf(l, k);
    master.szmast0(n, k) = local.sz0_lf(l, k);
    master.fmast0(n, k) = local.f0_lf(l, k);
    master.gmast0(n, k) = local.g0_lf(l, k);

    master.zmast1(n, k) = local.z1_lf(l, k);
    master.szmast1(n, k) = local.sz1_lf(l, k);
    master.qmast1(n, k) = local.q1_lf(l, k);
    master.omast1(n, k) = local.o1_lf(l, k);
    master.fmast1(n, k) = local.f1_lf(l, k);
    master.gmast1(n, k) = local.g1_lf(l, k);

    master.zmast2(n, k) = local.z2_lf(l, k);
    master.szmast2(n, k) = local.sz2_lf(l, k);
    master.qmast2(n, k) = local.q2_lf(l, k);
    master.omast2(n, k) = local.o2_lf(l, k);
    master.fmast2(n, k) = local.f2_lf(l, k);
    master.gmast2(n, k) = local.g2_lf(l, k);

    master.zmast3(n, k) = local.z3_lf(l, k);
    master.szmast3(n, k) = local.sz3_lf(l, k);
    master.qmast3(n, k) = local.q3_lf(l, k);
    master.omast3(n, k) = local.o3_lf(l, k);
    master.fmast3(n, k) = local.f3_lf(l, k);
    master.gmast3(n, k) = local.g3_lf(l, k);

    master.barsky(n, k) = local.barsky_lf(l, k);
    master.rmssky(n, k) = local.rmssky_lf(l, k);
  }
}

// Enters master star n as local star l of the tile, seeding its fluxes from
// the master list. The slot starts from the cleared state: in mode A it may
// hold a star of the tile's previous pass, whose finding records (cfnd_l ...
// pmin_l, written to XYFIND) would otherwise pass for this star's.
void enter_starting_star(int l, int n, const TileLimits& tile, const MasterList& master, LocalList& local) {
  reset_entry(l, local);
  const double uu = master.umast0(n);
  const double vv = master.vmast0(n);
  local.uu_l(l) = uu;
  local.vv_l(l) = vv;
  local.u0_l(l) = static_cast<float>(2.0 * (uu - tile.uref_t) + 151.0);
  local.v0_l(l) = static_cast<float>(2.0 * (vv - tile.vref_t) + 151.0);
  local.uf_l(l) = local.u0_l(l);
  local.vf_l(l) = local.v0_l(l);
  local.o0_l(l) = 0;
  local.y0_l(l) = 0;
  local.b0_l(l) = 0;
  local.w0_l(l) = master.wmast0(n);
  local.n0_l(l) = n;
  local.gg_l(l) = in_inner_region(uu, vv, tile.uref_t, tile.vref_t) ? 1 : 0;
  for (int k = 1; k <= FDIM; ++k) {
    local.z0_lf(l, k) = master.zmast0(n, k);
    local.z1_lf(l, k) = master.zmast0(n, k);
    local.z2_lf(l, k) = master.zmast0(n, k);
    local.sz0_lf(l, k) = 0.0f;
  }
}

}  // namespace

std::size_t SpatialHash::storage_bytes() const {
  std::size_t bytes = nash.size() * sizeof(short) + members.capacity() * sizeof(std::vector<int>);
  for (const std::vector<int>& m : members) bytes += m.capacity() * sizeof(int);
  return bytes;
}

int hash_index(double u) {
  const double t = (u - 76.0) / 120.0 + 0.5;
  if (!(std::fabs(t) < 1.0e6)) return t > 0.0 ? 999999 : -999999;  // also NaN
  return static_cast<int>(t) + 1;  // truncation toward zero
}

HashCell hash_cell(double u, double v) { return HashCell{hash_index(u), hash_index(v)}; }

void init_hash(SpatialHash& hash) {
  hash.nash.fill(0);
  for (std::vector<int>& m : hash.members) std::vector<int>().swap(m);
}

void push_hash(SpatialHash& hash, int no, int ns, const Array1<double>& u, const Array1<double>& v) {
  write_record(std::cout, "(5x,'enter push_hash... ')");
  write_record(std::cout, "(5x,'         No: ',i6)", no);
  write_record(std::cout, "(5x,'         Ns: ',i6)", ns);
  if (no < 0 || ns > u.n() || ns > v.n()) run_error("push_hash", "entries beyond the end of the list");

  // First the cell of every entry up to the first one that cannot be entered,
  // so that each member list is sized once to exactly what it receives.
  std::vector<int> added(hash.members.size(), 0);
  std::vector<std::size_t> cell_of;
  cell_of.reserve(ns > no ? static_cast<std::size_t>(ns - no) : 0);
  int bad = 0;
  bool out_of_grid = false;
  for (int k = no + 1; k <= ns; ++k) {
    const HashCell c = hash_cell(u(k), v(k));
    if (!c.in_grid()) {
      bad = k;
      out_of_grid = true;
      break;
    }
    const std::size_t at = SpatialHash::offset(c.it, c.jt);
    if (hash.nash(c.it, c.jt) + added[at] >= HASH_CELL_MAX) {
      bad = k;
      break;
    }
    ++added[at];
    cell_of.push_back(at);
  }
  for (std::size_t at = 0; at < added.size(); ++at)
    if (added[at] > 0) hash.members[at].reserve(hash.members[at].size() + added[at]);
  short* counts = hash.nash.data();  // laid out like the member lists, it fastest
  int k = no;
  for (std::size_t at : cell_of) {
    hash.members[at].push_back(++k);
    ++counts[at];
  }

  if (bad > 0) {
    const HashCell c = hash_cell(u(bad), v(bad));
    if (out_of_grid) stop_out_of_grid(c, u(bad), v(bad));
    stop_cell_full(c, u(bad), v(bad));
  }
}

void show_hash(const SpatialHash& hash, const std::string& name) {
  writfits_i2(name, View2<const std::int16_t>(hash.nash.data(), HASHDM, HASHDM), HASHDM, HASHDM);
}

void build_hashes(char cmode, const MasterList& master, const ArtificialStars& art, SpatialHash& hash_000,
                  SpatialHash& hash_art) {
  init_hash(hash_000);
  push_hash(hash_000, 0, master.nmasti, master.umast0, master.vmast0);
  show_hash(hash_000, "LOGR.HASH_000.fits");
  if (cmode == 'A' || cmode == 'C') {
    write_list(std::cout, "NARTs: ", art.narts);
    init_hash(hash_art);
    push_hash(hash_art, 0, art.narts, art.uart0, art.vart0);
    show_hash(hash_art, "LOGA.HASH_ART.fits");
  }
}

TileLimits tile_limits(int it, int jt, int i1, int i2, int j1, int j2) {
  TileLimits t;
  t.it = it;
  t.jt = jt;
  t.uref_t = (it - 1) * 120 + 76;
  t.vref_t = (jt - 1) * 120 + 76;
  // Half a reference pixel per grid step; the sum is truncated toward zero.
  t.umin_t = static_cast<int>((i1 - 151) / 2.0 + t.uref_t);
  t.umax_t = static_cast<int>((i2 - 151) / 2.0 + t.uref_t);
  t.vmin_t = static_cast<int>((j1 - 151) / 2.0 + t.vref_t);
  t.vmax_t = static_cast<int>((j2 - 151) / 2.0 + t.vref_t);
  return t;
}

bool in_inner_region(double uu, double vv, int uref_t, int vref_t) {
  return uref_t - 60 <= uu && uu < uref_t + 60 && vref_t - 60 <= vv && vv < vref_t + 60;
}

int load_local_list(const TileLimits& tile, const SpatialHash& hash_000, const MasterList& master,
                    LocalList& local, bool verbose) {
  int ls = 0;
  for (int it = std::max(1, tile.it - 1); it <= std::min(HASHDM, tile.it + 1); ++it) {
    for (int jt = std::max(1, tile.jt - 1); jt <= std::min(HASHDM, tile.jt + 1); ++jt) {
      for (int n : hash_000.cell(it, jt)) {
        const double uu = master.umast0(n);
        const double vv = master.vmast0(n);
        if (!(tile.umin_t < uu && uu < tile.umax_t && tile.vmin_t < vv && vv < tile.vmax_t)) continue;
        if (ls == LDIM) stop_local_list_full(tile);
        const int l = ++ls;
        enter_starting_star(l, n, tile, master, local);
        if (verbose)
          write_record(std::cout,
                       "('L',i4.4,1x,'R',i7.7,1x,l1,1x,f12.5,1x,f12.5,1x,f12.5,1x,f12.5,1x,2(f15.5))", l, n,
                       local.gg_l(l) == 1, uu, vv, local.u0_l(l), local.v0_l(l), local.z0_lf(l, 1),
                       local.z0_lf(l, 2));
      }
    }
  }
  return ls;
}

namespace {

// The reference-frame position of local star l from its grid position, summed
// in double precision so that the committed position keeps every digit of u0_l.
void set_reference_position(const TileLimits& tile, int l, LocalList& local) {
  local.uu_l(l) = 0.5 * (static_cast<double>(local.u0_l(l)) - 151.0) + tile.uref_t;
  local.vv_l(l) = 0.5 * (static_cast<double>(local.v0_l(l)) - 151.0) + tile.vref_t;
}

}  // namespace

int commit_tile(char cmode, const TileLimits& tile, int ls, LocalList& local, MasterList& master) {
  // The driver allocates the master list before the set-up.
  if (!master.allocated()) throw std::logic_error("commit_tile: the master list is not allocated");
  const int nmasts_before = master.nmasts;
  for (int l = 1; l <= ls; ++l) {
    set_reference_position(tile, l, local);
    if (cmode != 'A' && local.n0_l(l) == 0) {
      local.gg_l(l) = 0;
      if (in_inner_region(local.uu_l(l), local.vv_l(l), tile.uref_t, tile.vref_t)) {
        ++master.nmasts;
        if (master.nmasts > NSTMAX) stop_master_full(l, local.uu_l(l), local.vv_l(l), master.nmasts);
        local.n0_l(l) = master.nmasts;
        local.gg_l(l) = 1;
      }
    }
    if (local.gg_l(l) != 1) continue;
    const int n = local.n0_l(l);
    if (n < 1 || n > NSTMAX) {
      write_list(std::cout, "COMMIT: LOCAL STAR WITHOUT A MASTER ENTRY  L: ", l, " N: ", n);
      stop_run("commit without a master entry");
    }
    write_master_entry(local, l, n, master);
  }
  return master.nmasts - nmasts_before;
}

void commit_art_report(const TileLimits& tile, int ls, LocalList& local, MasterList& report) {
  // A tile's report list is made with its one entry (Tile::art_report).
  if (report.umast0.n() < 1) throw std::logic_error("commit_art_report: the report list is not allocated");
  for (int l = 1; l <= ls; ++l) {
    set_reference_position(tile, l, local);
    if (local.gg_l(l) == 1) write_master_entry(local, l, 1, report);
  }
}

}  // namespace zeb
