#include "keyservice/vorkey_settings.h"

#include <algorithm>
#include <cstdio>

#include "platform/config_store.h"
#include "platform/paths.h"
#include "platform/prompter.h"

namespace vorkey {
namespace {

// A DWORD value: decimal, 0x-hex, or "-n" for the two's complement of n.
uint32_t read_dword(const moxel::ConfigData& data, const char* name, uint32_t fallback) {
  const std::string* text = data.find(kSettingsSection, name);
  if (!text) return fallback;
  std::string_view view = *text;
  bool negative = !view.empty() && view.front() == '-';
  if (negative) view.remove_prefix(1);
  std::optional<uint32_t> value = moxel::parse_dword(view);
  if (!value) return fallback;
  return negative ? 0u - *value : *value;
}

}  // namespace

std::filesystem::path settings_file() { return moxel::sysconf_dir() / "vorkey.conf"; }

VorkeySettings read_settings(const std::filesystem::path& file) {
  const moxel::ConfigData data = moxel::load_config(file);
  VorkeySettings s;
  s.delay_time = static_cast<int32_t>(read_dword(data, "DelayTime", 250));
  s.repeat_rate = static_cast<int32_t>(read_dword(data, "RepeatRate", 30));
  s.default_table = read_dword(data, "DefaultTable", 0);
  s.definition_file = data.string(kSettingsSection, "DefinitionFile");
  s.one_touch_shift = read_dword(data, "OneTouchShift", 1);
  s.layout = data.string(kSettingsSection, "Layout");
  if (s.layout.empty()) s.layout = "us";
  return s;
}

bool write_settings(const VorkeySettings& s, const std::filesystem::path& file,
                    std::string* error) {
  return moxel::update_config(
      file,
      [&](moxel::ConfigData& data) {
        data.set(kSettingsSection, "DelayTime", std::to_string(s.delay_time));
        data.set(kSettingsSection, "RepeatRate", std::to_string(s.repeat_rate));
        data.set_dword(kSettingsSection, "DefaultTable", s.default_table);
        data.set(kSettingsSection, "DefinitionFile", s.definition_file);
        data.set_dword(kSettingsSection, "OneTouchShift", s.one_touch_shift);
        data.set(kSettingsSection, "Layout", s.layout);
      },
      error);
}

int clamped_delay_ms(int32_t delay_time) { return std::clamp<int32_t>(delay_time, 250, 1000); }

int clamped_repeat_rate(int32_t repeat_rate) { return std::clamp<int32_t>(repeat_rate, 1, 30); }

int builtin_table_index(uint32_t default_table) {
  return default_table == 1 || default_table == 2 ? static_cast<int>(default_table) : 0;
}

bool double_request(uint32_t default_table) { return default_table < 2; }

std::unique_ptr<moxel::NamedEvent> create_change_event(const std::filesystem::path& folder) {
  int error = 0, step = 0;
  std::unique_ptr<moxel::NamedEvent> event =
      moxel::NamedEvent::create(kChangeEventName, folder, &error, &step);
  if (!event) {
    char text[96];
    std::snprintf(text, sizeof text,
                  step == 2 ? "Failed to SetSecurityInfo to the Event. (%d)"
                            : "Failed to Create Event. (%d)",
                  error);
    moxel::prompter().tell(kServiceTitle, text, moxel::Icon::stop);
  }
  return event;
}

bool signal_change_event(const std::filesystem::path& folder) {
  return moxel::signal_named_event(kChangeEventName, folder);
}

}  // namespace vorkey
