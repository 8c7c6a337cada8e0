#include "keyservice/key_bus.h"

#include <strings.h>

#include <array>

#include <cstdio>
#include <cstring>

#include "cnbusclient/direct_units.h"
#include "cnbusclient/port_access.h"
#include "cnbusclient/shared_device.h"
#include "driver/core/status.h"
#include "driver/device/device.h"
#include "platform/config_store.h"
#include "platform/paths.h"
#include "platform/raw_ports.h"

namespace vorkey {
namespace {

using Kind = BusStep::Kind;

constexpr uint32_t kNode = 0;
constexpr uint16_t kStatusRegister = 9;

// The system error code a failed request shows in its message, as the old driver's callers saw it.
int error_code(lorand::NTSTATUS status) {
  switch (status) {
    case lorand::STATUS_PIPE_BROKEN: return 109;          // ERROR_BROKEN_PIPE
    case lorand::STATUS_IO_TIMEOUT: return 1460;          // ERROR_TIMEOUT
    case lorand::STATUS_INVALID_PARAMETER: return 87;     // ERROR_INVALID_PARAMETER
    case lorand::STATUS_NO_SUCH_DEVICE: return 2;         // ERROR_FILE_NOT_FOUND
    case lorand::STATUS_ACCESS_VIOLATION: return 998;     // ERROR_NOACCESS
    default: return 31;                                   // ERROR_GEN_FAILURE
  }
}

std::string format(const char* text, int code) {
  char buffer[128];
  std::snprintf(buffer, sizeof buffer, text, code);
  return buffer;
}

bool node_ready(lorand::Device& device, uint32_t* port_base) {
  const uint8_t in[4] = {0, 0, 0, 0};
  uint8_t out[4] = {};
  auto r = device.control(lorand::IOCTL_LNK_NODE_READY, in, out);
  if (!lorand::nt_success(r.status) || r.information < 4) return false;
  if ((out[0] | out[1] | out[2] | out[3]) == 0) return false;
  if (!port_base) return true;
  r = device.control(lorand::IOCTL_LNK_GET_PORT_ADDRESS, in, out);
  if (!lorand::nt_success(r.status) || r.information < 4) return false;
  *port_base = uint32_t(out[0]) | uint32_t(out[1]) << 8;
  return *port_base != 0;
}

class DriverBus final : public KeyBus {
 public:
  explicit DriverBus(MessageSink messages) : messages_(std::move(messages)) {}

  bool open(const std::string& path) {
    if (!device_.open(path)) return false;
    if (!node_ready(device_, nullptr)) {
      device_.close();
      return false;
    }
    return true;
  }

  bool valid() const override { return device_.is_open(); }

  size_t run(std::span<const BusStep> steps) override {
    if (!valid()) return 0;
    size_t done = 0;
    size_t start = 0;
    // A write starts a new message, so that it is sent only once everything before it (its own
    // link test included) was seen to succeed.
    for (size_t i = 0; i <= steps.size(); ++i) {
      const bool end = i == steps.size();
      if (!end && (steps[i].kind != Kind::kWrite || i == start)) continue;
      const size_t passed = run_message(steps.subspan(start, i - start));
      done += passed;
      if (passed < i - start) return done;
      start = i;
    }
    return done;
  }

  void reset_link() override {
    if (!valid()) return;
    const uint8_t word[2] = {0x10, 0x00};
    ++transactions_;
    auto r = device_.write(lorand::file_position(kNode, kLinkControlAddress), word);
    if (!lorand::nt_success(r.status))
      report(format("Couldn't write to the LORAND driver. (%d)", error_code(r.status)));
  }

  uint64_t transactions() const override { return transactions_; }

 private:
  // One message: the steps in order; reads guarded by the link test just before them.
  size_t run_message(std::span<const BusStep> steps) {
    if (steps.empty()) return 0;
    lorand::Batch batch;
    std::vector<lorand::IoResult> results(steps.size());
    std::vector<std::array<uint8_t, 1>> status(steps.size());
    for (size_t i = 0; i < steps.size(); ++i) {
      const BusStep& s = steps[i];
      const uint64_t position = lorand::file_position(kNode, kCncBase + s.offset);
      switch (s.kind) {
        case Kind::kLinkTest: {
          lorand::LnkNodeRegisterRequest request{kNode, kStatusRegister, 0, 0};
          uint8_t in[sizeof request];
          std::memcpy(in, &request, sizeof request);
          batch.control(lorand::IOCTL_LNK_READ_PORT, in, status[i], &results[i]);
          break;
        }
        case Kind::kRead:
          if (i > 0 && steps[i - 1].kind == Kind::kLinkTest)
            batch.read_if(steps[i - 1].mask, position, {s.data, s.length}, &results[i]);
          else
            batch.read(position, {s.data, s.length}, &results[i]);
          break;
        case Kind::kWrite:
          batch.write(position, {s.data, s.length}, &results[i]);
          break;
      }
    }
    ++transactions_;
    device_.run(batch);
    for (size_t i = 0; i < steps.size(); ++i) {
      const BusStep& s = steps[i];
      const lorand::IoResult& r = results[i];
      const bool ok = lorand::nt_success(r.status);
      switch (s.kind) {
        case Kind::kLinkTest:
          if (!ok || r.information < 1) {
            report(format("The LORAND driver returns an I/O control error. (%d)",
                          error_code(r.status)));
            return i;
          }
          if ((status[i][0] & s.mask) != s.mask) return i;
          break;
        case Kind::kRead:
          if (!ok || r.information != s.length) {
            report(format("Couldn't read from the LORAND driver. (%d)", error_code(r.status)));
            return i;
          }
          break;
        case Kind::kWrite:
          if (!ok || r.information != s.length) {
            report(format("Couldn't write to the LORAND driver. (%d)", error_code(r.status)));
            return i;
          }
          break;
      }
    }
    return steps.size();
  }

