// The monitor and boot-sequence threads against simulated CNCs in a lorandd of the test's own. The
// windows, the state check, the broadcast and the prompter are stand-ins that log what they were
// asked to do, in order, into one event list.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cncsim/cnc/host.h"
#include "kestrel/boot/boot_thread.h"
#include "kestrel/boot/node_state_check.h"
#include "kestrel/cncitf/cnc_itf.h"
#include "testsupport/test_daemon.h"

namespace {

using kestrel::CBootThread;
using kestrel::CBootThread1;

class Events {
 public:
  void Add(const std::string& event) {
    {
      std::lock_guard lock(mutex_);
      events_.push_back(event);
    }
    cv_.notify_all();
  }
  std::vector<std::string> List() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  // The list with repeats of a loading display in a row taken as one: the stand-in closes at once,
  // so the boot sequence shows it again every pass for as long as the CNC loads.
  std::vector<std::string> Collapsed() const {
    std::vector<std::string> list = List();
    list.erase(std::unique(list.begin(), list.end(),
                           [](const std::string& a, const std::string& b) {
                             return a == b && a.starts_with("loading");
                           }),
               list.end());
    return list;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
  }
  int Count(const std::string& event) const {
    std::lock_guard lock(mutex_);
    return int(std::count(events_.begin(), events_.end(), event));
  }
  // Waits (at most 30 s) until `event` has been logged `times` times.
  bool WaitFor(const std::string& event, int times = 1) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(30), [&] {
      return std::count(events_.begin(), events_.end(), event) >= times;
    });
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> events_;
};

class FakeWindows : public kestrel::IBootWindows {
 public:
  explicit FakeWindows(Events& events) : events_(events) {}
  // Answers the n-th boot dialog (from 0); none given: closed without a call (0xFFFF).
  std::function<uint16_t(CBootThread&, int n)> dialog;

  uint16_t RunBootDialog(CBootThread& thread) override {
    events_.Add("dialog " + std::to_string(thread.Node()));
    const int n = dialogs_++;
    return dialog ? dialog(thread, n) : 0xFFFF;
  }
  void RunLoadingDisplay(CBootThread& thread, int mode) override {
    events_.Add("loading " + std::to_string(mode) + " " + std::to_string(thread.Node()));
  }

 private:
  Events& events_;
  std::atomic<int> dialogs_{0};
};

class FakeCheck : public kestrel::IStateCheck {
 public:
  explicit FakeCheck(Events& events) : events_(events) {}
  bool passes = true;
  bool real = false;  // run the real check and log its answer
  bool Check(CBootThread& thread) override {
    events_.Add("check " + std::to_string(thread.Node()));
    if (!real) return passes;
    const bool ok = kestrel::CNodeStateCheck().Check(thread);
    events_.Add(std::string("checked ") + (ok ? "ok" : "failed"));
    return ok;
  }

 private:
  Events& events_;
};

class FakeBroadcaster : public kestrel::IBroadcaster {
 public:
  explicit FakeBroadcaster(Events& events) : events_(events) {}
  void Broadcast(uint32_t wparam, int node) override {
    events_.Add("broadcast " + std::to_string(wparam) + " " + std::to_string(node));
  }

 private:
  Events& events_;
};

class LoggingPrompter : public moxel::Prompter {
 public:
  explicit LoggingPrompter(Events& events) : events_(events) {}
  moxel::Answer ask(const std::string& caption, const std::string& text, moxel::Buttons, moxel::Icon,
                    moxel::Answer preset) override {
    events_.Add("prompt " + caption + ": " + text);
    return preset;
  }
  void beep() override {}

 private:
  Events& events_;
};

uint16_t LeaveConsoleOnSecondDialog(CBootThread& t, int n) {
  if (n == 0) return 5;  // closed after a failed call
  kestrel::CCncItf itf(t.Client());
  itf.Call(0x001);
  return itf.Status();
}

class BootThreads : public ::testing::Test {
 protected:
  moxel::test::Daemon daemon{"boot-thread-test"};
  Events events;
  FakeWindows windows{events};
  FakeCheck check{events};
  FakeBroadcaster broadcaster{events};
  LoggingPrompter prompter{events};
  kestrel::BootServices services;
  std::unique_ptr<CBootThread1> monitor;

