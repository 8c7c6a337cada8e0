#include "driver/device/wire.h"

#include <cstring>

namespace lorand::wire {

void encode_item(std::vector<uint8_t>& message, const Item& item) {
  const size_t at = message.size();
  message.resize(at + kItemHeader + item.input.size());
  uint8_t* p = message.data() + at;
  store32(p, item.kind);
  store32(p + 4, item.code);
  store32(p + 8, uint32_t(item.position));
  store32(p + 12, uint32_t(item.position >> 32));
  store32(p + 16, uint32_t(item.input.size()));
  store32(p + 20, item.output_length);
  store32(p + 24, item.condition);
  if (!item.input.empty()) std::memcpy(p + kItemHeader, item.input.data(), item.input.size());
}

std::vector<uint8_t> encode_hello(uint32_t version) {
  std::vector<uint8_t> message;
  Item item;
  item.kind = kKindHello;
  item.code = version;
  encode_item(message, item);
  return message;
}

bool decode_hello(std::span<const uint8_t> message, uint32_t* version) {
  if (message.size() != kItemHeader || get32(message.data()) != kKindHello) return false;
  *version = get32(message.data() + 4);
  return true;
}

void encode_batch_header(std::vector<uint8_t>& message, uint32_t count) {
  put32(message, kKindBatch);
  put32(message, count);
}

namespace {

// Decodes the item at `*offset`; false when it does not fit or does not make sense.
bool decode_item(std::span<const uint8_t> message, size_t* offset, Item& item) {
  if (message.size() - *offset < kItemHeader) return false;
  const uint8_t* p = message.data() + *offset;
  item.kind = get32(p);
  item.code = get32(p + 4);
  item.position = get64(p + 8);
  const uint32_t input_length = get32(p + 16);
  item.output_length = get32(p + 20);
  item.condition = get32(p + 24);
  if (input_length > message.size() - *offset - kItemHeader) return false;
  item.input = message.subspan(*offset + kItemHeader, input_length);
  *offset += kItemHeader + input_length;
  if (item.output_length > kMaxOutput) return false;
  switch (item.kind) {
    case kKindControl:
      break;
    case kKindRead:
      if (input_length != 0) return false;
      break;
    case kKindWrite:
      if (item.output_length != 0) return false;
      break;
    case kKindReadRun:
    case kKindWriteRun: {
      const uint32_t length = item.kind == kKindReadRun ? item.output_length : input_length;
      const uint32_t other = item.kind == kKindReadRun ? input_length : item.output_length;
      if ((item.code != 1 && item.code != 2 && item.code != 4) || other != 0 || length == 0 ||
          length % item.code != 0)
        return false;
      break;
    }
    default:
      return false;
  }
  if (item.condition != 0) {
    const bool on_first_byte = item.kind == kKindRead && (item.condition & ~0xFFu) == kConditional;
    const bool on_zero = is_transfer(item.kind) && zero_distance(item.condition) != 0;
    if (!on_first_byte && !on_zero) return false;
  }
  return true;
}

}  // namespace

bool decode_request(std::span<const uint8_t> message, Request& request) {
  request.items.clear();
  request.batch = false;
  if (message.size() > kMaxMessage || message.size() < 4) return false;
  if (get32(message.data()) != kKindBatch) {
    Item item;
    size_t offset = 0;
    if (!decode_item(message, &offset, item) || offset != message.size()) return false;
    if (item.condition != 0) return false;
    request.items.push_back(item);
    return true;
  }
  if (message.size() < kBatchHeader) return false;
  const uint32_t count = get32(message.data() + 4);
  if (count == 0 || count > (message.size() - kBatchHeader) / kItemHeader) return false;
  request.batch = true;
  request.items.reserve(count);
  size_t offset = kBatchHeader;
  size_t answer = kBatchAnswerHeader;
  for (uint32_t i = 0; i < count; ++i) {
    // Decoded in place: no copy of the item afterwards.
    Item& item = request.items.emplace_back();
    if (!decode_item(message, &offset, item)) return false;
    if (i == 0 && item.condition != 0) return false;
    if (zero_distance(item.condition) > i) return false;
    answer += answer_size(item);
    if (answer > kMaxMessage) return false;
  }
  return offset == message.size();
}

}  // namespace lorand::wire
