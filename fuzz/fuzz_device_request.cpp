// Feeds arbitrary messages to lorandd's request handling: the version hello, the decoder, then the
// driver core on two in-memory boards (one of them busy since load), runs included. Every message must get a well-formed answer that
// fits one message, and nothing may crash or leave a node locked.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "driver/core/lnk_driver.h"
#include "driver/device/wire.h"
#include "driver/host/memory_board.h"
#include "driver/host/server.h"

namespace {

using namespace lorand;

class FuzzPlatform final : public LnkPlatform {
 public:
  std::optional<uint32_t> query_dword(std::string_view, std::string_view name) override {
    if (name == "IoPortAddress0") return 0x300;
    if (name == "IoPortAddress5") return 0x350;
    if (name == "CncType0") return 3;
    return std::nullopt;
  }
  std::optional<std::string> query_string(std::string_view, std::string_view name) override {
    if (name == "NodeName0") return std::string("Fr\xC3\xA4se \xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC");
    return std::nullopt;
  }
  bool create_device(uint32_t, std::string_view) override { return true; }
  void delete_device(uint32_t) override {}
  bool create_link(std::string_view, std::string_view) override { return true; }
  void delete_link(std::string_view) override {}
  bool claim_ports(uint32_t, uint32_t, uint32_t) override { return true; }
  void release_ports(uint32_t) override {}
  uint64_t translate(uint32_t bus, uint32_t* space) override {
    *space = kAddressSpaceIo;
    return bus;
  }
  uintptr_t map_io(uint64_t, uint32_t) override { return 0; }
  void unmap_io(uintptr_t, uint32_t) override {}
  PortIo& port_io(uint32_t node, uint32_t base) override {
    if (node == 5) return busy_;
    if (!boards_[node]) boards_[node] = std::make_unique<host::MemoryBoard>(base);
    return *boards_[node];
  }
  uint32_t read_register(uintptr_t, unsigned) override { return 0; }
  void write_register(uintptr_t, unsigned, uint32_t) override {}

 private:
  // A board whose busy bit is set at load: the node is refused before any unit runs.
  struct BusyBoard final : PortIo {
    uint8_t in8(uint32_t) override { return 0x80; }
    uint16_t in16(uint32_t) override { return 0xFFFF; }
    uint32_t in32(uint32_t) override { return 0xFFFFFFFF; }
    void out8(uint32_t, uint8_t) override {}
    void out16(uint32_t, uint16_t) override {}
    void out32(uint32_t, uint32_t) override {}
  } busy_;
  std::unique_ptr<host::MemoryBoard> boards_[8];
};

struct World {
  FuzzPlatform platform;
  LnkDriver driver{platform};
  std::vector<uint8_t> answer, scratch;
  World() {
    if (driver.DriverEntry("\\lorand") != STATUS_SUCCESS) std::abort();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static World world;
  const std::span<const uint8_t> message(data, size);
  // Every other input is the first message of a connection (only a hello of this version may
  // open it); the rest come after the hello.
  static unsigned round = 0;
  host::Session session;
  session.greeted = ++round % 2 == 0;
  const bool greeted = session.greeted;
  host::handle_message(world.driver, message, world.answer, world.scratch, session);
  uint32_t version = 0;
  if (wire::decode_hello(message, &version) || !greeted) {
    // The version answer: one item, the daemon's version; a mismatch ends the connection.
    const bool match = wire::decode_hello(message, &version) && version == wire::kProtocolVersion;
    if (world.answer.size() != wire::kAnswerHeader || session.close == match ||
        wire::get32(world.answer.data()) != (match ? STATUS_SUCCESS : STATUS_REVISION_MISMATCH) ||
        wire::get32(world.answer.data() + 4) != wire::kProtocolVersion)
      std::abort();
    return 0;
  }
  if (session.close) std::abort();
  // The answer is well formed and fits one message.
  const auto& a = world.answer;
  if (a.size() > wire::kMaxMessage || a.size() < wire::kAnswerHeader) std::abort();
  wire::Request request;
  const bool good = wire::decode_request(message, request);
  size_t offset = 0, count = 1;
  if (good && request.batch) {
    count = wire::get32(a.data());
    if (count != request.items.size()) std::abort();
    offset = wire::kBatchAnswerHeader;
  }
  for (size_t i = 0; i < count; ++i) {
    if (a.size() - offset < wire::kAnswerHeader) std::abort();
    const uint32_t length = wire::get32(a.data() + offset + 8);
    if (good && length > request.items[i].output_length) std::abort();
    offset += wire::kAnswerHeader + length;
    if (offset > a.size()) std::abort();
  }
  if (offset != a.size()) std::abort();
  if (!good && wire::get32(a.data()) != STATUS_INVALID_PARAMETER) std::abort();
  // No node lock is left held.
  for (uint32_t n : {0u}) {
    auto* node = const_cast<LnkNodeExtension*>(world.driver.node(n));
    if (!node->access_lock.try_lock()) std::abort();
    node->access_lock.unlock();
  }
  return 0;
}
