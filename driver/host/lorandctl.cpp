// lorandctl: one request to the LORAND device, for maintenance and tests.
//   lorandctl [--device PATH] ioctl CODE [--in HEX] [--out-size N]
//   lorandctl [--device PATH] read NODE ADDRESS LENGTH
//   lorandctl [--device PATH] write NODE ADDRESS HEXBYTES
// Prints "status=0x%08X information=%u data=<hex>" and exits 0 on success, 1 on a failure status,
// 2 when the device cannot be opened or the command line is wrong.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/device/device.h"
#include "driver/device/wire.h"
#include "platform/config_store.h"

namespace {

using namespace lorand;

struct NamedCode {
  const char* name;
  uint32_t code;
  uint32_t output;  // output size used when --out-size is not given
};
constexpr NamedCode kCodes[] = {
    {"IOCTL_LNK_NODE_READY", IOCTL_LNK_NODE_READY, 4},
    {"IOCTL_LNK_GET_FIXED_VALUE", IOCTL_LNK_GET_FIXED_VALUE, 4},
    {"IOCTL_LNK_GET_NODE_COUNT", IOCTL_LNK_GET_NODE_COUNT, 4},
    {"IOCTL_LNK_GET_PORT_ADDRESS", IOCTL_LNK_GET_PORT_ADDRESS, 4},
    {"IOCTL_LNK_GET_CNC_TYPE", IOCTL_LNK_GET_CNC_TYPE, 4},
    {"IOCTL_LNK_GET_NODE_NAME", IOCTL_LNK_GET_NODE_NAME, 20},
    {"IOCTL_LNK_READ_PORT", IOCTL_LNK_READ_PORT, 1},
    {"IOCTL_LNK_WRITE_PORT", IOCTL_LNK_WRITE_PORT, 0},
    {"IOCTL_LNK_READ_PORT_WIDE", IOCTL_LNK_READ_PORT_WIDE, 4},
    {"IOCTL_LNK_WRITE_PORT_WIDE", IOCTL_LNK_WRITE_PORT_WIDE, 0},
};

int usage() {
  std::fprintf(stderr,
               "usage: lorandctl [--device PATH] ioctl CODE [--in HEX] [--out-size N]\n"
               "       lorandctl [--device PATH] read NODE ADDRESS LENGTH\n"
               "       lorandctl [--device PATH] write NODE ADDRESS HEXBYTES\n"
               "CODE is a number or an IOCTL name such as IOCTL_LNK_GET_NODE_COUNT; numbers are\n"
               "decimal or 0x-hex; HEX is bytes in hexadecimal, e.g. 03000000.\n");
  return 2;
}

std::optional<std::vector<uint8_t>> parse_hex(std::string_view text) {
  if (text.size() % 2) return std::nullopt;
  std::vector<uint8_t> bytes;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = digit(text[i]), lo = digit(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes.push_back(uint8_t(hi << 4 | lo));
  }
  return bytes;
}

void print(const IoResult& result, std::span<const uint8_t> data) {
  std::printf("status=0x%08X information=%u data=", result.status, result.information);
  for (uint8_t b : data) std::printf("%02x", b);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::filesystem::path device_path = default_device_path();
  std::optional<std::vector<uint8_t>> input;
  std::optional<uint32_t> out_size;
  std::vector<std::string> words;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if ((a == "--device" || a == "--in" || a == "--out-size") && i + 1 == args.size()) return usage();
    if (a == "--device") {
      device_path = args[++i];
    } else if (a == "--in") {
      input = parse_hex(args[++i]);
      if (!input) {
        std::fprintf(stderr, "lorandctl: --in needs hexadecimal bytes\n");
        return 2;
      }
    } else if (a == "--out-size") {
      out_size = moxel::parse_dword(args[++i]);
      if (!out_size) {
        std::fprintf(stderr, "lorandctl: --out-size needs a number\n");
        return 2;
      }
    } else if (a == "--help" || a == "-h") {
      usage();
      return 0;
    } else {
      words.push_back(a);
    }
  }
  if (words.empty()) return usage();
  const std::string& command = words[0];

  // Everything is checked before the device is opened.
  enum { kIoctl, kRead, kWrite } kind;
  uint32_t code = 0, node = 0, address = 0, length = 0;
  std::vector<uint8_t> bytes;
  if (command == "ioctl" && words.size() == 2) {
    kind = kIoctl;
    const NamedCode* named = nullptr;
    for (const auto& c : kCodes)
      if (words[1] == c.name) named = &c;
    if (named) {
      code = named->code;
    } else if (auto n = moxel::parse_dword(words[1])) {
      code = *n;
      for (const auto& c : kCodes)
        if (c.code == code) named = &c;
    } else {
      std::fprintf(stderr, "lorandctl: unknown IOCTL '%s'\n", words[1].c_str());
      return 2;
    }
    if (!out_size) out_size = named ? named->output : 0;
    if (!input) input.emplace();
  } else if ((command == "read" || command == "write") && words.size() == 4 && !input && !out_size) {
    kind = command == "read" ? kRead : kWrite;
    auto n = moxel::parse_dword(words[1]);
    auto a = moxel::parse_dword(words[2]);
    if (!n || !a) {
      std::fprintf(stderr, "lorandctl: NODE and ADDRESS must be numbers\n");
      return 2;
    }
    node = *n;
    address = *a;
    if (kind == kRead) {
      auto l = moxel::parse_dword(words[3]);
      if (!l || *l > 16 * 1024 * 1024) {
        std::fprintf(stderr, "lorandctl: LENGTH must be a number of at most 16 MiB\n");
        return 2;
      }
      length = *l;
    } else {
      auto b = parse_hex(words[3]);
      if (!b) {
        std::fprintf(stderr, "lorandctl: HEXBYTES must be bytes in hexadecimal\n");
        return 2;
      }
      bytes = std::move(*b);
    }
  } else {
    return usage();
  }

  Device device;
  if (!device.open(device_path)) {
    std::fprintf(stderr, "lorandctl: cannot open %s: %s\n", device_path.c_str(), std::strerror(errno));
    return 2;
  }
  IoResult result;
  std::vector<uint8_t> data;
  size_t shown = 0;
  switch (kind) {
    case kIoctl:
      // No answer holds more than one message; a larger output size is offered as that much, so
      // a mistyped size costs no memory.
      data.assign(std::min<size_t>(*out_size, wire::kMaxOutput), 0);
      result = device.control(code, *input, data);
      shown = std::min<size_t>(result.information, data.size());
      break;
    case kRead:
      data.assign(length, 0);
      result = device.read(file_position(node, address), data);
      // A refused read moves no data; one cut short by a board timeout shows what it read.
      if (nt_success(result.status) || result.status == STATUS_IO_TIMEOUT)
        shown = std::min<size_t>(result.information, data.size());
      break;
    case kWrite:
      result = device.write(file_position(node, address), bytes);
      break;
  }
  print(result, std::span<const uint8_t>(data.data(), shown));
  return result.status == STATUS_SUCCESS ? 0 : 1;
}
