#include "keyservice/vorkey_driver.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <linux/input-event-codes.h>

#include <bitset>
#include <cerrno>
#include <cstdlib>

#include "keyservice/scan_codes.h"
#include "keyservice/vorkey_settings.h"
#include "platform/prompter.h"

namespace vorkey {
namespace {

void tell(const char* format, int code) {
  char text[96];
  std::snprintf(text, sizeof text, format, code);
  moxel::prompter().tell(kServiceTitle, text, moxel::Icon::stop);
}

// Shared by the uinput and XTest backends: words to Linux key events, keys down tracked.
class LinuxKeyInjector : public KeyInjector {
 public:
  bool Inject(uint32_t word, int* error) override {
    const uint8_t prefix = word & kPrefixE1 ? 0xE1 : word & kPrefixE0 ? 0xE0 : 0;
    const int key = linux_key_for_scan({static_cast<uint8_t>(word & 0xFF), prefix});
    if (key <= 0 || key > KEY_MAX) return true;  // no such key: dropped
    const bool make = !(word & kBreak);
    const int value = make ? (down_[key] ? 2 : 1) : 0;
    if (!make && !down_[key]) return true;  // a release of a key that is not down
    const int result = Emit(key, value);
    if (result != 0) {
      if (error) *error = -result;
      return false;
    }
    down_[key] = make;
    return true;
  }

 protected:
  // Emits one key event (value 1 press, 0 release, 2 repeat); 0 or -errno.
  virtual int Emit(int key, int value) = 0;
  // For the destructors of the backends: lets go of every key still down.
  void ReleaseHeld() {
    for (int key = 0; key <= KEY_MAX; ++key)
      if (down_[key]) Emit(key, 0);
    down_.reset();
  }

 private:
  std::bitset<KEY_MAX + 1> down_;
};

class UinputInjector : public LinuxKeyInjector {
 public:
  explicit UinputInjector(std::unique_ptr<EventWriter> writer) : writer_(std::move(writer)) {}
  ~UinputInjector() override { ReleaseHeld(); }

 private:
  int Emit(int key, int value) override {
    int result = writer_->Write(EV_KEY, key, value);
    if (result == 0) result = writer_->Write(EV_SYN, SYN_REPORT, 0);
    return result;
  }
  std::unique_ptr<EventWriter> writer_;
};

class EvdevWriter : public EventWriter {
 public:
  EvdevWriter(libevdev* dev, libevdev_uinput* uidev) : dev_(dev), uidev_(uidev) {}
  ~EvdevWriter() override {
    libevdev_uinput_destroy(uidev_);
    libevdev_free(dev_);
  }
  int Write(unsigned type, unsigned code, int value) override {
    return libevdev_uinput_write_event(uidev_, type, code, value);
  }

 private:
  libevdev* dev_;
  libevdev_uinput* uidev_;
};

class XTestInjector : public LinuxKeyInjector {
 public:
  explicit XTestInjector(Display* display) : display_(display) {}
  ~XTestInjector() override {
    ReleaseHeld();
    XCloseDisplay(display_);
  }

 private:
  // The X server's keycodes are the Linux key codes plus 8.
  int Emit(int key, int value) override {
    if (!XTestFakeKeyEvent(display_, key + 8, value != 0, CurrentTime)) return -EIO;
    XFlush(display_);
    return 0;
  }
  Display* display_;
};

class RecordingInjector : public KeyInjector {
 public:
  explicit RecordingInjector(std::FILE* out) : out_(out) {}
  bool Inject(uint32_t word, int* error) override {
    if (std::fprintf(out_, "0x%05X\n", word) < 0 || std::fflush(out_) != 0) {
      if (error) *error = errno ? errno : EIO;
      return false;
    }
    return true;
  }

 private:
  std::FILE* out_;
};

}  // namespace

std::unique_ptr<KeyInjector> make_uinput_injector(std::unique_ptr<EventWriter> writer) {
  return std::make_unique<UinputInjector>(std::move(writer));
}

std::unique_ptr<KeyInjector> open_uinput_injector(int* error) {
  libevdev* dev = libevdev_new();
  libevdev_set_name(dev, "VORKEY");
  libevdev_set_id_bustype(dev, BUS_VIRTUAL);
  libevdev_enable_event_type(dev, EV_KEY);
  for (int key = 1; key <= KEY_MAX; ++key)
    if (scan_for_linux_key(key)) libevdev_enable_event_code(dev, EV_KEY, key, nullptr);
  libevdev_uinput* uidev = nullptr;
  const int result = libevdev_uinput_create_from_device(dev, LIBEVDEV_UINPUT_OPEN_MANAGED, &uidev);
  if (result != 0) {
    libevdev_free(dev);
    if (error) *error = -result;
    return nullptr;
  }
  return make_uinput_injector(std::make_unique<EvdevWriter>(dev, uidev));
}

std::unique_ptr<KeyInjector> open_xtest_injector(const char* display_name, int* error) {
  Display* display = XOpenDisplay(display_name);
  if (!display) {
    if (error) *error = ECONNREFUSED;
    return nullptr;
  }
  int event_base, error_base, major, minor;
  if (!XTestQueryExtension(display, &event_base, &error_base, &major, &minor)) {
    XCloseDisplay(display);
    if (error) *error = ENOSYS;
    return nullptr;
  }
  return std::make_unique<XTestInjector>(display);
}

std::unique_ptr<KeyInjector> make_recording_injector(std::FILE* out) {
  return std::make_unique<RecordingInjector>(out);
}

bool CVorkeyDriver::Open(Backend backend) {
  if (injector_) return true;
  int error = 0;
  switch (backend) {
    case Backend::automatic:
      injector_ = open_uinput_injector(&error);
      if (!injector_ && std::getenv("DISPLAY")) {
        int xerror = 0;
        injector_ = open_xtest_injector(nullptr, &xerror);
      }
      break;
    case Backend::uinput: injector_ = open_uinput_injector(&error); break;
    case Backend::xtest: injector_ = open_xtest_injector(nullptr, &error); break;
    case Backend::record: injector_ = make_recording_injector(stdout); break;
  }
  if (!injector_) tell("Couldn't open the VORKEY driver. (%d)", error);
  return injector_ != nullptr;
}

void CVorkeyDriver::Send(uint32_t word) {
  if (!injector_) return;
  int error = 0;
  if (!injector_->Inject(word, &error)) tell("The VORKEY driver returns an I/O control error. (%d)", error);
}

}  // namespace vorkey
