#pragma once
// Settings of the MDI keyboard service: section "VORKEY" of vorkey.conf in the machine
// configuration folder. The settings applet writes them and then sets the change event; the service
// reads them at start and after every signal of that event.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/named_event.h"

namespace vorkey {

inline constexpr char kSettingsSection[] = "VORKEY";
inline constexpr char kChangeEventName[] = "MoxelVorkeyRegistoryChangeEvent";
inline constexpr char kServiceTitle[] = "VORKEY service";

struct VorkeySettings {
  int32_t delay_time = 250;      // DelayTime: ms before a held key repeats (used as 250..1000)
  int32_t repeat_rate = 30;      // RepeatRate: repeats per second (used as 1..30)
  uint32_t default_table = 0;    // DefaultTable: keyboard type 0, 1 or 2 (others: table 0)
  std::string definition_file;   // DefinitionFile: key-definition file, empty = none
  uint32_t one_touch_shift = 1;  // OneTouchShift: nonzero = Shift/Ctrl/Alt latch for one key
  std::string layout = "us";     // Layout: XKB layout the characters are typed through,
                                 // "name" or "name(variant)", e.g. "de" or "de(nodeadkeys)"
};

// $MOXEL_SYSCONFDIR/vorkey.conf.
std::filesystem::path settings_file();

// Reads the settings; anything missing or unreadable keeps its default. Numbers are decimal,
// 0x-hex or negative decimal (stored as the 32-bit value, as the old DWORDs were).
VorkeySettings read_settings(const std::filesystem::path& file = settings_file());

// The values write_settings stores, as bits.
enum SettingsValue : unsigned {
  kDelayTimeValue = 1,
  kRepeatRateValue = 2,
  kDefaultTableValue = 4,
  kDefinitionFileValue = 8,
  kOneTouchShiftValue = 16,
  kLayoutValue = 32,
  kAppletValues = 31,  // the five the settings applet shows; Layout is the administrator's
  kAllValues = 63,
};

// Writes the chosen values in one replacement of the file (for the settings applet); false with the
// reason in *error when nothing was written. Other values and comments in the file are kept. A
// DefinitionFile the file cannot hold as it is (see storable_definition_file) is refused.
bool write_settings(const VorkeySettings& settings,
                    const std::filesystem::path& file = settings_file(),
                    std::string* error = nullptr, unsigned values = kAllValues);

// Why `path` cannot be stored as DefinitionFile so that it reads back the same, or empty when it
// can: a line of vorkey.conf holds at most 198 characters, a value ends at a blank followed by
// ";" (a comment), and a line end or other control character would break the line.
inline constexpr size_t kMaxDefinitionFileBytes = 198 - (sizeof "DefinitionFile=" - 1);
std::string storable_definition_file(const std::string& path);

// The values as the service uses them.
int clamped_delay_ms(int32_t delay_time);   // 250..1000
int clamped_repeat_rate(int32_t repeat_rate);  // 1..30
int builtin_table_index(uint32_t default_table);  // 1 and 2 as given, every other value 0
bool double_request(uint32_t default_table);  // keyboard types 0 and 1 use the double request

// The service's change event: created reset at start. On failure shows "Failed to Create Event.
// (%d)" or "Failed to SetSecurityInfo to the Event. (%d)" through the prompter and returns null;
// the service then runs without noticing changes.
std::unique_ptr<moxel::NamedEvent> create_change_event(const std::filesystem::path& folder = {});
// For the applet: sets the running service's event; false when no service runs.
bool signal_change_event(const std::filesystem::path& folder = {});

}  // namespace vorkey
