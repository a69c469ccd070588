// Working pieces shared by the stages of find_tile (not part of the folder's
// public interface).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/array.h"
#include "find/find_tile.h"
#include "geometry/tile_tables.h"
#include "psf/psf.h"

namespace zeb::find_detail {

inline constexpr std::int16_t COUNT_MAX = 32767;
inline constexpr int RASTER_FIRST = 6, RASTER_LAST = 296;  // raster pixels searched

// Exposure n takes part in iteration nit unless its finding-mask character
// nit is "0".
bool takes_part(const TileExposures& te, int n, int nit);

// The search window on the fine grid, inclusive.
struct FineWindow {
  int a1 = 1, a2 = FINE_GRID, b1 = 1, b2 = FINE_GRID;
  bool contains(int a, int b) const { return a1 <= a && a <= a2 && b1 <= b && b <= b2; }
};
FineWindow fine_window(const FindWindow& w);

// The window clipped to the tile grid (a caller's window reaching beyond it
// could only address points that do not exist).
FindWindow clip_window(const FindWindow& w);

// Offsets (dx, dy) of a disc of integer radius r: |dx|, |dy| <= r and
// dx^2 + dy^2 <= (r + 0.5)^2. A negative r gives no offset.
struct Offset {
  int dx = 0, dy = 0;
};
std::vector<Offset> disc_offsets(int r);
// The disc row by row: element dy = 0..r is the largest dx of row dy (each
// row of the disc is the one run -dx..dx). Empty for a negative r.
std::vector<int> disc_half_widths(int r);

// Fine-grid radius trunc(4 s + add) of a spreading radius s in tile-grid
// steps. Radii beyond the whole fine grid act alike, so absurd settings are
// held to that (never an overflowing conversion); a radius that is not a
// number gives no disc.
int fine_radius(float s, float add);

// The local-maximum test of stage 1 for the exposure given to start(): the
// residual at (x, y) is at least as high as every neighbour within radius h
// (|dx|, |dy| <= h, dx^2 + dy^2 <= (h + 0.5)^2), and no such neighbour is
// flagged. Neighbours beyond the raster are ignored; equal neighbours do not
// disqualify; a neighbour that is not a number never does.
//
// Neighbours are visited nearest first, so on real residuals a pixel is
// usually rejected after a few of them. Where the residual is flat (equal
// values over large areas) every pixel ties with its whole neighbourhood, and
// for a wide radius visiting it pixel by pixel would cost the neighbourhood's
// area for every pixel; once the visits of an exposure pass a budget, the test
// switches to a map of the largest value in each pixel's neighbourhood, built
// once (row maxima over the disc's row widths). Both ways give the same answer.
class LocalMaximumTest {
 public:
  // Sets the radius (the neighbourhood is rebuilt only when it changes).
  void configure(int h);
  void start(View2<const float> d, View2<const std::uint8_t> u);
  bool operator()(int x, int y);
  // Builds the neighbourhood map of the current exposure now.
  void use_neighbourhood_map() { build_neighbourhood_map(); }
  bool uses_neighbourhood_map() const { return map_ready_; }

 private:
  bool visit_neighbours(int x, int y);
  void build_neighbourhood_map();

  int h_ = -1;
  bool configured_ = false;
  std::vector<Offset> offsets_;  // nearest first, the centre left out
  bool may_leave_raster_ = false;
  std::vector<int> half_width_;  // half-width of the disc's row dy = 0..h
  View2<const float> d_;
  View2<const std::uint8_t> u_;
  long long visits_ = 0;
  long long budget_ = 0;  // visits before the map is built; negative: never
  bool map_ready_ = false;
  Array2<float> value_;     // the residual as the test sees it: +inf where flagged, -inf where not a number
  Array2<float> row_max_;   // largest value over each row segment of the current half-width
  Array2<float> best_;      // largest value over each pixel's neighbourhood
  std::vector<float> pad_, pre_, suf_;
};

// The candidates of one kind (P, D or Q) on the fine grid: the tally (how many
// exposures put a candidate at each fine pixel), the tally spread over discs,
// and the fine pixels whose tally is positive, in the order they were first
// hit, so that spreading visits only those. Counts saturate at 32767.
struct FineCounts {
  Array2<std::int16_t> tally{FINE_GRID, FINE_GRID};
  Array2<std::int16_t> spread{FINE_GRID, FINE_GRID};
  std::vector<int> marked_a, marked_b;
  int spread_r = -1;  // radius of the last spreading (-1: none)

