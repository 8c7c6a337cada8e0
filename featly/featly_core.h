#pragma once
// Featly's logic without a window: the node list, the handle, the paths and the option-parameter
// list of the node in use, and what each user action does to them. The dialog and the command line
// drive a Session; tests drive it with a scripted set of vantor calls and a scripted prompter.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/prompter.h"
#include "vantor/vantor.h"

namespace featly {

// The vantor calls Featly makes, so tests can put a scripted CNC behind them.
struct VantorCalls {
  int16_t (*rdnodenum)(int32_t*);
  int16_t (*rdnodeinfo)(int32_t, VANTOR_NODEINFO*);
  int16_t (*allclibhndl2)(int32_t, uint16_t*);
  int16_t (*getpath)(uint16_t, int16_t*, int16_t*);
  int16_t (*setpath)(uint16_t, int16_t);
  int16_t (*rdparainfo)(uint16_t, int16_t, uint16_t, void*);
  int16_t (*rdparam)(uint16_t, int16_t, int16_t, int16_t, void*);
  int16_t (*wrparam)(uint16_t, int16_t, const void*);
  int16_t (*freelibhndl)(uint16_t);
};

constexpr int16_t kFirstOption = 9900;
constexpr int16_t kLastOption = 9990;
constexpr uint16_t kInfoEntries = 100;
constexpr size_t kInfoBufferSize = 408;
constexpr size_t kParamBufferSize = 36;

enum class Kind { bit, word };

struct ParamEntry {
  int16_t number;
  int16_t type;
  Kind kind() const { return (type & 3) == 0 ? Kind::bit : Kind::word; }
};

// The option parameters of an information buffer: its entries in order, at most its count,
// up to the first number above the last option parameter.
std::vector<ParamEntry> parameter_list(const uint8_t (&info)[kInfoBufferSize]);
// The current-value text: eight digits, bit 7 first, or the signed value; a space follows.
std::string value_text(Kind kind, uint8_t bit_value, int16_t word_value);
// The byte a bit-parameter input stands for: its last character is bit 0; "1" sets a bit.
uint8_t bit_input(std::string_view text);
// The value of a word-parameter input, or nothing when it is not a number from -32768 to 32767.
std::optional<int16_t> word_input(std::string_view text);
// Whether the input edit takes `c` in the given mode (Backspace is always taken).
bool input_accepts(Kind kind, char c);
// "Node2", "Path1", "Loader".
std::string node_label(int32_t node_no);
std::string path_label(int path);

constexpr const char* kCaption = "Featly";
constexpr const char* kErrorCaption = "Featly - Operation Error";
constexpr const char* kNoListText = "Can not find ParameterNo list.";
constexpr const char* kUnusableText = "This utility can not be used on the Corvane B\nand Tessel.";
constexpr const char* kInvalidDataText =
    "This is an invalid data.\nPlease enter the proper value as integer.";
constexpr const char* kChangedText =
    "CNC option setting has been changed.\nCNC system must be powered off and on to\nmake this "
    "change effective.";

class Session {
 public:
  Session(const VantorCalls& calls, moxel::Prompter& prompter);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Reads the nodes and brings the first usable one up. False: the program ends (what went wrong
  // has been shown).
  bool start();

  // What a selection change did.
  enum class Outcome {
    done,      // the new selection is in effect
    reverted,  // the call failed; the old selection stays
    refilled,  // the node list was brought up again from its head: every list starts over
    ended,     // nothing could be brought up: the window closes
  };
  Outcome select_node(size_t index);
  Outcome select_path(size_t index);
  Outcome select_param(size_t index);

  enum class SetResult { nothing, written, invalid, failed };
  // Writes the input to the selected parameter. `invalid` clears the input and refocuses it.
  SetResult setting(const std::string& input);

  // At the end of the program: the power-cycle message when a setting changed, then the handle is
  // released.
  void end();

  const std::vector<VANTOR_NODEINFO>& nodes() const { return nodes_; }
  // Numbers of the existing paths, in order 1 to 5.
  const std::vector<int>& paths() const { return paths_; }
  const std::vector<ParamEntry>& params() const { return params_; }
  size_t node_index() const { return node_index_; }
  size_t path_index() const { return path_index_; }
  size_t param_index() const { return param_index_; }
  Kind kind() const { return kind_; }
  const std::string& current_value() const { return current_value_; }
  bool setting_changed() const { return setting_changed_; }
  bool unusable_node_seen() const { return unusable_node_seen_; }
  bool has_handle() const { return handle_.has_value(); }

  // Reads parameter `entry` with the current handle; false after reporting a failure.
  bool read_param(const ParamEntry& entry, uint8_t* bit, int16_t* word);

 private:
  bool report(const char* function, int16_t status);
  bool connect(int32_t node_no);
  void release();
  // Paths, parameter list and first parameter of the connected head; false after a failure.
  bool come_up();
  // Brings up a node from the head of the list, dropping heads that fail; gives up when only one
  // node is left or a node has no option parameter.
  bool bring_up();
  bool read_info();
  bool show_param(size_t index);

  VantorCalls calls_;
  moxel::Prompter& prompter_;
  std::vector<VANTOR_NODEINFO> nodes_;
  std::optional<uint16_t> handle_;
  std::vector<int> paths_;
  std::vector<ParamEntry> params_;
  size_t node_index_ = 0;
  size_t path_index_ = 0;
  size_t param_index_ = 0;
  Kind kind_ = Kind::bit;
  std::string current_value_;
  bool setting_changed_ = false;
  bool unusable_node_seen_ = false;
  bool ended_ = false;
  // The last information read gave no option parameter: bringing up a node gives up at once.
  bool params_empty_ = false;
};

}  // namespace featly
