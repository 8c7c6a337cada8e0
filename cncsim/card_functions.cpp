#include "cncsim/card_functions.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace cncsim {
namespace {

// Longest path or label the card functions take, with its NUL.
constexpr uint32_t kMaxString = 260;

bool inside(const SharedMemoryAccess& m, uint32_t offset, uint64_t length) {
  return offset <= m.size() && length <= m.size() - offset;
}

std::optional<std::string> read_string(SharedMemoryAccess& m, uint32_t offset) {
  if (offset >= m.size()) return std::nullopt;
  std::vector<uint8_t> bytes(std::min<uint32_t>(kMaxString, m.size() - offset));
  if (!m.read(offset, bytes)) return std::nullopt;
  auto end = std::find(bytes.begin(), bytes.end(), 0);
  if (end == bytes.end()) return std::nullopt;
  return std::string(bytes.begin(), end);
}

CardAnswer answer(const CardResult& r) {
  CardAnswer a;
  a.status = r.ok() ? 0 : 1;
  a.error = uint16_t(r.error);
  a.o1 = r.o1;
  a.o2 = r.o2;
  a.o3 = r.o3;
  a.o4 = r.error;
  return a;
}

CardAnswer bad_parameter() { return answer(CardResult{kCardBadParameter}); }

}  // namespace

bool SpanMemory::read(uint32_t offset, std::span<uint8_t> out) {
  if (!inside(*this, offset, out.size())) return false;
  if (!out.empty()) std::memcpy(out.data(), bytes_.data() + offset, out.size());
  return true;
}

bool SpanMemory::write(uint32_t offset, std::span<const uint8_t> data) {
  if (!inside(*this, offset, data.size())) return false;
  if (!data.empty()) std::memcpy(bytes_.data() + offset, data.data(), data.size());
  return true;
}

bool is_card_function(uint16_t f) {
  return f == 0x301 || f == 0x302 || (f >= 0x401 && f <= 0x408) || f == 0x424 || f == 0x425 ||
         (f >= 0x42B && f <= 0x42D);
}

CardAnswer serve_card_function(MemoryCard& card, const CardCall& call, SharedMemoryAccess& memory) {
  auto with_string = [&](uint32_t offset, auto&& run) {
    std::optional<std::string> text = read_string(memory, offset);
    return text ? answer(run(*text)) : bad_parameter();
  };
  switch (call.function) {
    case 0x301: return answer(card.status());
    case 0x302: return answer(card.identifier());
    case 0x401:
    case 0x402: return answer(card.prepare());
    case 0x403:
      return with_string(call.i3, [&](const std::string& path) { return card.create(path); });
    case 0x404:
      return with_string(call.i3, [&](const std::string& path) { return card.open(path, call.i1 == 1); });
    case 0x405: return answer(card.close(call.i1));
    case 0x406: {
      if (!inside(memory, call.i3, call.i4)) return bad_parameter();
      std::vector<uint8_t> data(call.i4);
      CardResult r = card.read(call.i1, data);
      if (r.o3 > 0 && !memory.write(call.i3, std::span(data).first(r.o3))) return bad_parameter();
      return answer(r);
    }
    case 0x407: {
      if (!inside(memory, call.i3, call.i4)) return bad_parameter();
      std::vector<uint8_t> data(call.i4);
      if (!memory.read(call.i3, data)) return bad_parameter();
      return answer(card.write(call.i1, data));
    }
    case 0x408:
      return with_string(call.i3, [&](const std::string& path) { return card.remove(path); });
    case 0x424:
    case 0x425: {
      if (!inside(memory, call.i4, kFindEntrySize)) return bad_parameter();
      FindEntry entry{};
      CardResult r;
      if (call.function == 0x424) {
        std::optional<std::string> pattern = read_string(memory, call.i3);
        if (!pattern) return bad_parameter();
        r = card.find_first(*pattern, entry);
      } else {
        memory.read(call.i4, entry);
        r = card.find_next(entry);
      }
      if (r.ok()) memory.write(call.i4, entry);
      return answer(r);
    }
    case 0x42B:
      return with_string(call.i3, [&](const std::string& label) { return card.format(call.i1, label); });
    case 0x42C:
      return with_string(call.i3, [&](const std::string& drive) { return card.open_volume(call.i1, drive); });
    case 0x42D: return answer(card.close_volume(call.i1));
    default: return bad_parameter();
  }
}

}  // namespace cncsim
