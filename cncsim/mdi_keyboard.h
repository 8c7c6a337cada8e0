#pragma once
// The MDI keyboard interface of a simulated CNC's running system: it holds which keys are down and
// publishes them in the CNC's MDI interface block in one of the three ways a CNC offers them:
//
//   chain    status bit 0x08; word at 0x0000C points to a descriptor P (P+0x6C = 1, P+0x64 -> Q),
//            Q+4 -> R; R+8 holds the 10 main key bytes, R+0x13 the extra length L, R+0x14 the L
//            extra key bytes. The running system's descriptor is such a chain; when one is laid
//            out already, the keys go where it leads (L as it stands there), else the keyboard
//            lays out its own at kDescriptor
//   block    status bit 0x04; the 12 key bytes at 0xD0300
//   mailbox  status bits 0x02, 0x04, 0x08, 0x10 clear; function 6 of the mailbox at 0xD0100 answers
//            key byte I1 (0xD0108) in O1 (0xD0114)
//
// (offsets in the CNC's shared memory, space 0x20 from 0xC00000). It answers the keyboard
// handshake: keys are published only once the PC has set bit 0 of the set-up word (0xD0002) and
// bit 2 of the flags word (0xD0004); until then the bitmap reads all keys up.
//
// The class runs on whatever thread drives the CNC's software; press() and release() may come
// from any thread.
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>

namespace cncsim {

enum class MdiWay { kChain, kBlock, kMailbox };
std::optional<MdiWay> mdi_way_from_name(const std::string& name);
const char* mdi_way_name(MdiWay way);

// A key number from "KEY_xy" (byte index in hex, then the bit index 0 to 7; any case) or a plain
// number from 0 to 255.
std::optional<unsigned> parse_key_name(const std::string& word);

// The CNC's view of its shared memory (offsets from 0xC00000).
class SharedMemoryAccess {
 public:
  virtual ~SharedMemoryAccess() = default;
  virtual void read(uint32_t offset, std::span<uint8_t> out) = 0;
  virtual void write(uint32_t offset, std::span<const uint8_t> data) = 0;
};

class MdiKeyboard {
 public:
  static constexpr unsigned kKeys = 256;
  static constexpr uint32_t kStatus = 0xD0000;
  static constexpr uint32_t kSetUp = 0xD0002;
  static constexpr uint32_t kSetUpFlags = 0xD0004;
  static constexpr uint32_t kMailbox = 0xD0100;
  static constexpr uint32_t kKeyBlock = 0xD0300;
  static constexpr uint32_t kChainPointer = 0x0000C;
  // Where this CNC keeps its key descriptors: out of the way of the communication area and the
  // transfer buffer.
  static constexpr uint32_t kDescriptor = 0x3F0000;
  static constexpr uint16_t kReadKeyByte = 6;

  // `extra_length`: the extra key bytes the chain way reports (at most 22; the bitmap has 32).
  explicit MdiKeyboard(MdiWay way, uint8_t extra_length = 2);

  MdiWay way() const { return way_; }
  // Bytes of the key bitmap this way publishes: 10 + extra length (chain) or 12.
  unsigned bitmap_bytes() const;
  // Chain way, after start(): R, the chain's key record.
  uint32_t chain_record() const { return record_; }

  void press(unsigned key);
  void release(unsigned key);
  bool is_down(unsigned key) const;

  // At the running system's start: lays out the descriptors of the way and its status bits
  // (the other bits of the status word are kept).
  void start(SharedMemoryAccess& memory);
  // After the PC has written: publishes the keys when the handshake is done, and answers a posted
  // mailbox request for function 6. Returns true when it answered a request.
  bool serve(SharedMemoryAccess& memory);
  // Whether the PC has completed the keyboard handshake, as last seen by serve().
  bool handshake_done() const;
  // Mailbox way, handshake done: whether a key byte changed by press() or release() has not yet
  // been answered twice since (a reader that asks twice per byte keeps the second answer; one
  // that asks once has had it once and asks again on its next tick). A key held or let go for
  // less time than the reader takes to come back to its byte is never seen, since the CNC keeps
  // no key buffer; whoever drives the keyboard waits for this to clear before the next stroke.
  // Always false for the chain and block ways, whose bytes the PC reads without the CNC seeing.
  bool keys_unread() const;

 private:
  void publish(SharedMemoryAccess& memory, const uint8_t* bitmap);
  void changed(unsigned key);
  // Takes over a chain laid out by the CNC's system; false when there is none.
  bool adopt_chain(SharedMemoryAccess& memory);
  uint32_t read_dword(SharedMemoryAccess& memory, uint32_t offset);
  uint16_t read_word(SharedMemoryAccess& memory, uint32_t offset);
  void write_word(SharedMemoryAccess& memory, uint32_t offset, uint16_t value);

  const MdiWay way_;
  uint8_t extra_length_;
  uint32_t record_ = kDescriptor + 0x200;
  mutable std::mutex mutex_;
  uint8_t keys_[32] = {};
  uint8_t answers_owed_[12] = {};  // per mailbox key byte, since its last change
  bool handshake_ = false;
};

}  // namespace cncsim
