#pragma once
// Messages between the LORAND client library and lorandd on the device socket (SOCK_SEQPACKET, one
// message per request and per answer). All numbers are little-endian.
//
// Every connection starts with a hello: one request item of kind 5 whose control code is the
// client's protocol version (no input, no output). The daemon answers STATUS_SUCCESS with its own
// version in the information when the versions are equal; otherwise, and to any other first
// message, STATUS_REVISION_MISMATCH with its version, and it closes the connection.
//
// Request item (28 bytes + input):
//   u32 kind (1 control, 2 read, 3 write, 5 hello, 6 read run, 7 write run), u32 control code,
//   u64 file position, u32 input length, u32 output length, u32 condition, then `input length`
//   bytes.
//   Read: no input, output length = bytes to read. Write: input = the data, output length 0.
//   Runs: the control code is the unit size S (1, 2 or 4); a read run's output length, a write
//   run's input length, is N * S (N >= 1): N units of S bytes from the address upwards, each
//   carried out exactly as a read or write request of S bytes at its address. The answer holds the
//   status of the first unit that failed (the run stops there), the bytes of the units done in the
//   information and, for a read run, those bytes as output.
//   Condition: 0; or 0x100 | mask for a read carried out only when the item before it succeeded and
//   the first byte of its output has every bit of the mask set (never on the first item); or
//   0x200 | D << 16 (1 <= D <= the item's place in the batch) for a read, write or run carried out
//   only when the item D places before it succeeded and returned at least one byte, every one 0.
//   An item whose condition does not hold is answered STATUS_CANCELLED and touches nothing.
// Request message: one item, or a batch: u32 kind 4, u32 count, then `count` items.
// Answer item (12 bytes + output): u32 status, u32 information, u32 output length, then the output.
// Answer message: one answer item, or for a batch: u32 count, then `count` answer items.
// No message is longer than kMaxMessage; a malformed request is answered with a single answer item
// of STATUS_INVALID_PARAMETER.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace lorand::wire {

constexpr size_t kMaxMessage = 64 * 1024;
constexpr uint32_t kProtocolVersion = 3;
constexpr uint32_t kKindControl = 1, kKindRead = 2, kKindWrite = 3, kKindBatch = 4, kKindHello = 5,
                   kKindReadRun = 6, kKindWriteRun = 7;
constexpr uint32_t kConditional = 0x100;
constexpr uint32_t kConditionZero = 0x200;
// The condition "carried out when the item `distance` places before returned only zero bytes".
constexpr uint32_t zero_condition(uint32_t distance) { return kConditionZero | distance << 16; }
constexpr uint32_t zero_distance(uint32_t condition) {
  return (condition & 0xFFFF) == kConditionZero ? condition >> 16 : 0;
}
constexpr size_t kItemHeader = 28;
constexpr size_t kBatchHeader = 8;
constexpr size_t kAnswerHeader = 12;
constexpr size_t kBatchAnswerHeader = 4;
// Largest input and output of a request sent alone.
constexpr size_t kMaxInput = kMaxMessage - kItemHeader;
constexpr size_t kMaxOutput = kMaxMessage - kAnswerHeader;

struct Item {
  uint32_t kind = 0;
  uint32_t code = 0;
  uint64_t position = 0;
  uint32_t output_length = 0;
  uint32_t condition = 0;
  std::span<const uint8_t> input;
};

struct Request {
  bool batch = false;
  std::vector<Item> items;
};

inline bool is_run(uint32_t kind) { return kind == kKindReadRun || kind == kKindWriteRun; }
// Items that move Cnbus units (and so may wait on a board).
inline bool is_transfer(uint32_t kind) {
  return kind == kKindRead || kind == kKindWrite || is_run(kind);
}

// Decodes a request message; false when it is malformed (short, oversized, unknown kind, lengths
// that do not match the message, answers that would not fit one message).
bool decode_request(std::span<const uint8_t> message, Request& request);

// The hello message of this version, and whether `message` is a hello (its version in *version).
std::vector<uint8_t> encode_hello(uint32_t version = kProtocolVersion);
bool decode_hello(std::span<const uint8_t> message, uint32_t* version);

// Appends an encoded item to `message`.
void encode_item(std::vector<uint8_t>& message, const Item& item);
// Starts a batch message of `count` items (the items follow through encode_item).
void encode_batch_header(std::vector<uint8_t>& message, uint32_t count);
// Bytes an item takes in a request and, at most, in the answer.
inline size_t request_size(const Item& item) { return kItemHeader + item.input.size(); }
inline size_t answer_size(const Item& item) { return kAnswerHeader + item.output_length; }

inline void store32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}
inline void put32(std::vector<uint8_t>& out, uint32_t v) {
  const size_t at = out.size();
  out.resize(at + 4);
  store32(out.data() + at, v);
}
inline void put64(std::vector<uint8_t>& out, uint64_t v) {
  put32(out, uint32_t(v));
  put32(out, uint32_t(v >> 32));
}
inline uint32_t get32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t get64(const uint8_t* p) { return get32(p) | uint64_t(get32(p + 4)) << 32; }

}  // namespace lorand::wire
