#include "keyservice/mdi_key_reader.h"

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

namespace vorkey {
namespace {

uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// A guarded transfer as steps: link test, the transfer, link test.
void add_guarded(std::vector<BusStep>& steps, BusStep transfer) {
  steps.push_back(BusStep::link());
  steps.push_back(transfer);
  steps.push_back(BusStep::link());
}

// Holds the interface lock for a scope.
class Held {
 public:
  explicit Held(moxel::NamedLock& lock) : lock_(lock) { lock_.lock(); }
  ~Held() { lock_.unlock(); }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;

 private:
  moxel::NamedLock& lock_;
};

}  // namespace

CMdiKeyReader::CMdiKeyReader(std::unique_ptr<KeyBus> bus, ReaderOptions options)
    : bus_(std::move(bus)),
      options_(std::move(options)),
      mutex_(kInterfaceMutexName, options_.lock_folder) {}

bool CMdiKeyReader::guarded_read(uint32_t offset, void* data, uint32_t length) {
  std::vector<BusStep> steps;
  add_guarded(steps, BusStep::read(offset, static_cast<uint8_t*>(data), length));
  return bus_->run(steps) == steps.size();
}

bool CMdiKeyReader::guarded_write(uint32_t offset, const void* data, uint32_t length) {
  std::vector<BusStep> steps;
  add_guarded(steps, BusStep::write(offset, static_cast<uint8_t*>(const_cast<void*>(data)), length));
  return bus_->run(steps) == steps.size();
}

int CMdiKeyReader::Read() {
  if (key_block_ != 0) {
    if (read_located()) return 1;
    key_block_ = 0;  // located again on the next tick
    return 0;
  }
  uint16_t status = 0;
  if (!prepare(&status)) return 0;
  if (status & mdi::kStatusChain) {
    if (!locate() || !read_located()) {
      key_block_ = 0;
      return 0;
    }
    return 1;
  }
  if (status & mdi::kStatusNoData) return 0;
  if (status & mdi::kStatusBlock) {
    // prepare() read the fixed block together with the status.
    length = mdi::kFixedBytes;
    return 1;
  }
  return read_mailbox() ? 1 : 0;
}

bool CMdiKeyReader::read_located() {
  std::vector<BusStep> steps;
  add_guarded(steps, BusStep::read(key_block_, current, mdi::kMainBytes));
  if (extra_length_ != 0)
    add_guarded(steps, BusStep::read(extra_block_, current + mdi::kMainBytes, extra_length_));
  if (bus_->run(steps) != steps.size()) return false;
  length = uint8_t(mdi::kMainBytes + extra_length_);
  return true;
}

// Link test, presence test, the handshake set-up when the CNC has not had it yet, and the status
// word. The steps up to the status travel together, under the interface lock, so that a tick with
// a set-up interface costs two device round trips (the presence write goes only after the link
// tests before it were seen to pass). The fixed key block is read along with the status; its bytes
// are used only when the status says the keys are there.
bool CMdiKeyReader::prepare(uint16_t* status) {
  Held held(mutex_);
  uint8_t presence_out[2] = {uint8_t(mdi::kPresenceWord), uint8_t(mdi::kPresenceWord >> 8)};
  uint8_t presence_in[2] = {};
  uint8_t set_up_word[2] = {};
  uint8_t status_word[2] = {};
  std::vector<BusStep> steps;
  steps.push_back(BusStep::link(kLinkBit));  // 0: the link itself
  steps.push_back(BusStep::link());          // 1: link and CNC ready
  add_guarded(steps, BusStep::write(mdi::kPresence, presence_out, 2));  // 2-4
  add_guarded(steps, BusStep::read(mdi::kPresence, presence_in, 2));    // 5-7
  const size_t presence_done = steps.size();
  add_guarded(steps, BusStep::read(mdi::kSetUp, set_up_word, 2));       // 8-10
  const size_t set_up_done = steps.size();
  add_guarded(steps, BusStep::read(mdi::kStatus, status_word, 2));
  add_guarded(steps, BusStep::read(mdi::kKeyBlock, current, mdi::kFixedBytes));

  const size_t done = bus_->run(steps);
  if (done == 0) {
    // The link is down: ask the board to bring it back, and fail until it is.
    bus_->reset_link();
    return false;
  }
  if (done < presence_done) return false;
  if (le16(presence_in) != mdi::kPresenceWord) return false;
  if (done < set_up_done) return false;
  if ((le16(set_up_word) & 0x0002) == 0) {
    if (!set_up()) return false;
    steps.erase(steps.begin(), steps.begin() + set_up_done);
    if (bus_->run(steps) != steps.size()) return false;
  } else if (done != steps.size()) {
    return false;
  }
  *status = le16(status_word);
  return true;
}

// The keyboard handshake, once per CNC start: the set-up descriptor, bit 2 of the flags word, bits 0
// and 1 of the set-up word. Runs under the interface lock held by prepare().
bool CMdiKeyReader::set_up() {
  if (!guarded_write(mdi::kPresence, mdi::kSetUpDescriptor, sizeof mdi::kSetUpDescriptor))
    return false;
  uint16_t flags = 0;
  if (!read_word(mdi::kSetUpFlags, &flags) || !write_word(mdi::kSetUpFlags, flags | 0x0004))
    return false;
  uint16_t set_up = 0;
  return read_word(mdi::kSetUp, &set_up) && write_word(mdi::kSetUp, set_up | 0x0003);
}

// Follows the key descriptor chain to the key bytes.
bool CMdiKeyReader::locate() {
  uint8_t p_bytes[4] = {};
  if (!guarded_read(mdi::kChainPointer, p_bytes, 4)) return false;
  const uint32_t p = le32(p_bytes);
  if (p == 0 || p == 0xFFFFFFFF) return false;
  uint8_t check[2] = {}, unused[2] = {}, q_bytes[4] = {};
  std::vector<BusStep> steps;
  add_guarded(steps, BusStep::read(p + 0x6C, check, 2));
  add_guarded(steps, BusStep::read(p + 0x68, unused, 2));
  add_guarded(steps, BusStep::read(p + 0x64, q_bytes, 4));
  if (bus_->run(steps) != steps.size() || le16(check) != 1) return false;
  uint8_t r_bytes[4] = {};
  if (!guarded_read(le32(q_bytes) + 4, r_bytes, 4)) return false;
  const uint32_t r = le32(r_bytes);
  uint8_t extra = 0;
  if (!guarded_read(r + 0x13, &extra, 1)) return false;
  // The bitmaps hold 32 bytes; a CNC that reports more extra bytes gets the first 22 of them read.
  extra_length_ = uint8_t(std::min<unsigned>(extra, mdi::kMaxExtra));
  key_block_ = r + 8;
  extra_block_ = r + 0x14;
  return true;
}

bool CMdiKeyReader::wait_mailbox_idle() {
  const auto deadline = std::chrono::steady_clock::now() + options_.mailbox_bound;
  for (;;) {
    uint8_t status_word[2] = {}, command[2] = {};
    std::vector<BusStep> steps;
    add_guarded(steps, BusStep::read(mdi::kStatus, status_word, 2));
    const size_t status_done = steps.size();
    add_guarded(steps, BusStep::read(mdi::kMailboxCommand, command, 2));
    const size_t done = bus_->run(steps);
    if (done < status_done) return false;
    if (le16(status_word) & (mdi::kStatusBlock | mdi::kStatusChain)) return false;
    if (done != steps.size()) return false;
    if (le16(command) == 0) return true;
    // A CNC that never clears the command word would otherwise keep this thread and the
    // interface lock forever.
    if (std::chrono::steady_clock::now() >= deadline) return false;
  }
}

bool CMdiKeyReader::read_mailbox() {
  length = mdi::kFixedBytes;
  auto post = [&](uint16_t index) {
    return wait_mailbox_idle() && write_word(mdi::kMailboxArgument, index) &&
           write_word(mdi::kMailboxFunction, mdi::kReadKeyByte) &&
           write_word(mdi::kMailboxCommand, 1);
  };
  for (uint16_t k = 0; k < mdi::kFixedBytes; ++k) {
    uint16_t result = 0;
    {
      Held held(mutex_);
      if (double_request_) {
        // The first answer of these CNCs may be stale: ask twice and keep the second.
        if (!post(k)) return false;
        std::this_thread::sleep_for(options_.mailbox_pause);
      }
      if (!post(k) || !wait_mailbox_idle() || !read_word(mdi::kMailboxResult, &result)) return false;
    }
    current[k] = uint8_t(result);
    std::this_thread::sleep_for(options_.mailbox_pause);
  }
  return true;
}

}  // namespace vorkey
