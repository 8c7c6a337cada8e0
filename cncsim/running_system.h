#pragma once
// The CNC's running system as the PC's interface state check sees it: the interface registers, the
// window flags, the communication segments with their ready words, control pairs, busy and phase
// words, the tables the PC walks, and the registration word pairs. It lays them out in the node's
// memory when the system starts and answers the PC's handshakes, at once or after a configurable
// delay. Named faults make each part misbehave.
//
// Not locked and not threaded: its host calls it with the node's memory under the node's lock, on
// every write the PC makes and whenever the time it asked for has come.
//
// Layout (shared-memory offsets; a segment's fields are relative to its start s):
//   segments        first pass at 0, 0x10000, ... (Segments<n>, 1 to 4); second pass at 0x40000,
//                   0x50000, ... (SecondSegments<n>, 0 to 8)
//   s + 4           0x3531 in the first segment when Marker3531<n> is set
//   s + 6, s + 10   CNC and PMC ready words
//   s + 12          descriptor offset (0x1000); s + 0x12: first-pass segment count (byte)
//   s + 22, s + 24  A pair: space 0x20, offset of s + 0x100 (request, answer at + 2)
//   s + 42, s + 44  B pair: space 0x20, offset of s + 0x110
//   s + 68, s + 72  busy words at s + 0x200 (CNC busy, PMC busy, PC phase), cleared area at s + 0x300
//   s + 0x1500      registration word pair
//   s + 0x1600      the PC's entry: mode byte at + 19, flags at + 26, second-pass count at + 28
//   0x1700 ...      pointers and tables of the walk (see running_system.cpp)
// Interface space: 0x110 window nibble word, 0x620 latched request word (the PC acknowledges it by
// writing 1; the CNC then clears it), nibble x 16 + 4 window word (bit 0 parity, bit 1 SYSFAIL).
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cncsim/memory.h"
#include "platform/config_store.h"

namespace cncsim {

// From [Simulator] of lorand.conf (stem + decimal node number).
struct RunningSettings {
  uint32_t segments = 1;            // Segments<n>: first-pass segments, 1 to 4
  bool marker_3531 = false;         // Marker3531<n>: only the first segment counts
  uint32_t second_segments = 0;     // SecondSegments<n>: second-pass segments, 0 to 8
  uint32_t handshake_delay_ms = 0;  // HandshakeDelay<n>: time the CNC takes to answer a handshake

  static RunningSettings from_config(const moxel::ConfigData& config, uint32_t node);
};

enum class RunningFault {
  kNoInterface,        // "no-interface": the word at 0x110 reads 0xFFFF
  kSysfail,            // "sysfail": window flag 1 stays set
  kNibbleUnstable,     // "nibble-unstable": the window nibble changes under every read
  kCncBufferLate,      // "cnc-buffer-late": the CNC ready words are never set
  kPmcBufferLate,      // "pmc-buffer-late": the PMC ready words are never set
  kCncBusyStuck,       // "cnc-busy-stuck": a CNC request that never ends (busy word stays 1)
  kPmcBusyStuck,       // "pmc-busy-stuck": the same on the PMC side
  kParity,             // "parity": window flag 0 set
  kBadTable,           // "bad-table": the first table of the walk is marked invalid
  kRegistrationStuck,  // "registration-stuck": the registration pair never changes
};
std::optional<RunningFault> running_fault_from_name(const std::string& name);
std::vector<std::string> running_fault_names();

class RunningSystem {
 public:
  using Clock = std::chrono::steady_clock;

  RunningSystem(const RunningSettings& settings, uint8_t window_nibble);

  // The system starts: lays its structures out in `memory` (over whatever the boot left there).
  void start(CncMemory& memory);
  // The system stops (power off or a new boot): nothing more is answered until start().
  void stop();
  bool running() const { return running_; }

  // Faults may be switched at any time; they take effect in memory at once while running.
  void set_fault(CncMemory& memory, RunningFault fault, bool on);
  bool fault(RunningFault fault) const;

  // The PC wrote `size` bytes at Cnbus `address`. Returns the time the system wants to run next.
  std::optional<Clock::time_point> pc_wrote(CncMemory& memory, uint32_t address, unsigned size,
                                            Clock::time_point now);
  // The PC is about to read at Cnbus `address` (the unstable nibble moves under each read).
  void pc_reads(CncMemory& memory, uint32_t address);
  // Does what has come due by `now`; returns the time it wants to run next, if any.
  std::optional<Clock::time_point> run_due(CncMemory& memory, Clock::time_point now);

  // The start of each communication segment, first pass then second pass.
  const std::vector<uint32_t>& segments() const { return segments_; }

 private:
  struct Pending {
    std::optional<Clock::time_point> cnc_busy, pmc_busy, registration;
  };
  void lay_out_segment(CncMemory& memory, uint32_t s, bool first, bool pmc_mode);
  void apply_faults(CncMemory& memory);
  std::optional<Clock::time_point> serve(CncMemory& memory, Clock::time_point now);

  RunningSettings settings_;
  uint8_t nibble_;
  bool running_ = false;
  uint32_t faults_ = 0;
  uint32_t unstable_reads_ = 0;
  std::vector<uint32_t> segments_;
  std::vector<Pending> pending_;
};

}  // namespace cncsim
