#include "driver/checkpoint.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>
#include <type_traits>

#include "core/files.h"
#include "core/fortran_format.h"
#include "core/limits.h"
#include "core/stop.h"
#include "core/text.h"
#include "imageio/fits.h"
#include "measure/noise.h"

namespace zeb {

namespace {

// ---------------------------------------------------------------------------
// The run marker.

struct Marker {
  bool active = false;
  std::string infile;
  std::string resumed;  // "resumed after: ..." line of a resumed run, or ""
};

Marker& marker() {
  static Marker m;
  return m;
}

// Replaces the marker at once: the text goes to a temporary file that is then
// renamed over the marker, so a reader always sees a whole marker.
void write_marker(const std::string& text) {
  const std::string tmp = std::string(RUN_MARKER_FILE) + ".tmp";
  {
    std::ofstream out(tmp, std::ios::out | std::ios::trunc);
    out << text;
    out.close();
    if (!out) run_error(tmp, "the run marker could not be written");
  }
  if (std::rename(tmp.c_str(), RUN_MARKER_FILE) != 0)
    run_error(RUN_MARKER_FILE, "the run marker could not be replaced");
}

// ---------------------------------------------------------------------------
// Journal encoding: native byte order (a checkpoint is resumed where it was
// written), strings with their length.

enum Kind : std::uint32_t { kStart = 1, kTile = 2, kRow = 3 };
constexpr char kMagic[8] = {'Z', 'E', 'B', 'C', 'K', 'P', 'T', '1'};
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kFrame = sizeof(std::uint32_t) + sizeof(std::uint64_t);  // kind, payload length

class Out {
 public:
  template <typename T>
  void put(T v) {
    static_assert(std::is_trivially_copyable_v<T>);
    bytes_.append(reinterpret_cast<const char*>(&v), sizeof v);
  }
  void put_text(std::string_view s) {
    put<std::uint64_t>(s.size());
    bytes_.append(s);
  }
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

class In {
 public:
  explicit In(std::string_view bytes) : bytes_(bytes) {}
  template <typename T>
  T get() {
    need(sizeof(T));
    T v;
    std::memcpy(&v, bytes_.data() + p_, sizeof v);
    p_ += sizeof v;
    return v;
  }
  std::string get_text() {
    const auto n = get<std::uint64_t>();
    need(n);
    std::string s(bytes_.substr(p_, n));
    p_ += n;
    return s;
  }
  std::string_view get_bytes(std::size_t n) {
    need(n);
    std::string_view s = bytes_.substr(p_, n);
    p_ += n;
    return s;
  }

