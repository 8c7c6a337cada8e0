#pragma once
// CCncStateCheck: before a node's application programs start, makes sure within fixed time limits
// that the CNC's interface hardware answers, that the CNC does not hold its system-fail signal,
// that the CNC and its PMC have set up their communication segments in shared memory and that no
// common-RAM parity error is reported; then registers the PC in the CNC's communication tables.
//
// Only single reads and writes of the driver client are used (no function call, no interface
// lock). Every failure but a lost link is shown in a stop box through the prompter; a lost link is
// reported to the owner's callback alone (the boot thread turns it into its link-lost command).
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/prompter.h"

namespace cnbus {
class CCnbusClient;
}

namespace kestrel {

// The accesses the check makes, as the driver client offers them; a test may stand a scripted
// memory in for the client.
class CncStateBus {
 public:
  virtual ~CncStateBus() = default;
  virtual int IsLinkUp() = 0;
  virtual uint8_t ReadByte(int space, uint32_t offset) = 0;
  virtual uint16_t ReadWord(int space, uint32_t offset) = 0;
  virtual uint32_t ReadDword(int space, uint32_t offset) = 0;
  virtual void WriteByte(int space, uint32_t offset, uint8_t value) = 0;
  virtual void WriteWord(int space, uint32_t offset, uint16_t value) = 0;
  virtual void WriteDword(int space, uint32_t offset, uint32_t value) = 0;
  virtual uint16_t RefreshWindowNibble() = 0;
  virtual int WindowFlag0() = 0;
  virtual int WindowFlag1() = 0;
};

// The bus over a driver client (not owned).
class ClientStateBus final : public CncStateBus {
 public:
  explicit ClientStateBus(cnbus::CCnbusClient& client) : client_(client) {}
  int IsLinkUp() override;
  uint8_t ReadByte(int space, uint32_t offset) override;
  uint16_t ReadWord(int space, uint32_t offset) override;
  uint32_t ReadDword(int space, uint32_t offset) override;
  void WriteByte(int space, uint32_t offset, uint8_t value) override;
  void WriteWord(int space, uint32_t offset, uint16_t value) override;
  void WriteDword(int space, uint32_t offset, uint32_t value) override;
  uint16_t RefreshWindowNibble() override;
  int WindowFlag0() override;
  int WindowFlag1() override;

 private:
  cnbus::CCnbusClient& client_;
};

class CCncStateCheck {
 public:
  // The stop boxes the check can show.
  enum class Message { kHardware, kSysfail, kCncBuffer, kPmcBuffer, kParity };
  // How the last Run ended.
  enum class Outcome { kNotRun, kPassed, kMessage, kLinkLost };

  static const char* MessageText(Message message);
  static constexpr const char* kCaption = "Kestrel32";
  static constexpr int kDefaultLimit = 30;

  // Whole seconds of a clock; the limits compare differences of its readings.
  using SecondsClock = std::function<int64_t()>;
  static int64_t SystemSeconds();

  // `link_lost` is called (once) when the link is found down; it may be empty.
  CCncStateCheck(cnbus::CCnbusClient& client, std::function<void()> link_lost,
                 moxel::Prompter& prompter = moxel::prompter());
  CCncStateCheck(CncStateBus& bus, std::function<void()> link_lost,
                 moxel::Prompter& prompter = moxel::prompter());
  CCncStateCheck(const CCncStateCheck&) = delete;
  CCncStateCheck& operator=(const CCncStateCheck&) = delete;

  void SetClock(SecondsClock clock) { clock_ = std::move(clock); }
  // The time limit of every wait, in whole seconds (30 unless shortened for diagnosis).
  void SetLimit(int seconds) { limit_ = seconds; }

  // 1 when the node passed; 0 when it failed (a message was shown or the link loss reported).
  int Run();

  Outcome GetOutcome() const { return outcome_; }
  // The message shown by the last Run that ended with kMessage.
  Message GetMessage() const { return message_; }

  // Filled by the table walk.
  uint32_t GetFirstTablePointer() const { return first_table_; }
  uint16_t GetSegmentCount() const { return segment_count_; }
  uint16_t GetFixedCount() const { return fixed_count_; }
  uint32_t GetSecondTablePointer() const { return second_table_; }

 private:
  struct Failed {};  // thrown once the failure was reported; ends Run with 0
  // One control pair (request word at offset, answer word at offset + 2) and what the check found.
  struct Pair {
    int space = 0;
    uint32_t offset = 0;
    uint16_t answer = 0;
    bool pending = false;
    bool reset = false;
  };
  class Limit;

  [[noreturn]] void Fail(Message message);
  void LinkTest();
  uint16_t W(uint32_t x) { return bus_.ReadWord(kShmSpace, kShmBase + x); }
  uint32_t D(uint32_t x) { return bus_.ReadDword(kShmSpace, kShmBase + x); }
  void PutW(uint32_t x, uint16_t value) { bus_.WriteWord(kShmSpace, kShmBase + x, value); }

  void CheckInterface();
  void WaitSystemFail();
  // Waits until the word at shared-memory offset x is nonzero (or zero); `message` on time-out.
  void WaitNonzero(uint32_t x, Message message);
  void WaitZero(uint32_t x, Message message);
  void ScanSegments();
  void ParityTest();
  // The pair whose space and offset are at shared-memory offsets x and x + 2.
  Pair ReadPair(uint32_t x);
  // Sets the busy word and the pair's request (the CNC side is to take a fresh request).
  void ResetPair(const Pair& pair, uint32_t busy_word);
  // Writes `value` to the PC phase word and to the pair's answer.
  void Answer(const Pair& pair, uint32_t phase_word, uint16_t value);
  void CheckSegment(uint32_t s, bool second_pass);
  void CheckSegmentPmc(uint32_t s);
  void Register(uint32_t s, uint32_t z);
  bool ModeTest(uint32_t s);
  // The first segment's descriptor offset (shared memory 0x0C); a missing table when 0 or all ones.
  uint32_t TableBase();
  // A table of the walk marked valid (word at +0x0C is 1) whose word at +8 is at least `minimum`.
  bool TableValid(uint32_t q, uint16_t minimum);
  void WalkTables();

  static constexpr int kShmSpace = 0x20;
  static constexpr uint32_t kShmBase = 0xC00000;

  std::unique_ptr<ClientStateBus> own_bus_;
  CncStateBus& bus_;
  std::function<void()> link_lost_;
  moxel::Prompter& prompter_;
  SecondsClock clock_ = SystemSeconds;
  int limit_ = kDefaultLimit;
  Outcome outcome_ = Outcome::kNotRun;
  Message message_ = Message::kHardware;

  uint32_t first_table_ = 0;
  uint16_t segment_count_ = 0;
  uint16_t fixed_count_ = 0;
  uint32_t second_table_ = 0;
};

}  // namespace kestrel
