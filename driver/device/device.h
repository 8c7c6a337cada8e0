#pragma once
// Client side of the LORAND device: the three calls every program needs (device control, read and
// write at a 64-bit file position) over one connection to lorandd, plus a batch that carries many
// such requests in few messages. The daemon carries a batch out one request at a time, in order,
// exactly as if each had been sent alone, so the board sees the same unit sequence.
#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "driver/core/status.h"

namespace lorand {

// $MOXEL_RUNDIR/LORAND
std::filesystem::path default_device_path();

// File position of a read or write request: node in the high half, Cnbus address in the low half.
constexpr uint64_t file_position(uint32_t node, uint32_t address) {
  return (uint64_t(node) << 32) | address;
}

struct IoResult {
  NTSTATUS status = STATUS_PIPE_BROKEN;
  uint32_t information = 0;  // byte count
};

class Batch;
namespace wire {
struct Item;
}

// One connection to lorandd, like one open handle. A Device is used by one thread at a time; threads
// that work in parallel each open their own.
class Device {
 public:
  Device() = default;
  ~Device();
  Device(Device&& other) noexcept;
  Device& operator=(Device&& other) noexcept;
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // Connects to the device socket; false (errno set) when there is no daemon or no access.
  // A connection that breaks (the daemon stopped or was restarted) fails the request under way with
  // STATUS_PIPE_BROKEN; the next request connects again to the same socket, so a program outlives
  // a restart of lorandd.
  bool open(const std::filesystem::path& path = default_device_path());
  bool is_open() const { return fd_ >= 0; }
  void close();

  // DeviceIoControl: `in` is the input buffer; `out` is the output buffer, whose size is the output
  // length. On return out[0, information) holds the output.
  IoResult control(uint32_t code, std::span<const uint8_t> in, std::span<uint8_t> out);
  // ReadFile / WriteFile of data.size() bytes at `position` (see file_position).
  IoResult read(uint64_t position, std::span<uint8_t> data);
  IoResult write(uint64_t position, std::span<const uint8_t> data);

  // Runs every request of the batch, in order, in as few messages as fit. False when the connection
  // broke; the results not received then read STATUS_PIPE_BROKEN.
  bool run(Batch& batch);

 private:
  // One request and its answer, through the buffers below; false when the connection broke.
  bool exchange(size_t* answer_length);
  bool connect_to(const std::filesystem::path& path);
  // Connected, or connected again after a broken connection; false when the daemon is not there.
  bool connected();
  void drop();  // closes a broken connection, keeping the path for the next request
  IoResult single(const wire::Item& item, std::span<uint8_t> out);
  IoResult transfer(uint64_t position, std::span<uint8_t> data, bool write);

  int fd_ = -1;
  std::filesystem::path path_;    // where open() connected; empty after close()
  std::vector<uint8_t> request_;  // the message being sent
  std::vector<uint8_t> answer_;   // room for the largest answer, kept between calls
};

// Requests gathered for one Device::run. Write data and control inputs are copied when added;
// output spans must stay valid until the run.
class Batch {
 public:
  void control(uint32_t code, std::span<const uint8_t> in, std::span<uint8_t> out,
               IoResult* result = nullptr);
  void read(uint64_t position, std::span<uint8_t> data, IoResult* result = nullptr);
  void write(uint64_t position, std::span<const uint8_t> data, IoResult* result = nullptr);
  // A read carried out only when the request just before it in the batch succeeded and the first
  // byte of its output has every bit of `mask` set; otherwise it touches nothing and reports
  // STATUS_CANCELLED with no bytes. Lets a status-register test and the memory read it guards
  // travel in one message while the board sees exactly the accesses of the unbatched sequence.
  void read_if(uint8_t mask, uint64_t position, std::span<uint8_t> data,
               IoResult* result = nullptr);
  size_t size() const { return items_.size(); }
  void clear();

 private:
  friend class Device;
  struct Item {
    uint32_t kind;
    uint32_t code;
    uint64_t position;
    size_t input_offset;  // into inputs_
    uint32_t input_length;
    uint8_t condition_mask;  // read_if: the bits the byte before must have set
    std::span<uint8_t> output;
    IoResult* result;
  };
  std::vector<Item> items_;
  std::vector<uint8_t> inputs_;
};

}  // namespace lorand
