#pragma once
// One simulated node: the FLUX board's register block (a PortIo at the node's port base) and the
// CNC behind it with its memory spaces, link and ready state, power, faults and unit trace.
//
// Every public member is safe to call from any thread: the driver runs units under its node lock
// and register requests without it, and the control socket and tests reach the node as well.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cncsim/memory.h"
#include "cncsim/trace.h"
#include "driver/core/port_io.h"
#include "platform/config_store.h"

namespace cncsim {

// Per-node settings, from section [Simulator] of lorand.conf (stem + decimal node number).
struct NodeSettings {
  bool busy_at_start = false;        // BusyAtStart<n>
  uint64_t unit_time_ns = 0;         // UnitTime<n>: time the busy bit stays set per unit
  uint8_t board_generation = 2;      // BoardGeneration<n>: high nibble of the scratch register
  bool link_at_start = true;         // LinkAtStart<n>
  bool ready_at_start = true;        // ReadyAtStart<n>
  bool power_at_start = true;        // PowerAtStart<n>
  uint8_t window_nibble = 8;         // WindowNibble<n>: power-on window nibble of the CNC side
  uint16_t generation_word = 0;      // GenerationWord<n>: power-on word at 0xE0000+(nibble+0x30)*16
  uint32_t link_reset_ms = 50;       // LinkResetTime<n>: how long a link reset keeps the link down
  uint32_t sram_size = kDefaultSramSize;  // SramSize<n>, bytes
  uint32_t from_size = kDefaultFromSize;  // FromSize<n>, bytes
  uint32_t trace_limit = 1000000;    // TraceLines<n>: lines the trace keeps (the newest)

  // Values that are not numbers keep their defaults; each is added to *unusable as "Name=value".
  static NodeSettings from_config(const moxel::ConfigData& config, uint32_t node,
                                  std::vector<std::string>* unusable = nullptr);
};

// Faults of the board and link, switched on and off by name. The CNC software's own faults
// (mailbox, SRAM, F-ROM) are its programs' (cncsim/cnc/); `cncsim fault` reaches both.
//   stuck-busy        the board's busy bit stays set and it takes no command
//   link-drop-after   VALUE: the link is lost after that many further units
enum class Fault { kStuckBusy, kLinkDropAfter };
std::optional<Fault> fault_from_name(const std::string& name);
std::vector<std::string> fault_names();

// The CNC's own software (cncsim/cnc/) hears through this of the PC's writes to the addresses it
// watches and of the node's power.
class CncSoftware {
 public:
  virtual ~CncSoftware() = default;
  // A unit of the PC wrote into a watched range. Called with the node's mutex held: it may only
  // wake the software, never call back into the node.
  virtual void watched_write() = 0;
  // The power went on (memory at its power-on contents) or off. Called without the node's mutex.
  virtual void power_changed(bool on) = 0;
};

class Node final : public lorand::PortIo {
 public:
  // `state_dir` is this node's own folder for the contents kept over power-off; empty keeps them in
  // memory only. `warning` receives a message when the folder cannot be used.
  Node(uint32_t number, uint32_t base, const NodeSettings& settings,
       const std::filesystem::path& state_dir, std::string* warning = nullptr);
  ~Node() override;

  uint32_t number() const { return number_; }
  uint32_t base() const { return base_; }

  // --- the register block, as the driver sees it ---
  uint8_t in8(uint32_t port) override;
  uint16_t in16(uint32_t port) override;
  uint32_t in32(uint32_t port) override;
  void out8(uint32_t port, uint8_t value) override;
  void out16(uint32_t port, uint16_t value) override;
  void out32(uint32_t port, uint32_t value) override;
  uint8_t register_in8(uint32_t port) override;
  void register_out8(uint32_t port, uint8_t value) override;

  // --- controls, as `cncsim` and in-process tests use them ---
  void set_link(bool up);
  // The link drops as after a disturbance and stays down until the PC resets it through the link
  // control word; it then comes back after the link reset time.
  void lose_link();
  void set_ready(bool on);
  // Power off: the link drops and the CNC stops answering. Power on: the CNC memory other than SRAM
  // and F-ROM starts from its power-on contents, the link comes up, ready as configured.
  void set_power(bool on);
  // `value` is the fault's number where it takes one (link-drop-after: units).
  void set_fault(Fault fault, bool on, uint32_t value = 0);
  // Clears (or sets) the busy bit that a board busy at start shows until cleared.
  void set_busy_at_start(bool on);
  void set_unit_time_ns(uint64_t ns);
  // Link reset, as when the PC writes 0x10 to the link control word.
  void reset_link();

