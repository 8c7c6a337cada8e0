#pragma once
// The CNC's running system as the PC's interface state check sees it: the interface registers, the
// window flags, the communication segments with their ready words, control pairs, busy and phase
// words, the tables the PC walks, and the registration word pairs. It lays them out in the node's
// memory when the system starts and answers the PC's handshakes, at once or after a configurable
// delay. Named faults make each part misbehave.
//
// It reaches the node's memory as the CNC does (Node::peek and poke) and is not threaded: its host
// calls serve() after the PC wrote into one of its watched ranges and whenever the time it asked
// for has come, always from the same thread.
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
// Interface space: 0x110 window nibble word, 0x620 latched request word (the board clears it when
// the PC writes 1 to acknowledge it), nibble x 16 + 4 window word (bit 0 parity, bit 1 SYSFAIL).
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cncsim/memory.h"
#include "cncsim/node.h"
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
struct RunningFaultInfo {
  RunningFault fault;
  const char* name;
  const char* help;  // one line for `cncsim fault NODE list`
};
const std::vector<RunningFaultInfo>& running_faults();
std::optional<RunningFault> running_fault_from_name(const std::string& name);

class RunningSystem {
 public:
  using Clock = std::chrono::steady_clock;

  RunningSystem(Node& node, const RunningSettings& settings);

  // The system starts: lays its structures out in the node's memory (over whatever the boot left
  // there), with the window nibble the CNC powered on with.
  void start();
  // The system stops (power off or a new boot): nothing more is answered until start().
  void stop();
  bool running() const { return running_; }

  // Faults may be switched at any time; they take effect in memory at once while running.
  void set_fault(RunningFault fault, bool on);
  bool fault(RunningFault fault) const;

  // The ranges (Cnbus address, length) the PC writes into when it talks to the system.
  std::vector<std::pair<uint32_t, uint32_t>> watched() const;
  // Answers what the PC's words ask for by `now`; returns the time it wants to run next, if any.
  std::optional<Clock::time_point> serve(Clock::time_point now);

  // The settings in effect (segment counts kept within their ranges).
  const RunningSettings& settings() const { return settings_; }
  // The start of each communication segment, first pass then second pass.
  const std::vector<uint32_t>& segments() const { return segments_; }

 private:
  struct Pending {
    std::optional<Clock::time_point> cnc_busy, pmc_busy, registration;
  };
  uint16_t get16(uint32_t x);
  uint32_t get32(uint32_t x);
  void put16(uint32_t x, uint16_t value);
  void put32(uint32_t x, uint32_t value);
  void fill(uint32_t x, uint32_t length, uint8_t value);
  uint16_t get_interface(uint32_t offset);
  void put_interface(uint32_t offset, uint16_t value);
  void lay_out_segment(uint32_t s, bool first, bool pmc_mode);
  void apply_faults();

  Node& node_;
  RunningSettings settings_;
  uint8_t nibble_ = 0;
  bool running_ = false;
  uint32_t faults_ = 0;
  std::vector<uint32_t> segments_;
  std::vector<Pending> pending_;
};

}  // namespace cncsim
