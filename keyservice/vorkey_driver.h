#pragma once
// The key-injection driver of the keyboard service: every injection word becomes one key event in
// the system's keyboard input. Backends: a uinput virtual keyboard named "VORKEY" (libevdev), the
// X server's XTest extension for desktops without /dev/uinput, and a recorder that prints each
// word as 0x%05X on a line of its own (tests, --dry-run).
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "keyservice/key_converter.h"

namespace vorkey {

// One backend.
class KeyInjector {
 public:
  virtual ~KeyInjector() = default;
  // Feeds one injection word; false with an errno value in *error when it was not delivered.
  virtual bool Inject(uint32_t word, int* error) = 0;
};

// Where a uinput backend writes its input events; libevdev's uinput device, or a fake in tests.
class EventWriter {
 public:
  virtual ~EventWriter() = default;
  virtual int Write(unsigned type, unsigned code, int value) = 0;  // 0 or -errno
};

// A backend over Linux key codes: maps each word through the scan-code table (a code without a
// Linux key is dropped, as a keyboard's unknown scan code is), sends a repeated make of a key
// already down as a repeat, and releases every key still down when it is destroyed.
std::unique_ptr<KeyInjector> make_uinput_injector(std::unique_ptr<EventWriter> writer);

// The uinput virtual keyboard "VORKEY" with every key of the scan-code table; null with the errno
// in *error when /dev/uinput cannot be used.
std::unique_ptr<KeyInjector> open_uinput_injector(int* error);
// XTest on `display` (null: $DISPLAY); null with *error set when there is no usable X server.
std::unique_ptr<KeyInjector> open_xtest_injector(const char* display, int* error);
// Prints each word to `out`.
std::unique_ptr<KeyInjector> make_recording_injector(std::FILE* out);

class CVorkeyDriver : public WordSink {
 public:
  enum class Backend {
    automatic,  // uinput, or XTest when uinput cannot be opened and a display is set
    uinput,
    xtest,
    record,  // to standard output
  };
  ~CVorkeyDriver() override { Close(); }

  // Opens the backend once. On failure shows "Couldn't open the VORKEY driver. (%d)" and returns
  // false: the host then ends with exit code 1.
  bool Open(Backend backend = Backend::automatic);
  // Uses a backend made by the caller (tests).
  void Attach(std::unique_ptr<KeyInjector> injector) { injector_ = std::move(injector); }
  bool is_open() const { return injector_ != nullptr; }

  // Injects one word; nothing when not open. A refused word is reported with "The VORKEY driver
  // returns an I/O control error. (%d)" and is lost.
  void Send(uint32_t word) override;
  // Closes the backend, which releases any key it still holds down.
  void Close() { injector_.reset(); }

 private:
  std::unique_ptr<KeyInjector> injector_;
};

}  // namespace vorkey
