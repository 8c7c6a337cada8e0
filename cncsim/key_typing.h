#pragma once
// Typing a text on a simulated MDI keyboard as a person would: each character becomes the key of
// the active key table that produces it (with the MDI Shift key held around it when only the
// shifted code gives it), with hold times, pauses and now and then the next key pressed before the
// last one is let go.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "keyservice/key_table.h"

namespace cncsim {

struct KeyStroke {
  uint32_t at_ms;  // from the start of the typing
  unsigned key;
  bool press;
};

// The strokes that type `text` with `table`, in time order. Newline, tab and backspace use the
// keys whose raw scan codes are Enter, Tab and Backspace. Nothing, with the offending character in
// *missing, when the table has no key for a character or no Shift key where one is needed.
std::optional<std::vector<KeyStroke>> plan_typing(const std::string& text,
                                                  const vorkey::KeyTable& table,
                                                  uint32_t seed = 1, char* missing = nullptr);

}  // namespace cncsim
