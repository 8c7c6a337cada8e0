#include "cncsim/cnc/mailbox.h"

#include "cncsim/cnc/host.h"

namespace cncsim::cnc {

uint32_t Mailbox::address() const { return Memory::shared(host_.area_base() + kMailboxOffset); }

void Mailbox::add(uint16_t code, Function function) { functions_[code] = std::move(function); }

void Mailbox::start() { host_.watch(address(), 2); }

void Mailbox::reset() {
  hung_ = false;
  host_.memory().write16(address(), 0);
}

void Mailbox::serve() {
  if (silent || hung_ || host_.phase() != Phase::console) return;
  Memory& m = host_.memory();
  const uint32_t a = address();
  if (m.read16(a) != 1) return;
  m.write16(a, kBusyFlag);
  uint8_t raw[32];
  m.read(a, raw);
  auto u16 = [&](int at) { return uint16_t(raw[at] | raw[at + 1] << 8); };
  auto u32 = [&](int at) { return uint32_t(u16(at)) | uint32_t(u16(at + 2)) << 16; };
  Request request;
  request.function = u16(2);
  request.i1 = u16(8);
  request.i2 = u16(10);
  request.i3 = u32(12);
  request.i4 = u32(16);
  // The outputs keep what they held unless the function sets them, as the previous call left them.
  Reply reply;
  reply.o1 = u16(20);
  reply.o2 = u16(22);
  reply.o3 = u32(24);
  reply.o4 = u32(28);
  ++served_;
  if (stuck) {
    hung_ = true;
    return;
  }
  if (failing.count(request.function)) {
    reply.fail(kErrorFaulted);
  } else if (auto it = functions_.find(request.function); it != functions_.end()) {
    it->second(host_, request, reply);
  } else {
    reply.fail(kErrorUnknownFunction);
  }
  if (reply.hang || host_.stopping()) {
    hung_ = reply.hang;
    return;
  }
  uint8_t out[28];
  auto put16 = [&](int at, uint16_t v) {
    out[at - 4] = uint8_t(v);
    out[at - 3] = uint8_t(v >> 8);
  };
  auto put32 = [&](int at, uint32_t v) {
    put16(at, uint16_t(v));
    put16(at + 2, uint16_t(v >> 16));
  };
  // Status and error, the inputs as taken, then the outputs; the flag last.
  put16(4, reply.status);
  put16(6, reply.error);
  put16(8, request.i1);
  put16(10, request.i2);
  put32(12, request.i3);
  put32(16, request.i4);
  put16(20, reply.o1);
  put16(22, reply.o2);
  put32(24, reply.o3);
  put32(28, reply.o4);
  m.write(a + 4, out);
  m.write16(a, 0);
}

std::string Mailbox::describe() const {
  return "mailbox " + std::string(hung_ ? "hung" : "ready") + " " + std::to_string(served_) +
         " requests taken\n";
}

}  // namespace cncsim::cnc
