#pragma once
// The CNC side of the mailbox through which the PC calls functions of the boot software. The
// mailbox is 32 bytes at offset 0x100 of the communication area:
//   +0 flag (16)  +2 function (16)  +4 status (16)  +6 error (16)  +8 I1 (16)  +10 I2 (16)
//   +12 I3 (32)   +16 I4 (32)  +20 O1 (16)  +22 O2 (16)  +24 O3 (32)  +28 O4 (32)
// A request is taken when the flag reads 1: the flag becomes kBusyFlag while the function runs,
// then status, error and the outputs are written and the flag becomes 0.
//
// Functions are added by code with add(); see host.h for where. Requests are taken only in the
// boot console phase (as on a real CNC, whose boot software alone serves the mailbox: in any
// other phase the flag stays 1). A code without a function is answered with status 1, error 0xFF.
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>

namespace cncsim::cnc {

class Host;

struct Request {
  uint16_t function = 0;
  uint16_t i1 = 0, i2 = 0;
  uint32_t i3 = 0, i4 = 0;
};

struct Reply {
  uint16_t status = 0, error = 0;
  uint16_t o1 = 0, o2 = 0;
  uint32_t o3 = 0, o4 = 0;
  // Set by a function that must never finish (a hung CNC): the flag stays busy.
  bool hang = false;
  void fail(uint16_t error_code, uint16_t status_code = 1) {
    status = status_code;
    error = error_code;
  }
};

// Error details of the simulated boot software beside those the PC knows by number.
constexpr uint16_t kErrorBadArgument = 0x10;  // block, board or size out of range
constexpr uint16_t kErrorBadBuffer = 0x11;    // transfer buffer outside shared memory
constexpr uint16_t kErrorFaulted = 0xFD;      // answered so by the function-fails fault
constexpr uint16_t kErrorUnknownFunction = 0xFF;

constexpr uint16_t kBusyFlag = 2;
constexpr uint32_t kMailboxOffset = 0x100;

class Mailbox {
 public:
  using Function = std::function<void(Host&, const Request&, Reply&)>;

  explicit Mailbox(Host& host) : host_(host) {}

  // Adds (or replaces) the function of `code`.
  void add(uint16_t code, Function function);
  bool has(uint16_t code) const { return functions_.count(code) != 0; }
  // Watches the flag (host start).
  void start();
  // Takes a posted request, if any, and answers it. Called at every wake-up of the host.
  void serve();
  // A restart of the software: a request in progress is dropped and the mailbox reads idle.
  void reset();
  std::string describe() const;

  // Faults: never take a request; take it and never finish; answer `code` with status 1.
  bool silent = false;
  bool stuck = false;
  std::set<uint16_t> failing;

 private:
  uint32_t address() const;
  Host& host_;
  std::map<uint16_t, Function> functions_;
  bool hung_ = false;  // a request was taken and will never finish
  uint64_t served_ = 0;
};

}  // namespace cncsim::cnc
