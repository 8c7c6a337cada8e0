#include "cncsim/node.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace cncsim {
namespace {

constexpr uint32_t kRegData = 0, kRegAddress = 4, kRegCommand = 8, kRegStatus = 9,
                   kRegScratch = 10, kBlockSize = 16;
constexpr uint8_t kBusy = 0x80, kLink = 0x40, kReady = 0x10;

std::string value_name(const char* stem, uint32_t node) { return stem + std::to_string(node); }

}  // namespace

NodeSettings NodeSettings::from_config(const moxel::ConfigData& config, uint32_t node,
                                       std::vector<std::string>* unusable) {
  NodeSettings s;
  auto dword = [&](const char* stem, uint32_t fallback) {
    const std::string name = value_name(stem, node);
    const std::string* text = config.find("Simulator", name);
    if (!text) return fallback;
    if (auto value = moxel::parse_dword(*text)) return *value;
    if (unusable) unusable->push_back(name + "=" + *text);
    return fallback;
  };
  s.busy_at_start = dword("BusyAtStart", s.busy_at_start) != 0;
  s.unit_time_ns = dword("UnitTime", uint32_t(s.unit_time_ns));
  s.board_generation = uint8_t(dword("BoardGeneration", s.board_generation) & 0xF);
  s.link_at_start = dword("LinkAtStart", s.link_at_start) != 0;
  s.ready_at_start = dword("ReadyAtStart", s.ready_at_start) != 0;
  s.power_at_start = dword("PowerAtStart", s.power_at_start) != 0;
  s.window_nibble = uint8_t(dword("WindowNibble", s.window_nibble) & 0xF);
  s.generation_word = uint16_t(dword("GenerationWord", s.generation_word));
  s.link_reset_ms = dword("LinkResetTime", s.link_reset_ms);
  s.sram_size = dword("SramSize", s.sram_size);
  s.from_size = dword("FromSize", s.from_size);
  s.trace_limit = dword("TraceLines", s.trace_limit);
  return s;
}

std::optional<Fault> fault_from_name(const std::string& name) {
  if (name == "stuck-busy") return Fault::kStuckBusy;
  if (name == "link-drop-after") return Fault::kLinkDropAfter;
  return std::nullopt;
}

std::vector<std::string> fault_names() { return {"stuck-busy", "link-drop-after"}; }

Node::Node(uint32_t number, uint32_t base, const NodeSettings& settings,
           const std::filesystem::path& state_dir, std::string* warning)
    : number_(number),
      base_(base),
      settings_(settings),
      memory_(state_dir, settings.sram_size, settings.from_size, warning),
      trace_(settings.trace_limit) {
  busy_at_start_ = settings_.busy_at_start;
  link_ = settings_.link_at_start;
  power_ = settings_.power_at_start;
  ready_ = power_ && settings_.ready_at_start;
  if (power_) power_on_contents_locked();
  publish_status_locked();
}

Node::~Node() { memory_.sync(); }

// ---------------------------------------------------------------------------------------------
// Register block

bool Node::link_up_locked(Clock::time_point now) const {
  return power_ && link_ && !link_lost_ && now >= link_down_until_;
}

Node::Clock::time_point Node::now_locked() {
  if (deadline_pending_) {
    const Clock::time_point now = Clock::now();
    if (now < busy_until_ || now < link_down_until_) return now;
    deadline_pending_ = false;
    publish_status_locked();  // the status reads the same from now on, until the next change
  }
  return std::max(busy_until_, link_down_until_);
}

uint8_t Node::status_locked(Clock::time_point now) const {
  uint8_t s = 0;
  if (stuck_busy_ || busy_at_start_ || now < busy_until_) s |= kBusy;
  if (link_up_locked(now)) {
    s |= kLink;
    if (ready_) s |= kReady;
  }
  return s;
}

void Node::merge(std::atomic<uint32_t>& reg, uint32_t mask, uint32_t bits) {
  uint32_t old = reg.load(std::memory_order_relaxed);
  while (!reg.compare_exchange_weak(old, (old & ~mask) | (bits & mask), std::memory_order_relaxed)) {
  }
}

