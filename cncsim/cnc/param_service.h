#pragma once
// The simulated CNC's option parameters and the service that reads and writes them for the PC
// through the request block of cncsim/cnc/param_block.h. The parameters live in the node's state
// folder ("param.txt", one "NUMBER TYPE VALUE" line each), so they survive power cycles and
// restarts; every write replaces the file whole (temporary file, fsync, rename).
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cncsim/cnc/host.h"
#include "cncsim/cnc/param_block.h"

namespace cncsim {

struct ParamSettings {
  uint8_t paths = 0x01;       // Paths<n>: the existing paths 1 to 5, as a list "1,2,5"
  uint8_t current_path = 1;   // CurrentPath<n>: the path in effect at power-on
};

class ParamService {
 public:
  struct Param {
    int16_t type;   // 0: bit parameter (one byte); 2: word parameter (signed 16-bit)
    int16_t value;
  };
  // Faults that make the service refuse a call.
  enum class Fault { handle_refused, read_error, list_empty, write_refused };

  // `dir` empty keeps the parameters in memory only.
  ParamService(const std::filesystem::path& dir, const ParamSettings& settings);

  // The current path goes back to its power-on value.
  void power_on();
  // Carries out the request in `block` when its flag is posted; returns whether it did.
  bool serve(std::span<uint8_t> block);

  std::optional<Param> get(int16_t number);
  // Sets a parameter's value as the CNC's own screen would; false when it does not exist or the
  // value does not fit its kind. Stored at once.
  bool set(int16_t number, int16_t value);
  void set_fault(Fault fault, bool on);
  uint8_t current_path();
  // Where the parameters are kept (empty when in memory only).
  const std::filesystem::path& file() const { return file_; }

  static std::optional<uint8_t> parse_paths(const std::string& text);

 private:
  int16_t call(uint16_t function, int16_t* args, std::span<uint8_t> data);
  bool store_locked();
  void load_locked();

  std::mutex mutex_;
  std::filesystem::path file_;
  ParamSettings settings_;
  uint8_t current_path_;
  std::map<int16_t, Param> params_;
  bool faults_[4] = {};
};

namespace cnc {
// The option-parameter program of the CNC's running system: serves the request block while the
// system runs. Settings [Simulator] Paths<n> ("1,2,5"; default "1") and CurrentPath<n> (default
// the first path); faults param-handle-refused, param-read-error, param-list-empty,
// param-write-refused; command `cncsim param NODE get|set NUMBER [VALUE]`.
std::unique_ptr<Program> make_option_params();
}  // namespace cnc

}  // namespace cncsim
