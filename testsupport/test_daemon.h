#pragma once
// A real lorandd of the test's own: a temporary root with its own lorand.conf, run folder and state
// folder, the daemon started in it and stopped again, and lorandctl and cncsim run against it.
// Nothing outside the root is touched: not /etc, /run or /var/lib.
#include <signal.h>
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "testsupport/run_program.h"

namespace moxel::test {

// A fresh folder /tmp/<prefix>-XXXXXX with etc/, run/ and state/. While it lives, the process's
// MOXEL_SYSCONFDIR and MOXEL_RUNDIR point into it, so driver clients made in the test process find
// it; the earlier values come back (or are unset again) at its end, when the folder is removed.
class TempRoot {
 public:
  explicit TempRoot(const std::string& prefix = "moxel-test");
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  // False when the folder could not be made (nothing else then works).
  bool made() const { return !root_.empty(); }
  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path config_file() const { return root_ / "etc" / "lorand.conf"; }
  std::filesystem::path state_dir() const { return root_ / "state"; }
  std::filesystem::path socket_path() const { return root_ / "run" / "LORAND"; }
  std::filesystem::path control_socket_path() const { return root_ / "run" / "cncsim"; }
  // The environment entries that point a program at this root.
  std::vector<std::string> environment() const;

  // Writes `text` as lorand.conf. "@STATE@" in it stands for the state folder; a text that sets
  // no StateDir gets "[Host] StateDir" pointed at the state folder appended.
  void configure(const std::string& text) const;

 private:
  std::filesystem::path root_;
  std::optional<std::string> saved_sysconfdir_, saved_rundir_;
};

class Daemon : public TempRoot {
 public:
  explicit Daemon(const std::string& prefix = "lorandd-test") : TempRoot(prefix) {}
  ~Daemon();

  // Starts lorandd with `args`, its standard error appended to log_file(). True once the daemon
  // says it serves and its device socket takes connections. False when it ended first
  // (exit_code() then holds its status) or did not come up within 20 s (it is then stopped);
  // error() says which. The daemon is sent SIGTERM when the thread that started it ends, even
  // when the test process is killed.
  bool start(const std::vector<std::string>& args = {});
  // Sends `signal_number` and waits for the daemon to end, at most 10 s before it is killed
  // (SIGKILL). Returns its exit status, 128 + signal when a signal ended it.
  int stop(int signal_number = SIGTERM);
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  int exit_code() const { return exit_code_; }
  const std::string& error() const { return error_; }
  std::filesystem::path log_file() const { return root() / "lorandd.log"; }
  std::string log() const;

  // `lorandctl --device <socket> ARGS` and `cncsim --socket <control socket> ARGS`, in the root's
  // environment. A string of arguments is split as the shell does it.
  ProgramResult lorandctl(const std::string& args, Stderr stderr_mode = Stderr::merged) const;
  ProgramResult lorandctl(const std::vector<std::string>& args, Stderr stderr_mode = Stderr::merged) const;
  ProgramResult cncsim(const std::string& args, Stderr stderr_mode = Stderr::separate) const;
  ProgramResult cncsim(const std::vector<std::string>& args, Stderr stderr_mode = Stderr::separate) const;

 private:
  pid_t pid_ = -1;
  int exit_code_ = -1;
  std::string error_;
};

// Paths of the programs of this build.
const char* lorandd_program();
const char* lorandctl_program();
const char* cncsim_program();

}  // namespace moxel::test