void Node::publish_status_locked() {
  quiet_status_.store(deadline_pending_ ? int16_t(-1) : int16_t(status_locked(now_locked())),
                      std::memory_order_release);
}

uint8_t Node::read_reg_locked(uint32_t offset) {
  switch (offset) {
    case 0: case 1: case 2: case 3: case 4: case 5: case 6: case 7:
      return uint8_t(plain(offset).load(std::memory_order_relaxed) >> (8 * (offset & 3)));
    case kRegCommand:
      return command_;
    case kRegStatus:
      return status_locked(now_locked());
    case kRegScratch:
      return uint8_t((settings_.board_generation << 4) | (scratch_ & 0x0F));
    default:
      return 0xFF;  // unused offsets and ports outside the block float high
  }
}

void Node::write_reg_locked(uint32_t offset, uint8_t value) {
  switch (offset) {
    case 0: case 1: case 2: case 3: case 4: case 5: case 6: case 7: {
      const unsigned shift = 8 * (offset & 3);
      merge(plain(offset), 0xFFu << shift, uint32_t(value) << shift);
      break;
    }
    case kRegCommand:
      command_ = value;
      run_unit_locked(value);
      break;
    case kRegStatus:
      register9_ = value;
      break;
    case kRegScratch:
      scratch_ = value & 0x0F;
      break;
    default:
      break;
  }
}

void Node::run_unit_locked(uint8_t command) {
  if (stuck_busy_) return;  // a hung board takes no command
  Clock::time_point now;
  if (settings_.unit_time_ns != 0) {
    now = Clock::now();
    busy_until_ = now + std::chrono::nanoseconds(settings_.unit_time_ns);
    deadline_set_locked();
  } else {
    now = now_locked();
    busy_until_ = now;  // done at once
  }
  if (link_drop_after_ != 0 && --link_drop_after_ == 0) {
    link_lost_ = true;  // this unit already finds the link down
    publish_status_locked();
  }
  unsigned size = command & 0x07;
  bool valid = size == 1 || size == 2 || size == 4;
  bool read = (command & 0x80) != 0;
  if (!valid || (command & 0x78) != 0) {
    data_.store(0xFFFFFFFF, std::memory_order_relaxed);  // an unknown command reads as all ones and writes nowhere
    return;
  }
  uint32_t mask = size == 4 ? 0xFFFFFFFFu : ((1u << (8 * size)) - 1);
  bool link = link_up_locked(now);
  const uint32_t address = address_.load(std::memory_order_relaxed);
  if (read) {
    uint32_t value = unit_read_locked(address, size, link);
    data_.store(value, std::memory_order_relaxed);
    trace_.record(Trace::Kind::kRead, uint8_t(size), address, value);
  } else {
    uint32_t value = data_.load(std::memory_order_relaxed) & mask;
    unit_write_locked(address, value, size, link);
    trace_.record(Trace::Kind::kWrite, uint8_t(size), address, value);
    if (link && software_) {
      for (const auto& [first, last] : watches_) {
        if (address <= last && address + size - 1 >= first) {
          software_->watched_write();
          break;
        }
      }
    }
  }
}

// The link control word belongs to the board, so the PC reaches it even while the link is down
// (that is when it is written); everything else lies across the link.
static bool is_link_control(uint32_t address) {
  return address - cnbus_address(kSpaceLinkControl, kLinkControlOffset) < 2;
}