  // Sets every tally and spread value back to 0, touching only the fine
  // pixels the last use marked or spread onto.
  void clear();

  void add(int a, int b) {
    std::int16_t& t = tally(a, b);
    if (t == 0) {
      marked_a.push_back(a);
      marked_b.push_back(b);
    }
    if (t < COUNT_MAX) ++t;
  }
};

// Stage 2 for one kind: spreads every positive tally of the fine pixels
// max(6, a1 - 8)..min(1196, a2 + 8) (likewise b) over the disc of radius r,
// targets inside the fine window only.
void spread_tallies(FineCounts& counts, const FineWindow& fw, int r);

// Stage 2: the tile-grid count of window point (iu, iv) is the largest spread
// value of the fine pixels a - 2..a + 2 x b - 2..b + 2 around its fine point.
// Only points whose block a spread disc reaches can be non-zero; `out` must
// be 0 elsewhere on entry. `seen` and `column_max` are scratch space.
void bin_to_tile(const FineCounts& counts, const FindWindow& w, Array2<std::uint8_t>& seen,
                 std::vector<std::int16_t>& column_max, Array2<std::int16_t>& out);

// Per tile-grid point, how many exposures reached each candidate level 1..7
// (the level of an exposure at a point being the highest level of its raster
// pixels within the level-map disc). An exposure adds at most 1 per point, so
// the counts stay within NDIM.
class LevelTally {
 public:
  LevelTally() : counts_(7, TILE_GRID, TILE_GRID) {}
  void clear() { counts_.fill(0); }
  void add(int iu, int iv, int level) { ++counts_(level, iu, iv); }
  // Adds the counts of another tally.
  void add(const LevelTally& other) {
    const std::size_t n = counts_.size();
    std::uint8_t* to = counts_.data();
    const std::uint8_t* from = other.counts_.data();
    for (std::size_t k = 0; k < n; ++k) to[k] = static_cast<std::uint8_t>(to[k] + from[k]);
  }
  // Number of exposures whose level at (iu, iv) was `level` (1..7).
  int count(int iu, int iv, int level) const { return counts_(level, iu, iv); }

