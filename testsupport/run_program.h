#pragma once
// Runs a program of the build the way a user or a script does (its arguments, the process's
// environment with a few entries replaced) and collects its output and exit status, with a bound on
// how long it may take.
#include <chrono>
#include <string>
#include <vector>

namespace moxel::test {

struct ProgramResult {
  // The exit status; 128 + the signal when the program was killed (also by the time bound); -1 when
  // it could not be started.
  int status = -1;
  std::string out;  // standard output; with standard error in it when merged
  std::string err;  // standard error when kept apart
};

enum class Stderr { separate, merged };

// Runs argv[0] with `argv`. `env` holds "NAME=value" entries that replace or add to the process's
// environment for the program. A program still running after `limit` is killed (SIGKILL).
ProgramResult run_program(const std::vector<std::string>& argv, Stderr stderr_mode = Stderr::separate,
                          const std::vector<std::string>& env = {},
                          std::chrono::seconds limit = std::chrono::seconds(60));

// A command line split into words as the shell does it (quotes, '' for an empty word), without
// running anything: command substitution is refused. Throws std::invalid_argument when the line
// cannot be split.
std::vector<std::string> split_words(const std::string& line);

// The process's environment with the "NAME=value" entries of `replace` put in place of (or added
// to) those of the same name.
std::vector<std::string> environment_with(const std::vector<std::string>& replace);

}  // namespace moxel::test
