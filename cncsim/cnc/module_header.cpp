#include "cncsim/cnc/module_header.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace cncsim::cnc {
namespace {

constexpr char kMagic[] = "MOXELROM";

uint32_t get32(std::span<const uint8_t> b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

void put32(std::span<uint8_t> b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}

std::string text_at(std::span<const uint8_t> b, size_t at, size_t size) {
  std::string s(reinterpret_cast<const char*>(b.data() + at), size);
  return s.substr(0, s.find('\0'));
}

}  // namespace

uint32_t crc32_of(std::span<const uint8_t> data) {
  uLong crc = crc32(0L, Z_NULL, 0);
  // zlib takes at most a uInt at a time.
  for (size_t at = 0; at < data.size();) {
    const size_t n = std::min<size_t>(data.size() - at, 1u << 30);
    crc = crc32(crc, data.data() + at, uInt(n));
    at += n;
  }
  return uint32_t(crc);
}

ModuleHeader make_module_header(const ModuleInfo& info) {
  ModuleHeader h{};
  std::memcpy(h.data(), kMagic, 8);
  std::memcpy(h.data() + 8, info.name.data(), std::min<size_t>(info.name.size(), 16));
  put32(h, 24, info.size);
  std::memcpy(h.data() + 32, info.version.data(), std::min<size_t>(info.version.size(), 16));
  h[58] = '0';
  h[59] = info.interleaved ? '1' : '0';
  h[60] = info.flags;
  put32(h, 124, crc32_of(std::span(h).first(124)));
  return h;
}

bool parse_module_header(std::span<const uint8_t> header, ModuleInfo* info) {
  if (header.size() < kModuleHeaderSize) return false;
  if (std::memcmp(header.data(), kMagic, 8) != 0) return false;
  if (get32(header, 124) != crc32_of(header.first(124))) return false;
  if (header[58] != '0' || (header[59] != '0' && header[59] != '1')) return false;
  ModuleInfo m;
  m.name = text_at(header, 8, 16);
  m.size = get32(header, 24);
  m.version = text_at(header, 32, 16);
  m.interleaved = header[59] == '1';
  m.flags = header[60];
  if (m.name.empty() || m.name[0] == ' ' || m.size == 0) return false;
  if (info) *info = m;
  return true;
}

uint32_t module_blocks(const ModuleInfo& info) {
  const uint64_t size = info.size;
  if (info.interleaved) return uint32_t((size + 2 * kFromBlockSize - 1) / (2 * kFromBlockSize) * 2);
  return uint32_t((size + kFromBlockSize - 1) / kFromBlockSize);
}

}  // namespace cncsim::cnc
