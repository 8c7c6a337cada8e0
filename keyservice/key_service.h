#pragma once
// The key work of the keyboard service, one timer tick at a time: notice changed settings, poll the
// MDI key bitmap, convert the changes, repeat a held key. The hosts own the timer thread, the CNC
// key reader and the injection driver; this class owns the conversion and its settings.
//
//   CVorkeyDriver driver;                  // keyservice/vorkey_driver.h
//   auto event = create_change_event();
//   CKeyService keys(reader, driver, event.get(), {.period_ms = 16});
//   keys.ReloadSettings();                 // before the first tick
//   ... every period: keys.OnTimerTick();  // on the timer thread
//   keys.ReleaseAll();                     // after the last tick: no key stays down
#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "keyservice/key_converter.h"
#include "keyservice/vorkey_settings.h"

namespace vorkey {

// The CNC key reader as the tick uses it.
class KeySource {
 public:
  virtual ~KeySource() = default;
  // Fills `bitmap` with this tick's key bytes and `length` (at most 32) with how many are valid;
  // false when the read failed (every held key is then released).
  virtual bool ReadKeys(std::array<uint8_t, 32>& bitmap, int& length) = 0;
  // Keyboard types 0 and 1 need the mailbox's double request; told at every settings rebuild.
  virtual void SetDoubleRequest(bool on) = 0;
};

class CKeyService {
 public:
  struct Options {
    int period_ms = 16;           // the tick period
    bool watch_layout = true;     // re-read the Layout value every half second (vorkeyd)
    std::filesystem::path settings_file = vorkey::settings_file();
  };
  // `change_event` may be null (then only the layout watch notices changes).
  CKeyService(KeySource& source, WordSink& sink, moxel::NamedEvent* change_event, Options options);

  // Reads settings, key table and layout and rebuilds the conversion; conversion messages and an
  // unknown layout (the service then types through "us") are shown in one box, title "VORKEY
  // service".
  void ReloadSettings();
  void OnTimerTick();
  // Releases every key that the PC holds down from this service.
  void ReleaseAll() { converter_.ReleaseAll(); }

  CKeyConverter& converter() { return converter_; }
  const std::string& layout_name() const { return layout_name_; }

 private:
  void Poll();

  KeySource& source_;
  moxel::NamedEvent* event_;
  Options options_;
  CKeyConverter converter_;
  std::unique_ptr<KeyboardLayout> layout_;
  std::string layout_name_;     // the layout the conversion was built with
  std::string watched_layout_;  // the Layout value the last rebuild read
  int layout_countdown_ = 1;
  std::array<uint8_t, 32> previous_{}, current_{};
  int length_ = 0;
};

}  // namespace vorkey
