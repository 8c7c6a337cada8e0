#pragma once
// A lorandd with simulated nodes in a temporary root, for the viewer's tests and benchmarks. The
// process's MOXEL_SYSCONFDIR and MOXEL_RUNDIR point into the root while it lives, so driver clients
// made in the process reach this daemon.
#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace hexlook::testing {

struct ProgramResult {
  int status = -1;  // exit status, or -1 when the program did not end normally
  std::string out, err;
};

// Runs `argv` (program first) with the process's environment and collects its output.
ProgramResult run_program(const std::vector<std::string>& argv);

class SimDaemon {
 public:
  // `conf` is the text of lorand.conf; "@STATE@" in it is replaced by the state folder.
  explicit SimDaemon(const std::string& conf);
  ~SimDaemon();
  SimDaemon(const SimDaemon&) = delete;
  SimDaemon& operator=(const SimDaemon&) = delete;

  bool running() const { return pid_ > 0; }
  const std::string& error() const { return error_; }
  std::filesystem::path root() const { return root_; }
  // `cncsim ARGS...` against this daemon.
  ProgramResult cncsim(const std::vector<std::string>& args) const;
  void stop();

 private:
  std::filesystem::path root_;
  pid_t pid_ = -1;
  std::string error_;
};

// Two simulated nodes: 0 "Lathe" at 0x300 and 2 "Mill" at 0x320, unit time 0.
std::string two_node_conf();

}  // namespace hexlook::testing