  // Node 0: CNC type 1 (communication area at 0xD0000); node 3: type 3 (area at 0).
  void Start(const std::string& simulator) {
    daemon.configure(
        "[Parameters]\nIoPortAddress0=0x300\nCncType0=1\nNodeName0=Mill\n"
        "IoPortAddress3=0x330\nCncType3=3\nNodeName3=Lathe\n"
        "[Host]\nBoard0=sim\nBoard3=sim\nSocketMode=0600\n[Simulator]\n" + simulator);
    ASSERT_TRUE(daemon.start()) << daemon.error() << daemon.log();
  }
  void Monitor(int node) {
    services.windows = &windows;
    services.state_check = &check;
    services.broadcaster = &broadcaster;
    services.prompter = &prompter;
    services.profile = kestrel::CKestrelProfile(daemon.root() / "Kestrel32.conf");
    services.link_lost = [this](int n) { events.Add("106 " + std::to_string(n)); };
    monitor = std::make_unique<CBootThread1>(services);
    monitor->SetNode(node, "Node" + std::to_string(node) + " : test");
    monitor->Start();
  }
  void TearDown() override {
    if (monitor) {
      monitor->RequestStop();
      monitor->Join();
    }
  }
  void Cncsim(const std::string& args) {
    const auto r = daemon.cncsim(args);
    ASSERT_EQ(r.status, 0) << args << ": " << r.err;
  }
  // Cnbus address of an offset in the node's communication area.
  static uint32_t Area(int node, uint32_t offset) {
    return cncsim::cnc::Memory::shared((node == 3 ? 0 : 0xD0000) + offset);
  }
  // A word of the node's communication area as the CNC sees it.
  uint16_t Peek(int node, uint32_t offset) {
    const auto r = daemon.cncsim("peek " + std::to_string(node) + " " + std::to_string(Area(node, offset)) + " 2");
    const unsigned bytes = std::stoul(r.out, nullptr, 16);
    return uint16_t((bytes >> 8) | ((bytes & 0xFF) << 8));
  }
  void Poke(int node, uint32_t offset, uint16_t value) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%02x%02x", value & 0xFF, value >> 8);
    Cncsim("poke " + std::to_string(node) + " " + std::to_string(Area(node, offset)) + " " + hex);
  }
  kestrel::CKestrelProfile Profile() { return kestrel::CKestrelProfile(daemon.root() / "Kestrel32.conf"); }
};

TEST_F(BootThreads, TypeThreeSkipsSetUpAndCheckCountsTheStartAndStartsEachProgramOnce) {
  Start("BootMode3=auto\n");
  const auto out = daemon.root() / "out";
  const auto p = Profile();
  ASSERT_TRUE(p.SetInt("Node3", "InitCount", 4));
  ASSERT_TRUE(p.SetInt("Node3", "ProgramNum", 3));
  ASSERT_TRUE(p.SetString("Node3", "Program0", ""));
  ASSERT_TRUE(p.SetString("Node3", "Program1", "/nonexistent/prog%d -x"));
  ASSERT_TRUE(p.SetString("Node3", "Program2", "/bin/sh -c 'echo node%d >> \"" + out.string() + "\"'"));
  Monitor(3);

  ASSERT_TRUE(events.WaitFor("broadcast 1 3"));
  const auto list = events.List();
  EXPECT_EQ(events.Count("check 3"), 0);
  EXPECT_EQ(events.Count("prompt Kestrel32: Node 3:\nCouldn't execute the application program.\n\n/nonexistent/prog3 -x"), 1);
  // The failing program is told before the broadcast, and the broadcast is the last word.
  EXPECT_EQ(list.back(), "broadcast 1 3");
  EXPECT_EQ(p.GetInt("Node3", "InitCount", 0), 5);
  EXPECT_EQ(Peek(3, 0x24), 5);
  EXPECT_EQ(Peek(3, 0x04), 0x0C);        // PC flags: descriptor (bit 2), programs started (bit 3)
  EXPECT_EQ(Peek(3, 0x02) & 0x01, 1);    // PC state: descriptor written
  const std::vector<uint16_t> want = kestrel::BootDescriptor(0);
  for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(Peek(3, 0x06 + 2 * i), want[i]) << i;

  std::string line;
  for (int i = 0; i < 200 && line.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::ifstream in(out);
    std::getline(in, line);
  }
  EXPECT_EQ(line, "node3");

  // Bit 8 of the CNC state word asks the monitor for the loading display in mode 0.
  Poke(3, 0x00, 0x0108);
  EXPECT_TRUE(events.WaitFor("loading 0 3"));
  Poke(3, 0x00, 0x0008);
  EXPECT_EQ(events.Count("broadcast 1 3"), 1);
}

// The boot dialog closed with a failed call comes again; leaving the console loads the system,
// and the check decides whether the start is counted and the programs run.
TEST_F(BootThreads, ConsoleDialogRepeatsUntilLeftThenLoadingCheckAndStart) {
  Start("BootMode0=console\nLoadTime0=500\n");
  check.passes = true;
  windows.dialog = LeaveConsoleOnSecondDialog;
  Monitor(0);
  ASSERT_TRUE(events.WaitFor("broadcast 1 0"));
  const std::vector<std::string> want = {"dialog 0", "dialog 0", "loading 1 0", "check 0", "broadcast 1 0"};
  EXPECT_EQ(events.Collapsed(), want);
  EXPECT_EQ(Profile().GetInt("Node0", "InitCount", 0), 1);
  EXPECT_EQ(Peek(0, 0x04), 0x0C);
  EXPECT_EQ(Peek(0, 0x02), 0x09);  // descriptor written, console reached
}

