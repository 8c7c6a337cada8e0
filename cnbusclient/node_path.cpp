#include "cnbusclient/node_path.h"

#include "cnbusclient/shared_device.h"
#include "driver/core/status.h"

#include <algorithm>

namespace cnbus {
namespace {

using Kind = UnitOp::Kind;

bool is_read(Kind k) { return k == Kind::kRead || k == Kind::kReadIfReady; }

// Whether a guarded read may run, given the latest register read before it.
bool condition_holds(const UnitOp& op, const UnitOp* last_register_read) {
  return last_register_read && last_register_read->ok &&
         (last_register_read->value & op.mask) == op.mask;
}

void register_record(uint8_t* record, uint32_t node, uint32_t offset, uint8_t value) {
  for (int i = 0; i < 4; ++i) record[i] = uint8_t(node >> (8 * i));
  record[4] = uint8_t(offset);
  record[5] = uint8_t(offset >> 8);
  record[6] = value;
  record[7] = 0;
}

uint32_t little_endian(const uint8_t* p, unsigned size) {
  uint32_t v = 0;
  for (unsigned i = 0; i < size; ++i) v |= uint32_t(p[i]) << (8 * i);
  return v;
}

void put_little_endian(uint8_t* p, unsigned size, uint32_t v) {
  for (unsigned i = 0; i < size; ++i) p[i] = uint8_t(v >> (8 * i));
}

// A finished read: the value when the request succeeded with every byte, else all ones.
void finish_read(UnitOp& op, const lorand::IoResult& r, const uint8_t* data) {
  op.ok = lorand::nt_success(r.status) && r.information == op.size;
  op.value = op.ok ? little_endian(data, op.size) : all_ones(op.size);
}

// Whether the guard of runs[k], an earlier read, did all its units and read only zero bytes.
bool read_only_zero(std::span<const CheckedRun> runs, size_t k) {
  const int g = runs[k].guard;
  if (g < 0 || size_t(g) >= k) return false;
  const CheckedRun& guard = runs[size_t(g)];
  if (guard.write || guard.skipped || guard.count == 0 || guard.done != guard.count) return false;
  return std::all_of(guard.data, guard.data + guard.count * guard.size, [](uint8_t b) { return b == 0; });
}

}  // namespace

// --- driver path ---

void DriverPath::run_single(uint32_t node, UnitOp& op, const UnitOp* last_register_read) {
  uint8_t data[8] = {};
  switch (op.kind) {
    case Kind::kReadIfReady:
      if (!condition_holds(op, last_register_read)) {
        op.ok = false;
        op.value = all_ones(op.size);
        return;
      }
      [[fallthrough]];
    case Kind::kRead: {
      auto r = device_.read(lorand::file_position(node, op.address), std::span(data, op.size));
      finish_read(op, r, data);
      return;
    }
    case Kind::kWrite:
    case Kind::kControlWrite: {
      put_little_endian(data, op.size, op.value);
      auto r = device_.write(lorand::file_position(node, op.address), std::span(data, op.size));
      op.ok = lorand::nt_success(r.status);
      return;
    }
    case Kind::kRegisterRead: {
      uint8_t record[8];
      register_record(record, node, op.address, 0);
      auto r = device_.control(lorand::IOCTL_LNK_READ_PORT, record, std::span(data, 1));
      op.ok = lorand::nt_success(r.status) && r.information == 1;
      op.value = op.ok ? data[0] : 0xFF;
      return;
    }
    case Kind::kRegisterWrite: {
      uint8_t record[8];
      register_record(record, node, op.address, uint8_t(op.value));
      auto r = device_.control(lorand::IOCTL_LNK_WRITE_PORT, record, {});
      op.ok = lorand::nt_success(r.status);
      return;
    }
  }
}

void DriverPath::run(uint32_t node, std::span<UnitOp> ops) {
  if (ops.size() == 1) {
    run_single(node, ops[0], nullptr);
    return;
  }
  // Output buffers of the batched reads (4 bytes per operation of the current batch), results and
  // the batch itself, kept per thread so that a block allocates nothing once warm.
  thread_local std::vector<uint8_t> buffers;
  thread_local std::vector<lorand::IoResult> results;
  thread_local lorand::Batch batch;
  batch.clear();
  size_t begin = 0;  // first operation of the batch being gathered
  const UnitOp* last_register_read = nullptr;

  auto flush = [&](size_t end) {
    if (batch.size() > 0) {
      device_.run(batch);
      for (size_t i = begin; i < end; ++i) {
        UnitOp& op = ops[i];
        const lorand::IoResult& r = results[i - begin];
        const uint8_t* data = &buffers[(i - begin) * 4];
        switch (op.kind) {
          case Kind::kRead:
          case Kind::kReadIfReady:
            finish_read(op, r, data);
            break;
          case Kind::kRegisterRead:
            op.ok = lorand::nt_success(r.status) && r.information == 1;
            op.value = op.ok ? data[0] : 0xFF;
            break;
          default:
            op.ok = lorand::nt_success(r.status);
            break;
        }
      }
    }
    batch.clear();
    begin = end;
  };

  size_t i = 0;
  while (i < ops.size()) {
    if (batch.size() == 0) {
      // Room for a whole batch; a pointer into these must not move while the batch is gathered.
      const size_t room = std::min(ops.size() - i, kBatchUnits + 1);
      buffers.assign(room * 4, 0);
      results.assign(room, lorand::IoResult{});
      begin = i;
    }
    UnitOp& op = ops[i];
    const size_t k = i - begin;
    uint8_t* data = &buffers[k * 4];
    const uint64_t position = lorand::file_position(node, op.address);
    switch (op.kind) {
      case Kind::kRead:
        batch.read(position, std::span(data, op.size), &results[k]);
        break;
      case Kind::kReadIfReady:
        if (k > 0 && ops[i - 1].kind == Kind::kRegisterRead) {
          batch.read_if(op.mask, position, std::span(data, op.size), &results[k]);
        } else {
          // The guard is not the request just before: decide here on its known result.
          flush(i);
          run_single(node, op, last_register_read);
          begin = i + 1;
          ++i;
          continue;
        }
        break;
      case Kind::kWrite:
      case Kind::kControlWrite: {
        uint8_t bytes[4];
        put_little_endian(bytes, op.size, op.value);
        batch.write(position, std::span(bytes, op.size), &results[k]);
        break;
      }
      case Kind::kRegisterRead:
      case Kind::kRegisterWrite: {
        uint8_t record[8];
        const bool write = op.kind == Kind::kRegisterWrite;
        register_record(record, node, op.address, write ? uint8_t(op.value) : 0);
        batch.control(write ? lorand::IOCTL_LNK_WRITE_PORT : lorand::IOCTL_LNK_READ_PORT, record,
                      write ? std::span<uint8_t>() : std::span(data, 1), &results[k]);
        break;
      }
    }
    if (op.kind == Kind::kRegisterRead) last_register_read = &op;
    ++i;
    // Keep a guarded read in the same batch as the register read it depends on.
    const bool next_is_guarded = i < ops.size() && ops[i].kind == Kind::kReadIfReady &&
                                 ops[i - 1].kind == Kind::kRegisterRead;
    if (batch.size() >= kBatchUnits && !next_is_guarded) flush(i);
  }
  flush(ops.size());
}

size_t DriverPath::run_units(uint32_t node, bool write, unsigned size, uint32_t address,
                             size_t count, uint8_t* data) {
  const uint64_t position = lorand::file_position(node, address);
  size_t done = 0;
  // The byte count of a result is 32 bits: longer blocks go as several runs of at most 1 GiB.
  constexpr size_t kMostUnits = size_t(1) << 30 >> 2;
  while (done < count) {
    const size_t units = std::min(count - done, kMostUnits);
    const auto bytes = std::span<uint8_t>(data + done * size, units * size);
    const uint64_t at = (position & 0xFFFFFFFF00000000ull) | uint32_t(uint32_t(position) + done * size);
    const lorand::IoResult r = write ? device_.write_run(at, size, bytes) : device_.read_run(at, size, bytes);
    done += std::min<size_t>(r.information / size, units);
    if (r.status != lorand::STATUS_SUCCESS) break;
  }
  return done;
}

void DriverPath::run_checked(uint32_t node, std::span<CheckedRun> runs) {
  thread_local lorand::Batch batch;
  thread_local std::vector<lorand::IoResult> results;
  thread_local std::vector<uint8_t> statuses;
  thread_local std::vector<size_t> items;  // per run: its run item in the batch
  batch.clear();
  results.assign(runs.size() * 2, lorand::IoResult{});
  statuses.assign(runs.size(), 0xFF);
  items.assign(runs.size(), lorand::Batch::kNoGuard);
  for (size_t k = 0; k < runs.size(); ++k) {
    CheckedRun& run = runs[k];
    const auto bytes = std::span<uint8_t>(run.data, run.count * run.size);
    const uint64_t position = lorand::file_position(node, run.address);
    // A guard must be an earlier read that reads something; any other never allows the run.
    const bool guard_valid = run.guard < 0 || (size_t(run.guard) < k && !runs[size_t(run.guard)].write &&
                                               items[size_t(run.guard)] != lorand::Batch::kNoGuard);
    if (run.count > 0 && !guard_valid) {
      results[2 * k] = lorand::IoResult{lorand::STATUS_CANCELLED, 0};
    } else if (run.count > 0) {
      items[k] = batch.size();
      if (run.write) batch.write_run(position, run.size, bytes, &results[2 * k]);
      else batch.read_run(position, run.size, bytes, &results[2 * k]);
      if (run.guard >= 0) batch.only_if_zero(items[size_t(run.guard)]);
    }
    uint8_t record[8];
    register_record(record, node, lorand::kRegStatus, 0);
    batch.control(lorand::IOCTL_LNK_READ_PORT, record, std::span(&statuses[k], 1), &results[2 * k + 1]);
  }
  device_.run(batch);
  batch.clear();
  for (size_t k = 0; k < runs.size(); ++k) {
    CheckedRun& run = runs[k];
    const lorand::IoResult& r = results[2 * k];
    run.done = run.count > 0 ? std::min<size_t>(r.information / run.size, run.count) : 0;
    run.skipped = run.count > 0 && run.guard >= 0 && r.status == lorand::STATUS_CANCELLED;
    const lorand::IoResult& s = results[2 * k + 1];
    run.status.reset();
    if (lorand::nt_success(s.status) && s.information == 1) run.status = statuses[k];
  }
}

// --- direct path ---

DirectPath::DirectPath(std::vector<std::unique_ptr<PortAccess>> ports, std::vector<uint32_t> bases,
                       std::chrono::nanoseconds busy_bound)
    : ports_(std::move(ports)),
      locks_(std::make_unique<std::mutex[]>(ports_.size())),
      bases_(std::move(bases)),
      bound_(busy_bound) {
  bases_.resize(ports_.size(), 0);
}

void DirectPath::run(uint32_t node, std::span<UnitOp> ops) {
  PortAccess* ports = node < ports_.size() ? ports_[node].get() : nullptr;
  const UnitOp* last_register_read = nullptr;
  for (UnitOp& op : ops) {
    op.ok = false;
    if (is_read(op.kind) || op.kind == Kind::kRegisterRead)
      op.value = all_ones(op.kind == Kind::kRegisterRead ? 1 : op.size);
    if (op.kind == Kind::kRegisterRead) last_register_read = &op;
    if (!ports) continue;
    DirectUnits units(*ports, bases_[node], bound_);
    std::lock_guard lock(locks_[node]);
    switch (op.kind) {
      case Kind::kReadIfReady:
        if (!condition_holds(op, last_register_read)) break;
        [[fallthrough]];
      case Kind::kRead:
        if (auto v = units.read(op.address, op.size)) {
          op.value = *v;
          op.ok = true;
        }
        break;
      case Kind::kWrite:
        op.ok = units.write(op.address, op.size, op.value);
        break;
      case Kind::kControlWrite:
        op.ok = units.write_control_word(op.address, uint16_t(op.value));
        break;
      case Kind::kRegisterRead:
        if (auto v = units.read_register(op.address)) {
          op.value = *v;
          op.ok = true;
        }
        break;
      case Kind::kRegisterWrite:
        op.ok = units.write_register(op.address, uint8_t(op.value));
        break;
    }
  }
}

size_t DirectPath::run_units(uint32_t node, bool write, unsigned size, uint32_t address,
                             size_t count, uint8_t* data) {
  PortAccess* ports = node < ports_.size() ? ports_[node].get() : nullptr;
  if (!ports) return 0;
  DirectUnits units(*ports, bases_[node], bound_);
  for (size_t i = 0; i < count; ++i, address += size, data += size) {
    std::lock_guard lock(locks_[node]);
    if (write) {
      if (!units.write(address, size, little_endian(data, size))) return i;
    } else {
      const auto value = units.read(address, size);
      if (!value) return i;
      put_little_endian(data, size, *value);
    }
  }
  return count;
}

void DirectPath::run_checked(uint32_t node, std::span<CheckedRun> runs) {
  PortAccess* ports = node < ports_.size() ? ports_[node].get() : nullptr;
  for (size_t k = 0; k < runs.size(); ++k) {
    CheckedRun& run = runs[k];
    run.skipped = run.count > 0 && run.guard >= 0 && !read_only_zero(runs, k);
    run.done = run.count > 0 && !run.skipped
                   ? run_units(node, run.write, run.size, run.address, run.count, run.data)
                   : 0;
    run.status.reset();
    if (!ports) continue;
    DirectUnits units(*ports, bases_[node], bound_);
    std::lock_guard lock(locks_[node]);
    run.status = units.read_register(lorand::kRegStatus);
  }
}

}  // namespace cnbus
