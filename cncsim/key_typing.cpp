#include "cncsim/key_typing.h"

#include <algorithm>
#include <cctype>
#include <random>


namespace cncsim {
namespace {

struct Chord {
  unsigned key;
  bool shift;
};

bool is_character(uint16_t code) {
  const uint8_t low = uint8_t(code);
  return low != 0x00 && low != 0xE0 && low != 0xE1 && low != 0xFE && low != 0xFF;
}

std::optional<Chord> find_key(const vorkey::KeyTable& table, char c) {
  // Control characters are typed with the keys that send their raw scan codes.
  uint16_t raw = 0;
  if (c == '\n') raw = 0x1CFE;
  if (c == '\t') raw = 0x0FFE;
  if (c == '\b') raw = 0x0EFE;
  for (unsigned k = 0; k < table.size(); ++k) {
    const auto& e = table[k];
    if ((e.type & 0xF) != vorkey::kOrdinary) continue;
    if (raw ? e.unshifted == raw : is_character(e.unshifted) && char(e.unshifted) == c)
      return Chord{k, false};
  }
  if (raw) return std::nullopt;
  for (unsigned k = 0; k < table.size(); ++k) {
    const auto& e = table[k];
    if ((e.type & 0xF) == vorkey::kOrdinary && is_character(e.shifted) && char(e.shifted) == c)
      return Chord{k, true};
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::vector<KeyStroke>> plan_typing(const std::string& text,
                                                  const vorkey::KeyTable& table, uint32_t seed,
                                                  char* missing) {
  std::optional<unsigned> shift_key;
  for (unsigned k = 0; k < table.size() && !shift_key; ++k)
    if ((table[k].type & 0xF) == vorkey::kShift) shift_key = k;

  std::vector<Chord> chords;
  for (char c : text) {
    auto chord = find_key(table, c);
    if (!chord || (chord->shift && !shift_key)) {
      if (missing) *missing = c;
      return std::nullopt;
    }
    chords.push_back(*chord);
  }

  // Times a person takes: keys held 60-120 ms (well below the 250 ms repeat delay), 60-180 ms
  // between letting one key go and pressing the next. Presses lie at least 45 ms apart, about three
  // ticks of the key service, so it sees them in the order they were typed.
  std::mt19937 random(seed);
  auto between = [&](uint32_t low, uint32_t high) {
    return std::uniform_int_distribution<uint32_t>(low, high)(random);
  };
  std::vector<KeyStroke> strokes;
  uint32_t t = 0;
  for (size_t i = 0; i < chords.size(); ++i) {
    const Chord& c = chords[i];
    if (c.shift) {
      strokes.push_back({t, *shift_key, true});
      t += between(40, 70);
    }
    strokes.push_back({t, c.key, true});
    uint32_t hold = between(60, 120);
    const bool next_plain = i + 1 < chords.size() && !chords[i + 1].shift && !c.shift &&
                            chords[i + 1].key != c.key;
    // Now and then the next key goes down before this one is let go (a rolled pair).
    if (next_plain && between(0, 2) == 0) {
      hold = std::max<uint32_t>(hold, 80);
      const uint32_t overlap = between(15, 30);
      strokes.push_back({t + hold, c.key, false});
      t += hold - overlap;
      continue;
    }
    t += hold;
    strokes.push_back({t, c.key, false});
    if (c.shift) {
      t += between(30, 60);
      strokes.push_back({t, *shift_key, false});
    }
    t += between(60, 180);
  }
  std::stable_sort(strokes.begin(), strokes.end(),
                   [](const KeyStroke& a, const KeyStroke& b) { return a.at_ms < b.at_ms; });
  return strokes;
}

bool perform_typing(const std::vector<KeyStroke>& strokes, const TypingIo& io,
                    std::chrono::milliseconds read_limit) {
  using namespace std::chrono_literals;
  std::chrono::steady_clock::time_point last_sent{};
  for (size_t i = 0; i < strokes.size(); ++i) {
    if (i > 0) {
      const auto due = last_sent + std::chrono::milliseconds(strokes[i].at_ms - strokes[i - 1].at_ms);
      if (const auto now = io.now(); now < due) io.sleep(due - now);
      const auto limit = io.now() + read_limit;
      while (!io.read_by_pc() && io.now() < limit) io.sleep(5ms);
    }
    if (!io.send(strokes[i])) return false;
    last_sent = io.now();
  }
  return true;
}

}  // namespace cncsim
