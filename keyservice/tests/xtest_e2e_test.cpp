// vorkey95 end to end under Xvfb: a text typed on the simulated CNC's MDI keyboard arrives as the
// same text in an X client's window, through the direct path and the XTest injection.
#include <gtest/gtest.h>

#include "keyservice/tests/host_process.h"
#include "testsupport/test_daemon.h"

// Xlib last: its macros (None, Status, ...) clash with the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace vorkey {
namespace {

using namespace std::chrono_literals;

// A window that has the input focus and collects the text typed into it.
class TextWindow {
 public:
  explicit TextWindow(const std::string& display_name) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!(display_ = XOpenDisplay(display_name.c_str())) &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(50ms);
    if (!display_) return;
    window_ = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 200, 100, 0, 0, 0);
    XSelectInput(display_, window_, KeyPressMask | StructureNotifyMask);
    XMapWindow(display_, window_);
    for (XEvent e;;) {
      XNextEvent(display_, &e);
      if (e.type == MapNotify) break;
    }
    XSetInputFocus(display_, window_, RevertToParent, CurrentTime);
    XSync(display_, False);
  }
  ~TextWindow() {
    if (display_) XCloseDisplay(display_);
  }
  bool open() const { return display_ != nullptr; }

  // The text typed so far, waiting until it holds `expected` or a bound passes.
  std::string Wait(const std::string& expected) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (text_.find(expected) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      while (XPending(display_)) {
        XEvent e;
        XNextEvent(display_, &e);
        if (e.type != KeyPress) continue;
        char buffer[8];
        KeySym sym;
        const int n = XLookupString(&e.xkey, buffer, sizeof buffer, &sym, nullptr);
        text_.append(buffer, size_t(n));
      }
      std::this_thread::sleep_for(5ms);
    }
    return text_;
  }

 private:
  Display* display_ = nullptr;
  Window window_ = 0;
  std::string text_;
};

TEST(Vorkey95UnderXvfb, MdiKeysArriveAsTypedText) {
  moxel::test::Daemon daemon("vorkey95-e2e");
  daemon.configure(
      "[Parameters]\nIoPortAddress0=0x300\nCncType0=1\nNodeName0=Mill\n"
      "[Host]\nBoard0=sim\nSocketMode=0600\nStateDir=@STATE@\n"
      "[Simulator]\nUnitTime0=0\nBootMode0=running\nMdiWay0=block\n");
  ASSERT_TRUE(daemon.start()) << daemon.error() << daemon.log();
  // Table 2 types "=" as the shifted code of KEY_00, with the MDI Shift key held. The longest
  // repeat delay keeps a key held on a busy machine from repeating.
  std::ofstream(daemon.root() / "etc" / "vorkey.conf")
      << "[VORKEY]\nDefaultTable=2\nOneTouchShift=0\nDelayTime=1000\n";

  const std::string display = ":" + std::to_string(100 + getpid() % 800);
  test::HostProcess xvfb({"/usr/bin/Xvfb", display, "-nolisten", "tcp", "-screen", "0", "640x480x24"},
                         daemon.environment(), daemon.root(), "xvfb");
  ASSERT_TRUE(xvfb.started());
  TextWindow window(display);
  ASSERT_TRUE(window.open()) << xvfb.err();

  auto env = daemon.environment();
  env.push_back("DISPLAY=" + display);
  test::HostProcess host({VORKEY95_PROGRAM}, env, daemon.root(), "vorkey95");
  ASSERT_TRUE(host.started());
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  std::string status;
  while (std::chrono::steady_clock::now() < deadline) {
    status = daemon.cncsim("status 0").out;
    if (status.find("mdi-handshake done") != std::string::npos) break;
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_NE(status.find("mdi-handshake done"), std::string::npos) << status << host.err();

  auto typed = daemon.cncsim({"key", "0", "type", "G1=\\n"});
  ASSERT_EQ(typed.status, 0) << typed.err;
  EXPECT_EQ(window.Wait("G1=\r"), "G1=\r") << host.err();
  EXPECT_EQ(host.stop(SIGTERM), 0) << host.err();
  // The window closes before Xvfb goes (Xlib ends a process whose server vanishes).
}

}  // namespace
}  // namespace vorkey
