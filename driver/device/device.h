#pragma once
// Client side of the LORAND device: the three calls every program needs (device control, read and
// write at a 64-bit file position) over one connection to lorandd, plus a batch that carries many
// such requests in few messages. The daemon carries a batch out one request at a time, in order,
// exactly as if each had been sent alone, so the board sees the same unit sequence.
#include <chrono>
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

// Longest wait for one answer: a message moves at most 64 KiB, so at most 65536 units (well
// under a second even on a slow ISA bus) plus one busy bound (100 ms) per node, since a node whose
// unit timed out fails the rest of the message at once. Ten times that leaves room for a loaded
// machine. The hello of a new connection is answered at once by a live daemon: kHelloBound.
constexpr std::chrono::milliseconds kAnswerBound{10000};
constexpr std::chrono::milliseconds kHelloBound{2000};

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

  // Connects to the device socket; false (errno set) when there is no daemon or no access
  // (ENOENT, ECONNREFUSED, EACCES), the server is not a trusted lorandd (EPERM), speaks another
  // protocol version (EPROTO) or does not answer in time (ETIMEDOUT); the last three are also
  // said on standard error. A server is trusted when the socket file and the process serving it
  // belong to root, to the system user "lorand", or to the user of this program.
  // A connection that breaks (the daemon stopped or was restarted) fails the request under way with
  // STATUS_PIPE_BROKEN; a daemon that does not answer within answer_bound() fails it with
  // STATUS_IO_TIMEOUT and the connection is dropped. The next request connects again to the same
  // socket (also after an open that failed), so a program outlives a restart of lorandd, and a
  // stopped daemon costs each request at most the bound.
  bool open(const std::filesystem::path& path = default_device_path());
  bool is_open() const { return fd_ >= 0; }
  void close();

  // DeviceIoControl: `in` is the input buffer; `out` is the output buffer, whose size is the output
  // length. On return out[0, information) holds the output.
  IoResult control(uint32_t code, std::span<const uint8_t> in, std::span<uint8_t> out);
  // ReadFile / WriteFile of data.size() bytes at `position` (see file_position).
  IoResult read(uint64_t position, std::span<uint8_t> data);
  IoResult write(uint64_t position, std::span<const uint8_t> data);

  // Runs every request of the batch, in order, in as few messages as fit; the next message is sent
  // before the answer of the one before is read. False when the connection broke or the daemon
  // did not answer; the results not received then read STATUS_PIPE_BROKEN (or STATUS_IO_TIMEOUT).
  // With `stop_at_failure`, no message is sent after one whose answer holds a failure, and the
  // results of the requests not sent read STATUS_CANCELLED.
  bool run(Batch& batch, bool stop_at_failure = false);

  // A run: data.size() / unit units of `unit` bytes (1, 2 or 4) from `position` upwards, each
  // carried out by lorandd exactly as a read (write) request of `unit` bytes, carried in pieces
  // that fit a message. Stops at the first unit that fails: its status, and the bytes of the units
  // done before it in information.
  IoResult read_run(uint64_t position, unsigned unit, std::span<uint8_t> data);
  IoResult write_run(uint64_t position, unsigned unit, std::span<const uint8_t> data);

  // Longest wait for an answer of lorandd (see kAnswerBound).
  std::chrono::milliseconds answer_bound() const { return answer_bound_; }
  void set_answer_bound(std::chrono::milliseconds bound);

 private:
  // One request and its answer, through the buffers below; false when the connection broke.
  bool exchange(size_t* answer_length);
  bool send_request();
  bool receive_answer(size_t* answer_length);
  void set_timeouts(std::chrono::milliseconds bound);
  bool connect_to(const std::filesystem::path& path);
  bool trusted_server(const std::string& path);
  bool greet();
  IoResult run_pieces(uint64_t position, unsigned unit, std::span<uint8_t> data, bool write);
  // Connected, or connected again after a broken connection; false when the daemon is not there.
  bool connected();
  void drop();  // closes a broken connection, keeping the path for the next request
  IoResult single(const wire::Item& item, std::span<uint8_t> out);
  IoResult transfer(uint64_t position, std::span<uint8_t> data, bool write);

  int fd_ = -1;
  // Why the last request could not be made: STATUS_PIPE_BROKEN, STATUS_IO_TIMEOUT (no answer in
  // time) or STATUS_REVISION_MISMATCH (a daemon of another protocol version).
  NTSTATUS failure_ = STATUS_PIPE_BROKEN;
  std::chrono::milliseconds answer_bound_ = kAnswerBound;
  std::chrono::steady_clock::time_point last_answer_{};
  bool warned_ = false;           // a refused server was reported on standard error
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
  // Makes the request added last conditional: carried out only when request `guard` of this batch
  // (one added before it) succeeded and read at least one byte, every one of them 0; otherwise it
  // touches nothing and reports STATUS_CANCELLED. Lets an idle-flag read and the memory accesses it
  // guards travel in one message.
  void only_if_zero(size_t guard);
  // One run item (see Device::read_run); data.size() must be a multiple of `unit`. One of more
  // than kMaxRunBytes goes on its own, in pieces.
  void read_run(uint64_t position, unsigned unit, std::span<uint8_t> data, IoResult* result = nullptr);
  void write_run(uint64_t position, unsigned unit, std::span<const uint8_t> data,
                 IoResult* result = nullptr);
  // Most bytes of a run item: a write run of this size alone in a batch fills a message.
  static constexpr size_t kMaxRunBytes = 65500;
  static constexpr size_t kNoGuard = SIZE_MAX;  // no request of the batch
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
    size_t zero_guard;       // only_if_zero: the guarding request; kNoGuard when none
    std::span<uint8_t> output;
    IoResult* result;
  };
  std::vector<Item> items_;
  std::vector<uint8_t> inputs_;
};

}  // namespace lorand
