#pragma once
// CCncItf: function calls to the boot software of one CNC node through the mailbox in its
// communication area, and data blocks through its transfer buffer.
//
// Every call is made under the interface lock "MoxelKestrelCncInterfaceMutex", one system-wide
// named lock (moxel::NamedLock) that every program of the system takes around its use of a
// mailbox, for all nodes: function calls of different threads, nodes and programs never
// interleave. The lock is held from Call to the end of Complete and released before any exception
// leaves them; the kernel frees it when its holder dies.
//
// The data that a call leaves in the transfer buffer (or that it takes from there) is moved
// outside Call and Complete; a Hold keeps the lock over the whole operation, so that another
// program's call cannot overwrite the buffer in between (CBootFunc holds it for each operation).
//
// A fatal fault (link lost, time-out, SRAM parity) leaves the object unusable: its error state
// moves once from 0 to 1, 2 or 3, and every later Call returns at once with status 0xFFFF.
//
// The waits for the CNC poll the mailbox flag as fast as the link allows and call the owner's
// hook once per pass (a node thread checks its stop request there and may throw to end the
// work); the time-out counts whole seconds of the given clock.
//
// Every access is followed by its link test, and both travel in one request to the driver
// (CCnbusClient::ShmRunChecked). A call takes two requests when the CNC answers at once: the flag
// read before the request, with the request and its flag written only when that read found 0;
// then the flag reads of both waits with the results. What the reads after an unmet wait
// condition found is not used. Data the function takes from the transfer buffer can travel in the
// first request, and data it leaves there in the last one (Carried), read only when the flag read
// of the same request found the call ended.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "cnbusclient/cnbus_client.h"
#include "kestrel/cncitf/itf_err.h"
#include "platform/named_lock.h"

namespace kestrel {

// The 32-byte mailbox, as last written or read.
struct MailboxImage {
  uint16_t flag = 0, function = 0, status = 0, error = 0, i1 = 0, i2 = 0;
  uint32_t i3 = 0, i4 = 0;
  uint16_t o1 = 0, o2 = 0;
  uint32_t o3 = 0, o4 = 0;

  std::array<uint32_t, 8> dwords() const;
  static MailboxImage from_dwords(const std::array<uint32_t, 8>& d);
};

// Shared-memory transfers that travel in the requests of a call, each still followed by its link
// test. `before`: carried out once, ahead of the call's first flag read (what the function takes
// from the transfer buffer). `after`: reads carried out in each request that reads the flag for
// the end of the call, only when that read finds it 0 (what the function leaves in the transfer
// buffer); with `wait` only (a call without it gives them to Complete). Their buffers hold what
// the transfer buffer held at the end of the call whatever its status.
struct Carried {
  std::span<cnbus::ShmTransfer> before = {};
  std::span<cnbus::ShmTransfer> after = {};
};

// A call posted behind the end of the one under way (CCncItf::CompleteThenCall); `before` as in
// Carried.
struct NextCall {
  uint16_t function = 0, i1 = 0, i2 = 0;
  uint32_t i3 = 0, i4 = 0;
  std::span<cnbus::ShmTransfer> before = {};
};

class CCncItf {
 public:
  // Keeps the interface lock from its construction to its end, across the calls and transfers of
  // one operation; Complete then leaves the lock held. Nothing is taken on an interface that a
  // fault already made unusable.
  class Hold {
   public:
    explicit Hold(CCncItf& itf);
    ~Hold();
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    CCncItf& itf_;
    bool took_ = false;
  };

  using WaitHook = std::function<void()>;
  // Whole seconds of a clock; the default is the system clock (time()).
  using Clock = std::function<int64_t()>;

  static constexpr const char* kMutexName = "MoxelKestrelCncInterfaceMutex";
  static constexpr int kTimeoutSeconds = 120;
  static constexpr uint32_t kMailboxOffset = 0x100;  // in the communication area

  // `client` is the node's driver client (not owned; its current node is the one called).
  // `hook` runs once per pass of every wait and once after the slices of a long transfer.
  explicit CCncItf(cnbus::CCnbusClient& client, WaitHook hook = {}, Clock clock = {});
  ~CCncItf();
  CCncItf(const CCncItf&) = delete;
  CCncItf& operator=(const CCncItf&) = delete;

  // 1 while the link is up; otherwise the error state becomes 1 and the answer is 0.
  int CheckLink();

