#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <xkbcommon/xkbcommon.h>

#include <map>

#include "keyservice/key_table.h"
#include "keyservice/keyboard_layout.h"

namespace vorkey {
namespace {

// What the PC types when the modifiers and the key that the layout query names are pressed, as
// the injected words press them (right Alt for AltGr), worked out by libxkbcommon's own key state.
uint32_t typed(const std::string& layout_name, const CharKey& k, ScanCode sc) {
  static xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
  using Keymap = std::unique_ptr<xkb_keymap, decltype(&xkb_keymap_unref)>;
  static std::map<std::string, Keymap> keymaps;  // compiled once per layout
  auto [at, fresh] = keymaps.try_emplace(layout_name, nullptr, &xkb_keymap_unref);
  if (fresh) {
    std::string layout = layout_name, variant;
    if (auto open = layout.find('('); open != std::string::npos) {
      variant = layout.substr(open + 1, layout.size() - open - 2);
      layout.resize(open);
    }
    xkb_rule_names names{"evdev", "pc105", layout.c_str(), variant.c_str(), ""};
    at->second.reset(xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS));
  }
  xkb_keymap* keymap = at->second.get();
  xkb_state* state = xkb_state_new(keymap);
  auto press = [&](int key) { xkb_state_update_key(state, key + 8, XKB_KEY_DOWN); };
  if (k.ctrl) press(KEY_LEFTCTRL);
  if (k.alt) press(KEY_LEFTALT);
  if (k.altgr) press(KEY_RIGHTALT);
  if (k.shift) press(KEY_LEFTSHIFT);
  uint32_t ch = xkb_state_key_get_utf32(state, linux_key_for_scan(sc) + 8);
  xkb_state_unref(state);
  return ch;
}

// Every character of the built-in tables.
std::string table_characters() {
  std::string chars;
  for (int t = 0; t < 3; ++t)
    for (const KeyEntry& e : builtin_table(t))
      for (uint16_t code : {e.unshifted, e.shifted}) {
        char c = static_cast<char>(code & 0xFF);
        if (e.type == 0 && c >= 0x20 && c < 0x7F && chars.find(c) == std::string::npos)
          chars += c;
      }
  return chars;
}

TEST(XkbLayout, EachLayoutTypesTheTableCharactersWithTheKeysItNames) {
  struct {
    const char* layout;
    std::string missing;  // reachable only through dead keys
  } layouts[] = {{"us", ""}, {"de", "^`"}, {"fr", ""}, {"de(nodeadkeys)", ""}};
  const std::string chars = table_characters();
  ASSERT_GT(chars.size(), 60u);
  for (const auto& l : layouts) {
    std::string error;
    std::unique_ptr<KeyboardLayout> layout = make_xkb_layout(l.layout, &error);
    ASSERT_TRUE(layout) << l.layout << ": " << error;
    for (char c : chars) {
      std::optional<CharKey> k = layout->key_for_char(static_cast<uint8_t>(c));
      if (l.missing.find(c) != std::string::npos) {
        EXPECT_FALSE(k) << l.layout << " '" << c << "'";
        continue;
      }
      ASSERT_TRUE(k) << l.layout << " '" << c << "'";
      ScanCode sc = layout->scan_code(k->key);
      EXPECT_NE(sc.code, 0) << l.layout << " '" << c << "'";
      EXPECT_EQ(typed(l.layout, *k, sc), static_cast<uint32_t>(c)) << l.layout << " '" << c << "'";
    }
  }
}

TEST(XkbLayout, KeysOfKnownCharacters) {
  struct {
    const char* layout;
    uint8_t ch;
    uint8_t scan;
    bool shift, ctrl, altgr;
  } cases[] = {
      {"us", 'a', 0x1E, false, false, false}, {"us", 'A', 0x1E, true, false, false},
      {"us", '0', 0x0B, false, false, false}, {"us", '{', 0x1A, true, false, false},
      {"us", '<', 0x33, true, false, false},  {"us", '=', 0x0D, false, false, false},
      {"us", '*', 0x09, true, false, false},  {"us", '\r', 0x1C, false, false, false},
      {"us", '\b', 0x0E, false, false, false}, {"us", '\t', 0x0F, false, false, false},
      {"us", 0x1B, 0x01, false, false, false}, {"us", 0x03, 0x2E, false, true, false},
      {"de", 'z', 0x15, false, false, false}, {"de", 'Y', 0x2C, true, false, false},
      {"de", '@', 0x10, false, false, true},  {"de", '<', 0x56, false, false, false},
      {"de", '=', 0x0B, true, false, false},  {"fr", 'a', 0x10, false, false, false},
      {"fr", '1', 0x02, true, false, false},  {"fr", '{', 0x05, false, false, true},
      {"fr", 0x01, 0x10, false, true, false},
  };
  for (const auto& c : cases) {
    std::unique_ptr<KeyboardLayout> layout = make_xkb_layout(c.layout);
    ASSERT_TRUE(layout);
    std::optional<CharKey> k = layout->key_for_char(c.ch);
    ASSERT_TRUE(k) << c.layout << " " << int(c.ch);
    EXPECT_EQ(layout->scan_code(k->key).code, c.scan) << c.layout << " " << int(c.ch);
    EXPECT_EQ(k->shift, c.shift) << c.layout << " " << int(c.ch);
    EXPECT_EQ(k->ctrl, c.ctrl) << c.layout << " " << int(c.ch);
    EXPECT_EQ(k->altgr, c.altgr) << c.layout << " " << int(c.ch);
    EXPECT_FALSE(k->alt);
  }
  EXPECT_FALSE(make_xkb_layout("us")->key_for_char(0xE9)) << "no e-acute on us";
  EXPECT_TRUE(make_xkb_layout("fr")->key_for_char(0xE9)) << "e-acute on fr";
}

TEST(XkbLayout, UnknownLayoutIsRefused) {
  std::string error;
  EXPECT_FALSE(make_xkb_layout("no-such-layout", &error));
  EXPECT_NE(error.find("no-such-layout"), std::string::npos);
  EXPECT_FALSE(make_xkb_layout(""));
}

}  // namespace
}  // namespace vorkey
