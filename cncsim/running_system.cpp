#include "cncsim/running_system.h"

#include <algorithm>

namespace cncsim {
namespace {

constexpr uint32_t kStride = 0x10000;
constexpr uint32_t kSecondPassStart = 0x40000;
constexpr uint32_t kMaxSegments = 4;        // the first pass ends where the second begins
constexpr uint32_t kMaxSecondSegments = 8;  // the last one ends below the communication area
constexpr uint16_t kSingleSegmentMarker = 0x3531;

// Fields of a segment and the structures it points to, relative to the segment's start.
constexpr uint32_t kMarker = 4, kCncReady = 6, kPmcReady = 10, kDescriptorField = 12,
                   kCountField = 0x12, kPairAField = 22, kPairBField = 42, kBusyField = 68,
                   kClearedField = 72;
constexpr uint32_t kPairA = 0x100, kPairB = 0x110;  // request, answer at + 2
constexpr uint32_t kBusy = 0x200;                   // CNC busy, PMC busy at + 2, PC phase at + 4
constexpr uint32_t kCleared = 0x300, kClearedSize = 256, kEntry = kCleared + 132;
constexpr uint32_t kDescriptor = 0x1000;
constexpr uint32_t kTableQ = kDescriptor + 0x60, kTableQ2 = kDescriptor + 0x260,
                   kTableQ3 = kDescriptor + 0x300;
constexpr uint32_t kEntryTable = 0x1400;   // at descriptor + 0x104: count word, entry at + 4
constexpr uint32_t kRegistration = 0x1500;  // at descriptor + 0x11C
constexpr uint32_t kPcEntry = 0x1600;       // mode byte + 19, flags + 26, second-pass count + 28

// The walk's tables, reached from the first segment's descriptor.
constexpr uint32_t kFirstPointer = 0x1700, kSecondPointer = 0x1708, kTableX = 0x1710,
                   kTableX2 = 0x1720, kTableY = 0x1730, kCounterK = 0x1740;
constexpr uint32_t kFirstTable = 0x1800, kSecondTable = 0x2000;

uint32_t bit(RunningFault f) { return 1u << unsigned(f); }

}  // namespace

RunningSettings RunningSettings::from_config(const moxel::ConfigData& config, uint32_t node) {
  RunningSettings s;
  auto dword = [&](const char* stem, uint32_t fallback) {
    return config.dword("Simulator", stem + std::to_string(node), fallback);
  };
  s.segments = dword("Segments", s.segments);  // the system keeps them within their ranges
  s.marker_3531 = dword("Marker3531", s.marker_3531) != 0;
  s.second_segments = dword("SecondSegments", s.second_segments);
  s.handshake_delay_ms = dword("HandshakeDelay", s.handshake_delay_ms);
  return s;
}

const std::vector<RunningFaultInfo>& running_faults() {
  static const std::vector<RunningFaultInfo> faults = {
      {RunningFault::kNoInterface, "no-interface", "the interface word 0x10:0x110 reads 0xFFFF"},
      {RunningFault::kSysfail, "sysfail", "window flag 1 (SYSFAIL) stays set"},
      {RunningFault::kNibbleUnstable, "nibble-unstable", "the window nibble changes at every read"},
      {RunningFault::kCncBufferLate, "cnc-buffer-late", "the CNC ready words are never set"},
      {RunningFault::kPmcBufferLate, "pmc-buffer-late", "the PMC ready words are never set"},
      {RunningFault::kCncBusyStuck, "cnc-busy-stuck", "a CNC request that never ends: busy stays 1"},
      {RunningFault::kPmcBusyStuck, "pmc-busy-stuck", "a PMC request that never ends: busy stays 1"},
      {RunningFault::kParity, "parity", "window flag 0 (common-RAM parity) set"},
      {RunningFault::kBadTable, "bad-table", "the first table of the walk is marked invalid"},
      {RunningFault::kRegistrationStuck, "registration-stuck", "the registration pairs never change"},
  };
  return faults;
}

std::optional<RunningFault> running_fault_from_name(const std::string& name) {
  for (const RunningFaultInfo& f : running_faults())
    if (name == f.name) return f.fault;
  return std::nullopt;
}

RunningSystem::RunningSystem(Node& node, const RunningSettings& settings)
    : node_(node), settings_(settings) {
  settings_.segments = std::clamp<uint32_t>(settings_.segments, 1, kMaxSegments);
  settings_.second_segments = std::min(settings_.second_segments, kMaxSecondSegments);
  for (uint32_t i = 0; i < settings_.segments; ++i) segments_.push_back(i * kStride);
  for (uint32_t j = 0; j < settings_.second_segments; ++j)
    segments_.push_back(kSecondPassStart + j * kStride);
}

bool RunningSystem::fault(RunningFault f) const { return (faults_ & bit(f)) != 0; }

// Shared memory by offset, interface space by offset, as the CNC reaches them.
uint16_t RunningSystem::get16(uint32_t x) {
  uint8_t b[2];
  node_.peek(cnbus_address(kSpaceShared, kSharedStart + x), b);
  return uint16_t(b[0] | b[1] << 8);
}
uint32_t RunningSystem::get32(uint32_t x) { return get16(x) | uint32_t(get16(x + 2)) << 16; }
void RunningSystem::put16(uint32_t x, uint16_t value) {
  const uint8_t b[2] = {uint8_t(value), uint8_t(value >> 8)};
  node_.poke(cnbus_address(kSpaceShared, kSharedStart + x), b);
}
void RunningSystem::put32(uint32_t x, uint32_t value) {
  put16(x, uint16_t(value));
  put16(x + 2, uint16_t(value >> 16));
}
void RunningSystem::fill(uint32_t x, uint32_t length, uint8_t value) {
  const std::vector<uint8_t> bytes(length, value);
  node_.poke(cnbus_address(kSpaceShared, kSharedStart + x), bytes);
}
uint16_t RunningSystem::get_interface(uint32_t offset) {
  uint8_t b[2];
  node_.peek(cnbus_address(kSpaceInterface, offset), b);
  return uint16_t(b[0] | b[1] << 8);
}
void RunningSystem::put_interface(uint32_t offset, uint16_t value) {
  const uint8_t b[2] = {uint8_t(value), uint8_t(value >> 8)};
  node_.poke(cnbus_address(kSpaceInterface, offset), b);
}

void RunningSystem::lay_out_segment(uint32_t s, bool first, bool pmc_mode) {
  fill(s, kSecondTable + 0x600, 0);
  if (s == 0 && settings_.marker_3531) put16(s + kMarker, kSingleSegmentMarker);
  put32(s + kDescriptorField, kDescriptor);
  if (s == 0) fill(s + kCountField, 1, uint8_t(settings_.segments));
  put16(s + kPairAField, kSpaceShared);
  put32(s + kPairAField + 2, kSharedStart + s + kPairA);
  put16(s + kPairBField, kSpaceShared);
  put32(s + kPairBField + 2, kSharedStart + s + kPairB);
  put32(s + kBusyField, kBusy);
  put32(s + kClearedField, kCleared);
  // Left over from the CNC's own start, so that the PC's clearing shows.
  fill(s + kCleared, kClearedSize, 0xA5);

  // The descriptor and what it points to.
  put32(s + kTableQ + 4, kFirstPointer);
  put16(s + kTableQ + 8, 0x20);
  put16(s + kTableQ + 0x0C, 1);
  put32(s + kDescriptor + 0x104, kEntryTable);
  put32(s + kDescriptor + 0x11C, kRegistration);
  put32(s + kTableQ2 + 4, kSecondPointer);
  put16(s + kTableQ2 + 8, uint16_t((settings_.segments + 10) * 96));
  put16(s + kTableQ2 + 0x0C, 1);
  put16(s + kTableQ3, 0);
  put32(s + kTableQ3 + 4, kTableX);
  put16(s + kTableQ3 + 0x0C, 1);
  put16(s + kTableQ3 + 0x12, kSpaceShared);
  put32(s + kTableQ3 + 0x14, kSharedStart + kCounterK);
  put32(s + kTableQ3 + 0x1C, kTableY);
  put16(s + kEntryTable, 32);
  put32(s + kEntryTable + 4, kPcEntry);
  fill(s + kPcEntry + 19, 1, pmc_mode ? 0x01 : 0x00);
  if (first && s == 0) {
    put16(s + kPcEntry + 26, settings_.second_segments ? 1 : 0);
    put16(s + kPcEntry + 28, uint16_t(settings_.second_segments));
  }
}

void RunningSystem::start() {
  nibble_ = uint8_t(get_interface(0xE0110) & 0xF);
  for (uint32_t s : segments_) {
    const bool first = s < kSecondPassStart;
    // Every other segment of the second pass has a PMC half.
    lay_out_segment(s, first, !first && ((s - kSecondPassStart) / kStride) % 2 == 0);
  }
  // The walk's tables, in the first segment's area.
  put32(kFirstPointer + 4, kFirstTable);
  put32(kSecondPointer + 4, kSecondTable);
  put32(kTableX + 4, kTableX2);
  put16(kTableX2, 0xFFFF);
  put16(kFirstTable + 0x12, uint16_t(settings_.segments << 8));

  put_interface(0x110, nibble_);
  put_interface(0x620, 1);
  node_.set_acknowledge_word(cnbus_address(kSpaceInterface, 0x620));
  put_interface(nibble_ * 16u + 4, 0);

  pending_.assign(segments_.size(), Pending{});
  running_ = true;
  apply_faults();
}

void RunningSystem::stop() {
  running_ = false;
  pending_.clear();
  node_.set_acknowledge_word(std::nullopt);
  node_.set_unstable_word(std::nullopt);
}

std::vector<std::pair<uint32_t, uint32_t>> RunningSystem::watched() const {
  std::vector<std::pair<uint32_t, uint32_t>> ranges;
  // Pairs, busy and phase words and the cleared area of every segment.
  for (uint32_t s : segments_)
    ranges.emplace_back(cnbus_address(kSpaceShared, kSharedStart + s + kPairA),
                        kCleared + kClearedSize - kPairA);
  return ranges;
}

// Brings memory in line with the faults now set.
void RunningSystem::apply_faults() {
  if (!running_) return;
  put_interface(0x110, fault(RunningFault::kNoInterface) ? 0xFFFF : nibble_);
  node_.set_unstable_word(fault(RunningFault::kNibbleUnstable)
                              ? std::optional(cnbus_address(kSpaceInterface, 0x110))
                              : std::nullopt);
  uint16_t window = get_interface(nibble_ * 16u + 4) & ~3u;
  if (fault(RunningFault::kParity)) window |= 1;
  if (fault(RunningFault::kSysfail)) window |= 2;
  put_interface(nibble_ * 16u + 4, window);
  for (uint32_t s : segments_) {
    put16(s + kCncReady, fault(RunningFault::kCncBufferLate) ? 0 : 1);
    put16(s + kPmcReady, fault(RunningFault::kPmcBufferLate) ? 0 : 1);
    // A request that never ends: requested and busy. Cleared by serve() once the fault is off.
    if (fault(RunningFault::kCncBusyStuck)) {
      put16(s + kPairA, 1);
      put16(s + kBusy, 1);
    }
    if (fault(RunningFault::kPmcBusyStuck)) {
      put16(s + kPairB, 1);
      put16(s + kBusy + 2, 1);
    }
  }
  put16(kTableQ + 0x0C, fault(RunningFault::kBadTable) ? 0 : 1);
}

void RunningSystem::set_fault(RunningFault f, bool on) {
  faults_ = on ? faults_ | bit(f) : faults_ & ~bit(f);
  apply_faults();
}

// Answers what the segments' words ask for now. Each answer waits the handshake delay from the
// moment the system first saw the request; a request withdrawn in the meantime is forgotten.
std::optional<RunningSystem::Clock::time_point> RunningSystem::serve(Clock::time_point now) {
  if (!running_) return std::nullopt;
  const auto delay = std::chrono::milliseconds(settings_.handshake_delay_ms);
  std::optional<Clock::time_point> next;
  // True when the answer guarded by `due` should be given now; keeps `due` while it waits.
  auto due_now = [&](bool wanted, std::optional<Clock::time_point>& due) {
    if (!wanted) {
      due.reset();
      return false;
    }
    if (!due) due = now + delay;
    if (now >= *due) {
      due.reset();
      return true;
    }
    next = next ? std::min(*next, *due) : *due;
    return false;
  };

  for (size_t k = 0; k < segments_.size(); ++k) {
    const uint32_t s = segments_[k];
    const bool first = s < kSecondPassStart;
    Pending& p = pending_[k];
    // The PC set a busy word and its request: the CNC (PMC) takes the request and clears both.
    if (due_now(get16(s + kBusy) != 0 && get16(s + kPairA) != 0 &&
                    !fault(RunningFault::kCncBusyStuck),
                p.cnc_busy)) {
      put16(s + kBusy, 0);
      put16(s + kPairA, 0);
    }
    if (due_now(get16(s + kBusy + 2) != 0 && get16(s + kPairB) != 0 &&
                    !fault(RunningFault::kPmcBusyStuck),
                p.pmc_busy)) {
      put16(s + kBusy + 2, 0);
      put16(s + kPairB, 0);
    }
    // Registration: the pair is equal while the PC has not answered, and changes once the PC has
    // answered its pairs and cleared its area.
    const uint16_t phase = get16(s + kBusy + 4);
    const uint16_t answer_a = get16(s + kPairA + 2);
    const uint16_t answer_b = get16(s + kPairB + 2);
    const uint16_t e0 = get16(s + kRegistration);
    if (phase == 0 || answer_a == 0) {
      put16(s + kRegistration + 2, e0);
      p.registration.reset();
      continue;
    }
    const bool ready = phase == 1 && answer_a == 1 && (!first || answer_b == 1) &&
                       get32(s + kEntry) == 0 && e0 == get16(s + kRegistration + 2) &&
                       !fault(RunningFault::kRegistrationStuck);
    if (due_now(ready, p.registration)) put16(s + kRegistration, uint16_t(e0 + 1));
  }
  return next;
}

}  // namespace cncsim