 private:
  static_assert(NDIM <= 255);
  Array3<std::uint8_t> counts_;
};

// --- The joint criterion J (find_joint.cpp). ---

inline constexpr int JOINT_HALF = 2;                         // the fit box is 5 x 5 raster pixels
inline constexpr int JOINT_TAPS = (2 * JOINT_HALF + 1) * (2 * JOINT_HALF + 1);
inline constexpr int JOINT_STEPS = 8;                        // kernel positions per raster pixel and axis
inline constexpr int JOINT_PHASES = JOINT_STEPS * JOINT_STEPS;

// What exposure n contributes to the joint estimate at one position: the
// score s and information I of its fit (its flux is s / I with variance
// 1 / I), the box flux a star of unit flux there would show to the other
// criteria's mask and model tests, and the levels of those tests.
struct JointTerm {
  int n = 0, filter = 0;
  double score = 0.0, info = 0.0;
  float box = 0.0f, mask_level = 0.0f, model_level = 0.0f;
};

// The joint map of one call and its working storage, kept by the workspace.
struct JointWork {
  std::vector<LocalPsf> psf;                     // local PSF of each exposure, ready for evaluation
  Array1<float> scale{NDIM};                     // noise scale of each exposure's errors
  // Of the exposure being added: its zero-mean kernels and their sums of
  // squares per phase, its pixel variances and the weights of its 5 x 5
  // boxes (0 where a box holds a flagged pixel).
  Array2<float> kernel{JOINT_TAPS, JOINT_PHASES};
  Array1<float> kernel_kk{JOINT_PHASES};
  Array2<float> variance{TILE_GRID, TILE_GRID};
  Array2<float> rows{TILE_GRID, TILE_GRID};
  Array2<float> box_weight{TILE_GRID, TILE_GRID};
  std::array<float, TAB_NODES> node_x{}, node_y{};  // raster position of the table nodes along a grid row
  std::vector<float> pairs;                      // pixel differences for the noise scale
  Array2<double> score{TILE_GRID, TILE_GRID};    // sum of the exposures' scores at each tile-grid point
  Array2<double> info{TILE_GRID, TILE_GRID};     // and of their information
  Array2<float> sig{TILE_GRID, TILE_GRID};       // the significance map
  std::vector<JointTerm> terms;                  // of the candidate being examined
};

// Clears the maps (and makes room for the PSFs of ns exposures).
void start_joint_map(const TileExposures& te, JointWork& jw);
// Prepares exposure n's PSF and kernels and adds its scores and information
// at every window point; flagged5 marks its raster pixels with a flag in
// their 5 x 5 box.
void add_joint_exposure(int n, const TileExposures& te, const Array3<float>& psf_n, const FindWindow& w,
                        const Array2<std::uint8_t>& flagged5, JointWork& jw);
// The significance map from the sums.
void finish_joint_map(const FindWindow& w, JointWork& jw);

// J collation, after Q, D and P: appends a source at every significant local
// maximum of the joint map outside the claimed zones (stacka) and the
// exclusion zones (stack_prev) that holds up at its refined position. Each
// new source claims its zone and excludes its surroundings. Returns the
// number of sources appended.
int collate_joint_sources(int nit, const FindSettings& s, const FindWindow& w, const TileExposures& te,
                          const FindingMaps& maps, Array2<std::uint8_t>& stacka, Array2<std::uint8_t>& stack_prev,
                          JointWork& jw, LocalList& local, int& ls);

// What the search of one exposure works with; each thread of a call keeps
// one, and adds the level counts and coverage of the exposures it searched
// into its own tallies (integer counts, summed when the exposures are done,
// so the sums do not depend on which thread searched what).
struct ExposureWork {
  LocalMaximumTest is_local_maximum;                      // within HMIN, current exposure
  Array2<std::uint8_t> pkmapn{TILE_GRID, TILE_GRID};      // usable candidate positions, current exposure
  Array2<std::uint8_t> flagged5{TILE_GRID, TILE_GRID};    // a non-zero flag in the 5 x 5 box, current exposure
  Array2<std::uint8_t> flag_rows{TILE_GRID, TILE_GRID};   // a non-zero flag in the 5 pixels of the row
  // Highest candidate level near each tile-grid point for the current
  // exposure: stacky_x4 at the fine points of the tile grid, the only ones
  // the level map reads.
  Array2<std::uint8_t> level_t{TILE_GRID, TILE_GRID};
  LevelTally tallyy;                                      // of this thread's exposures
  Array2<std::int16_t> stackc{TILE_GRID, TILE_GRID};      // coverage by this thread's exposures
  bool used = false;                                      // searched an exposure in this call
};

// The P, D and Q candidates of one exposure, fine pixels (a, b) packed as
// pairs in the order they were found; they reach the fine counts exposure by
// exposure, as a plain loop over the exposures adds them.
struct CandidateLog {
  std::vector<int> p, d, q;
  void clear() {
    p.clear();
    d.clear();
    q.clear();
  }
};

// Working maps of one find_tile call; a FindWorkspace keeps them between
// calls so that the fine grids and the per-thread maps are allocated once.
struct FindWork {
  FineCounts p, d, q;
  std::vector<std::unique_ptr<ExposureWork>> threads;  // grown to the threads of a call
  std::vector<CandidateLog> candidates{NDIM + 1};      // per exposure 1..NDIM
  std::vector<int> taking;                             // the exposures searched in the call, in order
  Array2<std::uint8_t> stack_prev{TILE_GRID, TILE_GRID};  // 1 inside the exclusion zones of known stars
  LevelTally tallyy;
  Array2<std::uint8_t> stacka{TILE_GRID, TILE_GRID};      // zones claimed by the new sources of the call
  Array2<std::uint8_t> reaching{TILE_GRID, TILE_GRID};    // (iv, iu): a count reaches its requirement there
  // Scratch space of binning, one for each of the kinds P, D, Q (binned at once).
  std::array<Array2<std::uint8_t>, 3> bin_seen{Array2<std::uint8_t>{TILE_GRID, TILE_GRID},
                                               Array2<std::uint8_t>{TILE_GRID, TILE_GRID},
                                               Array2<std::uint8_t>{TILE_GRID, TILE_GRID}};
  std::array<std::vector<std::int16_t>, 3> bin_column_max;
  std::unique_ptr<JointWork> joint;  // created by the first call that uses the joint criterion
};

// No point within 3.5 tile-grid steps (du^2 + dv^2 <= 12.25) of (iu, iv),
// which lies in 4..298, has a strictly larger value.
template <typename T>
bool is_map_peak(const Array2<T>& map, int iu, int iv) {
  const T c = map(iu, iv);
  for (int dv = -3; dv <= 3; ++dv)
    for (int du = -3; du <= 3; ++du)
      if (du * du + dv * dv <= 12 && map(iu + du, iv + dv) > c) return false;  // 12.25
  return true;
}

// Radius of the zone a new source claims: trunc(max(3.5, OPRX, OPRV)), at
// most the reach of the zone's 11 x 11 box.
int claim_radius(const FindSettings& s);
// Marks the zone of that radius around (iu, iv) in stacka with the criterion.
void claim_zone(Array2<std::uint8_t>& stacka, int iu, int iv, int rc, int criterion);

// Stage 0, step 2, for local stars first..last: every known star excludes
// OPRX reference pixels around it from the search, a star found in this or
// the previous iteration OPRV (stack_prev := 1 there; nothing is cleared).
void mark_known_stars(const LocalList& local, int first, int last, int nit, const FindSettings& s,
                      Array2<std::uint8_t>& stack_prev);

// Flux of the brightest 2 x 2 box that holds pixel (xt, yt), and the mean of
// the 12 pixels around that box in the 4 x 4 block extending away from it.
struct BoxFlux {
  float best = 0.0f;
  float sky = 0.0f;
};
BoxFlux box_flux(View2<const float> d, int xt, int yt);

// Appends a source found by `criterion` at tile-grid position (u, v) from
// grid point (iu, iv): its records are the coverage and the Q, D, P counts
// and requirements there. More than LDIM local stars stops the run.
void append_source(int nit, int criterion, double u, double v, int iu, int iv, const FindSettings& s,
                   const FindingMaps& maps, LocalList& local, int& ls);

// Stage 3, steps 1 and 2: scans the window (4..298 at most) for points where
// the Q, D or P count reaches its requirement and is a local maximum, appends
// a source at the tally centroid for each, and claims a zone around it.
// Returns the number of sources appended.
int collate_sources(int nit, const FindSettings& s, const FindWindow& w, const FineCounts& p, const FineCounts& d,
                    const FineCounts& q, const FindingMaps& maps, Array2<std::uint8_t>& stacka,
                    Array2<std::uint8_t>& reaching, LocalList& local,
                    int& ls);

// Stage 3, step 3: stacky_t over the whole tile grid.
void fill_level_map(const FindSettings& s, const LevelTally& tallyy, FindingMaps& maps);

}  // namespace zeb::find_detail
