#pragma once
// LoadingScreen: the part of the boot screen window (CLoadingDlg) that has no GUI. It mirrors the
// 80 x 25 text screen of one CNC while its boot software runs, and serves the CNC's requests:
//
//   B + 0x000  state word (mode 1: bit 8 or bit 3 ends the window)
//   B + 0x100  request flag: the CNC writes 1; the PC writes 0xFFFF when it takes the request,
//              0 when it has answered
//   B + 0x102  request code: 0x8001 end, 0x8002 screen update, 0x8003 key request
//   B + 0x104  answer: 0 done, 1 code not served
//   B + 0x114  key code answered to a key request, 0xFFFF when none is queued
//   B + 0x200  25 line-changed flags (bytes)
//   B + 0x1000 the screen: 25 lines of 80 character/attribute byte pairs
//
// A poll thread of its own takes the requests: 1 ms between empty polls, 20 ms after a key
// request. A screen update is handed to the owner's redraw hook, which must call RedrawChanged()
// on the thread that draws (a window hands it to its GUI thread) and return when that is done; the
// poll thread waits for it. The end request, the state word (mode 1) and an interface error end
// the screen through the owner's end hook (result 0 for the end request, 3 otherwise).
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cnbusclient/cnbus_client.h"
#include "kestrel/cncitf/cnc_itf.h"

namespace kestrel {

constexpr int kScreenLines = 25;
constexpr int kScreenColumns = 80;
constexpr int kLineBytes = kScreenColumns * 2;

constexpr uint32_t kStateOffset = 0x000;
constexpr uint32_t kRequestFlagOffset = 0x100;
constexpr uint32_t kRequestCodeOffset = 0x102;
constexpr uint32_t kAnswerOffset = 0x104;
constexpr uint32_t kKeyOffset = 0x114;
constexpr uint32_t kLineFlagsOffset = 0x200;
constexpr uint32_t kScreenOffset = 0x1000;

constexpr uint16_t kRequestEnd = 0x8001;
constexpr uint16_t kRequestUpdate = 0x8002;
constexpr uint16_t kRequestKey = 0x8003;
constexpr uint16_t kNoKey = 0xFFFF;

// Attribute bits of the CNC screen as the window shows them.
constexpr uint8_t kAttrIntense = 0x08;
constexpr uint8_t kAttrReverse = 0x70;  // a background colour: shown as reverse video

using ScreenImage = std::array<uint8_t, kScreenLines * kLineBytes>;

// The code queued for the CNC for a key of the given virtual-key code; nothing for keys that
// queue nothing (Shift, function keys whose code is no letter or digit...).
std::optional<uint16_t> TranslateKey(int virtual_key);

// The characters of one line of a screen image up to its first zero character.
std::string LineText(const ScreenImage& image, int line);

class LoadingScreen {
 public:
  // Result codes of the end hook.
  static constexpr int kEnded = 0;   // the CNC's end request
  static constexpr int kAborted = 3;  // state word (mode 1) or interface error

  struct Hooks {
    // Called on the poll thread for a screen update; must run RedrawChanged() (on whichever
    // thread draws) and return after it. Empty: RedrawChanged() runs on the poll thread.
    std::function<void()> redraw;
    // Called once on the poll thread when the screen ends, with kEnded or kAborted.
    std::function<void(int result)> ended;
    // Called on destruction for an interface error that the poll thread met.
    std::function<void(const CItfErr&)> report;
  };

  // Opens its own driver client on `node` (the poll thread uses it beside the owner's); mode 1
  // also watches the state word. Throws CItfErr 1 when the node cannot be selected.
  LoadingScreen(int node, int mode, Hooks hooks);
  // Stops the poll thread (it notices within one poll) and reports a recorded error.
  ~LoadingScreen();
  LoadingScreen(const LoadingScreen&) = delete;
  LoadingScreen& operator=(const LoadingScreen&) = delete;

  // Reads the whole screen into the shadow; LOADING on its first line while the CNC has written
  // nothing.
  void ReadScreen();
  // ReadScreen(), then starts the poll thread.
  void Start();
  // Ends the poll thread (waits for it).
  void Stop();

  // Translates a key-down and queues its code; false when the key queues nothing.
  bool KeyDown(int virtual_key);
  size_t QueuedKeys();

  // Reads the changed-line flags, copies the changed lines into the shadow, clears their flags
  // and writes the flags back. Returns the lines redrawn (possibly none).
  std::vector<int> RedrawChanged();

  ScreenImage Shadow();
  // After an end request: reads the state word every 100 ms until bit 3 is set, at most
  // `limit_ms`; true when it was set.
  bool WaitRunning(int limit_ms);

  // The code of the error recorded by the poll thread: -1 when none.
  int ErrorCode();
  uint64_t Polls() const { return polls_; }

 private:
  void Poll();
  void Serve(uint16_t code);
  void End(int result);
  // Sleeps `ms` or until stopped; false when stopped.
  bool Sleep(int ms);

  cnbus::CCnbusClient client_;
  std::unique_ptr<CCncItf> itf_;
  uint32_t base_ = 0;
  const int mode_;
  Hooks hooks_;

  std::mutex shadow_mutex_;
  ScreenImage shadow_{};

  std::mutex key_mutex_;  // the key queue
  std::deque<uint16_t> keys_;

  std::mutex stop_mutex_;
  std::condition_variable stop_cv_;
  bool stop_ = false;

  std::mutex error_mutex_;
  std::optional<CItfErr> error_;

  std::atomic<uint64_t> polls_{0};
  std::thread thread_;
};

}  // namespace kestrel