  // The CNC's own view of its memory by Cnbus address, not through the board. Bytes outside any
  // memory space read as 0xFF and are not written. Returns false when any byte lay outside.
  bool peek(uint32_t address, std::span<uint8_t> out);
  bool poke(uint32_t address, std::span<const uint8_t> data);

  void trace_start();
  void trace_stop();
  void trace_clear();
  std::vector<std::string> trace_lines();
  std::string trace_text();

  // Status register as it reads now, and the last window nibble written to register 9.
  uint8_t status();
  uint8_t register9_written();
  // A short human-readable summary of the node's state.
  std::string describe();

  // Writes the SRAM and F-ROM contents through to their files.
  void flush();

  bool powered();
  // The CNC software of this node (not owned; nullptr detaches it). Units that write into a
  // watched range [address, address + length) wake it.
  void attach_software(CncSoftware* software);
  void watch(uint32_t address, uint32_t length);
  void clear_watches();

  // Words of the CNC's memory with behaviour of their own, set up by the CNC's software (nullopt:
  // none). A unit read of the unstable word moves its low 4 bits on first, so no two reads agree
  // (an unstable window nibble). A word write of 1 to the acknowledge word clears it instead (a
  // latched request that the PC acknowledges).
  void set_unstable_word(std::optional<uint32_t> address);
  void set_acknowledge_word(std::optional<uint32_t> address);

 private:
  using Clock = std::chrono::steady_clock;

  // Status, data and address registers are read and the data and address registers written without
  // the node's mutex (see quiet_status_); every other access takes it.
  static bool plain_register(uint32_t offset) { return offset < 8; }
  std::atomic<uint32_t>& plain(uint32_t offset) { return offset < 4 ? data_ : address_; }
  // Replaces the bits of `mask` in a plain register with those of `bits`, atomically against any
  // other access to it.
  static void merge(std::atomic<uint32_t>& reg, uint32_t mask, uint32_t bits);
  // Sets quiet_status_ from the state; called before the mutex is released by everything that
  // changes what the status register reads.
  void publish_status_locked();

  uint8_t read_reg_locked(uint32_t offset);
  void write_reg_locked(uint32_t offset, uint8_t value);
  // The time to judge the busy and link deadlines by. Reads the clock only while one of them may
  // still lie ahead; once both have passed, any later time gives the same answers, so the last
  // deadline stands in for the clock and a board whose units take no time never reads it.
  Clock::time_point now_locked();
  // A deadline was set from `now`: the clock is needed again until it has passed.
  void deadline_set_locked() {
    deadline_pending_ = true;
    quiet_status_.store(-1, std::memory_order_release);
  }
  uint8_t status_locked(Clock::time_point now) const;
  bool link_up_locked(Clock::time_point now) const;
  void run_unit_locked(uint8_t command);
  void power_on_contents_locked();
  void unit_write_locked(uint32_t address, uint32_t value, unsigned size, bool link);
  uint32_t unit_read_locked(uint32_t address, unsigned size, bool link);
  void reset_link_locked(Clock::time_point now);

  const uint32_t number_;
  const uint32_t base_;
  NodeSettings settings_;

  std::mutex mutex_;
  CncMemory memory_;
  Trace trace_;
  std::atomic<uint32_t> data_{0};
  std::atomic<uint32_t> address_{0};
  // What the status register reads while no deadline lies ahead (so the answer does not depend on
  // the time), or -1 while one may: the driver's status polls then need neither mutex nor clock.
  std::atomic<int16_t> quiet_status_{-1};
  uint8_t command_ = 0;
  uint8_t register9_ = 0;
  uint8_t scratch_ = 0;
  uint8_t link_control_[2] = {0, 0};  // the board's link control word (space 0x30)
  Clock::time_point busy_until_{};
  Clock::time_point link_down_until_{};
  bool deadline_pending_ = false;  // busy_until_ or link_down_until_ may lie in the future
  bool busy_at_start_ = false;
  bool stuck_busy_ = false;
  bool link_ = true;
  bool link_lost_ = false;
  bool ready_ = true;
  bool power_ = true;
  uint32_t link_drop_after_ = 0;  // units left before the link is lost; 0: no such fault
  CncSoftware* software_ = nullptr;
  std::vector<std::pair<uint32_t, uint32_t>> watches_;  // [first, last] Cnbus addresses
  std::optional<uint32_t> unstable_word_;
  std::optional<uint32_t> acknowledge_word_;
};

}  // namespace cncsim
