#include "driver/host/isa_ports.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace lorand::host {

std::vector<std::string> kernel_port_conflicts(const std::filesystem::path& ioports, uint32_t base,
                                               uint32_t length) {
  // Lines read "  0060-0060 : keyboard", nested entries indented; every level counts.
  std::vector<std::string> conflicts;
  std::ifstream in(ioports);
  std::string line;
  const uint64_t first = base, last = uint64_t(base) + length - 1;
  while (std::getline(in, line)) {
    unsigned long from = 0, to = 0;
    int used = 0;
    if (std::sscanf(line.c_str(), " %lx-%lx :%n", &from, &to, &used) < 2 || used == 0) continue;
    // A bus window ("PCI Bus 0000:00" spans the legacy ports) holds the ISA cards; it is no claim.
    const std::string name = line.substr(size_t(used));
    if (name.find_first_not_of(' ') != std::string::npos &&
        name.compare(name.find_first_not_of(' '), 7, "PCI Bus") == 0)
      continue;
    if (from <= last && to >= first) conflicts.push_back(line);
  }
  return conflicts;
}

bool PortClaims::claim(uint32_t node, uint32_t base, uint32_t length, bool real, std::string* error) {
  auto fail = [&](std::string why) {
    if (error) *error = std::move(why);
    return false;
  };
  if (length == 0 || uint64_t(base) + length > 0x10000) {
    return fail("ports outside the I/O space");
  }
  for (const Range& r : ranges_) {
    if (base < r.base + r.length && r.base < base + length) {
      return fail("ports overlap those of node " + std::to_string(r.node));
    }
  }
  if (real) {
    const auto taken = kernel_port_conflicts(ioports_, base, length);
    if (!taken.empty()) return fail("ports already taken: " + taken.front());
    if (raw_.permit(base, length, true) != 0) {
      return fail(std::string("no access to the ports (ioperm: ") + std::strerror(errno) + ")");
    }
  }
  ranges_.push_back(Range{node, base, length, real});
  return true;
}

void PortClaims::release(uint32_t node) {
  for (auto it = ranges_.begin(); it != ranges_.end();) {
    if (it->node == node) {
      if (it->real) raw_.permit(it->base, it->length, false);
      it = ranges_.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace lorand::host