TEST_F(BootThreads, FailedStateCheckStartsNothing) {
  Start("BootMode0=console\nLoadTime0=500\n");
  check.passes = false;
  windows.dialog = LeaveConsoleOnSecondDialog;
  Monitor(0);
  ASSERT_TRUE(events.WaitFor("check 0"));
  // The boot sequence ended after the check: nothing follows, however long the monitor runs.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  monitor->RequestStop();
  monitor->Join();
  const std::vector<std::string> want = {"dialog 0", "dialog 0", "loading 1 0", "check 0"};
  EXPECT_EQ(events.Collapsed(), want);
  EXPECT_EQ(Profile().GetInt("Node0", "InitCount", 0), 0);
  EXPECT_EQ(Peek(0, 0x04), 0x04);
}

TEST_F(BootThreads, StateWordWithoutBitsShowsDialogAndLoadingOverAndOver) {
  Start("BootMode0=console\n");
  Monitor(0);  // every dialog closes without leaving the console
  ASSERT_TRUE(events.WaitFor("loading 1 0", 3));
  const auto list = events.List();
  const std::vector<std::string> want = {"dialog 0", "loading 1 0", "dialog 0", "loading 1 0", "dialog 0"};
  ASSERT_GE(list.size(), want.size());
  EXPECT_EQ(std::vector<std::string>(list.begin(), list.begin() + want.size()), want);
  EXPECT_EQ(Peek(0, 0x02) & 0x08, 0x08);
  EXPECT_EQ(events.Count("check 0"), 0);
}

TEST_F(BootThreads, OldPcBoardStopsTheStartWithItsMessage) {
  Start("BootMode0=running\nGenerationWord0=0x60AA\n");
  Monitor(0);
  ASSERT_TRUE(events.WaitFor(std::string("prompt Kestrel32: ") + kestrel::kOldHardwareText));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const std::vector<std::string> want = {std::string("prompt Kestrel32: ") + kestrel::kOldHardwareText};
  EXPECT_EQ(events.List(), want);
  EXPECT_EQ(Profile().GetInt("Node0", "InitCount", 0), 0);
}

TEST_F(BootThreads, RealStateCheckPassesOnARunningSystemAndEndsAtOnceOnStop) {
  Start("BootMode0=running\n");
  check.real = true;
  Monitor(0);
  ASSERT_TRUE(events.WaitFor("broadcast 1 0"));
  EXPECT_EQ(events.List(), (std::vector<std::string>{"check 0", "checked ok", "broadcast 1 0"}));
  monitor->RequestStop();
  monitor->Join();

  // With SYSFAIL held the check would wait 30 s and then say so; the stop ends it quietly.
  events.Clear();
  Cncsim("fault 0 sysfail on");
  Cncsim("boot 0 running");
  monitor.reset();
  Monitor(0);
  ASSERT_TRUE(events.WaitFor("check 0"));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  monitor->RequestStop();
  monitor->Join();
  EXPECT_EQ(events.List(), (std::vector<std::string>{"check 0", "checked failed"}));
}

TEST_F(BootThreads, LinkPulledWhileDialogOpenEndsTheSequenceAndBroadcastsOnce) {
  Start("BootMode0=console\n");
  std::mutex mutex;
  std::condition_variable cv;
  bool release = false;
  windows.dialog = [&](CBootThread& t, int n) -> uint16_t {
    if (n == 0) {  // open until the test closes it
      std::unique_lock lock(mutex);
      cv.wait(lock, [&] { return release; });
    } else if (n >= 2) {  // open until the program ends
      t.Stop().WaitFor(600000);
    }
    return 0xFFFF;
  };
  Monitor(0);
  ASSERT_TRUE(events.WaitFor("dialog 0"));

  Cncsim("link 0 down");
  ASSERT_TRUE(events.WaitFor("broadcast 0 0"));
  ASSERT_TRUE(events.WaitFor("106 0"));
  Poke(0, 0x08, 0xBEEF);  // descriptor word 1, changed behind the PC's back
  {
    std::lock_guard lock(mutex);
    release = true;
  }
  cv.notify_all();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  // The sequence ended when the dialog closed: no loading display, no new dialog.
  EXPECT_EQ(events.List(), (std::vector<std::string>{"dialog 0", "broadcast 0 0", "106 0"}));

  Cncsim("link 0 up");
  ASSERT_TRUE(events.WaitFor("dialog 0", 2));
  EXPECT_EQ(events.Count("broadcast 0 0"), 1);
  EXPECT_EQ(events.Count("106 0"), 1);
  EXPECT_EQ(Peek(0, 0x08), 0xBEEF);  // PC state bit 0 still set: the descriptor stays

  // A power cycle clears the communication area: the next handshake writes the descriptor again.
  Cncsim("power 0 off");
  ASSERT_TRUE(events.WaitFor("broadcast 0 0", 2));
  Cncsim("power 0 on");
  ASSERT_TRUE(events.WaitFor("dialog 0", 3));
  EXPECT_EQ(Peek(0, 0x08), kestrel::BootDescriptor(0xD0000)[1]);
  EXPECT_EQ(Peek(0, 0x02) & 0x01, 1);
  // The third dialog stays open until the stop: ending the monitor must not wait for anything else.
  monitor->RequestStop();
  monitor->Join();
}

}  // namespace
