#pragma once
// The simulated FLUX boards and CNC nodes hosted by lorandd for every node whose [Host] Board<n>
// is "sim". Each board is a PortIo at its node's port base; the CNC behind it keeps its memory,
// and what a real CNC keeps over power-off lives in files under the state folder.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "cncsim/node.h"
#include "driver/core/port_io.h"
#include "platform/config_store.h"

namespace cncsim {

namespace cnc {
class Host;
}

class Simulator {
 public:
  // `config` is the whole lorand.conf: the [Simulator] section holds the per-node settings
  // (BusyAtStart<n>, UnitTime<n>, BoardGeneration<n>, ...; the CNC software's own settings are
  // listed in cncsim/cnc/). `state_dir` is [Host] StateDir.
  Simulator(const moxel::ConfigData& config, std::filesystem::path state_dir);
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // The board of `node` whose register block sits at port `base`, made on the first call.
  lorand::PortIo& board(uint32_t node, uint32_t base);

  // In-process access to a node made by board(): the same controls the `cncsim` command offers
  // (link, ready, power, peek, poke, trace, faults). nullptr when the node has no board yet.
  Node* node(uint32_t node);
  // The CNC's own software on a node made by board() (cncsim/cnc/host.h); nullptr when none.
  cnc::Host* software(uint32_t node);
  // The folder that keeps the node's SRAM and F-ROM files: <state_dir>/node<n>.
  std::filesystem::path node_state_dir(uint32_t node) const;

  // Carries out one control command line ("link 0 down", "peek 0 0x20c01000 16", ...) as the
  // control socket does. Returns true on success; *output receives what the command prints, or
  // the reason it was refused.
  bool command(const std::string& line, std::string* output);

  // Serves the `cncsim` control commands on a Unix socket at `socket_path` (given `mode`, and
  // `group` unless it is (gid_t)-1) from a thread of its own until stop() or destruction.
  // False, with the reason in *error, when the socket cannot be made.
  bool start_control(const std::filesystem::path& socket_path, mode_t mode, gid_t group,
                     std::string* error);
  // Each control client is served on its own; its command must arrive and its answer leave within
  // this time of its connection (20 s unless set before start_control).
  void set_command_deadline(std::chrono::milliseconds deadline);
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace cncsim
