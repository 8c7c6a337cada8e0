#include <xkbcommon/xkbcommon.h>

#include <array>
#include <bit>

#include "keyservice/keyboard_layout.h"

namespace vorkey {
namespace {

// xkb keycodes are Linux key codes plus 8.
constexpr int kEvdevOffset = 8;
constexpr int kLessGreaterKey = 86;  // KEY_102ND

class XkbLayout : public KeyboardLayout {
 public:
  explicit XkbLayout(xkb_keymap* keymap) {
    const xkb_mod_index_t shift = xkb_keymap_mod_get_index(keymap, XKB_MOD_NAME_SHIFT);
    const xkb_mod_index_t ctrl = xkb_keymap_mod_get_index(keymap, XKB_MOD_NAME_CTRL);
    const xkb_mod_index_t alt = xkb_keymap_mod_get_index(keymap, XKB_MOD_NAME_ALT);
    const xkb_mod_index_t altgr = xkb_keymap_mod_get_index(keymap, "Mod5");
    auto bit = [](xkb_mod_index_t i) -> xkb_mod_mask_t {
      return i == XKB_MOD_INVALID ? 0 : xkb_mod_mask_t{1} << i;
    };
    const xkb_mod_mask_t usable = bit(shift) | bit(ctrl) | bit(alt) | bit(altgr);

    // For every character the key of the first layout group that types it with the fewest
    // modifiers, all of them Shift, Ctrl, Alt or AltGr (Caps Lock and Num Lock levels do not
    // count: the service cannot know their state).
    std::array<int, 256> best_count;
    best_count.fill(99);
    const xkb_keycode_t min = xkb_keymap_min_keycode(keymap), max = xkb_keymap_max_keycode(keymap);
    for (xkb_keycode_t kc = min; kc <= max; ++kc) {
      if (kc < kEvdevOffset || !scan_for_linux_key(static_cast<int>(kc) - kEvdevOffset)) continue;
      const xkb_level_index_t levels = xkb_keymap_num_levels_for_key(keymap, kc, 0);
      for (xkb_level_index_t level = 0; level < levels; ++level) {
        const xkb_keysym_t* syms = nullptr;
        if (xkb_keymap_key_get_syms_by_level(keymap, kc, 0, level, &syms) != 1) continue;
        // Keypad keys type digits and signs only with Num Lock, or duplicate main keys.
        if (syms[0] >= XKB_KEY_KP_Space && syms[0] <= XKB_KEY_KP_Equal) continue;
        // A dead key types nothing by itself.
        if (syms[0] >= XKB_KEY_dead_grave && syms[0] <= XKB_KEY_dead_greek) continue;
        const uint32_t ch = xkb_keysym_to_utf32(syms[0]);
        if (ch == 0 || ch > 0xFF) continue;
        xkb_mod_mask_t masks[16];
        const size_t count = xkb_keymap_key_get_mods_for_level(keymap, kc, 0, level, masks, 16);
        for (size_t m = 0; m < count; ++m) {
          if (masks[m] & ~usable) continue;
          // The extra key beside the left Shift counts as a modifier more: many keyboards of a
          // layout that does not need it lack it, so a main key is preferred where one exists.
          const int n = std::popcount(masks[m]) + (kc == kEvdevOffset + kLessGreaterKey ? 2 : 0);
          if (n >= best_count[ch]) continue;
          best_count[ch] = n;
          keys_[ch] = CharKey{static_cast<int>(kc) - kEvdevOffset, (masks[m] & bit(shift)) != 0,
                              (masks[m] & bit(ctrl)) != 0, (masks[m] & bit(alt)) != 0,
                              (masks[m] & bit(altgr)) != 0};
        }
      }
    }
    // Control characters: the keys that type them (Backspace, Tab, Enter, Escape have their own)
    // and Ctrl with a letter for the others, as a PC keyboard sends them.
    for (int c = 0x01; c <= 0x1A; ++c) {
      if (keys_[c] || !keys_['a' + c - 1]) continue;
      keys_[c] = keys_['a' + c - 1];
      keys_[c]->ctrl = true;
    }
  }

  std::optional<CharKey> key_for_char(uint8_t ch) const override { return keys_[ch]; }

  ScanCode scan_code(int key) const override {
    return scan_for_linux_key(key).value_or(ScanCode{});
  }

 private:
  std::array<std::optional<CharKey>, 256> keys_;
};

}  // namespace

std::unique_ptr<KeyboardLayout> make_xkb_layout(const std::string& name, std::string* error) {
  std::string layout = name, variant;
  if (size_t open = name.find('('); open != std::string::npos && name.back() == ')') {
    layout = name.substr(0, open);
    variant = name.substr(open + 1, name.size() - open - 2);
  }
  xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
  if (!context) {
    if (error) *error = "no XKB context";
    return nullptr;
  }
  xkb_context_set_log_level(context, XKB_LOG_LEVEL_CRITICAL);
  const xkb_rule_names names{"evdev", "pc105", layout.c_str(), variant.c_str(), ""};
  xkb_keymap* keymap = layout.empty() ? nullptr
                                      : xkb_keymap_new_from_names(context, &names,
                                                                  XKB_KEYMAP_COMPILE_NO_FLAGS);
  std::unique_ptr<KeyboardLayout> result;
  if (keymap) {
    result = std::make_unique<XkbLayout>(keymap);
    xkb_keymap_unref(keymap);
  } else if (error) {
    *error = "unknown keyboard layout \"" + name + "\"";
  }
  xkb_context_unref(context);
  return result;
}

}  // namespace vorkey