 private:
  void need(std::uint64_t n) const {
    if (n > bytes_.size() - p_) run_error(CHECKPOINT_FILE, "a record of the checkpoint is damaged");
  }
  std::string_view bytes_;
  std::size_t p_ = 0;
};

void put_file(Out& o, const InputFile& f) {
  o.put_text(f.path);
  o.put<std::int64_t>(f.size);
  o.put<std::int64_t>(f.mtime_ns);
}

InputFile get_file(In& in) {
  InputFile f;
  f.path = in.get_text();
  f.size = in.get<std::int64_t>();
  f.mtime_ns = in.get<std::int64_t>();
  return f;
}

void put_logs(Out& o, const LogLengths& l) {
  o.put<std::uint32_t>(static_cast<std::uint32_t>(l.names.size()));
  for (std::size_t k = 0; k < l.names.size(); ++k) {
    o.put_text(l.names[k]);
    o.put<std::int64_t>(l.lengths[k]);
  }
}

LogLengths get_logs(In& in) {
  LogLengths l;
  const auto n = in.get<std::uint32_t>();
  for (std::uint32_t k = 0; k < n; ++k) {
    l.names.push_back(in.get_text());
    l.lengths.push_back(in.get<std::int64_t>());
  }
  return l;
}

// Every field of master entry n, in one fixed order.
template <typename M, typename Visit>
void visit_master_entry(M& m, int n, Visit&& visit) {
  visit(m.umast0(n));
  visit(m.vmast0(n));
  visit(m.xmast0(n));
  visit(m.ymast0(n));
  visit(m.wmast0(n));
  for (int k = 1; k <= FDIM; ++k) {
    for (auto* a : {&m.zmast0, &m.szmast0, &m.smast0, &m.ssmast0, &m.zmast1, &m.szmast1, &m.qmast1, &m.omast1,
                    &m.zmast2, &m.szmast2, &m.qmast2, &m.omast2, &m.zmast3, &m.szmast3, &m.qmast3, &m.omast3,
                    &m.barsky, &m.rmssky})
      visit((*a)(n, k));
    for (auto* a : {&m.fmast0, &m.gmast0, &m.fmast1, &m.gmast1, &m.fmast2, &m.gmast2, &m.fmast3, &m.gmast3})
      visit((*a)(n, k));
  }
}

// The program itself: a resumed run must be made by the same program.
InputFile program_file() {
  InputFile f = look_at_file("/proc/self/exe");
  f.path = "zeb (the program)";
  return f;
}

std::uint64_t file_checksum(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return checksum64(s.str());
}

std::string tile_name(int it, int jt) { return fortran_record("('IT ',i3.3,' JT ',i3.3)", it, jt); }

// ---------------------------------------------------------------------------
// Reading the journal.

struct Record {
  std::uint32_t kind;
  std::string_view payload;
};

// The complete records of the journal; one cut short at its end (a kill
// while it was written) is left out, a damaged one before the end is refused.
std::vector<Record> journal_records(const std::string& journal, std::size_t& complete_length) {
  std::vector<Record> out;
  if (journal.size() < sizeof kMagic || std::memcmp(journal.data(), kMagic, sizeof kMagic) != 0)
    run_error(CHECKPOINT_FILE, "is not a checkpoint of this program");
  std::size_t p = sizeof kMagic;
  complete_length = p;
  while (journal.size() - p >= kFrame) {
    std::uint32_t kind;
    std::uint64_t n;
    std::memcpy(&kind, journal.data() + p, sizeof kind);
    std::memcpy(&n, journal.data() + p + sizeof kind, sizeof n);
    if (n > journal.size() - p - kFrame || journal.size() - p - kFrame - n < sizeof(std::uint64_t)) break;
    const std::string_view payload(journal.data() + p + kFrame, n);
    std::uint64_t sum;
    std::memcpy(&sum, payload.data() + n, sizeof sum);
    const std::size_t end = p + kFrame + n + sizeof sum;
    if (sum != checksum64(payload)) {
      if (end == journal.size()) break;  // the last record, cut short
      run_error(CHECKPOINT_FILE, "a record of the checkpoint is damaged");
    }
    out.push_back({kind, payload});
    p = end;
    complete_length = p;
  }
  return out;
}

// A tile record, decoded up to (and returning a reader positioned at) its
// master entries.
struct TileRecord {
  int it = 0, jt = 0, uref_t = 0, nmasts = 0;
  LogLengths logs;
  std::int64_t strips_begin = 0, strips_end = 0;
  std::uint64_t strips_sum = 0;
  std::string random_state;
  FitsCarryOver carry;
  bool reg_tile_called = false;
  std::int64_t art_passes = 0;
  std::vector<InputFile> inputs;
};

TileRecord read_tile_record(In& in) {
  TileRecord t;
  t.it = in.get<std::int32_t>();
  t.jt = in.get<std::int32_t>();
  t.uref_t = in.get<std::int32_t>();
  t.nmasts = in.get<std::int32_t>();
  t.logs = get_logs(in);
  t.strips_begin = in.get<std::int64_t>();
  t.strips_end = in.get<std::int64_t>();
  t.strips_sum = in.get<std::uint64_t>();
  t.random_state = in.get_text();
  for (std::string& h : t.carry.hdr) h = in.get_text();
  for (std::string& h : t.carry.fitsinfo) h = in.get_text();
  t.reg_tile_called = in.get<std::uint8_t>() != 0;
  t.art_passes = in.get<std::int64_t>();
  const auto n = in.get<std::uint32_t>();
  for (std::uint32_t k = 0; k < n; ++k) t.inputs.push_back(get_file(in));
  return t;
}

[[noreturn]] void refuse_resume(const std::vector<std::string>& lines, const char* stop_text) {
  write_list(std::cout, " ");
  write_list(std::cout, "CANNOT RESUME THE RUN...");
  for (const std::string& l : lines) write_list(std::cout, "   " + l);
  write_list(std::cout, " ");
  stop_run(stop_text);
}

std::string describe(const InputFile& f) {
  if (f.size < 0) return "missing";
  return "size " + std::to_string(f.size) + ", modified at " + std::to_string(f.mtime_ns) + " ns";
}

void check_unchanged(const InputFile& then) {
  InputFile now = then.path == program_file().path ? program_file() : look_at_file(then.path);
  if (now.size == then.size && now.mtime_ns == then.mtime_ns) return;
  refuse_resume({then.path + " has changed since the interrupted run read it:",
                 "   then: " + describe(then), "   now : " + describe(now),
                 "(run again without --resume to start over)"},
                "checkpoint does not match the inputs");
}

std::string read_whole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

// ---------------------------------------------------------------------------

DirectoryLock::DirectoryLock() {
  fd_ = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) run_error(".", "the working directory cannot be opened");
  for (int wait = 0; ::flock(fd_, LOCK_EX | LOCK_NB) != 0; ++wait) {
    if (errno != EWOULDBLOCK && errno != EINTR) run_error(".", "the working directory cannot be locked");
    if (wait == 200) {  // 10 s: far longer than any writer of a killed run takes
      write_list(std::cout, " ");
      write_list(std::cout, "ANOTHER ZEB RUN IS WORKING IN THIS DIRECTORY");
      write_list(std::cout, " ");
      stop_run("directory in use");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

DirectoryLock::~DirectoryLock() {
  if (fd_ >= 0) ::close(fd_);
}

void mark_run_in_progress(const std::string& infile, const std::string& resumed) {
  marker().active = true;
  marker().infile = infile;
  std::string text = "RUNNING\nparameter file: " + infile + "\nprocess: " + std::to_string(::getpid()) + "\n";
  if (!resumed.empty()) marker().resumed = "resumed after: " + resumed + "\n";
  write_marker(text + marker().resumed);
}

void mark_run_finished(int tiles, int stars, double wall_seconds, double checkpoint_seconds) {
  if (!marker().active) return;
  write_marker("FINISHED\nparameter file: " + marker().infile + "\ntiles: " + std::to_string(tiles) +
               "\nstars: " + std::to_string(stars) + "\nwall time: " + trim(fortran_record("(f12.1)", wall_seconds)) +
               " s\ncheckpoint time: " + trim(fortran_record("(f12.2)", checkpoint_seconds)) + " s\n" +
               marker().resumed);
  marker().active = false;
}

void mark_run_stopped(int status, const std::string& stop_text) {
  if (!marker().active) return;
  marker().active = false;
  try {
    write_marker("STOPPED\nparameter file: " + marker().infile + "\nexit status: " + std::to_string(status) +
                 "\nstop text: " + stop_text + "\n");
  } catch (const RunError&) {
    // The run is ending with its own message already; the marker keeps RUNNING.
  }
}

ResumePoint read_checkpoint(const std::string& infile) {
  const std::string status = read_whole(RUN_MARKER_FILE);
  ResumePoint p;
  p.infile = infile;
  struct stat st {};
  // A finished run marks itself so before it removes its checkpoint: a
  // checkpoint beside that mark (the run was killed in between) is stale.
  if (status.rfind("FINISHED", 0) == 0)
    refuse_resume({"the run in this directory has finished (" + std::string(RUN_MARKER_FILE) + "): nothing to resume"},
                  "nothing to resume");
  if (::stat(CHECKPOINT_FILE, &st) == 0) p.journal = read_whole(CHECKPOINT_FILE);
  std::size_t complete = 0;
  const std::vector<Record> records =
      p.journal.size() < sizeof kMagic ? std::vector<Record>{} : journal_records(p.journal, complete);
  if (records.empty() || records.front().kind != kStart) {
    if (status.rfind("RUNNING", 0) != 0 && status.rfind("STOPPED", 0) != 0)
      refuse_resume({"there is no interrupted run in this directory (no " + std::string(RUN_MARKER_FILE) + ")",
                     "(run without --resume to start the run)"},
                    "nothing to resume");
    // Interrupted before its first checkpoint: nothing was finished.
    p.start_over = true;
    p.journal.clear();
    return p;
  }
  p.journal.resize(complete);

  In start(records.front().payload);
  if (start.get<std::uint32_t>() != kVersion) run_error(CHECKPOINT_FILE, "was written by another version of zeb");
  const std::string then_infile = start.get_text();
  const std::uint64_t then_sum = start.get<std::uint64_t>();
  const InputFile then_program = get_file(start);
  if (then_infile != infile)
    refuse_resume({"the checkpoint belongs to the parameter file " + then_infile + ", not " + infile},
                  "checkpoint does not match the parameter file");
  if (file_checksum(infile) != then_sum)
    refuse_resume({infile + " has changed since the interrupted run read it (its checksum differs)",
                   "(run again without --resume to start over)"},
                  "checkpoint does not match the parameter file");
  check_unchanged(then_program);
  const auto ninputs = start.get<std::uint32_t>();
  for (std::uint32_t k = 0; k < ninputs; ++k) p.inputs.push_back(get_file(start));
  for (const InputFile& f : p.inputs) check_unchanged(f);
  p.logs = get_logs(start);

  // The tiles and rows finished: where the loop continues.
  for (std::size_t r = 1; r < records.size(); ++r) {
    In in(records[r].payload);
    if (records[r].kind == kTile) {
      const TileRecord t = read_tile_record(in);
      for (const InputFile& f : t.inputs) check_unchanged(f);
      p.logs = t.logs;
      ++p.tiles;
      p.start = LoopStart{t.jt, t.it + 1, true, t.art_passes};
      p.after = tile_name(t.it, t.jt);
    } else if (records[r].kind == kRow) {
      const int jt = in.get<std::int32_t>();
      p.start = LoopStart{jt + 1, 0, false, p.start.art_passes};
    } else {
      run_error(CHECKPOINT_FILE, "a record of the checkpoint is of no known kind");
    }
  }
  return p;
}

void apply_checkpoint(const ResumePoint& point, RunState& run, Mosaics* mosaics, CatalogueLogs& logs) {
  // The set-up of this run read the same files, in the same order.
  const std::vector<InputFile>& now = input_files();
  bool same = now.size() == point.inputs.size();
  for (std::size_t k = 0; same && k < now.size(); ++k) same = now[k].path == point.inputs[k].path;
  if (!same) refuse_resume({"the set-up read other files than the interrupted run's set-up"},
                           "checkpoint does not match the inputs");

  std::size_t complete = 0;
  const std::vector<Record> records = journal_records(point.journal, complete);
  std::string strips;
  if (mosaics && point.start.mid_row) strips = read_whole(CHECKPOINT_STRIPS_FILE);
  for (std::size_t r = 1; r < records.size(); ++r) {
    if (records[r].kind != kTile) continue;
    In in(records[r].payload);
    const TileRecord t = read_tile_record(in);
    run.master.nmasts = t.nmasts;
    const auto n = in.get<std::uint32_t>();
    for (std::uint32_t k = 0; k < n; ++k) {
      const int entry = in.get<std::int32_t>();
      if (entry < 1 || entry > NSTMAX) run_error(CHECKPOINT_FILE, "a master entry of the checkpoint is out of range");
      visit_master_entry(run.master, entry,
                         [&in](auto& field) { field = in.get<std::remove_reference_t<decltype(field)>>(); });
    }
    run_random().set_state(t.random_state);
    fits_carry_over() = t.carry;
    logs.set_reg_tile_called(t.reg_tile_called);
    // The strips of the finished tiles of the row the loop continues.
    if (mosaics && point.start.mid_row && t.jt == point.start.jt) {
      if (t.strips_end > static_cast<std::int64_t>(strips.size()) || t.strips_begin > t.strips_end)
        run_error(CHECKPOINT_STRIPS_FILE, "does not hold the strips of " + tile_name(t.it, t.jt));
      const std::string_view bytes(strips.data() + t.strips_begin,
                                   static_cast<std::size_t>(t.strips_end - t.strips_begin));
      if (checksum64(bytes) != t.strips_sum)
        run_error(CHECKPOINT_STRIPS_FILE, "the strips of " + tile_name(t.it, t.jt) + " are damaged");
      restore_strip_region(*mosaics, t.uref_t, bytes);
    }
  }
}

// ---------------------------------------------------------------------------

Checkpoint::Checkpoint(const std::string& infile, const RunState& run, const CatalogueLogs& logs,
                       const Mosaics* mosaics)
    : run_(run), logs_(logs), mosaics_(mosaics) {
  const auto t0 = std::chrono::steady_clock::now();
  open_files(-1, -1);
  write_all(fd_, kMagic, sizeof kMagic, CHECKPOINT_FILE);
  Out o;
  o.put<std::uint32_t>(kVersion);
  o.put_text(infile);
  o.put<std::uint64_t>(file_checksum(infile));
  put_file(o, program_file());
  const std::vector<InputFile>& inputs = input_files();
  o.put<std::uint32_t>(static_cast<std::uint32_t>(inputs.size()));
  for (const InputFile& f : inputs) put_file(o, f);
  inputs_written_ = inputs.size();
  put_logs(o, logs.lengths());
  append(kStart, o.bytes());
  seconds_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

Checkpoint::Checkpoint(const ResumePoint& point, const RunState& run, const CatalogueLogs& logs,
                       const Mosaics* mosaics)
    : run_(run), logs_(logs), mosaics_(mosaics), tiles_(point.tiles) {
  // The strips of a finished row are in the mosaic files: the strip journal
  // then starts empty again.
  std::int64_t strips_length = 0;
  if (point.start.mid_row) {
    std::size_t complete = 0;
    const std::vector<Record> records = journal_records(point.journal, complete);
    In in(records.back().payload);
    strips_length = read_tile_record(in).strips_end;
  }
  open_files(static_cast<long long>(point.journal.size()), strips_length);
  inputs_written_ = input_files().size();
}

Checkpoint::~Checkpoint() {
  if (fd_ >= 0) ::close(fd_);
  if (strips_fd_ >= 0) ::close(strips_fd_);
}

void Checkpoint::open_files(long long journal_length, long long strips_length) {
  const bool fresh = journal_length < 0;
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (fresh ? O_TRUNC : 0);
  fd_ = ::open(CHECKPOINT_FILE, flags, 0644);
  strips_fd_ = ::open(CHECKPOINT_STRIPS_FILE, flags, 0644);
  if (fd_ < 0) run_error(CHECKPOINT_FILE, "cannot be created");
  if (strips_fd_ < 0) run_error(CHECKPOINT_STRIPS_FILE, "cannot be created");
  if (fresh) return;
  // A record cut short at the end is dropped, so the next one follows the
  // last complete record.
  if (::ftruncate(fd_, journal_length) != 0 || ::lseek(fd_, 0, SEEK_END) != journal_length ||
      ::ftruncate(strips_fd_, strips_length) != 0 || ::lseek(strips_fd_, 0, SEEK_END) != strips_length)
    run_error(CHECKPOINT_FILE, "cannot be continued");
  strips_length_ = strips_length;
}

void Checkpoint::append(int kind, const std::string& payload) {
  Out frame;
  frame.put<std::uint32_t>(static_cast<std::uint32_t>(kind));
  frame.put<std::uint64_t>(payload.size());
  std::string record = frame.bytes() + payload;
  const std::uint64_t sum = checksum64(payload);
  record.append(reinterpret_cast<const char*>(&sum), sizeof sum);
  write_all(fd_, record.data(), record.size(), CHECKPOINT_FILE);
}

void Checkpoint::tile_finished(const FinishedTile& tile) {
  const auto t0 = std::chrono::steady_clock::now();
  // The tile's strip pixels first: the tile record that points at them is the
  // commit, written last.
  const std::int64_t strips_begin = strips_length_;
  std::uint64_t strips_sum = checksum64({});
  if (mosaics_ && mosaics_->on()) {
    const std::string strips = strip_region_bytes(*mosaics_, tile.uref_t);
    write_all(strips_fd_, strips.data(), strips.size(), CHECKPOINT_STRIPS_FILE);
    strips_length_ += static_cast<long long>(strips.size());
    strips_sum = checksum64(strips);
  }
  Out o;
  o.put<std::int32_t>(tile.it);
  o.put<std::int32_t>(tile.jt);
  o.put<std::int32_t>(tile.uref_t);
  o.put<std::int32_t>(run_.master.nmasts);
  put_logs(o, logs_.lengths());
  o.put<std::int64_t>(strips_begin);
  o.put<std::int64_t>(strips_length_);
  o.put<std::uint64_t>(strips_sum);
  o.put_text(run_random().state());
  for (const std::string& h : fits_carry_over().hdr) o.put_text(h);
  for (const std::string& h : fits_carry_over().fitsinfo) o.put_text(h);
  o.put<std::uint8_t>(logs_.reg_tile_called() ? 1 : 0);
  o.put<std::int64_t>(tile.art_passes);
  const std::vector<InputFile>& inputs = input_files();
  o.put<std::uint32_t>(static_cast<std::uint32_t>(inputs.size() - inputs_written_));
  for (std::size_t k = inputs_written_; k < inputs.size(); ++k) put_file(o, inputs[k]);
  inputs_written_ = inputs.size();
  o.put<std::uint32_t>(static_cast<std::uint32_t>(tile.committed.size()));
  for (int n : tile.committed) {
    o.put<std::int32_t>(n);
    visit_master_entry(run_.master, n, [&o](const auto& field) { o.put(field); });
  }
  append(kTile, o.bytes());
  ++tiles_;
  seconds_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void Checkpoint::row_finished(int jt) {
  const auto t0 = std::chrono::steady_clock::now();
  Out o;
  o.put<std::int32_t>(jt);
  append(kRow, o.bytes());
  // The row's strips are in the mosaic files now.
  if (strips_length_ > 0) {
    if (::ftruncate(strips_fd_, 0) != 0 || ::lseek(strips_fd_, 0, SEEK_SET) != 0)
      run_error(CHECKPOINT_STRIPS_FILE, "cannot be emptied");
    strips_length_ = 0;
  }
  seconds_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void Checkpoint::remove() {
  if (fd_ >= 0) ::close(fd_);
  if (strips_fd_ >= 0) ::close(strips_fd_);
  fd_ = strips_fd_ = -1;
  std::remove(CHECKPOINT_FILE);
  std::remove(CHECKPOINT_STRIPS_FILE);
}

}  // namespace zeb
