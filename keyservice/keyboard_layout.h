#pragma once
// The two keyboard-layout queries the conversion needs, behind an interface so that the
// conversion can be tested with any layout: which key (and which Shift/Ctrl/Alt/AltGr) types a
// character, and which set-1 scan code that key sends.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "keyservice/scan_codes.h"

namespace vorkey {

struct CharKey {
  int key = 0;  // the layout's own key number, for scan_code()
  bool shift = false, ctrl = false, alt = false;
  bool altgr = false;  // the third level (right Alt on the keyboards that have AltGr)
};

class KeyboardLayout {
 public:
  virtual ~KeyboardLayout() = default;
  // The key that types the ANSI character `ch`; nullopt when the layout has none.
  virtual std::optional<CharKey> key_for_char(uint8_t ch) const = 0;
  // The set-1 scan code of a key; code 0 when it has none.
  virtual ScanCode scan_code(int key) const = 0;
};

// The layout of an XKB layout name, "us", "de", "fr" or with a variant, "de(nodeadkeys)"
// (libxkbcommon, evdev rules, pc105 model). Null with the reason in *error when the name is not
// known. Characters above 0x7F are taken as Latin-1.
std::unique_ptr<KeyboardLayout> make_xkb_layout(const std::string& name,
                                                std::string* error = nullptr);

}  // namespace vorkey
