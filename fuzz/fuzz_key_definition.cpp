// Key-definition files of any content: the reader must neither crash nor reach past the keys a
// two-digit key code can name (8 x 15 + 15 = 135); the settings applet's check must not crash and
// must name a line the file has, with a reason.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "keyservice/key_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vorkey::KeyTable table = vorkey::builtin_table(0);
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  vorkey::apply_definition(in, table);
  for (int k = 136; k < vorkey::kKeyCount; ++k)
    if (table[k] != vorkey::KeyEntry{}) std::abort();
  std::istringstream again(std::string(reinterpret_cast<const char*>(data), size));
  if (auto fault = vorkey::check_definition(again))
    if (fault->line < 0 || size_t(fault->line) > size || fault->why.empty()) std::abort();
  return 0;
}