uint32_t Node::unit_read_locked(uint32_t address, unsigned size, bool link) {
  if (link && unstable_word_ && address == *unstable_word_) {
    if (uint8_t* b = memory_.byte(address, true)) *b = uint8_t((*b & 0xF0) | ((*b + 1) & 0x0F));
  }
  uint32_t value = 0;
  if (link) {
    // A unit that lies whole in one memory region (the usual case) is read in one go.
    if (const std::span<uint8_t> run = memory_.run(address, true); run.size() >= size) {
      for (unsigned i = 0; i < size; ++i) value |= uint32_t(run[i]) << (8 * i);
      return value;
    }
  }
  for (unsigned i = 0; i < size; ++i) {
    uint32_t a = address + i;
    uint8_t byte = 0xFF;
    if (is_link_control(a)) {
      byte = link_control_[a & 1];
    } else if (link) {
      if (const uint8_t* b = memory_.byte(a, true)) byte = *b;
    }
    value |= uint32_t(byte) << (8 * i);
  }
  return value;
}

void Node::unit_write_locked(uint32_t address, uint32_t value, unsigned size, bool link) {
  if (link && acknowledge_word_ && address == *acknowledge_word_ && size == 2 && value == 1) value = 0;
  if (link) {
    // Memory regions never hold the link control word, so a unit inside one has no side effect.
    if (const std::span<uint8_t> run = memory_.run(address, true); run.size() >= size) {
      for (unsigned i = 0; i < size; ++i) run[i] = uint8_t(value >> (8 * i));
      return;
    }
  }
  bool reset = false;
  for (unsigned i = 0; i < size; ++i) {
    uint32_t a = address + i;
    uint8_t byte = uint8_t(value >> (8 * i));
    if (is_link_control(a)) {
      link_control_[a & 1] = byte;
      if ((a & 1) == 0 && byte == 0x10) reset = true;
    } else if (link) {
      if (uint8_t* b = memory_.byte(a, true)) *b = byte;
    }
  }
  if (reset) reset_link_locked(Clock::now());
}

void Node::reset_link_locked(Clock::time_point now) {
  // A reset brings back a link lost to a disturbance and briefly drops a link that is up; it
  // cannot help a link held down (broken) or a CNC without power.
  if (!power_ || !link_) return;
  link_lost_ = false;
  link_down_until_ = now + std::chrono::milliseconds(settings_.link_reset_ms);
  deadline_set_locked();
}

// The data and address registers have no side effects: they are read and written without the
// mutex, an aligned word or double word of them at once. The status register is read without it
// while its answer does not depend on the time. Everything else goes byte by byte under the mutex.
uint8_t Node::in8(uint32_t port) {
  const uint32_t off = port - base_;
  if (plain_register(off)) return uint8_t(plain(off).load(std::memory_order_relaxed) >> (8 * (off & 3)));
  if (off == kRegStatus) {
    if (const int16_t quiet = quiet_status_.load(std::memory_order_acquire); quiet >= 0) return uint8_t(quiet);
  }
  std::lock_guard lock(mutex_);
  return off < kBlockSize ? read_reg_locked(off) : 0xFF;
}

uint16_t Node::in16(uint32_t port) {
  if (const uint32_t off = port - base_; plain_register(off) && off % 2 == 0)
    return uint16_t(plain(off).load(std::memory_order_relaxed) >> (8 * (off & 3)));
  std::lock_guard lock(mutex_);
  uint16_t v = 0;
  for (uint32_t i = 0; i < 2; ++i) {
    uint32_t off = port + i - base_;
    v |= uint16_t((off < kBlockSize ? read_reg_locked(off) : 0xFF) << (8 * i));
  }
  return v;
}

uint32_t Node::in32(uint32_t port) {
  if (const uint32_t off = port - base_; plain_register(off) && off % 4 == 0)
    return plain(off).load(std::memory_order_relaxed);
  std::lock_guard lock(mutex_);
  uint32_t v = 0;
  for (uint32_t i = 0; i < 4; ++i) {
    uint32_t off = port + i - base_;
    v |= uint32_t(off < kBlockSize ? read_reg_locked(off) : 0xFF) << (8 * i);
  }
  return v;
}

void Node::out8(uint32_t port, uint8_t value) {
  const uint32_t off = port - base_;
  if (plain_register(off)) {
    const unsigned shift = 8 * (off & 3);
    merge(plain(off), 0xFFu << shift, uint32_t(value) << shift);
    return;
  }
  std::lock_guard lock(mutex_);
  if (off < kBlockSize) write_reg_locked(off, value);
}

