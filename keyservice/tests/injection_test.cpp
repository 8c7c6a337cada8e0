#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "keyservice/vorkey_driver.h"
#include "platform/prompter.h"

// Last: Xlib's macros (None, Bool, Status) would clash with the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace vorkey {
namespace {

struct FakeEvents : EventWriter {
  struct Event {
    unsigned type, code;
    int value;
    bool operator==(const Event&) const = default;
  };
  int Write(unsigned type, unsigned code, int value) override {
    if (fail) return -EIO;
    events->push_back({type, code, value});
    return 0;
  }
  std::vector<Event>* events;
  bool fail = false;
};

// The key events (EV_KEY code and value) of `words`, each checked to be followed by a report.
std::vector<std::pair<int, int>> uinput_events(const std::vector<uint32_t>& words,
                                               bool destroy = false) {
  std::vector<FakeEvents::Event> events;
  auto writer = std::make_unique<FakeEvents>();
  writer->events = &events;
  auto injector = make_uinput_injector(std::move(writer));
  for (uint32_t w : words) {
    int error = 0;
    EXPECT_TRUE(injector->Inject(w, &error)) << std::hex << w;
  }
  if (destroy) injector.reset();
  std::vector<std::pair<int, int>> keys;
  for (size_t i = 0; i < events.size(); i += 2) {
    EXPECT_EQ(events[i].type, unsigned{EV_KEY});
    EXPECT_LT(i + 1, events.size());
    if (i + 1 < events.size()) EXPECT_EQ(events[i + 1], (FakeEvents::Event{EV_SYN, SYN_REPORT, 0}));
    keys.emplace_back(events[i].code, events[i].value);
  }
  return keys;
}

TEST(UinputInjection, WordsBecomeKeyEvents) {
  using K = std::vector<std::pair<int, int>>;
  EXPECT_EQ(uinput_events({0x1D, 0x2E, 0x1002E, 0x1001D}),
            (K{{KEY_LEFTCTRL, 1}, {KEY_C, 1}, {KEY_C, 0}, {KEY_LEFTCTRL, 0}}));
  EXPECT_EQ(uinput_events({0x2004D, 0x3004D, 0x20048, 0x30048, 0x20038, 0x30038}),
            (K{{KEY_RIGHT, 1}, {KEY_RIGHT, 0}, {KEY_UP, 1}, {KEY_UP, 0}, {KEY_RIGHTALT, 1},
               {KEY_RIGHTALT, 0}}));
  EXPECT_EQ(uinput_events({0x4D, 0x1004D, 0x57, 0x58, 0x4001D, 0x1C, 0x2001C}),
            (K{{KEY_KP6, 1}, {KEY_KP6, 0}, {KEY_F11, 1}, {KEY_F12, 1}, {KEY_PAUSE, 1},
               {KEY_ENTER, 1}, {KEY_KPENTER, 1}}))
      << "E1 1D is Pause";
  EXPECT_EQ(uinput_events({0x0B, 0x0B, 0x0B, 0x1000B, 0x1000B}),
            (K{{KEY_0, 1}, {KEY_0, 2}, {KEY_0, 2}, {KEY_0, 0}}))
      << "a held key repeats; a second release is not sent";
  EXPECT_EQ(uinput_events({0x7F, 0x1007F, 0x200FF, 0x00}), K{}) << "codes without a key";
}

TEST(UinputInjection, KeysStillDownAreReleasedWhenTheDeviceCloses) {
  auto keys = uinput_events({0x2A, 0x1D, 0x1E, 0x1001E}, true);
  ASSERT_EQ(keys.size(), 6u);
  EXPECT_EQ(keys[4], std::make_pair(int{KEY_LEFTCTRL}, 0));
  EXPECT_EQ(keys[5], std::make_pair(int{KEY_LEFTSHIFT}, 0));
}

TEST(VorkeyDriver, RefusedWordsAndMissingDeviceAreReported) {
  moxel::ScriptedPrompter prompter;
  moxel::set_prompter(&prompter);
  std::vector<FakeEvents::Event> events;
  auto writer = std::make_unique<FakeEvents>();
  writer->events = &events;
  writer->fail = true;
  CVorkeyDriver driver;
  driver.Send(0x1E);  // not open: nothing
  driver.Attach(make_uinput_injector(std::move(writer)));
  driver.Send(0x1E);
  driver.Send(0x1001E);  // never went down: nothing to send, no error
  auto shown = prompter.shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].caption, "VORKEY service");
  EXPECT_EQ(shown[0].text, "The VORKEY driver returns an I/O control error. (5)");
  driver.Close();

  if (!std::filesystem::exists("/dev/uinput")) {
    prompter.clear();
    CVorkeyDriver missing;
    EXPECT_FALSE(missing.Open(CVorkeyDriver::Backend::uinput));
    shown = prompter.shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "Couldn't open the VORKEY driver. (2)");
  }
  moxel::set_prompter(nullptr);
}

