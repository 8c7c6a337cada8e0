#pragma once
// Typing a text on a simulated MDI keyboard as a person would: each character becomes the key of
// the active key table that produces it (with the MDI Shift key held around it when only the
// shifted code gives it), with hold times, pauses and now and then the next key pressed before the
// last one is let go.
#include <chrono>
#include <cstdint>
#include <functional>
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

// What carrying out the strokes needs from outside (the control socket and the clock; a test's
// fakes).
struct TypingIo {
  std::function<bool(const KeyStroke&)> send;  // false: typing ends
  // Whether the PC has read the keys as they stand (see MdiKeyboard::keys_unread()).
  std::function<bool()> read_by_pc;
  std::function<std::chrono::steady_clock::time_point()> now;
  std::function<void(std::chrono::steady_clock::duration)> sleep;
};

// Sends the strokes in order. Each one follows the stroke before it no sooner than the plan says,
// counted from when that stroke was actually sent: a typer held up by a busy machine keeps its
// holds and pauses instead of catching up in a burst that presses and lets go of a key between two
// reads of the PC. And each waits, polling every 5 ms for at most `read_limit`, until the PC has
// read the stroke before it, so that typing never outruns a reader that fetches the keys slowly
// (the CNC keeps no key buffer). False when a send failed.
bool perform_typing(const std::vector<KeyStroke>& strokes, const TypingIo& io,
                    std::chrono::milliseconds read_limit = std::chrono::milliseconds(2000));

}  // namespace cncsim
