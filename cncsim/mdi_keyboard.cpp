#include "cncsim/mdi_keyboard.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/config_store.h"

namespace cncsim {

std::optional<MdiWay> mdi_way_from_name(const std::string& name) {
  if (name == "chain") return MdiWay::kChain;
  if (name == "block") return MdiWay::kBlock;
  if (name == "mailbox") return MdiWay::kMailbox;
  return std::nullopt;
}

const char* mdi_way_name(MdiWay way) {
  switch (way) {
    case MdiWay::kChain: return "chain";
    case MdiWay::kBlock: return "block";
    case MdiWay::kMailbox: return "mailbox";
  }
  return "?";
}

std::optional<unsigned> parse_key_name(const std::string& word) {
  std::string upper = word;
  for (char& ch : upper) ch = char(std::toupper(static_cast<unsigned char>(ch)));
  if (upper.rfind("KEY_", 0) == 0) {
    const std::string digits = upper.substr(4);
    if (digits.size() < 2 || digits.size() > 3) return std::nullopt;
    for (char ch : digits)
      if (!std::isxdigit(static_cast<unsigned char>(ch))) return std::nullopt;
    const unsigned byte = unsigned(std::stoul(digits.substr(0, digits.size() - 1), nullptr, 16));
    const int bit = digits.back() - '0';
    if (bit < 0 || bit > 7 || byte > 31) return std::nullopt;
    return byte * 8 + unsigned(bit);
  }
  auto n = moxel::parse_dword(word);
  if (!n || *n > 255) return std::nullopt;
  return *n;
}

MdiKeyboard::MdiKeyboard(MdiWay way, uint8_t extra_length)
    : way_(way), extra_length_(std::min<uint8_t>(extra_length, 22)) {}

unsigned MdiKeyboard::bitmap_bytes() const {
  return way_ == MdiWay::kChain ? 10u + extra_length_ : 12u;
}

void MdiKeyboard::press(unsigned key) {
  if (key >= kKeys) return;
  std::lock_guard lock(mutex_);
  if (!(keys_[key / 8] & (1u << (key % 8)))) changed(key);
  keys_[key / 8] |= uint8_t(1u << (key % 8));
}

void MdiKeyboard::release(unsigned key) {
  if (key >= kKeys) return;
  std::lock_guard lock(mutex_);
  if (keys_[key / 8] & (1u << (key % 8))) changed(key);
  keys_[key / 8] &= uint8_t(~(1u << (key % 8)));
}

// Under mutex_.
void MdiKeyboard::changed(unsigned key) {
  if (key / 8 < sizeof answers_owed_) answers_owed_[key / 8] = 2;
}

bool MdiKeyboard::keys_unread() const {
  if (way_ != MdiWay::kMailbox) return false;
  std::lock_guard lock(mutex_);
  return handshake_ && std::any_of(std::begin(answers_owed_), std::end(answers_owed_),
                                   [](uint8_t owed) { return owed != 0; });
}

bool MdiKeyboard::is_down(unsigned key) const {
  if (key >= kKeys) return false;
  std::lock_guard lock(mutex_);
  return keys_[key / 8] & (1u << (key % 8));
}

bool MdiKeyboard::handshake_done() const {
  std::lock_guard lock(mutex_);
  return handshake_;
}

uint16_t MdiKeyboard::read_word(SharedMemoryAccess& memory, uint32_t offset) {
  uint8_t b[2] = {};
  memory.read(offset, b);
  return uint16_t(b[0] | b[1] << 8);
}

void MdiKeyboard::write_word(SharedMemoryAccess& memory, uint32_t offset, uint16_t value) {
  const uint8_t b[2] = {uint8_t(value), uint8_t(value >> 8)};
  memory.write(offset, b);
}

uint32_t MdiKeyboard::read_dword(SharedMemoryAccess& memory, uint32_t offset) {
  uint8_t b[4] = {};
  memory.read(offset, b);
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

bool MdiKeyboard::adopt_chain(SharedMemoryAccess& memory) {
  constexpr uint32_t kSharedSize = 0x400000;
  const uint32_t p = read_dword(memory, kChainPointer);
  if (p == 0 || p == 0xFFFFFFFF || p >= kSharedSize - 0x70) return false;
  if (read_word(memory, p + 0x6C) != 1) return false;
  const uint32_t q = read_dword(memory, p + 0x64);
  if (q >= kSharedSize - 8) return false;
  const uint32_t r = read_dword(memory, q + 4);
  if (r >= kSharedSize - 0x14 - 22) return false;
  uint8_t length[1] = {};
  memory.read(r + 0x13, length);
  record_ = r;
  extra_length_ = std::min<uint8_t>(length[0], 22);
  return true;
}

void MdiKeyboard::start(SharedMemoryAccess& memory) {
  uint16_t status = read_word(memory, kStatus) & ~uint16_t(0x1E);
  if (way_ == MdiWay::kChain) {
    status |= 0x08;
    if (!adopt_chain(memory)) {
      // P at kDescriptor, Q 0x100 after it, R 0x100 after Q.
      const uint32_t p = kDescriptor, q = kDescriptor + 0x100, r = kDescriptor + 0x200;
      auto dword = [&](uint32_t offset, uint32_t value) {
        const uint8_t b[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16),
                              uint8_t(value >> 24)};
        memory.write(offset, b);
      };
      dword(kChainPointer, p);
      write_word(memory, p + 0x6C, 1);
      write_word(memory, p + 0x68, 0x0100);
      dword(p + 0x64, q);
      dword(q + 4, r);
      const uint8_t length[1] = {extra_length_};
      memory.write(r + 0x13, length);
      record_ = r;
    }
  } else if (way_ == MdiWay::kBlock) {
    status |= 0x04;
  }
  write_word(memory, kStatus, status);
  const uint8_t none[32] = {};
  publish(memory, none);
}

void MdiKeyboard::publish(SharedMemoryAccess& memory, const uint8_t* bitmap) {
  if (way_ == MdiWay::kChain) {
    memory.write(record_ + 8, {bitmap, 10});
    if (extra_length_ != 0) memory.write(record_ + 0x14, {bitmap + 10, extra_length_});
  } else if (way_ == MdiWay::kBlock) {
    memory.write(kKeyBlock, {bitmap, 12});
  }
}

bool MdiKeyboard::serve(SharedMemoryAccess& memory) {
  const bool done =
      (read_word(memory, kSetUp) & 0x0001) != 0 && (read_word(memory, kSetUpFlags) & 0x0004) != 0;
  bool request = false;
  uint16_t index = 0;
  if (way_ == MdiWay::kMailbox) {
    uint8_t box[32] = {};
    memory.read(kMailbox, box);
    const uint16_t flag = uint16_t(box[0] | box[1] << 8);
    const uint16_t function = uint16_t(box[2] | box[3] << 8);
    request = flag == 1 && function == kReadKeyByte;
    index = uint16_t(box[8] | box[9] << 8);
  }
  uint8_t bitmap[32] = {};
  {
    // The answer and its count come from the same key state.
    std::lock_guard lock(mutex_);
    handshake_ = done;
    if (done) std::memcpy(bitmap, keys_, sizeof bitmap);
    if (request && done && index < sizeof answers_owed_ && answers_owed_[index] != 0)
      --answers_owed_[index];
  }
  publish(memory, bitmap);
  if (!request) return false;

  const uint16_t byte = index < 12 ? bitmap[index] : 0;
  write_word(memory, kMailbox + 4, 0);        // status
  write_word(memory, kMailbox + 6, 0);        // error
  write_word(memory, kMailbox + 20, byte);    // O1
  write_word(memory, kMailbox, 0);            // done: flag last
  return true;
}

}  // namespace cncsim
