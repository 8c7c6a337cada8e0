#pragma once
// The LORAND driver core: node table, load and unload, the device-control requests and the Cnbus
// window (read and write requests cut into aligned byte, word and double-word units, each one a
// register transaction under the node's lock). Platform-neutral: everything outside goes through
// LnkPlatform.
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "driver/core/lnk_platform.h"
#include "driver/core/port_io.h"
#include "driver/core/status.h"

namespace lorand {

// Major functions of a request.
constexpr uint8_t IRP_MJ_CREATE = 0x00;
constexpr uint8_t IRP_MJ_CLOSE = 0x02;
constexpr uint8_t IRP_MJ_READ = 0x03;
constexpr uint8_t IRP_MJ_WRITE = 0x04;
constexpr uint8_t IRP_MJ_DEVICE_CONTROL = 0x0E;

// One request. Device control is buffered: input and output share `buffer`, which must hold
// max(input_length, output_length) bytes, and the output overwrites the input. Read and write move
// `length` bytes through `buffer`.
struct LnkRequest {
  uint8_t major = IRP_MJ_DEVICE_CONTROL;
  uint32_t control_code = 0;
  uint32_t input_length = 0;
  uint32_t output_length = 0;
  uint32_t length = 0;
  uint64_t file_position = 0;
  std::span<uint8_t> buffer;
  NTSTATUS status = STATUS_SUCCESS;
  uint32_t information = 0;
};

// The record of a node that came up.
struct LnkNodeExtension {
  std::mutex access_lock;  // serialises the Cnbus units on this node
  bool mapped = false;     // the block was mapped into memory space at load
  uintptr_t base = 0;      // port base, or the address of the mapping
  uint32_t address_space = kAddressSpaceIo;
  NTSTATUS node_state = STATUS_SUCCESS;  // STATUS_INVALID_DEVICE_STATE: busy at load
  PortIo* io = nullptr;                  // port access when address_space is I/O
};

// Clears the 64-byte name buffer, copies the stem and appends `index` in decimal; the name is cut so
// that the buffer always ends in a NUL. Returns the name.
std::string_view MakeIndexdName(std::array<char, 64>& buffer, std::string_view stem, uint32_t index);

// Longest time a unit waits for the busy bit to clear before the request fails with
// STATUS_IO_TIMEOUT.
constexpr std::chrono::milliseconds kDefaultBusyBound{100};

class LnkDriver {
 public:
  explicit LnkDriver(LnkPlatform& platform) : platform_(platform) {}
  ~LnkDriver();
  LnkDriver(const LnkDriver&) = delete;
  LnkDriver& operator=(const LnkDriver&) = delete;

  // Load: reads the configuration below `registry_path`\Parameters, brings up every configured node
  // it can and returns STATUS_SUCCESS, or STATUS_DEVICE_CONFIGURATION_ERROR when none came up.
  NTSTATUS DriverEntry(std::string_view registry_path);
  void LnkUnload();
  bool loaded() const { return loaded_; }

  // Entry points; each completes the request (status and information) before returning.
  void LnkDispatch(LnkRequest& request);
  void LnkReadCnbus(LnkRequest& request);
  void LnkWriteCnbus(LnkRequest& request);
  // A run: request.length / unit units of `unit` bytes (1, 2 or 4) from the file position upwards,
  // each carried out exactly as a read (or write) request of `unit` bytes at its address. Stops at
  // the first unit that fails, with its status and the bytes of the units before it in
  // information. `cancelled` (may be empty) is asked before every kRunCheckInterval units; when
  // it says yes the run stops with STATUS_CANCELLED. The node's lock is held for each such
  // stretch of units and released between them.
  void LnkRunCnbus(LnkRequest& request, uint32_t unit, bool write,
                   const std::function<bool()>& cancelled);
  static constexpr uint32_t kRunCheckInterval = 256;
  // Routes a request to the entry point of its major function.
  void Dispatch(LnkRequest& request);

  // Request handlers, reached through LnkDispatch.
  void LnkIoctlSetInfo(LnkRequest& request);
  void LnkIoctlGetNodeName(LnkRequest& request);
  void LnkIoctlReadPort(LnkRequest& request);
  void LnkIoctlWritePort(LnkRequest& request);
  void LnkIoctlReadPortWide(LnkRequest& request);
  void LnkIoctlWritePortWide(LnkRequest& request);
  uint32_t GetCncType(uint32_t node);

  // The six unit routines. Each takes the lock, waits for the board, runs one transaction and
  // releases the lock; false when the busy bit did not clear within `bound` (the lock is released
  // and, for a read, the value is not set).
  static bool LnkCnbusRead1Byte(PortIo& io, uint32_t base, uint32_t address, std::mutex& lock,
                                uint8_t* value, std::chrono::nanoseconds bound);
  static bool LnkCnbusRead1Word(PortIo& io, uint32_t base, uint32_t address, std::mutex& lock,
                                uint16_t* value, std::chrono::nanoseconds bound);
  static bool LnkCnbusRead1Dword(PortIo& io, uint32_t base, uint32_t address, std::mutex& lock,
                                 uint32_t* value, std::chrono::nanoseconds bound);
  static bool LnkCnbusWrite1Byte(PortIo& io, uint32_t base, uint32_t address, std::mutex& lock,
                                 uint8_t value, std::chrono::nanoseconds bound);
  static bool LnkCnbusWrite1Word(PortIo& io, uint32_t base, uint32_t address, std::mutex& lock,
                                 uint16_t value, std::chrono::nanoseconds bound);
  static bool LnkCnbusWrite1Dword(PortIo& io, uint32_t base, uint32_t address, std::mutex& lock,
                                  uint32_t value, std::chrono::nanoseconds bound);

  void set_busy_bound(std::chrono::nanoseconds bound) { busy_bound_ = bound; }
  std::chrono::nanoseconds busy_bound() const { return busy_bound_; }

  // The node record of a node that came up, or nullptr.
  const LnkNodeExtension* node(uint32_t n) const { return n < kNodeSlots ? nodes_[n].get() : nullptr; }
  const std::string& parameters_path() const { return parameters_path_; }

 private:
  // Common checks of the register and Cnbus requests: node number, device, node state.
  NTSTATUS check_node(uint32_t n) const;
  const LnkNodeExtension* register_target(LnkRequest& request, unsigned width, bool width_ok,
                                          uint16_t* offset);
  void transfer(LnkRequest& request, bool write);
  LnkNodeExtension* transfer_target(LnkRequest& request);
  // The units of `length` bytes at `address`, each under the node's lock, or all under the lock
  // the caller holds (`lock_held`).
  bool transfer_units(LnkNodeExtension& node, uint32_t address, uint8_t* data, uint32_t length,
                      bool write, bool lock_held, uint32_t* done);

  LnkPlatform& platform_;
  std::array<std::unique_ptr<LnkNodeExtension>, kNodeSlots> nodes_;
  std::string parameters_path_;
  bool loaded_ = false;
  std::chrono::nanoseconds busy_bound_ = kDefaultBusyBound;
};

}  // namespace lorand