void Node::out16(uint32_t port, uint16_t value) {
  if (const uint32_t off = port - base_; plain_register(off) && off % 2 == 0) {
    const unsigned shift = 8 * (off & 3);
    merge(plain(off), 0xFFFFu << shift, uint32_t(value) << shift);
    return;
  }
  std::lock_guard lock(mutex_);
  for (uint32_t i = 0; i < 2; ++i)
    if (port + i - base_ < kBlockSize) write_reg_locked(port + i - base_, uint8_t(value >> (8 * i)));
}

void Node::out32(uint32_t port, uint32_t value) {
  if (const uint32_t off = port - base_; plain_register(off) && off % 4 == 0) {
    plain(off).store(value, std::memory_order_relaxed);
    return;
  }
  std::lock_guard lock(mutex_);
  for (uint32_t i = 0; i < 4; ++i)
    if (port + i - base_ < kBlockSize) write_reg_locked(port + i - base_, uint8_t(value >> (8 * i)));
}

uint8_t Node::register_in8(uint32_t port) {
  std::lock_guard lock(mutex_);
  uint32_t off = port - base_;
  uint8_t v = off < kBlockSize ? read_reg_locked(off) : 0xFF;
  trace_.record(Trace::Kind::kRegisterRead, 1, off, v);
  return v;
}

void Node::register_out8(uint32_t port, uint8_t value) {
  std::lock_guard lock(mutex_);
  uint32_t off = port - base_;
  trace_.record(Trace::Kind::kRegisterWrite, 1, off, value);
  if (off < kBlockSize) write_reg_locked(off, value);
}

// ---------------------------------------------------------------------------------------------
// CNC side

void Node::power_on_contents_locked() {
  memory_.clear_volatile();
  auto put16 = [&](uint32_t offset, uint16_t v) {
    auto iface = memory_.interface();
    iface[offset] = uint8_t(v);
    iface[offset + 1] = uint8_t(v >> 8);
  };
  uint32_t nibble = settings_.window_nibble & 0xF;
  put16(0x110, uint16_t(nibble));
  put16(0xE0110, uint16_t(nibble));
  put16(0xE0000 + (nibble + 0x30) * 16, settings_.generation_word);
}

void Node::set_link(bool up) {
  std::lock_guard lock(mutex_);
  link_ = up;
  if (up) {
    link_lost_ = false;
    link_down_until_ = {};
  }
  publish_status_locked();
}

void Node::lose_link() {
  std::lock_guard lock(mutex_);
  link_lost_ = true;
  publish_status_locked();
}

void Node::set_ready(bool on) {
  std::lock_guard lock(mutex_);
  ready_ = on;
  publish_status_locked();
}

void Node::set_power(bool on) {
  std::unique_lock lock(mutex_);
  if (on == power_) return;
  power_ = on;
  if (on) {
    power_on_contents_locked();
    ready_ = settings_.ready_at_start;
    link_lost_ = false;
  } else {
    memory_.clear_volatile();
    memory_.sync();
    ready_ = false;
  }
  link_down_until_ = {};
  publish_status_locked();
  CncSoftware* software = software_;
  lock.unlock();
  if (software) software->power_changed(on);
}

void Node::set_fault(Fault fault, bool on, uint32_t value) {
  std::lock_guard lock(mutex_);
  switch (fault) {
    case Fault::kStuckBusy:
      stuck_busy_ = on;
      break;
    case Fault::kLinkDropAfter:
      link_drop_after_ = on ? std::max(value, 1u) : 0;
      break;
  }
  publish_status_locked();
}

void Node::set_busy_at_start(bool on) {
  std::lock_guard lock(mutex_);
  busy_at_start_ = on;
  publish_status_locked();
}

void Node::set_unit_time_ns(uint64_t ns) {
  std::lock_guard lock(mutex_);
  settings_.unit_time_ns = ns;
}

