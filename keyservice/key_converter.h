#pragma once
// The conversion core of the keyboard service: MDI key changes in, injection words out. It knows
// no device, file or clock: key downs and ups, a repeat step per timer tick and the settings go in;
// every word leaves through a WordSink. Tests feed events and read the words.
//
// Injection word: bits 0-7 set-1 scan code; bit 16 break (release), bit 17 E0 prefix, bit 18 E1.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "keyservice/key_table.h"
#include "keyservice/keyboard_layout.h"

namespace vorkey {

inline constexpr uint32_t kBreak = 0x10000, kPrefixE0 = 0x20000, kPrefixE1 = 0x40000;
inline constexpr uint32_t kShiftMake = 0x2A, kShiftBreak = 0x1002A;
inline constexpr uint32_t kCtrlMake = 0x1D, kCtrlBreak = 0x1001D;
inline constexpr uint32_t kAltMake = 0x38, kAltBreak = 0x10038;
inline constexpr uint32_t kAltGrMake = 0x20038, kAltGrBreak = 0x30038;  // right Alt

// Where injection words go (the injection driver, or a recorder in tests).
class WordSink {
 public:
  virtual ~WordSink() = default;
  virtual void Send(uint32_t word) = 0;
};

// Conversion flags of one key variant.
enum ConvFlag : uint8_t {
  kFlagE0 = 0x02,
  kFlagE1 = 0x04,
  kFlagAltGr = 0x08,  // the character is on the layout's third level: wrapped in right Alt
  kFlagShift = 0x10,
  kFlagCtrl = 0x20,
  kFlagAlt = 0x40,
  kFlagNone = 0x80,  // not convertible: the variant sends nothing
};

// Auto-repeat of the last word sent by PressAndRepeat, stepped once per tick.
class CKeyRepeater {
 public:
  explicit CKeyRepeater(WordSink& sink) : sink_(sink) {}
  // Disarms; delay = clamped DelayTime + period (ms), interval = 1,000,000 / clamped RepeatRate (us).
  void Configure(int32_t delay_time, int32_t repeat_rate, int period_ms);
  void PressAndRepeat(uint32_t word);
  void SendAndStop(uint32_t word);
  void Disarm() { active_ = false; }
  void Step();

 private:
  WordSink& sink_;
  uint32_t word_ = 0;
  bool active_ = false;
  int32_t delay_ = 0, delay_left_ = 0, interval_ = 0, repeat_left_ = 0, period_ = 16;
};

// One-touch modifier state and the class of every key.
struct CKeyModifiers {
  enum Class : uint8_t { kOrdinaryKey = 0, kShiftKey = 1, kAltKey = 2, kCtrlKey = 3, kIgnored = 4 };
  std::array<uint8_t, kKeyCount> key_class{};
  uint32_t one_touch = 1;
  int16_t pending_shift = -1, pending_alt = -1, pending_ctrl = -1;
};

class CKeyConverter {
 public:
  explicit CKeyConverter(WordSink& sink);

  // Rebuilds classes, conversion entries and repeat settings. Returns the conversion messages
  // ("Couldn't convert: KEY_%x%x, Data = 0x%04x\n" per letter or digit the layout cannot type),
  // empty when there are none; *skipped, when given, gets the same line for the other characters
  // the layout cannot type, which the message leaves out. Modifiers the PC may still hold are not
  // released.
  std::string Rebuild(const KeyTable& table, uint32_t one_touch_shift, int32_t delay_time,
                      int32_t repeat_rate, const KeyboardLayout& layout, int period_ms,
                      std::string* skipped = nullptr);

  void KeyDown(int key);
  void KeyUp(int key);
  void RepeatStep() { repeater_.Step(); }
  // Releases every key the PC holds from us (latched modifiers included), in the reverse order of
  // their presses, and forgets latches, the MDI Shift and the repeat.
  void ReleaseAll();

  uint8_t flags(int key, int variant) const { return flags_[key][variant]; }
  uint8_t scan(int key, int variant) const { return scan_[key][variant]; }

 private:
  // Passes words on and keeps the keys pressed and not yet released, for ReleaseAll.
  class Tracker : public WordSink {
   public:
    explicit Tracker(WordSink& out) : out_(out) {}
    void Send(uint32_t word) override;
    std::vector<uint32_t> held;  // make words, oldest first
   private:
    WordSink& out_;
  };

  void Convert(int key, int variant, uint16_t code, const KeyboardLayout& layout,
               std::string& messages, std::string* skipped);
  void ShiftPress();
  void ShiftRelease();
  void Make(int key);
  void Break(int key);

  Tracker tracker_;
  CKeyRepeater repeater_;
  CKeyModifiers mods_;
  std::array<std::array<uint8_t, 2>, kKeyCount> flags_{}, scan_{};
  std::array<uint8_t, kKeyCount> variant_at_make_{};
  bool shift_held_ = false;
  uint8_t variant_ = 0;
};

}  // namespace vorkey