  void report(const std::string& text) {
    if (messages_) messages_(text);
  }

  MessageSink messages_;
  lorand::Device device_;
  uint64_t transactions_ = 0;
};

class DirectBus final : public KeyBus {
 public:
  DirectBus(std::unique_ptr<cnbus::PortAccess> ports, uint32_t base,
            std::unique_ptr<cnbus::SharedDevice> device = nullptr)
      : device_(std::move(device)), ports_(std::move(ports)), units_(counter_, base) {
    counter_.inner = ports_.get();
  }

  bool valid() const override { return ports_ != nullptr; }

  size_t run(std::span<const BusStep> steps) override {
    if (!valid()) return 0;
    for (size_t i = 0; i < steps.size(); ++i) {
      const BusStep& s = steps[i];
      bool ok = true;
      switch (s.kind) {
        case Kind::kLinkTest: {
          auto status = units_.read_register(kStatusRegister);
          ok = status && (*status & s.mask) == s.mask;
          break;
        }
        case Kind::kRead:
          // Byte by byte in ascending order; the first unit that fails fails the transfer.
          for (uint32_t k = 0; ok && k < s.length; ++k) {
            auto v = units_.read(kCncBase + s.offset + k, 1);
            ok = v.has_value();
            if (ok) s.data[k] = uint8_t(*v);
          }
          break;
        case Kind::kWrite:
          for (uint32_t k = 0; ok && k < s.length; ++k)
            ok = units_.write(kCncBase + s.offset + k, 1, s.data[k]);
          break;
      }
      if (!ok) return i;
    }
    return steps.size();
  }

  void reset_link() override {
    if (valid()) units_.write_control_word(kLinkControlAddress, 0x10);
  }

  uint64_t transactions() const override { return counter_.count; }

 private:
  // Counts the port accesses of the protocol.
  struct Counter final : cnbus::PortAccess {
    cnbus::PortAccess* inner = nullptr;
    uint64_t count = 0;
    bool in(uint32_t port, unsigned width, uint32_t* value) override {
      ++count;
      return inner->in(port, width, value);
    }
    bool out(uint32_t port, unsigned width, uint32_t value) override {
      ++count;
      return inner->out(port, width, value);
    }
    bool register_in(uint32_t port, uint8_t* value) override {
      ++count;
      return inner->register_in(port, value);
    }
    bool register_out(uint32_t port, uint8_t value) override {
      ++count;
      return inner->register_out(port, value);
    }
  };

  std::unique_ptr<cnbus::SharedDevice> device_;  // the connection the ports may use
  std::unique_ptr<cnbus::PortAccess> ports_;
  Counter counter_;
  cnbus::DirectUnits units_;
};

// Stands in when the device or node 0 is missing: every step fails silently.
class InvalidBus final : public KeyBus {
 public:
  bool valid() const override { return false; }
  size_t run(std::span<const BusStep>) override { return 0; }
  void reset_link() override {}
  uint64_t transactions() const override { return 0; }
};

}  // namespace

std::unique_ptr<KeyBus> open_driver_bus(const std::string& device_path, MessageSink messages) {
  auto bus = std::make_unique<DriverBus>(std::move(messages));
  if (!bus->open(device_path)) return std::make_unique<InvalidBus>();
  return bus;
}

std::unique_ptr<KeyBus> make_direct_bus(std::unique_ptr<cnbus::PortAccess> ports, uint32_t base) {
  if (!ports) return std::make_unique<InvalidBus>();
  return std::make_unique<DirectBus>(std::move(ports), base);
}

std::unique_ptr<KeyBus> open_direct_bus(const std::string& device_path) {
  auto device = std::make_unique<cnbus::SharedDevice>();
  if (!device->open(device_path)) return std::make_unique<InvalidBus>();
  uint32_t base = 0;
  {
    // The configuration requests go through a connection of their own, closed again at once.
    lorand::Device query;
    if (!query.open(device_path) || !node_ready(query, &base)) return std::make_unique<InvalidBus>();
  }
  const moxel::ConfigData config = moxel::load_config(moxel::sysconf_dir() / "lorand.conf");
  const std::string board = config.string("Host", "Board0", "isa");
  std::unique_ptr<cnbus::PortAccess> ports;
  if (strcasecmp(board.c_str(), "sim") == 0) {
    ports = std::make_unique<cnbus::DevicePorts>(*device, kNode, base);
  } else {
    auto isa = std::make_unique<cnbus::IsaPorts>(moxel::system_raw_ports(), base);
    if (!isa->usable())
      std::fprintf(stderr, "vorkey: no access to ports 0x%X-0x%X of node 0: %s\n", unsigned(base),
                   unsigned(base) + 15, std::strerror(isa->error()));
    ports = std::move(isa);
  }
  return std::make_unique<DirectBus>(std::move(ports), base, std::move(device));
}

}  // namespace vorkey
