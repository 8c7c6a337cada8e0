#pragma once
// Runs the restic program with an argument vector (no shell), its environment passed through as
// it is, so the repository and its password come from restic's own variables or files
// (RESTIC_REPOSITORY, RESTIC_REPOSITORY_FILE, RESTIC_PASSWORD, RESTIC_PASSWORD_FILE, ...) and never
// from a command line. Standard output and error are collected; the run is bounded in time.
#include <chrono>
#include <string>
#include <vector>

namespace kestrel::fleet {

struct ResticResult {
  bool started = false;    // false: the program could not be run (error holds why)
  bool timed_out = false;  // killed after the time bound
  int status = -1;         // exit status; 128 + signal when a signal ended it
  std::string out;
  std::string err;
  std::string error;  // our own reason when it did not start, timed out or said too much

  bool ok() const { return started && !timed_out && status == 0 && error.empty(); }
  // One line for the operator: what went wrong, with restic's own error lines ("Fatal: ...").
  std::string failure_text() const;
};

class ResticRunner {
 public:
  explicit ResticRunner(std::string program = "restic",
                        std::chrono::seconds limit = std::chrono::seconds(3600))
      : program_(std::move(program)), limit_(limit) {}

  // Runs `program args...` with standard input from /dev/null. After the time bound the program
  // gets SIGTERM and, 10 s later, SIGKILL.
  ResticResult run(const std::vector<std::string>& args) const;

  const std::string& program() const { return program_; }

 private:
  std::string program_;
  std::chrono::seconds limit_;
};

}  // namespace kestrel::fleet
