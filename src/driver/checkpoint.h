// Runs that survive a kill: the run marker and the checkpoint.
//
// The run marker "ZEB.STATUS" exists from the start of a run. While the run
// works its first line is "RUNNING"; a normal end replaces it (atomically) by a
// completion record whose first line is "FINISHED" (tiles, stars, wall time),
// an error stop by one whose first line is "STOPPED" (exit status, stop text).
// A marker that still says RUNNING when no zeb process works in the directory
// belongs to an interrupted run.
//
// The checkpoint "ZEB.CHECKPOINT" is a journal appended to as the run goes: a
// start record (the parameter file's name and checksum, every input file read
// with its size and modification time, the program's own, the logs' lengths
// after their headers), then one record per finished tile (the master entries
// the tile wrote, NMASTs, the logs' lengths, the random sequence and the FITS
// header carry-over as the tile left them, whether the local-list region files
// were begun (reg_tile), the input files first read in the tile) and one per
// finished row of tiles. The strip pixels each tile of the
// current row pasted go to "ZEB.CHECKPOINT_STRIPS", emptied when the row's
// strips are in the mosaic files. Records are checksummed; a record cut short
// by a kill is ignored. A normal end removes both files.
//
// `zeb --resume params.txt` refuses unless the checkpoint was written for that
// parameter file and every input is unchanged (a run killed before it wrote
// its checkpoint simply starts again); it then repeats the set-up,
// applies the journal (master list, random sequence, carry-over, the current
// row's strips), cuts every log back to the length the last finished tile
// left, and continues with the next tile: the files it writes are the files an
// uninterrupted run writes.
#pragma once

#include <string>
#include <vector>

#include "core/files.h"
#include "driver/tile_loop.h"
#include "output/catalogue_logs.h"
#include "output/mosaic.h"
#include "setup/run_state.h"

namespace zeb {

inline constexpr const char* RUN_MARKER_FILE = "ZEB.STATUS";
inline constexpr const char* CHECKPOINT_FILE = "ZEB.CHECKPOINT";
inline constexpr const char* CHECKPOINT_STRIPS_FILE = "ZEB.CHECKPOINT_STRIPS";

// The working directory belongs to one run at a time: the run holds a lock on
// it (as does the process that writes a tile's records, which may outlive a
// killed run by a moment). A run that finds the directory locked waits a few
// seconds for such a writer, then stops: another zeb run works there.
class DirectoryLock {
 public:
  DirectoryLock();
  ~DirectoryLock();
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;

 private:
  int fd_ = -1;
};

// The run marker. `resumed` tells after which tile a resumed run continues
// (empty for a new run). mark_run_stopped writes only when this process marked
// a run in progress.
void mark_run_in_progress(const std::string& infile, const std::string& resumed);
void mark_run_finished(int tiles, int stars, double wall_seconds, double checkpoint_seconds);
void mark_run_stopped(int status, const std::string& stop_text);

// What an interrupted run left in its checkpoint: read, and checked against the
// parameter file and the inputs, before the set-up of the resumed run. Anything
// that does not match stops the run with a message naming it.
struct ResumePoint {
  // A run interrupted (or stopped) before its first checkpoint record had
  // finished nothing: continuing it is starting it again.
  bool start_over = false;
  std::string infile;
  std::string journal;              // the complete records, as read
  std::vector<InputFile> inputs;    // of the start record
  LogLengths logs;                  // after the last finished tile
  int tiles = 0;                    // tiles finished
  LoopStart start;                  // where the loop continues
  std::string after;                // "IT 002 JT 001", or "" when no tile was finished
};
ResumePoint read_checkpoint(const std::string& infile);

// After the resumed run's set-up: the set-up read the same files as the
// interrupted one; then the master list, NMASTs, the random sequence and the
// carry-over tables and the region-file state as the last finished tile left
// them (into `logs`), and the strips of the
// finished tiles of an unfinished row.
void apply_checkpoint(const ResumePoint& point, RunState& run, Mosaics* mosaics, CatalogueLogs& logs);

// The journal of a run, told of every finished tile and row by the tile loop.
class Checkpoint final : public TileLoopObserver {
 public:
  // A new run: creates the journal with its start record (after the set-up,
  // the logs and the mosaics).
  Checkpoint(const std::string& infile, const RunState& run, const CatalogueLogs& logs, const Mosaics* mosaics);
  // A resumed run: continues the journal after its last complete record.
  Checkpoint(const ResumePoint& point, const RunState& run, const CatalogueLogs& logs, const Mosaics* mosaics);
  ~Checkpoint() override;
  Checkpoint(const Checkpoint&) = delete;
  Checkpoint& operator=(const Checkpoint&) = delete;

  void tile_finished(const FinishedTile& tile) override;
  void row_finished(int jt) override;

  // The normal end: the journal is no longer needed.
  void remove();

  int tiles() const { return tiles_; }
  // Time spent writing the journal.
  double seconds() const { return seconds_; }

 private:
  void append(int kind, const std::string& payload);
  void open_files(long long journal_length, long long strips_length);

  const RunState& run_;
  const CatalogueLogs& logs_;
  const Mosaics* mosaics_;
  int fd_ = -1, strips_fd_ = -1;
  long long strips_length_ = 0;
  std::size_t inputs_written_ = 0;
  int tiles_ = 0;
  double seconds_ = 0.0;
};

}  // namespace zeb
