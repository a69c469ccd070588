// zeb-campaign run DIR K: runs shard K in its directory and records how it
// went. A shard whose zeb was interrupted after finishing a tile (its run
// marker still says RUNNING and its checkpoint is there) is continued with
// `zeb --resume`, which ends with the files of an uninterrupted run; any other
// shard's earlier outputs are removed first. Then the start marker is written
// (host, pid, time); zeb runs with its standard output and error in files of
// the shard directory (appended to when resuming); when it ends, the exit
// marker records its status. A shard killed together with this command leaves
// a start marker without an exit marker, which status and merge report.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <iostream>

#include "campaign.h"

namespace zebcampaign {

namespace {

// Everything an earlier run of the shard left: what is not a link to an input,
// not the parameter file, and not AUX/ itself (whose contents go).
void clear_shard(const fs::path& d) {
  for (const fs::directory_entry& e : fs::directory_iterator(d)) {
    const std::string name = e.path().filename().string();
    if (e.is_symlink() || name == SHARD_PARAMS) continue;
    if (name == "AUX" && e.is_directory()) {
      for (const fs::directory_entry& a : fs::directory_iterator(e.path())) fs::remove_all(a.path());
      continue;
    }
    fs::remove_all(e.path());
  }
}

// Child: zeb with its output in the shard's files. It is killed when this
// command dies, so a killed shard never leaves a zeb running unseen.
[[noreturn]] void exec_zeb(const Campaign& c, pid_t parent, bool resume) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(128 + SIGKILL);
  const int mode = O_WRONLY | O_CREAT | (resume ? O_APPEND : O_TRUNC);
  const int out = open(SHARD_STDOUT, mode, 0644);
  const int err = open(SHARD_STDERR, mode, 0644);
  if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
  close(out);
  close(err);
  const std::string zeb = c.zeb.string();
  char resume_flag[] = "--resume";
  char* const fresh_argv[] = {const_cast<char*>(zeb.c_str()), const_cast<char*>(SHARD_PARAMS), nullptr};
  char* const resume_argv[] = {const_cast<char*>(zeb.c_str()), resume_flag, const_cast<char*>(SHARD_PARAMS), nullptr};
  char* const* argv = resume ? resume_argv : fresh_argv;
  execv(zeb.c_str(), argv);
  const std::string msg = "zeb-campaign: cannot run " + zeb + ": " + std::strerror(errno) + "\n";
  (void)!write(2, msg.data(), msg.size());
  _exit(127);
}

// True when zeb was interrupted in the shard after its checkpoint began.
bool interrupted_with_checkpoint(const fs::path& d) {
  if (!fs::exists(d / "ZEB.CHECKPOINT") || !fs::exists(d / "ZEB.STATUS")) return false;
  return read_file(d / "ZEB.STATUS").rfind("RUNNING\n", 0) == 0;
}

}  // namespace

int run_command(const fs::path& dir, int k) {
  const Campaign c = load_campaign(dir);
  if (k < 1 || k > c.shards)
    throw CampaignError("shard " + std::to_string(k) + ": the campaign has shards 1 to " + std::to_string(c.shards));
  const fs::path d = shard_dir(c, k);
  if (!fs::exists(d / SHARD_PARAMS)) throw CampaignError(shard_name(c, k) + " has no parameter file");
  const ShardStatus before = shard_status(c, k);
  if (before.state == ShardState::Running) throw CampaignError(shard_name(c, k) + " is " + before.detail);

  const bool resume = interrupted_with_checkpoint(d);
  if (!resume) clear_shard(d);
  fs::current_path(d);
  const long start = static_cast<long>(std::time(nullptr));
  write_file_atomic(SHARD_STARTED, "host " + host_name() + "\npid " + std::to_string(getpid()) + "\nstart " +
                                       std::to_string(start) + "\n");
  const pid_t self = getpid();
  const pid_t child = fork();
  if (child < 0) throw CampaignError("cannot start zeb for " + shard_name(c, k) + ": " + std::strerror(errno));
  if (child == 0) exec_zeb(c, self, resume);
  int wstatus = 0;
  while (waitpid(child, &wstatus, 0) < 0)
    if (errno != EINTR) throw CampaignError("lost zeb of " + shard_name(c, k) + ": " + std::strerror(errno));
  const long seconds = static_cast<long>(std::time(nullptr)) - start;
  std::string ended = "seconds " + std::to_string(seconds) + "\n";
  int code = 0;
  if (WIFSIGNALED(wstatus)) {
    ended += "signal " + std::to_string(WTERMSIG(wstatus)) + "\n";
    code = 128 + WTERMSIG(wstatus);
  } else {
    code = WEXITSTATUS(wstatus);
    ended += "exit " + std::to_string(code) + "\n";
  }
  write_file_atomic(SHARD_EXIT, ended);
  const ShardStatus after = shard_status(c, k);
  std::cout << "shard " << k << ": " << after.detail << '\n';
  return code;
}

}  // namespace zebcampaign
