// Key-definition files of any content: the reader must neither crash nor reach past the keys a
// two-digit key code can name (8 x 15 + 15 = 135).
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
  return 0;
}
