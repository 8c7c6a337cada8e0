#include "cnbusclient/cnbus_client.h"

#include <algorithm>
#include <array>
#include <bit>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <memory>
#include <mutex>
#include <vector>

#include "cnbusclient/node_path.h"
#include "cnbusclient/shared_device.h"
#include "driver/core/status.h"
#include "platform/config_store.h"
#include "platform/paths.h"
#include "platform/raw_ports.h"

namespace cnbus {
namespace {

using Kind = UnitOp::Kind;

struct NodeEntry {
  int present = 0;
  uint16_t port_base = 0xFFFF;
  int cnc_type = 1;
  std::string name;
  int position = -1;  // among the present nodes
  // Changed by the window operations while other threads may read them.
  std::atomic<uint16_t> window_nibble{8};
  std::atomic<int> window_set_up{0};
};

// The process's node table, shared by every client object.
struct CnbusNodeTable {
  int instance_count = 0;
  int available = 0;
  int node_count = 0;
  int first_present = 0;
  bool direct = false;
  ClientOptions options;
  std::array<NodeEntry, lorand::kNodeSlots> nodes;
  SharedDevice device;
  std::unique_ptr<NodePath> path;
};

// Never destroyed: a thread that still waits on the daemon when the program ends (a viewer closed
// while lorandd is stopped) must not find its table gone under it.
CnbusNodeTable& table() {
  static CnbusNodeTable& t = *new CnbusNodeTable;
  return t;
}

// Guards building and releasing the table; the operations themselves take no lock.
std::mutex& table_mutex() {
  static std::mutex m;
  return m;
}

constexpr uint32_t kShmSpace = 0x20;
constexpr uint32_t kShmBase = 0xC00000;
constexpr uint32_t kInterfaceSpace = 0x10;

// A 4-byte configuration query with a node number as input; false when it fails.
bool query(SharedDevice& device, uint32_t code, const uint32_t* node, uint32_t* answer) {
  uint8_t in[4] = {};
  if (node)
    for (int i = 0; i < 4; ++i) in[i] = uint8_t(*node >> (8 * i));
  uint8_t out[4] = {};
  auto r = device.control(code, node ? std::span<const uint8_t>(in, 4) : std::span<const uint8_t>(),
                          out);
  if (!lorand::nt_success(r.status) || r.information < 4) return false;
  *answer = uint32_t(out[0]) | uint32_t(out[1]) << 8 | uint32_t(out[2]) << 16 |
            uint32_t(out[3]) << 24;
  return true;
}

bool query_name(SharedDevice& device, uint32_t node, std::string* name) {
  uint8_t in[4];
  for (int i = 0; i < 4; ++i) in[i] = uint8_t(node >> (8 * i));
  uint8_t out[20] = {};
  auto r = device.control(lorand::IOCTL_LNK_GET_NODE_NAME, in, out);
  if (!lorand::nt_success(r.status)) return false;
  // The answer is NUL-terminated; never read past the buffer whatever the byte count says.
  const size_t limit = std::min<size_t>(r.information, sizeof out);
  size_t length = 0;
  while (length < limit && out[length] != 0) ++length;
  name->assign(reinterpret_cast<const char*>(out), std::min<size_t>(length, 19));
  return true;
}

// Builds the table (first construction). Returns with available at 0 on any failure.
void build(CnbusNodeTable& t, const ClientOptions& options) {
  t.available = 0;
  t.node_count = 0;
  t.first_present = 0;
  t.options = options;
  t.path.reset();
  for (NodeEntry& e : t.nodes) {
    e.present = 0;
    e.port_base = 0xFFFF;
    e.cnc_type = 1;
    e.name.clear();
    e.position = -1;
    e.window_nibble = 8;
    e.window_set_up = 0;
  }

  const moxel::ConfigData config = moxel::load_config(moxel::sysconf_dir() / "lorand.conf");
  const std::string path = config.string("Client", "Path", "driver");
  t.direct = strcasecmp(path.c_str(), "direct") == 0;
  if (!t.direct && strcasecmp(path.c_str(), "driver") != 0)
    std::fprintf(stderr, "cnbusclient: [Client] Path=%s is neither driver nor direct; using driver\n",
                 path.c_str());

  if (!t.device.open(lorand::default_device_path())) return;
  uint32_t count = 0;
  if (!query(t.device, lorand::IOCTL_LNK_GET_NODE_COUNT, nullptr, &count) || count == 0) return;
  // There are 8 node slots whatever a device answers.
  count = std::min<uint32_t>(count, lorand::kNodeSlots);
  bool any = false;
  int position = 0;
  for (uint32_t n = 0; n < count; ++n) {
    NodeEntry& e = t.nodes[n];
    uint32_t ready = 0;
    if (!query(t.device, lorand::IOCTL_LNK_NODE_READY, &n, &ready)) return;
    if (ready == 0) {
      e.present = 0;
      continue;
    }
    e.present = 1;
    e.position = position++;
    if (!any) t.first_present = int(n);
    any = true;
    uint32_t port = 0, fixed = 0, type = 0;
    if (!query(t.device, lorand::IOCTL_LNK_GET_PORT_ADDRESS, &n, &port)) return;
    e.port_base = uint16_t(port);
    if (!query(t.device, lorand::IOCTL_LNK_GET_FIXED_VALUE, &n, &fixed)) return;
    if (!query(t.device, lorand::IOCTL_LNK_GET_CNC_TYPE, &n, &type)) return;
    e.cnc_type = int(type);
    if (!query_name(t.device, n, &e.name)) return;
  }
  t.node_count = int(count);
  if (!any) return;

  if (t.direct) {
    std::vector<std::unique_ptr<PortAccess>> ports(lorand::kNodeSlots);
    std::vector<uint32_t> bases(lorand::kNodeSlots, 0);
    for (uint32_t n = 0; n < lorand::kNodeSlots; ++n) {
      const NodeEntry& e = t.nodes[n];
      if (!e.present) continue;
      bases[n] = e.port_base;
      const std::string board = config.string("Host", "Board" + std::to_string(n), "isa");
      if (strcasecmp(board.c_str(), "sim") == 0) {
        ports[n] = std::make_unique<DevicePorts>(t.device, n, e.port_base);
      } else {
        auto isa = std::make_unique<IsaPorts>(moxel::system_raw_ports(), e.port_base);
        if (!isa->usable())
          std::fprintf(stderr, "cnbusclient: no access to ports 0x%X-0x%X of node %u: %s\n",
                       unsigned(e.port_base), unsigned(e.port_base) + 15, n,
                       std::strerror(isa->error()));
        ports[n] = std::move(isa);
      }
    }
    t.path = std::make_unique<DirectPath>(std::move(ports), std::move(bases));
  } else {
    t.path = std::make_unique<DriverPath>(t.device);
  }
  t.available = 1;
}

// The Cnbus address of (space, offset): offsets of 0x1000000 and more fold into space codes unless
// the table was built without folding.
uint32_t fold(const CnbusNodeTable& t, uint32_t space, uint32_t* offset) {
  if (t.options.fold_offsets) {
    if (*offset >= 0x3000000) {
      *offset &= 0xFFFFFF;
    } else if (*offset >= 0x2000000) {
      space += 0xA0;
      *offset &= 0xFFFFFF;
    } else if (*offset >= 0x1000000) {
      space += 0x90;
      *offset &= 0xFFFFFF;
    }
  }
  return space;
}

uint32_t cnbus_address(uint32_t space, uint32_t offset) {
  return ((space & 0xFF) << 24) | offset;
}

// Appends the units of one access of `size` bytes: naturally aligned units go as one, others are
// cut into pieces, each of which goes through the routine of its own size. `value` is the value to
// write (ignored for reads); pieces carry their element and bit position.
void plan(const CnbusNodeTable& t, Kind kind, uint32_t space, uint32_t offset, unsigned size,
          uint32_t value, uint32_t element, unsigned shift, std::vector<UnitOp>& ops) {
  space = fold(t, space, &offset);
  if ((offset & (size - 1)) == 0) {  // naturally aligned (every byte is)
    UnitOp& op = ops.emplace_back();
    op.kind = kind;
    op.size = uint8_t(size);
    op.address = cnbus_address(space, offset);
    op.value = value & all_ones(size);
    op.element = element;
    op.shift = uint8_t(shift);
    return;
  }
  if (size == 2) {
    plan(t, kind, space, offset, 1, value & 0xFF, element, shift, ops);
    plan(t, kind, space, offset + 1, 1, value >> 8, element, shift + 8, ops);
  } else if (!(offset & 1)) {
    plan(t, kind, space, offset, 2, value & 0xFFFF, element, shift, ops);
    plan(t, kind, space, offset + 2, 2, value >> 16, element, shift + 16, ops);
  } else {
    plan(t, kind, space, offset, 1, value & 0xFF, element, shift, ops);
    plan(t, kind, space, offset + 1, 2, (value >> 8) & 0xFFFF, element, shift + 8, ops);
    plan(t, kind, space, offset + 3, 1, value >> 24, element, shift + 24, ops);
  }
}

// Puts the read pieces together, element by element.
template <typename T>
void assemble(std::span<const UnitOp> ops, T* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = 0;
  for (const UnitOp& op : ops)
    if (op.kind == Kind::kRead || op.kind == Kind::kReadIfReady)
      out[op.element] = T(out[op.element] | (op.value & all_ones(op.size)) << op.shift);
}

}  // namespace

// --- construction ---

CCnbusClient::CCnbusClient() : CCnbusClient(ClientOptions{}) {}

CCnbusClient::CCnbusClient(const ClientOptions& options) {
  std::lock_guard lock(table_mutex());
  CnbusNodeTable& t = table();
  if (t.instance_count++ == 0) build(t, options);
  // Every object starts on the lowest-numbered present node.
  current_node_ = t.available ? t.first_present : 0;
}

CCnbusClient::~CCnbusClient() {
  std::lock_guard lock(table_mutex());
  CnbusNodeTable& t = table();
  if (--t.instance_count == 0) {
    t.available = 0;
    t.path.reset();
    t.device.close();
  }
}

// --- queries ---

int CCnbusClient::IsAvailable() const { return table().available; }

int CCnbusClient::GetNodeCount() const {
  const CnbusNodeTable& t = table();
  return t.available ? t.node_count : 0;
}

int CCnbusClient::IsNodePresent(int node) const {
  const CnbusNodeTable& t = table();
  if (!t.available || node < 0 || node >= int(lorand::kNodeSlots)) return 0;
  return t.nodes[node].present;
}

int CCnbusClient::SelectNode(int node) {
  if (!IsNodePresent(node)) return 0;
  current_node_ = node;
  return 1;
}

int CCnbusClient::GetCurrentNode() const { return table().available ? current_node_ : 0; }

std::string CCnbusClient::GetNodeName() const {
  const CnbusNodeTable& t = table();
  return t.available ? t.nodes[current_node_].name : std::string();
}

int CCnbusClient::GetCncType() const {
  const CnbusNodeTable& t = table();
  return t.available ? t.nodes[current_node_].cnc_type : 0;
}

// --- internal helpers (members so that they see the current node) ---

namespace {

// Runs operations on a node through the table's path.
void run_ops(int node, std::span<UnitOp> ops) {
  CnbusNodeTable& t = table();
  if (t.path && !ops.empty()) t.path->run(uint32_t(node), ops);
}

std::optional<uint8_t> register_read(int node, uint32_t offset) {
  UnitOp op;
  op.kind = Kind::kRegisterRead;
  op.address = offset;
  run_ops(node, std::span(&op, 1));
  if (!op.ok) return std::nullopt;
  return uint8_t(op.value);
}

bool register_write(int node, uint32_t offset, uint8_t value) {
  UnitOp op;
  op.kind = Kind::kRegisterWrite;
  op.address = offset;
  op.value = value;
  run_ops(node, std::span(&op, 1));
  return op.ok;
}

// The operations of one access (at most three pieces), kept per thread so that a single read or
// write allocates nothing once warm.
std::vector<UnitOp>& unit_ops() {
  thread_local std::vector<UnitOp> ops;
  ops.clear();
  return ops;
}

uint32_t read_unit(int node, uint32_t space, uint32_t offset, unsigned size) {
  std::vector<UnitOp>& ops = unit_ops();
  plan(table(), Kind::kRead, space, offset, size, 0, 0, 0, ops);
  run_ops(node, ops);
  uint32_t value = 0;
  assemble(std::span<const UnitOp>(ops), &value, 1);
  return value;
}

void write_unit(int node, uint32_t space, uint32_t offset, unsigned size, uint32_t value) {
  std::vector<UnitOp>& ops = unit_ops();
  plan(table(), Kind::kWrite, space, offset, size, value, 0, 0, ops);
  run_ops(node, ops);
}

// The operations of a block, kept per thread so that a block transfer allocates nothing once warm.
std::vector<UnitOp>& block_ops() {
  thread_local std::vector<UnitOp> ops;
  ops.clear();
  return ops;
}

// Blocks whose elements need more than one unit each go through unit operations, this many
// elements at a time, so memory stays bounded whatever the block's size.
constexpr size_t kBlockChunk = 4096;

// `n` elements of `size` bytes at offsets first, first + size, ... of `space`, moved by runs:
// one run per stretch of offsets that share their top byte (within one, folding keeps the Cnbus
// addresses contiguous). `data` holds the elements' bytes, little-endian. Stops at the first unit
// that fails; returns the elements done.
size_t run_elements(int node, bool write, uint32_t space, uint32_t first, unsigned size, size_t n,
                    uint8_t* data) {
  CnbusNodeTable& t = table();
  if (!t.path) return 0;
  size_t i = 0;
  while (i < n) {
    uint32_t offset = first + uint32_t(i * size);
    const uint64_t to_line = ((uint64_t(offset >> 24) + 1) << 24) - offset;
    const size_t count = std::min<size_t>(n - i, to_line / size);
    const uint32_t s = fold(t, space, &offset);
    const size_t done = t.path->run_units(uint32_t(node), write, size, cnbus_address(s, offset), count,
                                          data + i * size);
    i += done;
    if (done < count) break;
  }
  return i;
}

static_assert(std::endian::native == std::endian::little, "block elements are moved as little-endian bytes");

template <typename T>
void read_block(int node, uint32_t x, T* buffer, int n) {
  const uint32_t first = kShmBase + x;
  size_t done = 0;
  if (first % sizeof(T) == 0) {
    // Every element is one aligned unit: runs straight into the caller's buffer.
    done = run_elements(node, false, kShmSpace, first, sizeof(T), size_t(n), reinterpret_cast<uint8_t*>(buffer));
  } else {
    while (done < size_t(n)) {
      const size_t count = std::min(kBlockChunk, size_t(n) - done);
      std::vector<UnitOp>& ops = block_ops();
      for (size_t i = 0; i < count; ++i)
        plan(table(), Kind::kRead, kShmSpace, first + uint32_t((done + i) * sizeof(T)), sizeof(T), 0,
             uint32_t(i), 0, ops);
      run_ops(node, ops);
      assemble(std::span<const UnitOp>(ops), buffer + done, count);
      const auto failed = std::find_if(ops.begin(), ops.end(), [](const UnitOp& op) { return !op.ok; });
      if (failed != ops.end()) {
        done += failed->element;
        break;
      }
      done += count;
    }
  }
  // The block stops at the first unit that fails; that element and the rest read as all ones.
  for (size_t i = done; i < size_t(n); ++i) buffer[i] = T(~T(0));
}

template <typename T>
void write_block(int node, uint32_t x, const T* buffer, int n) {
  const uint32_t first = kShmBase + x;
  if (first % sizeof(T) == 0) {
    // Written data is only ever read from.
    run_elements(node, true, kShmSpace, first, sizeof(T), size_t(n),
                 reinterpret_cast<uint8_t*>(const_cast<T*>(buffer)));
    return;
  }
  for (size_t done = 0; done < size_t(n);) {
    const size_t count = std::min(kBlockChunk, size_t(n) - done);
    std::vector<UnitOp>& ops = block_ops();
    for (size_t i = 0; i < count; ++i)
      plan(table(), Kind::kWrite, kShmSpace, first + uint32_t((done + i) * sizeof(T)), sizeof(T),
           uint32_t(buffer[done + i]), uint32_t(i), 0, ops);
    run_ops(node, ops);
    // The block stops at the first unit that fails.
    if (std::any_of(ops.begin(), ops.end(), [](const UnitOp& op) { return !op.ok; })) return;
    done += count;
  }
}

// A checked transfer that is not one run, through its block form.
template <typename T>
void block_alone(int node, const ShmTransfer& transfer) {
  std::vector<T> elements(size_t(transfer.count));
  const size_t bytes = elements.size() * sizeof(T);
  if (transfer.write) {
    std::memcpy(elements.data(), transfer.data, bytes);
    write_block(node, transfer.x, elements.data(), transfer.count);
  } else {
    read_block(node, transfer.x, elements.data(), transfer.count);
    std::memcpy(transfer.data, elements.data(), bytes);
  }
}

}  // namespace

// --- board registers ---

int CCnbusClient::IsLinkUp() {
  if (!table().available) return 0;
  auto status = register_read(current_node_, lorand::kRegStatus);
  return status && (*status & lorand::kStatusLink) ? 1 : 0;
}

int CCnbusClient::IsCncReady() {
  if (!table().available) return 0;
  constexpr uint8_t mask = lorand::kStatusLink | lorand::kStatusReady;
  auto status = register_read(current_node_, lorand::kRegStatus);
  return status && (*status & mask) == mask ? 1 : 0;
}

int CCnbusClient::GetBoardGeneration() {
  if (!table().available) return -1;
  auto scratch = register_read(current_node_, lorand::kRegScratch);
  return scratch ? *scratch >> 4 : -1;
}

int CCnbusClient::TestBoardRegister() {
  const CnbusNodeTable& t = table();
  if (!t.available || !t.options.window_operations) return 1;
  for (uint8_t pattern : {uint8_t(0x0A), uint8_t(0x05)}) {
    if (!register_write(current_node_, lorand::kRegScratch, pattern)) return 1;
    auto back = register_read(current_node_, lorand::kRegScratch);
    if (!back || (*back & 0x0F) != pattern) return 1;
  }
  return 0;
}

// --- CNC memory units ---

uint8_t CCnbusClient::ReadByte(int space, uint32_t offset) {
  if (!table().available) return 0xFF;
  return uint8_t(read_unit(current_node_, uint32_t(space), offset, 1));
}

uint16_t CCnbusClient::ReadWord(int space, uint32_t offset) {
  if (!table().available) return 0xFFFF;
  return uint16_t(read_unit(current_node_, uint32_t(space), offset, 2));
}

uint32_t CCnbusClient::ReadDword(int space, uint32_t offset) {
  if (!table().available) return 0xFFFFFFFF;
  return read_unit(current_node_, uint32_t(space), offset, 4);
}

void CCnbusClient::WriteByte(int space, uint32_t offset, uint8_t value) {
  if (table().available) write_unit(current_node_, uint32_t(space), offset, 1, value);
}

void CCnbusClient::WriteWord(int space, uint32_t offset, uint16_t value) {
  if (table().available) write_unit(current_node_, uint32_t(space), offset, 2, value);
}

void CCnbusClient::WriteDword(int space, uint32_t offset, uint32_t value) {
  if (table().available) write_unit(current_node_, uint32_t(space), offset, 4, value);
}

void CCnbusClient::WriteControlWord(int space, uint32_t offset, uint16_t value) {
  CnbusNodeTable& t = table();
  if (!t.available) return;
  // One word request as it is; the direct path refuses an odd address itself.
  const uint32_t s = fold(t, uint32_t(space), &offset);
  UnitOp op;
  op.kind = Kind::kControlWrite;
  op.size = 2;
  op.address = cnbus_address(s, offset);
  op.value = value;
  run_ops(current_node_, std::span(&op, 1));
}

uint16_t CCnbusClient::RawReadWord(int space, uint32_t offset) { return ReadWord(space, offset); }

void CCnbusClient::RawWriteWord(int space, uint32_t offset, uint16_t value) {
  WriteWord(space, offset, value);
}

// --- shared memory ---

uint8_t CCnbusClient::ShmReadByte(uint32_t x) { return ReadByte(kShmSpace, kShmBase + x); }
uint16_t CCnbusClient::ShmReadWord(uint32_t x) { return ReadWord(kShmSpace, kShmBase + x); }
uint32_t CCnbusClient::ShmReadDword(uint32_t x) { return ReadDword(kShmSpace, kShmBase + x); }
void CCnbusClient::ShmWriteByte(uint32_t x, uint8_t v) { WriteByte(kShmSpace, kShmBase + x, v); }
void CCnbusClient::ShmWriteWord(uint32_t x, uint16_t v) { WriteWord(kShmSpace, kShmBase + x, v); }
void CCnbusClient::ShmWriteDword(uint32_t x, uint32_t v) {
  WriteDword(kShmSpace, kShmBase + x, v);
}

void CCnbusClient::ShmReadBytes(uint32_t x, uint8_t* buffer, int n) {
  if (table().available && n > 0) read_block(current_node_, x, buffer, n);
}
void CCnbusClient::ShmReadWords(uint32_t x, uint16_t* buffer, int n) {
  if (table().available && n > 0) read_block(current_node_, x, buffer, n);
}
void CCnbusClient::ShmReadDwords(uint32_t x, uint32_t* buffer, int n) {
  if (table().available && n > 0) read_block(current_node_, x, buffer, n);
}
void CCnbusClient::ShmWriteBytes(uint32_t x, const uint8_t* buffer, int n) {
  if (table().available && n > 0) write_block(current_node_, x, buffer, n);
}
void CCnbusClient::ShmWriteWords(uint32_t x, const uint16_t* buffer, int n) {
  if (table().available && n > 0) write_block(current_node_, x, buffer, n);
}
void CCnbusClient::ShmWriteDwords(uint32_t x, const uint32_t* buffer, int n) {
  if (table().available && n > 0) write_block(current_node_, x, buffer, n);
}

void CCnbusClient::ShmRunChecked(std::span<ShmTransfer> transfers) {
  for (ShmTransfer& transfer : transfers) {
    transfer.link = 0;
    transfer.skipped = false;
  }
  CnbusNodeTable& t = table();
  if (!t.available || !t.path) return;
  thread_local std::vector<CheckedRun> runs;
  runs.clear();
  // The transfers gathered so far: transfers[first, first + runs.size()).
  size_t first = 0;
  auto flush = [&] {
    if (runs.empty()) return;
    t.path->run_checked(uint32_t(current_node_), runs);
    for (size_t k = 0; k < runs.size(); ++k) {
      const CheckedRun& run = runs[k];
      ShmTransfer& transfer = transfers[first + k];
      transfer.skipped = transfer.skipped || run.skipped;
      // A read stops at the first unit that fails; that element and the rest read as all ones.
      if (!run.write && !transfer.skipped)
        std::fill(run.data + run.done * run.size, run.data + run.count * run.size, uint8_t(0xFF));
      transfer.link = run.status && (*run.status & lorand::kStatusLink) ? 1 : 0;
    }
    runs.clear();
  };
  for (size_t i = 0; i < transfers.size(); ++i) {
    ShmTransfer& transfer = transfers[i];
    const unsigned unit = transfer.unit;
    const size_t count = size_t(std::max(transfer.count, 0));
    const uint64_t offset = uint64_t(kShmBase) + transfer.x;
    // One run when the elements are aligned units that stay below the first folded offset;
    // anything else goes through its block form on its own.
    const bool one_run = (unit == 1 || unit == 2 || unit == 4) && offset % unit == 0 &&
                         offset + count * unit <= 0x1000000;
    // Whether the guard of a transfer, done before the group at hand, allows it; a guard that is
    // not an earlier transfer never does.
    const bool guarded = transfer.guard >= 0;
    auto allowed = [&] {
      if (size_t(transfer.guard) >= i) return false;
      const ShmTransfer& guard = transfers[size_t(transfer.guard)];
      const auto bytes = std::span(guard.data, size_t(std::max(guard.count, 0)) * guard.unit);
      return !guard.write && !guard.skipped && !bytes.empty() &&
             std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
    };
    if (!one_run) {
      flush();
      transfer.skipped = guarded && !allowed();
      if (transfer.count > 0 && !transfer.skipped) {
        if (unit == 1) block_alone<uint8_t>(current_node_, transfer);
        else if (unit == 2) block_alone<uint16_t>(current_node_, transfer);
        else if (unit == 4) block_alone<uint32_t>(current_node_, transfer);
      }
      transfer.link = IsLinkUp();
      continue;
    }
    if (runs.empty()) first = i;
    CheckedRun& run = runs.emplace_back();
    run.write = transfer.write;
    run.size = unit;
    run.address = cnbus_address(kShmSpace, uint32_t(offset));  // below 0x1000000 nothing folds
    run.count = count;
    run.data = transfer.data;
    if (guarded && size_t(transfer.guard) >= first && size_t(transfer.guard) < i) {
      run.guard = transfer.guard - int(first);  // judged where the runs are carried out
    } else if (guarded && !allowed()) {
      transfer.skipped = true;
      run.count = 0;  // only its link test
    }
  }
  flush();
}

// --- window operations ---

uint16_t CCnbusClient::RefreshWindowNibble() {
  CnbusNodeTable& t = table();
  if (!t.available) return 0;
  const uint16_t nibble = ReadWord(kInterfaceSpace, 0x110) & 0x0F;
  t.nodes[current_node_].window_nibble = nibble;
  return nibble;
}

uint16_t CCnbusClient::ReadWindowWord(uint32_t x) {
  if (!table().available) return 0xFFFF;
  const uint32_t nibble = RefreshWindowNibble();
  return ReadWord(kInterfaceSpace, nibble * 16 + (x & 0xFFFF));
}

int CCnbusClient::WindowFlag0() {
  if (!table().available) return 0;
  return ReadWindowWord(4) & 1;
}

int CCnbusClient::WindowFlag1() {
  if (!table().available) return 0;
  return (ReadWindowWord(4) >> 1) & 1;
}

int CCnbusClient::SetUpWindow() {
  CnbusNodeTable& t = table();
  if (!t.available || !t.options.window_operations) return 0;
  NodeEntry& entry = t.nodes[current_node_];

  const uint32_t nibble = ReadWord(kInterfaceSpace, 0xE0110) & 0x0F;
  entry.window_nibble = uint16_t(nibble);
  register_write(current_node_, lorand::kRegStatus, uint8_t(nibble));

  int test = TestBoardRegister();
  const uint16_t marker = ReadWord(kInterfaceSpace, 0xE0000 + (nibble + 0x30) * 16);
  if ((marker & 0xFF) == 0xAA) {
    test = 1;
    const unsigned level = marker >> 12;
    if (level >= 6 && level != 10) return 0;  // the PC board is too old for this CNC
  }

  // Points a window register at `space`:`offset` and touches the window once through it.
  auto map_window = [&](uint32_t window_register, uint32_t space, uint32_t offset, bool byte) {
    WriteWord(kInterfaceSpace, window_register, uint16_t(space));
    const uint16_t low = ReadWord(kInterfaceSpace, nibble * 16) & 0xFF;
    WriteWord(kInterfaceSpace, nibble * 16, uint16_t(low | ((offset >> 16) & 0xFF) << 8));
    if (byte)
      ReadByte(int(space), offset);
    else
      ReadWord(int(space), offset);
  };

  if (GetBoardGeneration() == 1) {
    WriteWord(kInterfaceSpace, (nibble + 0x20) * 16, 0);
    const uint16_t low = ReadWord(kInterfaceSpace, nibble * 16) & 0xFF;
    WriteWord(kInterfaceSpace, nibble * 16, low);
    ReadWord(0, 0x12);
  } else {
    const uint16_t flags = ShmReadWord(0xD0014);
    if (test == 1 || flags == 0) {
      const uint16_t space = ShmReadWord(0x16);
      const uint32_t offset = ShmReadDword(0x18) & 0xFFFFFF;
      map_window((nibble + 0x20) * 16, space, offset, false);
    } else {
      const uint16_t space = ShmReadWord(0xD0016);
      if (flags & 1) map_window((nibble + 0x20) * 16, space, ShmReadDword(0xD0018), true);
      if (flags & 2) map_window((nibble + 0xA0) * 16, space, ShmReadDword(0xD001C), true);
    }
  }
  entry.window_set_up = 1;
  return 1;
}

void CCnbusClient::ResetLink() {
  if (table().available) WriteControlWord(0x30, 0x800000, 0x10);
}

// --- the memory viewer's variant ---

CHexlookCnbusClient::CHexlookCnbusClient()
    : CCnbusClient(ClientOptions{.fold_offsets = false, .window_operations = false}) {}

int CHexlookCnbusClient::GetNodePosition(int node) const {
  const CnbusNodeTable& t = table();
  if (!t.available || node < 0 || node >= int(lorand::kNodeSlots) || !t.nodes[node].present)
    return -1;
  return t.nodes[node].position;
}

std::string CHexlookCnbusClient::GetNodeName(int node) const {
  const CnbusNodeTable& t = table();
  if (!t.available || node < 0 || node >= int(lorand::kNodeSlots)) return {};
  return t.nodes[node].name;
}

uint16_t CHexlookCnbusClient::GetPortBase(int node) const {
  const CnbusNodeTable& t = table();
  if (!t.available || node < 0 || node >= int(lorand::kNodeSlots)) return 0xFFFF;
  return t.nodes[node].port_base;
}

uint8_t CHexlookCnbusClient::ReadBoardRegister(uint32_t offset) {
  if (!table().available || offset >= lorand::kRegisterBlockSize) return 0xFF;
  return register_read(current_node_, offset).value_or(0xFF);
}

void CHexlookCnbusClient::ReadCells(uint32_t address, int unit, int count, bool check_slot,
                                    uint32_t* values) {
  if (count <= 0) return;
  const CnbusNodeTable& t = table();
  if (!t.available || (unit != 1 && unit != 2 && unit != 4)) {
    for (int i = 0; i < count; ++i) values[i] = all_ones(unit == 1 || unit == 2 ? unit : 4);
    return;
  }
  if (!check_slot && address % uint32_t(unit) == 0) {
    // Physical slot: the cells are plain aligned units, read as runs.
    std::vector<uint8_t> bytes(size_t(count) * size_t(unit));
    const size_t done = run_elements(current_node_, false, 0, address, unsigned(unit), size_t(count), bytes.data());
    for (size_t i = 0; i < size_t(count); ++i) {
      uint32_t v = 0;
      for (int k = 0; k < unit; ++k) v |= uint32_t(bytes[i * size_t(unit) + size_t(k)]) << (8 * k);
      values[i] = i < done ? v : all_ones(unsigned(unit));
    }
    return;
  }
  std::vector<UnitOp>& ops = block_ops();
  ops.reserve(size_t(count) * (check_slot ? 2 : 1));
  for (int i = 0; i < count; ++i) {
    if (check_slot) {
      UnitOp status;
      status.kind = Kind::kRegisterRead;
      status.address = lorand::kRegStatus;
      status.element = uint32_t(i);
      ops.push_back(status);
    }
    const size_t first = ops.size();
    plan(t, Kind::kRead, 0, address + uint32_t(i) * uint32_t(unit), unsigned(unit), 0, uint32_t(i),
         0, ops);
    if (check_slot)
      for (size_t k = first; k < ops.size(); ++k) {
        ops[k].kind = Kind::kReadIfReady;
        ops[k].mask = lorand::kStatusReady;
      }
  }
  run_ops(current_node_, ops);
  assemble(std::span<const UnitOp>(ops), values, size_t(count));
}

}  // namespace cnbus
