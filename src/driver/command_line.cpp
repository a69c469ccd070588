#include "driver/command_line.h"

#include <string>

#include "core/file_check.h"
#include "core/version.h"

#ifndef ZEB_MANUAL_PATH
#define ZEB_MANUAL_PATH "share/doc/zeb/manual.md"
#endif

namespace zeb {

namespace {

const char* const kUsage =
    "usage: zeb PARAMS           run on the parameter file PARAMS\n"
    "       zeb --resume PARAMS  continue the interrupted run of PARAMS in this directory\n"
    "       zeb -h | --help      this help\n"
    "       zeb --version        the version\n";

void help(std::ostream& out) {
  out << kUsage
      << "\n"
         "zeb finds and measures the stars of many overlapping exposures of one field\n"
         "and writes one catalogue in the field's reference frame. PARAMS names the\n"
         "exposures, their PSF libraries and MAT files, the two filter slots, the part\n"
         "of the frame to process and the finding iterations.\n"
         "\n"
         "Run modes (the first line of PARAMS):\n"
         "  MODE=R  ordinary run: find, measure and catalogue the stars\n"
         "  MODE=D  measure the starting list only, without finding\n"
         "  MODE=A  artificial-star test: one injected star at a time\n"
         "  MODE=C  all artificial stars of a tile injected at once, then as R\n"
         "\n"
         "Outputs go to the working directory (M is the mode letter):\n"
         "  LOGM.XYVIQ0 .. LOGM.XYVIQ3  the catalogue: position, and per filter the\n"
         "                              flux and quality of measurement methods 0..3\n"
         "  LOGM.XYVIQS                 local sky of every star\n"
         "  LOGM.XYFIND                 how and where every star was found\n"
         "  LOGM.found_uv1.reg, LOGM.found_uv2.reg   DS9 regions of the stars\n"
         "  LOGR.STACK_X1_*.fits, LOGR.STACK_X2_*.fits  mosaics at 1x and 2x sampling\n"
         "  LOGK.*                      set-up logs; LOGA.INPUT in mode A\n"
         "  ZEB.STATUS                  RUNNING while the run works, then FINISHED\n"
         "                              (tiles, stars, wall time) or STOPPED\n"
         "  ZEB.CHECKPOINT              what the finished tiles did, for --resume\n"
         "Messages go to standard output, a stop text to standard error. A progress\n"
         "line per tile and a closing summary go to standard error when it is a\n"
         "terminal or ZEB_PROGRESS=1 (ZEB_PROGRESS=0 turns them off).\n"
         "\n"
         "Exit status: 0 normal end, 1 error stop, 2 run-time error or unusable\n"
         "command line.\n"
         "\n"
         "Companion commands: zeb-export (the catalogue as an ECSV or FITS table),\n"
         "zeb-plot (colour-magnitude, error and completeness plots).\n"
         "Manual: docs/manual.md in the sources, installed as\n"
         "  " ZEB_MANUAL_PATH "\n";
}

bool is_option(const std::string& a) { return a.size() > 1 && a[0] == '-'; }

}  // namespace

std::optional<int> answer_command_line(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  for (int k = 1; k < argc; ++k) {
    const std::string a = argv[k];
    if (a == "-h" || a == "--help") {
      help(out);
      return 0;
    }
    if (a == "--version") {
      out << version_line("zeb") << '\n';
      return 0;
    }
  }
  const RunArguments run = run_arguments(argc, argv);
  if (!run.ok) return std::nullopt;
  const std::string arg = run.infile;
  std::string problem;
  if (is_option(arg))
    problem = "unknown option " + arg;
  else if (const std::string reason = unreadable_reason(arg); !reason.empty())
    problem = arg + ": " + reason + "; it cannot be the parameter file";
  if (problem.empty()) return std::nullopt;
  err << "zeb: " << problem << '\n' << kUsage;
  return 2;
}

RunArguments run_arguments(int argc, const char* const* argv) {
  RunArguments r;
  if (argc == 2) {
    r.ok = true;
    r.infile = argv[1];
  } else if (argc == 3 && std::string(argv[1]) == "--resume") {
    r.ok = r.resume = true;
    r.infile = argv[2];
  }
  return r;
}

}  // namespace zeb
