#pragma once
// A lorandd of the test's own in a fresh temporary root, with simulated boards, and the `cncsim`
// command to prepare CNC memory and read the unit trace.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "testsupport/test_daemon.h"

namespace cnbus::testing {

struct SimNode {
  int node;
  uint32_t port;
  int cnc_type;
  std::string name;
};

// A lorand.conf with the given simulated nodes, the client path ("driver" or "direct"; empty: no
// [Client] section) and extra [Simulator] lines.
std::string make_config(const std::vector<SimNode>& nodes, const std::string& client_path,
                        const std::string& simulator = "");

// Trace lines compared field by field; a field "?" matches anything.
::testing::AssertionResult TraceMatches(const std::vector<std::string>& actual,
                                        const std::vector<std::string>& expected);
// The value field of a trace line, as a number.
uint32_t trace_value(const std::string& line);

// A lorandd of the test's own (moxel::test::Daemon) started with `config`, plus cncsim commands
// that must succeed.
class Daemon {
 public:
  // Writes `config` as lorand.conf ("@STATE@" stands for the state folder), points the process's
  // MOXEL_SYSCONFDIR and MOXEL_RUNDIR at the root and starts lorandd; started() tells whether it
  // came up.
  explicit Daemon(const std::string& config);

  bool started() const { return started_; }
  // Stops the daemon now (SIGTERM), as if it went away under its clients.
  void stop() { daemon_.stop(); }
  std::string log() const { return daemon_.log(); }

  // Runs `cncsim ARGS`; returns its standard output, *status its exit status.
  std::string cncsim(const std::string& args, int* status = nullptr) const;
  void poke(int node, uint32_t address, const std::string& hex) const;
  std::string peek(int node, uint32_t address, int length) const;
  void trace_start(int node) const;
  // The trace lines recorded since trace_start, which it stops.
  std::vector<std::string> trace(int node) const;

 private:
  moxel::test::Daemon daemon_;
  bool started_ = false;
};

// A root with a lorand.conf but no daemon: the device cannot be opened.
class EmptyRoot {
 public:
  explicit EmptyRoot(const std::string& config = "");

 private:
  moxel::test::TempRoot root_;
};

}  // namespace cnbus::testing