TEST(VorkeyDriver, RecorderPrintsEachWord) {
  std::FILE* out = std::tmpfile();
  ASSERT_TRUE(out);
  CVorkeyDriver driver;
  driver.Attach(make_recording_injector(out));
  for (uint32_t w : {0x1Du, 0x2004Du, 0x3004Du, 0x1001Du, 0x40045u}) driver.Send(w);
  std::rewind(out);
  char text[128] = {};
  size_t n = std::fread(text, 1, sizeof text - 1, out);
  EXPECT_EQ(std::string(text, n), "0x0001D\n0x2004D\n0x3004D\n0x1001D\n0x40045\n");
  std::fclose(out);
}

// A private X server for one test, ended with it.
class XvfbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    server_ = fork();
    if (server_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      close(fds[0]);
      std::string fd = std::to_string(fds[1]);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0",
             "320x240x24", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    char c;
    while (poll(&p, 1, 30000) == 1 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    ASSERT_FALSE(number.empty()) << "Xvfb did not start";
    display_name_ = ":" + number;
  }
  void TearDown() override {
    if (server_ > 0) {
      kill(server_, SIGTERM);
      waitpid(server_, nullptr, 0);
    }
  }
  pid_t server_ = -1;
  std::string display_name_;
};

// A window that has the keyboard focus and collects the text of the key presses it receives.
class KeyRecorder {
 public:
  explicit KeyRecorder(const std::string& name) : display_(XOpenDisplay(name.c_str())) {
    if (!display_) return;
    window_ = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 100, 100, 0, 0, 0);
    XSelectInput(display_, window_, KeyPressMask | KeyReleaseMask | StructureNotifyMask);
    XMapWindow(display_, window_);
    XAutoRepeatOff(display_);  // only the injected repeats count
    for (XEvent e; XNextEvent(display_, &e), e.type != MapNotify;) {
    }
    XSetInputFocus(display_, window_, RevertToParent, CurrentTime);
    XSync(display_, False);
  }
  ~KeyRecorder() {
    if (display_) XCloseDisplay(display_);
  }
  bool ok() const { return display_ != nullptr; }

  // Collects events until `done` holds or 20 s have passed.
  template <typename Done>
  void collect_until(Done done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      if (!XPending(display_)) {
        pollfd p{ConnectionNumber(display_), POLLIN, 0};
        poll(&p, 1, 100);
        continue;
      }
      XEvent e;
      XNextEvent(display_, &e);
      if (e.type == KeyRelease) ++releases;
      if (e.type != KeyPress) continue;
      ++presses;
      char buffer[8];
      KeySym sym;
      int n = XLookupString(&e.xkey, buffer, sizeof buffer, &sym, nullptr);
      text.append(buffer, n);
    }
  }
  void collect(size_t length) {
    collect_until([&] { return text.size() >= length; });
  }
  // Until every key pressed was released and the server holds none down.
  void collect_releases() {
    collect_until([&] { return presses == releases && all_keys_up(); });
  }
  // True when the server holds no key down.
  bool all_keys_up() {
    char keys[32];
    XQueryKeymap(display_, keys);
    for (char k : keys)
      if (k) return false;
    return true;
  }

  std::string text;
  int presses = 0, releases = 0;

 private:
  Display* display_;
  Window window_ = 0;
};

