// zeb-campaign: a mode-A (artificial-star) run split into shards that run
// anywhere (GNU parallel on one machine, a Slurm array on a cluster) and
// merged back into the files the single run writes.
//
// A campaign directory holds campaign.txt (what was planned), parallel.txt
// (one shell command per shard), slurm.sh (an array job, one task per shard),
// one work directory per shard (shard-001, ...) and, once merged, merged/.
// A shard directory holds the shard's parameter file, a symbolic link to every
// input of the run directory, and the files its zeb run writes; the files the
// campaign itself keeps there start with "zeb-campaign.".
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace zebcampaign {

namespace fs = std::filesystem;

// A refusal or failure of a command: its message is printed and the command
// ends with status 1.
struct CampaignError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Most shards a campaign can have (three-digit shard directories, and the
// default largest array of Slurm).
inline constexpr int MAX_SHARDS = 999;

// What `plan` recorded in campaign.txt.
struct Campaign {
  fs::path dir;       // the campaign directory, absolute
  int shards = 0;
  fs::path zeb;       // the zeb program the shards run
  fs::path rundir;    // the directory the parameter file's relative paths refer to
  fs::path params;    // the parameter file
};

// Files of a shard directory.
inline const char* const SHARD_PARAMS = "zeb-campaign.params";
inline const char* const SHARD_STARTED = "zeb-campaign.started";
inline const char* const SHARD_EXIT = "zeb-campaign.exit";
inline const char* const SHARD_STDOUT = "zeb-campaign.stdout";
inline const char* const SHARD_STDERR = "zeb-campaign.stderr";
inline const char* const CAMPAIGN_PREFIX = "zeb-campaign.";

Campaign load_campaign(const fs::path& dir);
void save_campaign(const Campaign& c);
fs::path shard_dir(const Campaign& c, int k);
// "shard 3 (DIR/shard-003)"
std::string shard_name(const Campaign& c, int k);

// Where a shard stands, from the markers its run leaves.
// Elsewhere: started on another machine and not ended (running there, or killed).
enum class ShardState { NeverStarted, Running, Elsewhere, Interrupted, Failed, Finished };
struct ShardStatus {
  ShardState state = ShardState::NeverStarted;
  std::string detail;  // one line for the user
};
ShardStatus shard_status(const Campaign& c, int k);

// The commands; each returns the process's exit status.
int plan_command(const fs::path& params, int shards, const fs::path& dir, const std::string& zeb,
                 const std::string& slurm_time, const std::string& slurm_mem);
int run_command(const fs::path& dir, int k);
int status_command(const fs::path& dir);
int merge_command(const fs::path& dir);

// Helpers shared by the commands.
std::string read_file(const fs::path& p);
// Writes through a temporary file renamed into place, so that a reader never
// sees half a file.
void write_file_atomic(const fs::path& p, const std::string& content);
// s in single quotes for a POSIX shell.
std::string shell_quote(const std::string& s);
std::string host_name();
// The running program, absolute.
fs::path self_path();

}  // namespace zebcampaign
