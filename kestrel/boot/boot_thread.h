#pragma once
// The node threads of kestrel32.
//
// CBootThread1 (monitor): one per present node for the program's whole life. Every 100 ms it
// looks at the node's link; when the link comes up and the CNC is ready it does the handshake in
// the communication area (test word, descriptor, PC flags) and starts a CBootThread2. When the
// link goes down it broadcasts wParam 0, tells the program (command 106) when a handshake had
// succeeded, and resets the link. While the CNC state word shows bit 8 it runs the loading display
// in mode 0.
//
// CBootThread2 (boot sequence): follows the CNC through its start. It runs the boot dialog while
// the CNC waits for the operator and the loading display in mode 1 while it loads; when the CNC's
// system runs it sets up the window, runs the interface state check (both skipped for CNC type 3),
// counts the start, launches the node's application programs and broadcasts wParam 1. It ends at
// once on a stop request, a link loss or bit 8 of the state word.
//
// No widget lives here: the windows are opened through IBootWindows (the program runs them on its
// GUI thread and blocks the calling node thread until they close), and the state check through
// IStateCheck. Every wait of both threads ends as soon as the stop is requested.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cnbusclient/cnbus_client.h"
#include "kestrel/boot/boot_profile.h"
#include "kestrel/boot/broadcast.h"
#include "platform/prompter.h"

namespace kestrel {

// A monitor's stop request; waits on it end when it is set.
class CStopRequest {
 public:
  void Request();
  bool IsSet() const { return set_.load(); }
  // Waits `ms` milliseconds or until the stop is requested; true when it is.
  bool WaitFor(int ms);

 private:
  std::atomic<bool> set_{false};
  std::mutex mutex_;
  std::condition_variable cv_;
};

class CBootThread;

// The windows the node threads open. Each call returns when the window has closed; the program
// closes them itself when the thread's stop is requested.
class IBootWindows {
 public:
  virtual ~IBootWindows() = default;
  // The boot dialog (boot console). Returns the status of its last function call (leave console,
  // 0x001), 0xFFFF when the call failed or was never made.
  virtual uint16_t RunBootDialog(CBootThread& thread) = 0;
  // The loading display: mode 0 from the monitor (bit 8 of the CNC state word), 1 from the boot
  // sequence.
  virtual void RunLoadingDisplay(CBootThread& thread, int mode) = 0;
};

// The interface state check run before the application programs start; false stops the start (the
// check has told the operator why).
class IStateCheck {
 public:
  virtual ~IStateCheck() = default;
  virtual bool Check(CBootThread& thread) = 0;
};

// What the node threads share with the program. All pointers must outlive the threads.
struct BootServices {
  IBootWindows* windows = nullptr;
  IStateCheck* state_check = nullptr;  // none: the check passes
  IBroadcaster* broadcaster = nullptr;  // none: nothing is broadcast
  moxel::Prompter* prompter = nullptr;  // none: moxel::prompter()
  CKestrelProfile profile;
  // Command 106 (link lost after a successful handshake), called on the monitor's thread; the
  // program queues it to its main object.
  std::function<void(int node)> link_lost;
  // Starts one formatted command line; 32 or more is success. None: LaunchProgram.
  std::function<int(const std::string& line)> launch;
  // The polling period of both threads.
  int poll_ms = 100;
};

// Communication area offsets (from the area base).
constexpr uint32_t kCncStateWord = 0x00;
constexpr uint32_t kPcStateWord = 0x02;
constexpr uint32_t kPcFlags = 0x04;
constexpr uint32_t kDescriptor = 0x06;  // 7 words; word 0 is the link test word
constexpr uint32_t kStartCount = 0x24;
constexpr uint16_t kTestWord = 0x0020;

constexpr const char* kCaption = "Kestrel32";
constexpr const char* kOldHardwareText =
    "PC side FLUX hardware is old for the system.\nBoot process will be aborted.";

// The 7-word descriptor the PC publishes for the CNC.
std::vector<uint16_t> BootDescriptor(uint32_t area_base);

class CBootThread {
 public:
  explicit CBootThread(const BootServices& services) : services_(services) {}
  virtual ~CBootThread() = default;
  CBootThread(const CBootThread&) = delete;
  CBootThread& operator=(const CBootThread&) = delete;

  // Selects the node in the thread's own client and takes the bases from its CNC type.
  void SetNode(int node, const std::string& title);

  int Node() const { return node_; }
  const std::string& Title() const { return title_; }
  int CncType() const { return cnc_type_; }
  uint32_t AreaBase() const { return area_base_; }
  uint32_t BufferBase() const { return buffer_base_; }
  cnbus::CCnbusClient& Client() { return client_; }
  const BootServices& Services() const { return services_; }
  // The stop request that ends this thread (the monitor's own, or its monitor's).
  virtual CStopRequest& Stop() = 0;
  // The services' prompter, or the process's.
  moxel::Prompter& Prompter() const;

 protected:
  uint16_t ReadArea(uint32_t offset) { return client_.ShmReadWord(area_base_ + offset); }
  void WriteArea(uint32_t offset, uint16_t value) { client_.ShmWriteWord(area_base_ + offset, value); }
  void Broadcast(uint32_t wparam);

  const BootServices& services_;
  cnbus::CCnbusClient client_;
  int node_ = -1;
  std::string title_;
  int cnc_type_ = 0;
  uint32_t area_base_ = 0xD0000;
  uint32_t buffer_base_ = 0;
};

class CBootThread2;

class CBootThread1 final : public CBootThread {
 public:
  using CBootThread::CBootThread;
  ~CBootThread1() override;

  // Starts the monitor on a thread of its own.
  void Start();
  void RequestStop() { stop_.Request(); }
  // Waits for the monitor and every boot sequence it started to end.
  void Join();
  // True once Run has returned with every boot sequence ended (Join then does not wait).
  bool Finished() const { return finished_.load(); }
  CStopRequest& Stop() override { return stop_; }

  // The loop itself (Start runs it); returns when the stop is requested.
  void Run();

 private:
  void Pass(bool& link_seen, bool& started, bool& need_handshake);
  bool Handshake();
  void StartSequence();
  void ReapSequences(bool all);

  struct Sequence {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  CStopRequest stop_;
  std::atomic<bool> finished_{false};
  std::thread thread_;
  std::vector<Sequence> sequences_;
};

class CBootThread2 final : public CBootThread {
 public:
  using CBootThread::CBootThread;
  void SetStopReference(CStopRequest* stop) { stop_ = stop; }
  CStopRequest& Stop() override { return *stop_; }
  void Run();

 private:
  struct Abort {};
  // Throws Abort on a stop request, a link loss or bit 8 of the CNC state word.
  void AbortTest();
  // True when the sequence has ended (programs started or the start refused).
  bool Step();
  void StartSystem();

  CStopRequest* stop_ = nullptr;
};

}  // namespace kestrel
