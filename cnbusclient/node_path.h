#pragma once
// How the client's unit and register operations reach a node: the driver path (requests to
// lorandd, block transfers carried in batches) and the direct path (the register protocol run here
// over port access). Both take a sequence of operations and carry them out in order, one board
// access sequence per operation, so callers never see which path is used.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "cnbusclient/direct_units.h"
#include "cnbusclient/port_access.h"

namespace cnbus {

class SharedDevice;

struct UnitOp {
  enum class Kind : uint8_t {
    kRead,          // one memory unit of `size` bytes at `address`
    kWrite,         // one memory unit of `size` bytes of `value` at `address`
    kControlWrite,  // a word write without the link test (direct path: nothing at an odd address)
    kRegisterRead,  // one byte of register `address` (0 to 15)
    kRegisterWrite, // one byte `value` to register `address`
    kReadIfReady,   // a kRead carried out only when the latest kRegisterRead before it in the
                    // same run succeeded and showed every bit of `mask`
  };
  Kind kind = Kind::kRead;
  uint8_t size = 1;
  uint8_t mask = 0;
  uint8_t shift = 0;     // for the caller: where a piece goes in its element
  uint32_t element = 0;  // for the caller: which element a piece belongs to
  uint32_t address = 0;
  uint32_t value = 0;    // write: the value; read: the result, all ones of the size when not read
  bool ok = false;       // the access was carried out and succeeded
};

constexpr uint32_t all_ones(unsigned size) {
  return size >= 4 ? 0xFFFFFFFFu : (1u << (8 * size)) - 1;
}

// One transfer of a checked sequence (NodePath::run_checked): a run as run_units takes it (no
// run when count is 0), then a read of the status register.
struct CheckedRun {
  bool write = false;
  unsigned size = 1;
  uint32_t address = 0;
  size_t count = 0;
  uint8_t* data = nullptr;  // count * size bytes; only read from for a write
  // An earlier read of the same sequence (its index), or -1: the run is carried out only when
  // that read did all its units and every byte it read is 0. Its status register is read anyway.
  int guard = -1;
  bool skipped = false;     // out: the guard did not allow the run
  size_t done = 0;          // out: the units done before the first that failed
  std::optional<uint8_t> status;  // out: the status register after the run, when it could be read
};

class NodePath {
 public:
  virtual ~NodePath() = default;
  virtual void run(uint32_t node, std::span<UnitOp> ops) = 0;
  // A run: `count` aligned units of `size` bytes from `address` upwards, read into or written from
  // `data` (count * size bytes, little-endian), each carried out as its own unit, in order. Stops
  // at the first unit that fails; returns the number of units done.
  virtual size_t run_units(uint32_t node, bool write, unsigned size, uint32_t address, size_t count,
                           uint8_t* data) = 0;
  // The runs in order, each followed by its status register read; every run is carried out
  // whatever the reads before it showed.
  virtual void run_checked(uint32_t node, std::span<CheckedRun> runs) = 0;
};

// Every operation is a request to lorandd. One operation travels alone as one request; longer
// sequences travel in batches of at most kBatchUnits operations, which the daemon carries out one
// by one exactly as separate requests.
class DriverPath final : public NodePath {
 public:
  static constexpr size_t kBatchUnits = 8192;
  explicit DriverPath(SharedDevice& device) : device_(device) {}
  void run(uint32_t node, std::span<UnitOp> ops) override;
  // Carried as run items, in pieces of one message, the next piece sent before the answer of the
  // one before is read.
  size_t run_units(uint32_t node, bool write, unsigned size, uint32_t address, size_t count,
                   uint8_t* data) override;
  // All of it in one batch: the runs and the register reads travel together, in one message
  // when they fit.
  void run_checked(uint32_t node, std::span<CheckedRun> runs) override;

 private:
  void run_single(uint32_t node, UnitOp& op, const UnitOp* last_register_read);
  SharedDevice& device_;
};

// The register protocol run by the client, with one port access per node (null: the node's ports
// cannot be reached, so every access fails). Each operation holds its node's lock from its first
// register access to its last, so the units of two threads of the process never mix their register
// steps (a unit is address, command and data in one sequence; mixed steps would read or write the
// wrong memory).
class DirectPath final : public NodePath {
 public:
  DirectPath(std::vector<std::unique_ptr<PortAccess>> ports, std::vector<uint32_t> bases,
             std::chrono::nanoseconds busy_bound = kDefaultBusyBound);
  void run(uint32_t node, std::span<UnitOp> ops) override;
  size_t run_units(uint32_t node, bool write, unsigned size, uint32_t address, size_t count,
                   uint8_t* data) override;
  void run_checked(uint32_t node, std::span<CheckedRun> runs) override;

 private:
  std::vector<std::unique_ptr<PortAccess>> ports_;
  std::unique_ptr<std::mutex[]> locks_;
  std::vector<uint32_t> bases_;
  std::chrono::nanoseconds bound_;
};

}  // namespace cnbus
