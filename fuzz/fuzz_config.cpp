// Round trip of the configuration store: any text is parsed; when it reads, one value is changed
// the way the FLUX2 applet changes one (an existing or a new value of a section, set or erased), the
// data is written out and read again, and must then hold exactly the changed values: nothing else
// changed, dropped or merged.
#include <cstddef>
#include <cstdint>
#include <cctype>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "platform/config_store.h"

namespace {

// A value as the applet writes one: a number or a name (letters, digits, inner blanks).
std::string value_from(const uint8_t* data, size_t size) {
  static const char chars[] = "0123456789abcdefxyzABCDEFX_-.";
  std::string value;
  for (size_t i = 0; i < size && value.size() < 24; ++i) {
    value += chars[data[i] % (sizeof chars - 1)];
    if (data[i] & 0x80 && i + 1 < size) value += ' ';
  }
  while (!value.empty() && value.back() == ' ') value.pop_back();
  return value;
}

// The values section by section (names of sections without regard to case), each section's values
// in order. Sections may come back in another order: one whose values before the first header were
// all erased is met again only at a later "[]" header.
std::map<std::string, std::vector<std::pair<std::string, std::string>>> by_section(const moxel::ConfigData& d) {
  std::map<std::string, std::vector<std::pair<std::string, std::string>>> out;
  for (const auto& e : d.entries()) {
    std::string section = e.section;
    for (char& c : section) c = char(std::tolower(static_cast<unsigned char>(c)));
    out[section].emplace_back(e.name, e.value);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const uint8_t pick = data[0], action = data[1];
  const size_t value_size = data[2] % 16;
  if (size < 3 + value_size) return 0;
  const std::string value = value_from(data + 3, value_size);
  const std::string text(reinterpret_cast<const char*>(data + 3 + value_size), size - 3 - value_size);

  auto parsed = moxel::ConfigData::parse(text);
  if (!parsed) return 0;
  moxel::ConfigData changed = *parsed;
  const std::vector<moxel::ConfigData::Entry> entries = parsed->entries();
  std::string section = "Parameters", name = "CncType" + std::to_string(pick % 8);
  if (!entries.empty() && (action & 1)) {
    section = entries[pick % entries.size()].section;
    name = entries[pick % entries.size()].name;
  }
  if (action & 2) changed.erase(section, name);
  else changed.set(section, name, value);

  const std::string written = changed.serialize();
  auto again = moxel::ConfigData::parse(written);
  if (!again || by_section(*again) != by_section(changed)) std::abort();
  // Written again unchanged, the text stays as it is.
  if (again->serialize() != written) std::abort();
  return 0;
}
