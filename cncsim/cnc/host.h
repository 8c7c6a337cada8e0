#pragma once
// The CNC's own software on a simulated node: its boot software (boot.h), and beside it whatever
// else a real CNC runs (running system, memory card, MDI keyboard interface, option parameters).
//
// Each node has one Host with a thread of its own. The programs run only on that thread and reach
// only the CNC's own view of its memory (Memory below, never the board's registers). The thread
// sleeps until something happens: a unit of the PC that writes into a watched range, a power
// change, a control command (fault, boot) or a stop; it costs no CPU while idle.
//
// How to add to it:
//   - a program: derive from Program, and add one line to install_programs() in programs.cpp.
//     Its start() runs first on the host thread: there it watches addresses, registers mailbox
//     functions, faults and boot modes. wake() runs after every wake-up of the host (the program
//     checks its own words), phase_changed() at every boot-phase change.
//   - a mailbox function: host.mailbox().add(code, handler) from a program's start() (mailbox.h).
//     The handler gets the request's inputs and fills status, error and outputs; the mailbox
//     writes them and sets the flag to 0.
//   - a fault: host.add_fault({name, help, takes_value, apply}) from start(); `cncsim fault NODE
//     NAME on|off [VALUE]` calls apply on the host thread, `cncsim fault NODE list` lists it.
//   - a boot mode: host.add_boot_mode(name, action) from start(); [Simulator] BootMode<n> and
//     `cncsim boot NODE MODE` run the action on the host thread (it sets the phase).
//   - a control command: host.add_command({verb, usage, run}) from start(); `cncsim VERB NODE
//     ARGS...` calls run on the host thread with ARGS (the control command's own verbs come first).
//   - a setting: host.setting("Stem", fallback) reads [Simulator] Stem<n> of lorand.conf (decimal
//     or 0x-hex); host.setting_text() for a text. Settings are read when the daemon starts.
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "cncsim/memory.h"
#include "cncsim/node.h"
#include "platform/config_store.h"

namespace cncsim::cnc {

class Mailbox;

// The boot phase of the node's software, shown by `cncsim status`.
//   off      no power
//   console  the boot software waits for the operator (the boot console serves the mailbox)
//   loading  the boot software loads the system (after leave-console, or at once in auto mode)
//   running  the CNC's system runs
enum class Phase { off, console, loading, running };
const char* phase_name(Phase phase);

// The CNC's own view of its memory, by Cnbus address: shared memory, interface space, F-ROM
// (space 0xE0) and SRAM (space 0xF0). Bytes outside any memory read as 0xFF and are not written;
// the calls then return false.
class Memory {
 public:
  explicit Memory(Node& node) : node_(node) {}
  bool read(uint32_t address, std::span<uint8_t> out) { return node_.peek(address, out); }
  bool write(uint32_t address, std::span<const uint8_t> data) { return node_.poke(address, data); }
  bool fill(uint32_t address, uint32_t length, uint8_t value);
  uint16_t read16(uint32_t address);
  uint32_t read32(uint32_t address);
  void write16(uint32_t address, uint16_t value);
  void write32(uint32_t address, uint32_t value);

  // Cnbus addresses of a shared-memory offset, an F-ROM offset and an SRAM offset.
  static constexpr uint32_t shared(uint32_t x) { return cnbus_address(kSpaceShared, kSharedStart + x); }
  static constexpr uint32_t from(uint32_t x) { return cnbus_address(kSpaceFrom, x); }
  static constexpr uint32_t sram(uint32_t x) { return cnbus_address(kSpaceSram, x); }