void Node::reset_link() {
  std::lock_guard lock(mutex_);
  reset_link_locked(Clock::now());
}

bool Node::peek(uint32_t address, std::span<uint8_t> out) {
  std::lock_guard lock(mutex_);
  bool all = true;
  for (size_t i = 0; i < out.size();) {
    std::span<uint8_t> run = memory_.run(uint32_t(address + i), false);
    if (run.empty()) {
      out[i++] = 0xFF;
      all = false;
      continue;
    }
    size_t n = std::min(run.size(), out.size() - i);
    std::memcpy(out.data() + i, run.data(), n);
    i += n;
  }
  return all;
}

bool Node::poke(uint32_t address, std::span<const uint8_t> data) {
  std::lock_guard lock(mutex_);
  bool all = true;
  for (size_t i = 0; i < data.size();) {
    std::span<uint8_t> run = memory_.run(uint32_t(address + i), false);
    if (run.empty()) {
      ++i;
      all = false;
      continue;
    }
    size_t n = std::min(run.size(), data.size() - i);
    std::memcpy(run.data(), data.data() + i, n);
    i += n;
  }
  return all;
}

void Node::trace_start() {
  std::lock_guard lock(mutex_);
  if (!trace_.running()) trace_.clear();
  trace_.start();
}

void Node::trace_stop() {
  std::lock_guard lock(mutex_);
  trace_.stop();
}

void Node::trace_clear() {
  std::lock_guard lock(mutex_);
  trace_.clear();
}

std::vector<std::string> Node::trace_lines() {
  std::lock_guard lock(mutex_);
  return trace_.lines();
}

std::string Node::trace_text() {
  std::lock_guard lock(mutex_);
  return trace_.text();
}

uint8_t Node::status() {
  std::lock_guard lock(mutex_);
  return status_locked(now_locked());
}

uint8_t Node::register9_written() {
  std::lock_guard lock(mutex_);
  return register9_;
}

std::string Node::describe() {
  std::lock_guard lock(mutex_);
  Clock::time_point now = Clock::now();
  char text[512];
  std::snprintf(text, sizeof text,
                "node %u base 0x%x\npower %s\nlink %s%s%s\nready %s\nstatus %02x\n"
                "register9 %02x\nbusy-at-start %s\nstuck-busy %s\nlink-drop-after %u\nunit-time %llu\n"
                "generation %u\ntrace %s %zu lines (%llu dropped)\nstate %s\n",
                number_, base_, power_ ? "on" : "off", link_ ? "up" : "down", link_lost_ ? " (lost)" : "",
                link_ && now < link_down_until_ ? " (resetting)" : "", ready_ ? "on" : "off",
                status_locked(now), register9_, busy_at_start_ ? "on" : "off",
                stuck_busy_ ? "on" : "off", link_drop_after_, (unsigned long long)settings_.unit_time_ns,
                unsigned(settings_.board_generation), trace_.running() ? "on" : "off",
                trace_.size(), (unsigned long long)trace_.dropped(), memory_.persistent() ? "files" : "memory");
  return text;
}

void Node::flush() {
  std::lock_guard lock(mutex_);
  memory_.sync();
}

bool Node::powered() {
  std::lock_guard lock(mutex_);
  return power_;
}

void Node::attach_software(CncSoftware* software) {
  std::lock_guard lock(mutex_);
  software_ = software;
}

void Node::watch(uint32_t address, uint32_t length) {
  if (length == 0) return;
  std::lock_guard lock(mutex_);
  watches_.emplace_back(address, address + length - 1);
}

void Node::clear_watches() {
  std::lock_guard lock(mutex_);
  watches_.clear();
}

void Node::set_unstable_word(std::optional<uint32_t> address) {
  std::lock_guard lock(mutex_);
  unstable_word_ = address;
}

void Node::set_acknowledge_word(std::optional<uint32_t> address) {
  std::lock_guard lock(mutex_);
  acknowledge_word_ = address;
}

}  // namespace cncsim
