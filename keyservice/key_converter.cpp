#include "keyservice/key_converter.h"

#include <algorithm>
#include <cstdio>

#include "keyservice/vorkey_settings.h"

namespace vorkey {

void CKeyRepeater::Configure(int32_t delay_time, int32_t repeat_rate, int period_ms) {
  active_ = false;
  period_ = period_ms;
  delay_ = clamped_delay_ms(delay_time) + period_ms;
  interval_ = 1000000 / clamped_repeat_rate(repeat_rate);
}

void CKeyRepeater::PressAndRepeat(uint32_t word) {
  sink_.Send(word);
  word_ = word;
  delay_left_ = delay_;
  repeat_left_ = 0;
  active_ = true;
}

void CKeyRepeater::SendAndStop(uint32_t word) {
  sink_.Send(word);
  active_ = false;
}

void CKeyRepeater::Step() {
  if (!active_) return;
  if (delay_left_ > 0) {
    delay_left_ -= period_;
  } else if (repeat_left_ > 0) {
    repeat_left_ -= period_ * 1000;
  } else {
    sink_.Send(word_);
    repeat_left_ += interval_;
  }
}

void CKeyConverter::Tracker::Send(uint32_t word) {
  const uint32_t key = word & ~kBreak;
  auto at = std::find(held.begin(), held.end(), key);
  if (word & kBreak) {
    if (at != held.end()) held.erase(at);
  } else if (at == held.end()) {
    held.push_back(key);
  }
  out_.Send(word);
}

CKeyConverter::CKeyConverter(WordSink& sink) : tracker_(sink), repeater_(tracker_) {}

std::string CKeyConverter::Rebuild(const KeyTable& table, uint32_t one_touch_shift,
                                   int32_t delay_time, int32_t repeat_rate,
                                   const KeyboardLayout& layout, int period_ms,
                                   std::string* skipped) {
  mods_ = CKeyModifiers{};
  mods_.one_touch = one_touch_shift;
  for (int k = 0; k < kKeyCount; ++k) {
    switch (table[k].type & 0xF) {
      case kCtrl: mods_.key_class[k] = CKeyModifiers::kCtrlKey; break;
      case kAlt: mods_.key_class[k] = CKeyModifiers::kAltKey; break;
      case kShift: mods_.key_class[k] = CKeyModifiers::kShiftKey; break;
      case kVacant: mods_.key_class[k] = CKeyModifiers::kIgnored; break;
      default: break;
    }
  }

  shift_held_ = false;
  variant_ = 0;
  variant_at_make_ = {};
  flags_ = {};
  scan_ = {};
  std::string messages;
  for (int k = 0; k < kKeyCount; ++k) {
    switch (table[k].type & 0xF) {
      case kCtrl: scan_[k] = {0x1D, 0x1D}; break;
      case kAlt: scan_[k] = {0x38, 0x38}; break;
      case kShift: scan_[k] = {0x2A, 0x2A}; break;
      case kOrdinary:
        Convert(k, 0, table[k].unshifted, layout, messages, skipped);
        Convert(k, 1, table[k].shifted, layout, messages, skipped);
        break;
      default: break;
    }
  }
  repeater_.Configure(delay_time, repeat_rate, period_ms);
  return messages;
}

void CKeyConverter::Convert(int key, int variant, uint16_t code, const KeyboardLayout& layout,
                            std::string& messages, std::string* skipped) {
  const uint8_t low = code & 0xFF, high = code >> 8;
  uint8_t scan = high, flags = 0;
  switch (low) {
    case 0x00:
      if (high >= 0x54 && high <= 0x5D) {  // BIOS Shift+F1 to F10
        scan = high - 0x19;
        flags = kFlagShift;
      } else if (high == 0x85 || high == 0x86) {  // F11, F12
        scan = high - 0x2E;
      } else if (high == 0x87 || high == 0x88) {  // Shift+F11, F12
        scan = high - 0x30;
        flags = kFlagShift;
      } else if (high == 0x0F) {  // Shift+Tab
        flags = kFlagShift;
      }
      break;
    case 0xE0: flags = kFlagE0; break;
    case 0xE1: flags = kFlagE1; break;
    case 0xFE: break;
    case 0xFF: flags = kFlagShift; break;
    default: {
      std::optional<CharKey> k = layout.key_for_char(low);
      const ScanCode sc = k ? layout.scan_code(k->key) : ScanCode{};
      if (!k || sc.code == 0) {
        scan = 0;
        flags = kFlagNone;
        const bool alnum = (low >= '0' && low <= '9') || (low >= 'A' && low <= 'Z') ||
                           (low >= 'a' && low <= 'z');
        char line[64];
        std::snprintf(line, sizeof line, "Couldn't convert: KEY_%x%x, Data = 0x%04x\n", key / 8,
                      key % 8, code);
        if (alnum)
          messages += line;
        else if (skipped)
          *skipped += line;
        break;
      }
      scan = sc.code;
      flags = (sc.prefix == 0xE0 ? kFlagE0 : sc.prefix == 0xE1 ? kFlagE1 : 0) |
              (k->shift ? kFlagShift : 0) | (k->ctrl ? kFlagCtrl : 0) | (k->alt ? kFlagAlt : 0) |
              (k->altgr ? kFlagAltGr : 0);
    }
  }
  scan_[key][variant] = scan;
  flags_[key][variant] = flags;
}

void CKeyConverter::ShiftPress() {
  repeater_.PressAndRepeat(kShiftMake);
  shift_held_ = true;
  variant_ = 1;
}

void CKeyConverter::ShiftRelease() {
  repeater_.SendAndStop(kShiftBreak);
  shift_held_ = false;
  variant_ = 0;
}

void CKeyConverter::Make(int key) {
  const uint8_t v = variant_;
  variant_at_make_[key] = v;
  const uint8_t f = flags_[key][v];
  if (f & kFlagNone) return;
  if (f & kFlagCtrl) repeater_.PressAndRepeat(kCtrlMake);
  if (f & kFlagAlt) repeater_.PressAndRepeat(kAltMake);
  if (f & kFlagAltGr) repeater_.PressAndRepeat(kAltGrMake);
  if (f & kFlagShift) {
    if (!shift_held_) repeater_.PressAndRepeat(kShiftMake);
  } else if (shift_held_ && !(f & (kFlagE0 | kFlagE1))) {
    // The character needs no Shift although the MDI Shift holds it: let go for this key.
    repeater_.SendAndStop(kShiftBreak);
  }
  repeater_.PressAndRepeat(scan_[key][v] + (static_cast<uint32_t>(f & 0x06) << 16));
}

void CKeyConverter::Break(int key) {
  const uint8_t v = variant_at_make_[key];
  const uint8_t f = flags_[key][v];
  if (f & kFlagNone) return;
  repeater_.SendAndStop(scan_[key][v] + (static_cast<uint32_t>((f & 0x06) | 1) << 16));
  if (f & kFlagShift) {
    if (!shift_held_) repeater_.SendAndStop(kShiftBreak);
  } else if (shift_held_ && !(f & (kFlagE0 | kFlagE1))) {
    repeater_.PressAndRepeat(kShiftMake);  // back to the Shift the MDI key holds
  }
  if (f & kFlagAltGr) repeater_.SendAndStop(kAltGrBreak);
  if (f & kFlagAlt) repeater_.SendAndStop(kAltBreak);
  if (f & kFlagCtrl) repeater_.SendAndStop(kCtrlBreak);
}

void CKeyConverter::KeyDown(int key) {
  const uint8_t cls = mods_.key_class[key];
  if (cls == CKeyModifiers::kIgnored) return;
  if (!mods_.one_touch) {
    if (cls == CKeyModifiers::kShiftKey)
      ShiftPress();
    else
      Make(key);
    return;
  }
  switch (cls) {
    case CKeyModifiers::kOrdinaryKey: Make(key); break;
    case CKeyModifiers::kShiftKey:
      if (mods_.pending_shift < 0) {
        ShiftPress();
        mods_.pending_shift = static_cast<int16_t>(key);
      } else {
        ShiftRelease();
        mods_.pending_shift = -1;
      }
      break;
    default: {
      int16_t& pending =
          cls == CKeyModifiers::kAltKey ? mods_.pending_alt : mods_.pending_ctrl;
      if (pending < 0) {
        Make(key);
        pending = static_cast<int16_t>(key);
      } else {
        Break(pending);
        pending = -1;
      }
    }
  }
}

void CKeyConverter::KeyUp(int key) {
  const uint8_t cls = mods_.key_class[key];
  if (cls == CKeyModifiers::kIgnored) return;
  if (!mods_.one_touch) {
    if (cls == CKeyModifiers::kShiftKey)
      ShiftRelease();
    else
      Break(key);
    return;
  }
  if (cls != CKeyModifiers::kOrdinaryKey) return;
  Break(key);
  if (mods_.pending_shift >= 0) {
    ShiftRelease();
    mods_.pending_shift = -1;
  }
  if (mods_.pending_alt >= 0) {
    Break(mods_.pending_alt);
    mods_.pending_alt = -1;
  }
  if (mods_.pending_ctrl >= 0) {
    Break(mods_.pending_ctrl);
    mods_.pending_ctrl = -1;
  }
}

void CKeyConverter::ReleaseAll() {
  repeater_.Disarm();
  while (!tracker_.held.empty()) tracker_.Send(tracker_.held.back() | kBreak);
  mods_.pending_shift = mods_.pending_alt = mods_.pending_ctrl = -1;
  shift_held_ = false;
  variant_ = 0;
}

}  // namespace vorkey