 private:
  Node& node_;
};

class Host;

class Program {
 public:
  virtual ~Program() = default;
  virtual const char* name() const = 0;
  // Once, on the host thread, before anything else: watch addresses, register mailbox functions,
  // faults and boot modes.
  virtual void start(Host&) {}
  // After every wake-up of the host.
  virtual void wake(Host&) {}
  // At every change of the boot phase (power on is a change to the phase of the boot mode).
  virtual void phase_changed(Host&, Phase) {}
  // Lines for `cncsim status` ("name value\n" each); empty for none.
  virtual std::string describe() const { return {}; }
};

struct FaultSpec {
  std::string name;
  std::string help;  // one line for `cncsim fault NODE list`
  bool takes_value = false;
  // Runs on the host thread. `value` is the VALUE word when given.
  std::function<void(bool on, std::optional<uint32_t> value)> apply;
};

struct CommandSpec {
  std::string verb;
  std::string usage;  // one line for the usage text, e.g. "param NODE get NUMBER"
  // Runs on the host thread with the words after the node number; fills `out` (the answer, or
  // why the command was refused) and returns whether it succeeded.
  std::function<bool(const std::vector<std::string>& args, std::string& out)> run;
};

class Host final : public CncSoftware {
 public:
  // `config` is the whole lorand.conf; `node_number` the node's number; `state_dir` the node's
  // folder for what the CNC keeps over power-off (empty: nothing is kept).
  Host(Node& node, const moxel::ConfigData& config, uint32_t node_number,
       std::filesystem::path state_dir);
  ~Host() override;
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Before start(): the programs that run on this node.
  void add_program(std::unique_ptr<Program> program);
  // Starts the thread: each program's start(), then the boot mode of BootMode<n> when powered.
  void start();
  void stop();

  // --- for programs (host thread) ---
  Memory& memory() { return memory_; }
  // The node itself, for software that gives words of its memory a behaviour of their own.
  Node& node_device() { return node_; }
  Mailbox& mailbox() { return *mailbox_; }
  uint32_t node() const { return node_number_; }
  const std::filesystem::path& state_dir() const { return state_dir_; }
  uint32_t setting(const std::string& stem, uint32_t fallback) const;
  std::string setting_text(const std::string& stem, const std::string& fallback) const;
  const moxel::ConfigData& config() const { return config_; }
  // The node's CNC type ([Parameters] CncType<n>), and with it the offsets of the communication
  // area and the transfer buffer in shared memory (0 and 0x10000 for type 3; 0xD0000 and 0).
  uint32_t cnc_type() const { return cnc_type_; }
  uint32_t area_base() const { return cnc_type_ == 3 ? 0 : 0xD0000; }
  uint32_t buffer_base() const { return cnc_type_ == 3 ? 0x10000 : 0; }
  // Units of the PC that write into [address, address + length) wake the host.
  void watch(uint32_t address, uint32_t length) { node_.watch(address, length); }
  void add_fault(FaultSpec fault);
  void add_command(CommandSpec command);
  void add_boot_mode(const std::string& name, std::function<void()> action);
  Phase phase() const { return phase_; }
  void set_phase(Phase phase);
  // Sleeps `ms` milliseconds (the time a real CNC takes for a step); ends early when the host
  // stops. Returns false when it stopped.
  bool pause_ms(uint32_t ms);
  bool stopping();
  // Runs `task` on the host thread after `ms` milliseconds (the host wakes for it).
  void after_ms(uint32_t ms, std::function<void()> task);

  // --- from any thread (control commands) ---
  // Runs `task` on the host thread and waits for it.
  void run(const std::function<void()>& task);
  // Switches a fault; false with the reason in *error for an unknown name or a bad value.
  bool set_fault(const std::string& name, bool on, std::optional<uint32_t> value, std::string* error);
  std::string fault_list();
  // Runs a program's control command; nothing when no program offers `verb`.
  std::optional<bool> command(const std::string& verb, const std::vector<std::string>& args,
                              std::string* out);
  bool boot(const std::string& mode, std::string* error);
  std::string describe();

  // CncSoftware
  void watched_write() override;
  void power_changed(bool on) override;

 private:
  void loop();
  void power_on();

  Node& node_;
  Memory memory_;
  const moxel::ConfigData config_;
  const uint32_t node_number_;
  const std::filesystem::path state_dir_;
  const uint32_t cnc_type_;
  std::unique_ptr<Mailbox> mailbox_;
  std::vector<std::unique_ptr<Program>> programs_;
  std::map<std::string, FaultSpec> faults_;                     // host thread after start
  std::map<std::string, CommandSpec> commands_;                 // host thread after start
  std::map<std::string, std::function<void()>> boot_modes_;     // host thread after start
  std::map<std::string, std::string> fault_state_;              // shown by status
  Phase phase_ = Phase::off;

  std::mutex mutex_;
  std::condition_variable cv_;
  bool stop_ = false;
  bool woken_ = false;
  std::deque<std::function<void()>> tasks_;
  std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> timers_;
  std::thread thread_;
};

}  // namespace cncsim::cnc
