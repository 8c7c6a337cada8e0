// Feeds arbitrary control command lines to the simulator (one node, its memory kept in memory),
// as the control socket hands them on. Nothing may crash, and every command must be answered:
// done, or refused with a reason.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "cncsim/control.h"
#include "cncsim/simulator.h"

namespace {

cncsim::Simulator& simulator() {
  static cncsim::Simulator* sim = [] {
    auto* s = new cncsim::Simulator(*moxel::ConfigData::parse("[Simulator]\nUnitTime0=0\nTraceLines0=1000\n"), {});
    s->board(0, 0x300);
    return s;
  }();
  return *sim;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  size_t start = 0;
  while (start <= input.size()) {
    size_t end = input.find('\n', start);
    if (end == std::string::npos) end = input.size();
    const std::string line = input.substr(start, end - start);
    start = end + 1;
    // Peeks of megabytes cost the fuzzer time and find nothing new: lengths are kept to 64 KiB.
    std::istringstream words(line);
    std::string verb, node, address, length;
    if (words >> verb >> node >> address >> length && verb == "peek" &&
        moxel::parse_dword(length).value_or(0) > 0x10000)
      continue;
    std::string output;
    const bool ok = simulator().command(line, &output);
    if (!ok && output.empty()) std::abort();  // a refusal always says why
  }
  return 0;
}