  // Shared-memory transfers (offset from the start of shared memory), each a block transfer
  // followed by the link check in the same request: CItfErr 1 when the link is down.
  void ReadBytes(uint32_t offset, uint8_t* buffer, int count);
  void ReadWords(uint32_t offset, uint16_t* buffer, int count);
  void ReadDwords(uint32_t offset, uint32_t* buffer, int count);
  void WriteBytes(uint32_t offset, const uint8_t* buffer, int count);
  void WriteDwords(uint32_t offset, const uint32_t* buffer, int count);
  uint16_t ReadWord(uint32_t offset);
  void WriteWord(uint32_t offset, uint16_t value);

  using Carried = kestrel::Carried;


  // Posts a function call; with `wait`, also Complete. Returns the error state: nonzero means the
  // object was already unusable and nothing was done (status 0xFFFF).
  int Call(uint16_t function, uint16_t i1 = 0, uint16_t i2 = 0, uint32_t i3 = 0, uint32_t i4 = 0,
           int wait = 1, Carried carried = {});
  // Waits for the CNC to finish, reads the results (and `after`, see Carried) and releases the
  // lock; a failure that the caller does not handle itself becomes CItfErr.
  void Complete(std::span<cnbus::ShmTransfer> after = {});
  // Completes the call under way as Complete does and, when the first request that looks finds it
  // ended with status and error 0, posts `next` without wait in that same request, so the CNC
  // starts on it while the caller deals with the results. True when `next` was posted; otherwise
  // the caller posts it with Call if it still wants it. Inside a Hold only: the lock stays taken.
  bool CompleteThenCall(std::span<cnbus::ShmTransfer> after, const NextCall& next);
  // The transfers in order, each followed by its link test, in as few requests as they fit:
  // CItfErr 1 when the link is down after any of them.
  void Run(std::span<cnbus::ShmTransfer> transfers);
  // Gives the lock up after a fault between a call without wait and its Complete (the CNC may
  // still work on the request; the next Call waits for it to finish).
  void Release() { Unlock(); }
  // Runs the owner's hook once (between the slices of a long transfer).
  void Pump();

  const MailboxImage& Image() const { return image_; }
  uint16_t Status() const { return image_.status; }
  uint16_t Error() const { return image_.error; }
  int ErrorState() const { return error_state_; }
  bool MutexHeld() const { return mutex_held_; }
  int CncType() const { return cnc_type_; }
  // Offsets in shared memory: the transfer buffer (0, or 0x10000 for CNC type 3) and the
  // communication area (0xD0000, or 0 for CNC type 3).
  uint32_t BufferBase() const { return buffer_base_; }
  uint32_t AreaBase() const { return area_base_; }
  cnbus::CCnbusClient& Client() { return client_; }

 private:
  void SetErrorState(int state);
  // CItfErr 1 (error state 1) unless the link was up after the transfer.
  void Linked(const cnbus::ShmTransfer& transfer);
  // One transfer and its link test, in one request.
  void Transfer(bool write, unsigned unit, uint32_t offset, const void* data, int count);
  void Lock();
  void Unlock();
  // After a wait pass that did not end the wait: the hook, then CItfErr 2 once more than 120
  // seconds passed since `start`.
  void Pass(int64_t start);
  // Polls the flag until it is 0 and writes the request in the image and then the flag 1, both in
  // the request of the flag read that found 0; `before` travels in the first.
  void Post(std::span<cnbus::ShmTransfer> before);
  // After a request: with `taken`, polls until the flag is no longer 1; then, with `complete`,
  // until it is 0, and reads the results into the image and `after` into their buffers. `next`
  // goes with the first pass (see CompleteThenCall); true when it was posted.
  bool Await(bool taken, bool complete, std::span<cnbus::ShmTransfer> after, const NextCall* next);
  // Turns the results in the image into the call's outcome and releases the lock.
  void Finish();
  bool Tolerated(uint16_t function) const;

  uint32_t buffer_base_;
  uint32_t area_base_;
  cnbus::CCnbusClient& client_;
  WaitHook hook_;
  Clock clock_;
  int cnc_type_;
  int error_state_ = 0;
  std::unique_ptr<moxel::NamedLock> mutex_;
  bool mutex_held_ = false;
  int hold_depth_ = 0;
  MailboxImage image_;
  std::vector<cnbus::ShmTransfer> pass_;  // the transfers of one wait pass, kept between calls
};

}  // namespace kestrel
