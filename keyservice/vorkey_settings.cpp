#include "keyservice/vorkey_settings.h"

#include <algorithm>
#include <cctype>
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
                    std::string* error, unsigned values) {
  if (values & kDefinitionFileValue) {
    std::string why = storable_definition_file(s.definition_file);
    if (!why.empty()) {
      if (error) *error = file.string() + ": DefinitionFile " + why + "; nothing written";
      return false;
    }
  }
  return moxel::update_config(
      file,
      [&](moxel::ConfigData& data) {
        if (values & kDelayTimeValue)
          data.set(kSettingsSection, "DelayTime", std::to_string(s.delay_time));
        if (values & kRepeatRateValue)
          data.set(kSettingsSection, "RepeatRate", std::to_string(s.repeat_rate));
        if (values & kDefaultTableValue)
          data.set_dword(kSettingsSection, "DefaultTable", s.default_table);
        if (values & kDefinitionFileValue)
          data.set(kSettingsSection, "DefinitionFile", s.definition_file);
        if (values & kOneTouchShiftValue)
          data.set_dword(kSettingsSection, "OneTouchShift", s.one_touch_shift);
        if (values & kLayoutValue) data.set(kSettingsSection, "Layout", s.layout);
      },
      error);
}

std::string storable_definition_file(const std::string& path) {
  if (path.size() > kMaxDefinitionFileBytes)
    return "is longer than " + std::to_string(kMaxDefinitionFileBytes) + " bytes";
  for (size_t i = 0; i < path.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(path[i]);
    if (c < 0x20 || c == 0x7F) return "holds a control character";
    if (c == ';' && i > 0 && (path[i - 1] == ' ' || path[i - 1] == '\t'))
      return "holds a blank followed by \";\"";
  }
  if (!path.empty() && (std::isspace(static_cast<unsigned char>(path.front())) ||
                        std::isspace(static_cast<unsigned char>(path.back()))))
    return "begins or ends with a blank";
  return {};
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
