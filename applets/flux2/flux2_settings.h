#pragma once
// What the FLUX2 applet knows without any window: the port list and its arithmetic, the CNC type
// list, the checks of the node dialog, reading and writing one node's values in the driver's
// configuration file, and the restart offered after a change.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/config_store.h"

namespace flux2 {

inline constexpr int kNodeCount = 8;
inline constexpr char kSection[] = "Parameters";
inline constexpr int kMaxNameLength = 19;

// The driver's configuration file, lorand.conf under the machine configuration folder.
std::filesystem::path config_file();

// Port list: entry 0 is "Disable", entry k (1..40) the 16-byte block at (k + 23) * 16, that is
// 0x180 .. 0x3F0.
inline constexpr int kPortEntries = 41;
uint32_t address_from_entry(int entry);        // 0 for "Disable" or an entry out of range
int entry_from_address(uint32_t address);      // 0 for an address that is not on the list
std::string port_entry_text(int entry);        // "Disable" or "0180 - 018F"

// CNC type list in list order; code = position + 1.
const std::vector<std::string>& cnc_type_names();
// List position for a stored code, -1 (nothing selected) for a code not on the list.
int cnc_type_index(uint32_t code);

// One node's values as the driver reads them.
struct NodeSettings {
  uint32_t port_address = 0;
  uint32_t cnc_type = 0;
  std::string name;  // UTF-8
  bool operator==(const NodeSettings&) const = default;
};

std::string value_name(const char* stem, int node);  // "IoPortAddress3"
NodeSettings read_node(const moxel::ConfigData& data, int node);
// Writes the three values of `node` under the store's lock; the other values and sections stay as
// they are. False, with the reason in *error, when nothing was written.
bool write_node(const std::filesystem::path& file, int node, const NodeSettings& settings,
                std::string* error = nullptr);

// The controls of the node dialog, for the messages that send the focus back to one of them.
enum class Control { none, name, cnc_type, port };

// Result of checking the node dialog's input: either settings to store or a message for the user.
struct Checked {
  std::optional<NodeSettings> settings;
  std::string message;  // the "Error" box text when settings is empty
  Control focus = Control::none;
};

// Checks the dialog's input. `port_entry` and `type_index` are list positions, -1 for none
// selected; `name` is the edit's text in UTF-8, at most kMaxNameLength bytes once trimmed (the
// driver answers a name in 20 bytes with its NUL, so a longer one would come back cut).
Checked check_node_input(int port_entry, const std::string& name, int type_index);

// Names leading or trailing blanks removed (spaces, tabs and the other ASCII white space).
std::string trim_blanks(const std::string& text);

// Each node's board takes 16 ports from its address up; the driver skips a node whose ports overlap
// those of another. The node other than `node` whose stored ports overlap the 16 from `address`,
// or -1.
inline constexpr uint32_t kPortRangeLength = 16;
int port_user(const moxel::ConfigData& data, int node, uint32_t address);
// The node dialog's message for a port range that `other` already uses.
std::string port_used_message(int other);

// Why `file` cannot be read, or empty when it reads (a missing file reads as empty). The store then
// shows it as empty and refuses to overwrite it.
std::string config_read_problem(const std::filesystem::path& file);
// Why this process may not replace `file`: the folder or the file, with owner, group and mode.
std::string write_refusal_reason(const std::filesystem::path& file);

// ---- restart after a change ----

// The question asked when the main dialog closes after a change, and its caption.
extern const char kRestartCaption[];
extern const char kRestartQuestion[];

// What Yes restarts: the driver daemon (default), or the computer where the machine is set up so.
// Read from lorand.conf, [Applet] Restart = service | computer.
enum class RestartMode { service, computer };
RestartMode restart_mode(const moxel::ConfigData& data);
std::vector<std::string> restart_command(RestartMode mode);

// Runs a program without a shell and waits for it at most `limit`. Returns true when it ran and
// exited with status 0 within the limit; a program still running at the limit is left to finish
// on its own and counts as a failure.
using CommandRunner = std::function<bool(const std::vector<std::string>& argv)>;
bool run_command(const std::vector<std::string>& argv, std::chrono::milliseconds limit,
                 std::string* error = nullptr);
// The runner the applet uses unless a test injects its own: run_command with a 30 s limit,
// failures noted on stderr only.
CommandRunner default_runner();

}  // namespace flux2
