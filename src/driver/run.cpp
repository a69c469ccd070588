#include "driver/run.h"

#include <chrono>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "core/files.h"
#include "core/fortran_format.h"
#include "core/limits.h"
#include "core/parallel.h"
#include "core/stop.h"
#include "core/text.h"
#include "driver/checkpoint.h"
#include "driver/command_line.h"
#include "driver/master_hash.h"
#include "driver/prescan.h"
#include "driver/run_progress.h"
#include "driver/tile_loop.h"
#include "output/mosaic.h"
#include "output/catalogue_logs.h"
#include "setup/param_file.h"
#include "setup/run_state.h"

namespace zeb {


void print_run_summary(const RunState& run) {
  const Settings& st = run.settings;
  write_record(std::cout, "('               ')");
  write_record(std::cout, "('ZEB_SETUP HAS BEEN DONE...')");
  write_record(std::cout, "('               ')");
  write_record(std::cout, "('        CMODE: ',a1)", st.cmode);
  write_record(std::cout, "('    U MIN/MAX: ',2i6)", st.umin, st.umax);
  write_record(std::cout, "('    V MIN/MAX: ',2i6)", st.vmin, st.vmax);
  write_record(std::cout, "('           Fs: ',i2)", run.filters.fs);
  write_record(std::cout, "('           Bs: ',i8)", run.bright.bs);
  write_record(std::cout, "('       NMASTi: ',i8)", run.master.nmasti);
  write_record(std::cout, "('        NARTs: ',i8)", run.art.narts);
  write_record(std::cout, "('               ')");
  write_record(std::cout, "('   ITERATIONS: ')");
  write_record(std::cout, "('       NITMIN: ',i2)", st.nitminmaxu[0]);
  write_record(std::cout, "('       NITMAX: ',i2)", st.nitminmaxu[1]);
  write_record(std::cout, "('               ')");
}

void print_iteration_settings(const Settings& st) {
  // Only iterations that have settings are listed: an unset range (-1) or one
  // reaching outside 1..10 prints nothing for the missing entries.
  const int first = std::max(st.nitminmaxu[0], 1);
  const int last = std::min(st.nitminmaxu[1], NITDIM);
  for (int nit = first; nit <= last; ++nit) {
    write_record(std::cout,
                 "(16x,'NIT',i2.2,1x,'HMIN=',i1,1x,'SSIG=',f4.2,4x,'QMIN=',i3.3,1x,'QSEL=',f4.2,1x,'QSEP=',f4.2,4x,"
                 "'DMIN=',i3.3,1x,'DSEP=',f4.2,4x,'PMIN=',i3.3,1x,'PSEP=',F4.2,4x,'OPRX=',f4.2,1x,'OPRV=',f4.2,4x,"
                 "'RSIZ=',f4.2,1x,'RWID=',i1,1x,'RCOL=',a7)",
                 nit, st.hmin_nit(nit), st.ssig_nit(nit), st.qmin_nit(nit), st.qsel_nit(nit), st.qsep_nit(nit),
                 st.dmin_nit(nit), st.dsep_nit(nit), st.pmin_nit(nit), st.psep_nit(nit), st.oprx_nit(nit),
                 st.oprv_nit(nit), st.rsiz_nit(nit), st.rwid_nit(nit), st.rcol_nit(nit));
  }
  // The joint criterion's thresholds, listed only when the file sets one, so
  // that runs without it print what they always did.
  if (st.jsig_given) {
    std::vector<FArg> jsig;
    for (int nit = 1; nit <= NITDIM; ++nit) jsig.emplace_back(st.jsig_nit(nit));
    write_record_v(std::cout, "(16x,'JSIG NIT01..NIT10:',10(1x,f6.2))", jsig);
  }
  std::cout << '\n';
}

namespace {

void start_up_and_run(int argc, char** argv) {
  const auto wall_start = std::chrono::steady_clock::now();
  RunProgress progress(progress_wanted() ? &std::cerr : nullptr);
  const FileTimes files_before = progress.on() ? run_file_times() : FileTimes{};
  // Three free-format lines, each in the list layout's leading blank.
  write_list(std::cout, "           ");
  write_list(std::cout, "ZEB BEGIN! ");
  write_list(std::cout, "           ");
  const RunArguments cl = run_arguments(argc, argv);
  if (!cl.ok) {
    write_list(std::cout, "NEED 1 ARG... INPUT FILE NAME!");
    stop_run();
  }
  const std::string infile = fit_field(cl.infile, 80, "the parameter file name");
  thread_count();  // a ZEB_THREADS that is not a number of threads stops the run here
  const DirectoryLock lock;
  reset_input_files();
  // An interrupted run's checkpoint is checked against the parameter file and
  // the inputs before anything is written.
  ResumePoint point;
  if (cl.resume) point = read_checkpoint(infile);
  const bool resume = cl.resume && !point.start_over;
  mark_run_in_progress(infile, cl.resume ? (point.after.empty() ? "its start" : point.after) : std::string());

  RunState run;
  PrescanCounts counts = extract_gsfscs(infile, run.settings.verbose);
  write_record(std::cout, "('TOTAL IN FILE',a80)", pad(infile, 80));
  write_record(std::cout, "(' Gs: ',i4)", counts.gs);
  write_record(std::cout, "(' Fs: ',i4)", counts.fs);
  write_record(std::cout, "(' Cs: ',i4)", counts.cs);
  if (counts.gs > GDIM) stop_run("Gs.gt._GDIM_");
  if (counts.fs > FDIM) stop_run("Fs.gt._FDIM_");

  run.master.allocate(FDIM);
  run.art.allocate(FDIM);
  zeb_setup(infile, counts, run);

  SpatialHash hash_000, hash_art;
  build_hashes(run.settings.cmode, run.master, run.art, hash_000, hash_art);

  Settings& st = run.settings;
  if (st.cmode == 'D') {
    st.rsiz_nit(1) = 0.5f;
    st.rwid_nit(1) = 1;
    st.rcol_nit(1) = "green  ";
  }
  print_run_summary(run);
  print_iteration_settings(st);
  run.master.nmasts = run.master.nmasti;
  // Nothing in mode A or with both mosaics off; a resumed run continues the
  // mosaic files of the interrupted one.
  Mosaics mosaics = init_mosaics(st, run.filters, resume);
  Mosaics* mosaics_on = mosaics.on() ? &mosaics : nullptr;

  // The catalogue logs announce themselves ("OPEN INPUT FILES...") with
  // LOGK.SETUP; they are closed at the end of the run, or by their destructor
  // when a tile stops it.
  CatalogueLogs logs(st, resume ? &point.logs : nullptr);
  if (resume) apply_checkpoint(point, run, mosaics_on, logs);
  Checkpoint checkpoint = resume ? Checkpoint(point, run, logs, mosaics_on) : Checkpoint(infile, run, logs, mosaics_on);
  run_tile_loop(run, hash_000, hash_art, logs, mosaics_on, progress.on() ? &progress : nullptr, &checkpoint,
                point.start);
  logs.close();
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
  mark_run_finished(checkpoint.tiles(), run.master.nmasts, wall, checkpoint.seconds());
  checkpoint.remove();
  if (progress.on()) progress.finish(logs.stars(), files_written(files_before, run_file_times()));
  stop_run_normally();
}

}  // namespace

int run_main(int argc, char** argv) {
  if (const std::optional<int> answered = answer_command_line(argc, argv, std::cout, std::cerr)) return *answered;
  try {
    start_up_and_run(argc, argv);
  } catch (const RunStop& s) {
    if (s.status != 0) mark_run_stopped(s.status, s.has_text ? s.text : std::string());
    return finish_stop(s);
  } catch (const RunError& e) {
    mark_run_stopped(2, e.what());
    return finish_error(e);
  } catch (const std::bad_alloc&) {
    mark_run_stopped(2, "memory for the run's arrays could not be allocated");
    return finish_error(RunError("memory for the run's arrays could not be allocated"));
  } catch (const std::exception& e) {
    // A fault of the program itself: still end with a message, the logs
    // written so far flushed and closed, and a failure status.
    mark_run_stopped(2, std::string("internal error: ") + e.what());
    return finish_error(RunError(std::string("internal error: ") + e.what()));
  }
  return 0;
}

}  // namespace zeb
