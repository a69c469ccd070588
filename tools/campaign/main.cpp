// zeb-campaign: plan, run, status and merge of a sharded mode-A campaign.
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "campaign.h"

namespace {

const char* const USAGE =
    "usage: zeb-campaign plan PARAMS --shards N --dir DIR [--zeb PATH] [--time T] [--mem M]\n"
    "       zeb-campaign run DIR K\n"
    "       zeb-campaign status DIR\n"
    "       zeb-campaign merge DIR\n"
    "plan   splits the mode-A parameter file PARAMS (run from the directory its relative\n"
    "       paths refer to) into N shards in the new directory DIR, with DIR/parallel.txt\n"
    "       (parallel < DIR/parallel.txt) and the Slurm array job DIR/slurm.sh (sbatch);\n"
    "       --time and --mem set the job's limits per shard (default 24:00:00 and 1G)\n"
    "run    runs shard K (what each line of parallel.txt and each Slurm task does)\n"
    "status says which shards finished, failed, were interrupted or never started;\n"
    "       exit status 0 only when all finished\n"
    "merge  writes into DIR/merged/ the files the single run writes\n";

int usage(const std::string& why) {
  std::cerr << "zeb-campaign: " << why << '\n' << USAGE;
  return 2;
}

// A whole positive number, or -1.
int count_of(const std::string& s) {
  if (s.empty() || s.size() > 6 || s.find_first_not_of("0123456789") != std::string::npos) return -1;
  return std::atoi(s.c_str());
}

int dispatch(const std::vector<std::string>& a) {
  using namespace zebcampaign;
  if (a.empty()) return usage("no command");
  const std::string& cmd = a[0];
  if (cmd == "plan") {
    std::string params, dir, zeb, time = "24:00:00", mem = "1G";
    int shards = -1;
    for (std::size_t i = 1; i < a.size(); ++i) {
      const std::string& opt = a[i];
      const bool has_value = i + 1 < a.size();
      if (opt == "--shards" && has_value) {
        shards = count_of(a[++i]);
        if (shards < 0) return usage("--shards needs a whole number, not " + a[i]);
      } else if (opt == "--dir" && has_value) {
        dir = a[++i];
      } else if (opt == "--zeb" && has_value) {
        zeb = a[++i];
      } else if (opt == "--time" && has_value) {
        time = a[++i];
      } else if (opt == "--mem" && has_value) {
        mem = a[++i];
      } else if (opt.rfind("--", 0) != 0 && params.empty()) {
        params = opt;
      } else {
        return usage("plan: unexpected " + opt);
      }
    }
    if (params.empty() || shards < 0 || dir.empty()) return usage("plan needs PARAMS, --shards N and --dir DIR");
    return plan_command(params, shards, dir, zeb, time, mem);
  }
  if (cmd == "run") {
    if (a.size() != 3) return usage("run needs DIR and K");
    const int k = count_of(a[2]);
    if (k < 1) return usage("run: K must be a shard number, not " + a[2]);
    return run_command(a[1], k);
  }
  if (cmd == "status" || cmd == "merge") {
    if (a.size() != 2) return usage(cmd + " needs DIR");
    return cmd == "status" ? status_command(a[1]) : merge_command(a[1]);
  }
  return usage("unknown command " + cmd);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return dispatch(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    std::cerr << "zeb-campaign: " << e.what() << '\n';
    return 1;
  }
}
