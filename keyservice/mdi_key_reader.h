#pragma once
// CMdiKeyReader: reads the state of every key of the CNC's MDI keyboard from node 0 once per tick,
// as a bitmap of one bit per key. Before the first read it sets up the keyboard handshake in the
// CNC's MDI interface block, then reads the keys the way this CNC offers them: through the key
// descriptor chain (located once, then two transfers per tick), from the fixed 12-byte key block,
// or one byte per request through the mailbox. The set-up and every mailbox byte run under the
// interface lock shared with Kestrel32.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>

#include "keyservice/key_bus.h"
#include "platform/named_lock.h"

namespace vorkey {

// The system-wide lock that keeps the programs from interleaving their use of a CNC interface.
constexpr const char* kInterfaceMutexName = "MoxelKestrelCncInterfaceMutex";

// MDI interface block: offsets from the CNC base.
namespace mdi {
constexpr uint32_t kChainPointer = 0x0000C;
constexpr uint32_t kStatus = 0xD0000;
constexpr uint32_t kSetUp = 0xD0002;
constexpr uint32_t kSetUpFlags = 0xD0004;
constexpr uint32_t kPresence = 0xD0006;
constexpr uint32_t kMailboxCommand = 0xD0100;
constexpr uint32_t kMailboxFunction = 0xD0102;
constexpr uint32_t kMailboxArgument = 0xD0108;
constexpr uint32_t kMailboxResult = 0xD0114;
constexpr uint32_t kKeyBlock = 0xD0300;
constexpr uint16_t kPresenceWord = 0x0020;
constexpr uint16_t kReadKeyByte = 6;
// Status bits.
constexpr uint16_t kStatusNoData = 0x12;  // 0x02 or 0x10: no key data this tick
constexpr uint16_t kStatusBlock = 0x04;
constexpr uint16_t kStatusChain = 0x08;
// The bitmaps hold 32 bytes: 10 main key bytes and at most 22 more.
constexpr unsigned kBitmapBytes = 32;
constexpr unsigned kMainBytes = 10;
constexpr unsigned kMaxExtra = kBitmapBytes - kMainBytes;
constexpr unsigned kFixedBytes = 12;
// The 14-byte set-up descriptor written at kPresence.
constexpr uint8_t kSetUpDescriptor[14] = {0x20, 0x00, 0x00, 0x01, 0x50, 0x19, 0x00,
                                          0x10, 0x00, 0x02, 0x00, 0x03, 0x00, 0x04};
}  // namespace mdi

struct ReaderOptions {
  // Folder of the interface lock file; empty: the run folder.
  std::filesystem::path lock_folder;
  // How long one wait for the mailbox to become idle may last before the read fails.
  std::chrono::milliseconds mailbox_bound{500};
  // The pause after each mailbox request (1 ms; tests may shorten it).
  std::chrono::microseconds mailbox_pause{1000};
};

class CMdiKeyReader {
 public:
  explicit CMdiKeyReader(std::unique_ptr<KeyBus> bus, ReaderOptions options = {});
  CMdiKeyReader(const CMdiKeyReader&) = delete;
  CMdiKeyReader& operator=(const CMdiKeyReader&) = delete;

  // Fills the current bitmap and the key data length; 1 on success, 0 on failure.
  int Read();

  // Set at every settings rebuild: 1 when DefaultTable is below 2 (unsigned).
  void SetDoubleRequest(bool on) { double_request_ = on; }
  bool double_request() const { return double_request_; }

  bool device_valid() const { return bus_->valid(); }
  KeyBus& bus() { return *bus_; }

  // The tick's comparison reads both bitmaps and updates the previous one.
  uint8_t previous[mdi::kBitmapBytes] = {};
  uint8_t current[mdi::kBitmapBytes] = {};
  uint8_t length = 0;

  // For tests: where the chain put the key bytes (0 while not located).
  uint32_t key_block_address() const { return key_block_; }
  uint8_t extra_length() const { return extra_length_; }

 private:
  bool read_located();
  // Link, presence, set-up and the status word (in *status); false when the read fails.
  bool prepare(uint16_t* status);
  bool set_up();
  bool locate();
  bool read_mailbox();
  // Waits until the mailbox command word reads 0; false when the status shows 0x04 or 0x08, an
  // access fails, or the bound passes.
  bool wait_mailbox_idle();
  // One guarded transfer: link test, the transfer, link test.
  bool guarded_read(uint32_t offset, void* data, uint32_t length);
  bool guarded_write(uint32_t offset, const void* data, uint32_t length);
  bool read_word(uint32_t offset, uint16_t* value) { return guarded_read(offset, value, 2); }
  bool write_word(uint32_t offset, uint16_t value) { return guarded_write(offset, &value, 2); }

  std::unique_ptr<KeyBus> bus_;
  ReaderOptions options_;
  moxel::NamedLock mutex_;
  bool double_request_ = true;  // DefaultTable 0 until the first rebuild says otherwise
  uint32_t key_block_ = 0;
  uint32_t extra_block_ = 0;
  uint8_t extra_length_ = 0;
};

}  // namespace vorkey