TEST_F(XvfbTest, ClosingTheDriverReleasesKeysItHolds) {
  KeyRecorder recorder(display_name_);
  ASSERT_TRUE(recorder.ok());
  {
    CVorkeyDriver driver;
    driver.Attach(open_xtest_injector(display_name_.c_str(), nullptr));
    ASSERT_TRUE(driver.is_open());
    driver.Send(kShiftMake);
    driver.Send(0x1E);  // 'a' key, with Shift: "A"
    recorder.collect(1);
    EXPECT_EQ(recorder.text, "A");
    EXPECT_FALSE(recorder.all_keys_up());
  }
  recorder.collect_releases();
  EXPECT_EQ(recorder.releases, 2);
  EXPECT_TRUE(recorder.all_keys_up());
}

// Every kind of table character, typed with and without the MDI Shift, arrives as the same text;
// then a held key and the MDI Shift are let go of by ReleaseAll. (Xvfb keeps the layout it starts
// with, so the German and French layouts are checked against libxkbcommon's own key state in
// xkb_layout_test.cpp instead.)
TEST_F(XvfbTest, TableCharactersArriveAsTheSameText) {
  KeyRecorder recorder(display_name_);
  ASSERT_TRUE(recorder.ok());
  CVorkeyDriver driver;
  int error = 0;
  driver.Attach(open_xtest_injector(display_name_.c_str(), &error));
  ASSERT_TRUE(driver.is_open()) << error;
  std::unique_ptr<KeyboardLayout> us = make_xkb_layout("us");
  ASSERT_TRUE(us);
  const KeyTable table = builtin_table(0);
  CKeyConverter converter(driver);
  ASSERT_EQ(converter.Rebuild(table, 0, 250, 30, *us, 16), "");

  // Table 0 keys, unshifted (key) and shifted (-key - 1, typed with the MDI Shift held).
  const int shift = 21;
  const std::vector<int> keys = {58,      0,       1,       62,      61,      10,     11,
                                 14,      13,      -0 - 1,  -11 - 1, -66 - 1, -68 - 1, -36 - 1,
                                 -37 - 1, -8 - 1,  -9 - 1,  -69 - 1, -17 - 1, -13 - 1, -6 - 1,
                                 -3 - 1,  -70 - 1, -71 - 1, -2 - 1,  -7 - 1};
  std::string expected;
  for (int k : keys) {
    const bool shifted = k < 0;
    const int key = shifted ? -k - 1 : k;
    expected += static_cast<char>((shifted ? table[key].shifted : table[key].unshifted) & 0xFF);
    if (shifted) converter.KeyDown(shift);
    converter.KeyDown(key);
    converter.KeyUp(key);
    if (shifted) converter.KeyUp(shift);
  }
  EXPECT_EQ(expected, "G01ZY-.;/{}@#[]<>=|\\~^*+\"'");
  recorder.collect(expected.size());
  recorder.collect_releases();
  EXPECT_EQ(recorder.text, expected);

  const int pressed_before = recorder.presses;
  converter.KeyDown(shift);
  converter.KeyDown(22);  // right arrow
  recorder.collect_until([&] { return recorder.presses == pressed_before + 2; });
  EXPECT_FALSE(recorder.all_keys_up());
  converter.ReleaseAll();
  recorder.collect_releases();
  EXPECT_EQ(recorder.text, expected) << "no text from the arrow";
  EXPECT_EQ(recorder.presses, recorder.releases);
  EXPECT_TRUE(recorder.all_keys_up());
}

}  // namespace
}  // namespace vorkey
