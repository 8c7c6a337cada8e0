#include "keyservice/key_service.h"

#include <algorithm>
#include <cstdio>

#include "keyservice/key_table.h"
#include "platform/prompter.h"

namespace vorkey {

CKeyService::CKeyService(KeySource& source, WordSink& sink, moxel::NamedEvent* change_event,
                         Options options)
    : source_(source), event_(change_event), options_(std::move(options)), converter_(sink) {}

void CKeyService::ReloadSettings() {
  const VorkeySettings s = read_settings(options_.settings_file);
  const KeyTable table = build_key_table(s);
  source_.SetDoubleRequest(double_request(s.default_table));

  std::string messages;
  if (!layout_ || s.layout != layout_name_) {
    std::string error;
    std::unique_ptr<KeyboardLayout> layout = make_xkb_layout(s.layout, &error);
    if (!layout) {
      messages = "Couldn't load the keyboard layout \"" + s.layout + "\" (" + error +
                 "); typing through \"us\".\n";
      layout = make_xkb_layout("us");
    }
    if (layout) layout_ = std::move(layout);
    layout_name_ = s.layout;
  }
  if (!layout_) {
    // Not even "us" compiles (no XKB data installed): every character is left unconverted.
    struct NoLayout : KeyboardLayout {
      std::optional<CharKey> key_for_char(uint8_t) const override { return std::nullopt; }
      ScanCode scan_code(int) const override { return {}; }
    };
    layout_ = std::make_unique<NoLayout>();
  }
  watched_layout_ = s.layout;
  std::string skipped;
  messages += converter_.Rebuild(table, s.one_touch_shift, s.delay_time, s.repeat_rate, *layout_,
                                 options_.period_ms, &skipped);
  // Signs the layout cannot type are not worth a box, but an administrator looking for a key that
  // types nothing finds them in the log.
  if (!skipped.empty())
    std::fprintf(stderr, "VORKEY service: layout \"%s\" cannot type:\n%s", s.layout.c_str(),
                 skipped.c_str());
  if (!messages.empty()) moxel::prompter().tell(kServiceTitle, messages, moxel::Icon::stop);
}

void CKeyService::OnTimerTick() {
  if (event_ && event_->test_and_reset()) ReloadSettings();

  if (options_.watch_layout && --layout_countdown_ <= 0) {
    // Compared with the value the last rebuild used, so the first tick does not rebuild (and
    // show the conversion messages) a second time.
    if (read_settings(options_.settings_file).layout != watched_layout_) ReloadSettings();
    layout_countdown_ = 500 / options_.period_ms;
  }

  Poll();
  converter_.RepeatStep();
}

void CKeyService::Poll() {
  int length = length_;
  const bool ok = source_.ReadKeys(current_, length);
  length_ = std::clamp(length, 0, static_cast<int>(current_.size()));
  if (!ok) std::fill_n(current_.begin(), length_, 0);
  for (int i = 0; i < length_; ++i) {
    const uint8_t changed = current_[i] ^ previous_[i];
    if (!changed) continue;
    for (int j = 0; j < 8; ++j) {
      if (!(changed & (1 << j))) continue;
      if (current_[i] & (1 << j))
        converter_.KeyDown(8 * i + j);
      else
        converter_.KeyUp(8 * i + j);
    }
    previous_[i] = current_[i];
  }
  // A latched one-touch modifier has no key up of its own: a lost link must let go of it too.
  if (!ok) converter_.ReleaseAll();
}

}  // namespace vorkey
