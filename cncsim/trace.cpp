#include "cncsim/trace.h"

#include <cstdio>

namespace cncsim {

void Trace::set_limit(size_t limit) {
  limit_ = limit ? limit : 1;
  while (entries_.size() > limit_) {
    entries_.pop_front();
    ++dropped_;
  }
}

std::string Trace::format(const Entry& e) {
  char line[48];
  switch (e.kind) {
    case Kind::kRead:
    case Kind::kWrite:
      std::snprintf(line, sizeof line, "%c%u %08x %0*x", e.kind == Kind::kRead ? 'R' : 'W',
                    unsigned(e.size), e.address, int(e.size) * 2, e.value);
      break;
    case Kind::kRegisterRead:
    case Kind::kRegisterWrite:
      std::snprintf(line, sizeof line, "%s %x %02x", e.kind == Kind::kRegisterRead ? "RP" : "WP",
                    e.address, e.value & 0xFFu);
      break;
  }
  return line;
}

std::vector<std::string> Trace::lines() const {
  std::vector<std::string> out;
  out.reserve(entries_.size());
  for (const Entry& e : entries_) out.push_back(format(e));
  return out;
}

std::string Trace::text() const {
  std::string out;
  out.reserve(entries_.size() * 20);
  for (const Entry& e : entries_) {
    out += format(e);
    out += '\n';
  }
  return out;
}

}  // namespace cncsim
