#include "kestrel/cncitf/cnc_state_check.h"

#include <chrono>

#include "cnbusclient/cnbus_client.h"

namespace kestrel {
namespace {

constexpr int kInterfaceSpace = 0x10;
constexpr uint32_t kSegmentStride = 0x10000;
// In the first segment: only that segment is examined, and the second pass is skipped.
constexpr uint16_t kSingleSegmentMarker = 0x3531;
constexpr uint32_t kSecondPassStart = 0x40000;
constexpr uint32_t kClearedBytes = 256;

// Fields of a communication segment, relative to its start.
constexpr uint32_t kMarker = 4, kCncReady = 6, kPmcReady = 10, kDescriptor = 12,
                   kSegmentCount = 0x12, kPairA = 22, kPairB = 42, kBusyWords = 68,
                   kClearedArea = 72;
// Busy and phase words, relative to the segment's busy-word offset.
constexpr uint32_t kCncBusy = 0, kPmcBusy = 2, kPhase = 4;

}  // namespace

// --- the bus over the driver client ---

int ClientStateBus::IsLinkUp() { return client_.IsLinkUp(); }
uint8_t ClientStateBus::ReadByte(int space, uint32_t offset) { return client_.ReadByte(space, offset); }
uint16_t ClientStateBus::ReadWord(int space, uint32_t offset) { return client_.ReadWord(space, offset); }
uint32_t ClientStateBus::ReadDword(int space, uint32_t offset) {
  return client_.ReadDword(space, offset);
}
void ClientStateBus::WriteByte(int space, uint32_t offset, uint8_t value) {
  client_.WriteByte(space, offset, value);
}
void ClientStateBus::WriteWord(int space, uint32_t offset, uint16_t value) {
  client_.WriteWord(space, offset, value);
}
void ClientStateBus::WriteDword(int space, uint32_t offset, uint32_t value) {
  client_.WriteDword(space, offset, value);
}
uint16_t ClientStateBus::RefreshWindowNibble() { return client_.RefreshWindowNibble(); }
int ClientStateBus::WindowFlag0() { return client_.WindowFlag0(); }
int ClientStateBus::WindowFlag1() { return client_.WindowFlag1(); }

// --- the check ---

const char* CCncStateCheck::MessageText(Message message) {
  switch (message) {
    case Message::kHardware:
      return "CNC is not accessible.\nFLUX hardware state is not normal.\nBoot process will be aborted.";
    case Message::kSysfail:
      return "SYSFAIL signal is ON.\nBoot process will be aborted.";
    case Message::kCncBuffer:
      return "Communication buffer is not initialized by CNC.\nBoot process will be aborted.";
    case Message::kPmcBuffer:
      return "Communication buffer is not initialized by PMC.\nBoot process will be aborted.";
    case Message::kParity:
      return "Common RAM parity is occurred in CNC.\nBoot process will be aborted.";
  }
  return "";
}

int64_t CCncStateCheck::SystemSeconds() {
  using namespace std::chrono;
  return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

CCncStateCheck::CCncStateCheck(cnbus::CCnbusClient& client, std::function<void()> link_lost,
                               moxel::Prompter& prompter)
    : own_bus_(std::make_unique<ClientStateBus>(client)),
      bus_(*own_bus_),
      link_lost_(std::move(link_lost)),
      prompter_(prompter) {}

CCncStateCheck::CCncStateCheck(CncStateBus& bus, std::function<void()> link_lost,
                               moxel::Prompter& prompter)
    : bus_(bus), link_lost_(std::move(link_lost)), prompter_(prompter) {}

// A time limit started now: expired once the whole-second readings differ by more than the limit.
class CCncStateCheck::Limit {
 public:
  explicit Limit(const CCncStateCheck& check) : check_(check), start_(check.clock_()) {}
  bool Expired() const { return check_.clock_() - start_ > check_.limit_; }

 private:
  const CCncStateCheck& check_;
  int64_t start_;
};

void CCncStateCheck::Fail(Message message) {
  outcome_ = Outcome::kMessage;
  message_ = message;
  prompter_.tell(kCaption, MessageText(message), moxel::Icon::stop);
  throw Failed{};
}

void CCncStateCheck::LinkTest() {
  if (bus_.IsLinkUp()) return;
  outcome_ = Outcome::kLinkLost;
  if (link_lost_) link_lost_();
  throw Failed{};
}

int CCncStateCheck::Run() {
  outcome_ = Outcome::kNotRun;
  try {
    CheckInterface();
    WaitSystemFail();
    WaitNonzero(kCncReady, Message::kCncBuffer);
    ScanSegments();
    WalkTables();
  } catch (const Failed&) {
    return 0;
  }
  outcome_ = Outcome::kPassed;
  return 1;
}

void CCncStateCheck::CheckInterface() {
  const uint16_t v = bus_.ReadWord(kInterfaceSpace, 0x110);
  LinkTest();
  if (v == 0xFFFF) Fail(Message::kHardware);
}

void CCncStateCheck::WaitSystemFail() {
  const Limit limit(*this);
  for (;;) {
    // A request the CNC latched at 0x620 is acknowledged by writing it back.
    const uint16_t latched = bus_.ReadWord(kInterfaceSpace, 0x620);
    LinkTest();
    if (latched == 1) bus_.WriteWord(kInterfaceSpace, 0x620, 1);
    const uint16_t n1 = bus_.RefreshWindowNibble();
    const int sysfail = bus_.WindowFlag1();
    const uint16_t n2 = bus_.RefreshWindowNibble();
    LinkTest();
    if (n1 == n2 && sysfail == 0) return;
    if (limit.Expired()) Fail(Message::kSysfail);
  }
}

// A lost link reads every word as all ones, which would pass a wait for nonzero or hold one for
// zero until its limit: each pass tests the link before it judges the word.
void CCncStateCheck::WaitNonzero(uint32_t x, Message message) {
  const Limit limit(*this);
  for (;;) {
    const uint16_t v = W(x);
    LinkTest();
    if (v != 0) return;
    if (limit.Expired()) Fail(message);
  }
}

void CCncStateCheck::WaitZero(uint32_t x, Message message) {
  const Limit limit(*this);
  for (;;) {
    const uint16_t v = W(x);
    LinkTest();
    if (v == 0) return;
    if (limit.Expired()) Fail(message);
  }
}

void CCncStateCheck::ParityTest() {
  const int parity = bus_.WindowFlag0();
  LinkTest();  // a lost link reads the flag as 1: report the link, not a parity error
  if (parity) Fail(Message::kParity);
}

void CCncStateCheck::ScanSegments() {
  ParityTest();

  // First pass.
  unsigned count = bus_.ReadByte(kShmSpace, kShmBase + kSegmentCount);
  if (count == 0 || count >= 0x20) count = 1;
  const bool single = W(kMarker) == kSingleSegmentMarker;
  if (single) count = 1;
  for (unsigned i = 0; i < count; ++i) CheckSegment(i * kSegmentStride, false);
  LinkTest();

  // Second pass, over the segments the first segment's tables announce.
  if (!single) {
    const uint32_t d = D(kDescriptor);
    const uint32_t g = D(d + 0x104);
    const uint32_t u = D(g + 4);
    if (W(g) >= 30 && (W(u + 26) & 1) != 0) {
      const uint16_t m = W(u + 28);
      for (uint32_t i = 0; i < m; ++i) {
        const uint32_t s = kSecondPassStart + i * kSegmentStride;
        CheckSegment(s, true);
        if (ModeTest(s)) CheckSegmentPmc(s);
      }
    }
    LinkTest();
  }

  ParityTest();
}

CCncStateCheck::Pair CCncStateCheck::ReadPair(uint32_t x) {
  Pair p;
  p.space = W(x);
  p.offset = D(x + 2);
  p.answer = bus_.ReadWord(p.space, p.offset + 2);
  const uint16_t request = bus_.ReadWord(p.space, p.offset);
  if (p.answer != 0) {
    p.pending = true;
    p.reset = request == 0;
  } else {
    p.pending = request != 0;
  }
  LinkTest();
  return p;
}

void CCncStateCheck::ResetPair(const Pair& pair, uint32_t busy_word) {
  PutW(busy_word, 1);
  bus_.WriteWord(pair.space, pair.offset, 1);
  LinkTest();
}

void CCncStateCheck::Answer(const Pair& pair, uint32_t phase_word, uint16_t value) {
  PutW(phase_word, value);
  bus_.WriteWord(pair.space, pair.offset + 2, value);
  LinkTest();
}

void CCncStateCheck::CheckSegment(uint32_t s, bool second_pass) {
  const bool first_pass = !second_pass;
  WaitNonzero(s + kCncReady, Message::kCncBuffer);
  if (first_pass) WaitNonzero(s + kPmcReady, Message::kPmcBuffer);

  const Pair a = ReadPair(s + kPairA);
  Pair b;
  if (first_pass) b = ReadPair(s + kPairB);
  const uint32_t busy = s + D(s + kBusyWords);

  if (a.reset) ResetPair(a, busy + kCncBusy);
  if (first_pass && b.reset) ResetPair(b, busy + kPmcBusy);
  if (a.answer != 0) Answer(a, busy + kPhase, 0);
  if (first_pass && b.answer != 0) Answer(b, busy + kPhase, 0);
  if (a.pending) WaitZero(busy + kCncBusy, Message::kCncBuffer);
  if (first_pass && b.pending) WaitZero(busy + kPmcBusy, Message::kPmcBuffer);
  Answer(a, busy + kPhase, 1);
  if (first_pass) Answer(b, busy + kPhase, 1);

  const uint32_t z = s + D(s + kClearedArea);
  for (uint32_t i = 0; i < kClearedBytes; ++i) bus_.WriteByte(kShmSpace, kShmBase + z + i, 0);

  Register(s, z);
}

// Waits until the CNC changes its registration word pair, then leaves the PC's entry in the
// cleared area.
void CCncStateCheck::Register(uint32_t s, uint32_t z) {
  const uint32_t a = D(s + kDescriptor);
  const uint32_t e = s + D(a + s + 0x11C);
  const Limit limit(*this);
  for (;;) {
    const uint16_t first = W(e);
    const uint16_t second = W(e + 2);
    LinkTest();
    if (first != second) break;
    if (limit.Expired()) Fail(Message::kCncBuffer);
  }
  const uint32_t entry = D(s + 4 + D(a + 0x100 + s + 4));
  bus_.WriteDword(kShmSpace, kShmBase + z + 132, entry);
}

bool CCncStateCheck::ModeTest(uint32_t s) {
  const uint32_t a = D(s + kDescriptor);
  const uint32_t t = D(a + s + 0x104);
  const uint32_t u2 = D(s + t + 4);
  return (W(u2 + s + 19) & 0x31) != 0;
}

// The PMC half of a segment check, for the segments of the second pass whose mode asks for it.
void CCncStateCheck::CheckSegmentPmc(uint32_t s) {
  WaitNonzero(s + kPmcReady, Message::kPmcBuffer);
  const Pair b = ReadPair(s + kPairB);
  const uint32_t busy = s + D(s + kBusyWords);
  if (b.reset) ResetPair(b, busy + kPmcBusy);
  if (b.answer != 0) Answer(b, busy + kPhase, 0);
  if (b.pending) WaitZero(busy + kPmcBusy, Message::kPmcBuffer);
  Answer(b, busy + kPhase, 1);
}

uint32_t CCncStateCheck::TableBase() {
  const uint32_t p = D(kDescriptor);
  LinkTest();
  if (p == 0 || p == 0xFFFFFFFF) Fail(Message::kHardware);
  return p;
}

bool CCncStateCheck::TableValid(uint32_t q, uint16_t minimum) {
  if (W(q + 0x0C) == 1 && W(q + 8) >= minimum) return true;
  LinkTest();  // a table read over a lost link is all ones: report the link instead
  return false;
}

void CCncStateCheck::WalkTables() {
  uint32_t p = TableBase();
  const uint32_t q = p + 0x60;
  if (!TableValid(q, 0x20)) Fail(Message::kHardware);
  first_table_ = D(D(q + 4) + 4);
  LinkTest();
  segment_count_ = W(first_table_ + 0x12) >> 8;
  fixed_count_ = 10;

  p = TableBase();
  const uint32_t q2 = p + 0x260;
  if (!TableValid(q2, uint16_t((segment_count_ + fixed_count_) * 96))) Fail(Message::kHardware);
  second_table_ = D(D(q2 + 4) + 4);
  LinkTest();

  p = TableBase();
  const uint32_t q3 = p + 0x300;
  if (W(q3 + 0x0C) != 1 || W(q3) != 0) {
    LinkTest();
    Fail(Message::kHardware);
  }

  const uint32_t x = D(q3 + 4);
  PutW(x, 2);
  PutW(D(x + 4), 0);
  LinkTest();

  const uint32_t y = D(q3 + 0x1C);
  PutW(y + 2, uint16_t(W(y + 2) + 1));
  LinkTest();

  const uint32_t k = D(q3 + 0x14);
  const int space = W(q3 + 0x12);
  bus_.WriteWord(space, k, uint16_t(bus_.ReadWord(space, k) + 1));
  LinkTest();
}

}  // namespace kestrel
