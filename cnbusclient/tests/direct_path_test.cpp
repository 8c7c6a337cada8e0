// The direct path as a whole: operations on a node whose ports cannot be reached, and units of
// several threads on one node, which must never mix their register steps.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "cnbusclient/node_path.h"

#ifdef CNBUS_HAVE_CNCSIM
#include "cncsim/node.h"
#endif

namespace cnbus {
namespace {

using Kind = UnitOp::Kind;

UnitOp op(Kind kind, uint8_t size, uint32_t address, uint32_t value = 0) {
  UnitOp o;
  o.kind = kind;
  o.size = size;
  o.address = address;
  o.value = value;
  return o;
}

TEST(CnbusDirectPath, UnreachableNodeFailsEveryOperation) {
  std::vector<std::unique_ptr<PortAccess>> ports(8);
  DirectPath path(std::move(ports), std::vector<uint32_t>(8, 0x300));
  std::vector<UnitOp> ops = {op(Kind::kRead, 4, 0x20C00000, 0x1234), op(Kind::kWrite, 2, 0x20C00000, 7),
                             op(Kind::kRegisterRead, 1, 9, 0), op(Kind::kRead, 2, 0x20C00000, 0)};
  path.run(0, ops);
  path.run(9, ops);  // beyond the node slots as well
  EXPECT_EQ(ops[0].value, 0xFFFFFFFFu);
  EXPECT_EQ(ops[2].value, 0xFFu);
  EXPECT_EQ(ops[3].value, 0xFFFFu);
  for (const auto& o : ops) EXPECT_FALSE(o.ok);
}

#ifdef CNBUS_HAVE_CNCSIM
TEST(CnbusDirectPath, ThreadsOnOneNodeNeverMixTheirUnits) {
  cncsim::Node node(0, 0x300, cncsim::NodeSettings{}, {});
  // Word k of the area holds k, so any unit that picked up another thread's address shows.
  std::vector<uint8_t> area(2 * 4096);
  for (size_t k = 0; k < 4096; ++k) {
    area[2 * k] = uint8_t(k);
    area[2 * k + 1] = uint8_t(k >> 8);
  }
  ASSERT_TRUE(node.poke(0x20C00000, area));
  std::vector<std::unique_ptr<PortAccess>> ports(8);
  ports[0] = std::make_unique<PortIoPorts>(node);
  DirectPath path(std::move(ports), std::vector<uint32_t>(8, 0x300));

  std::atomic<int> wrong{0};
  auto reader = [&](uint32_t first) {
    for (uint32_t round = 0; round < 10000; ++round) {
      const uint32_t k = (first + round * 7) % 4096;
      UnitOp o = op(Kind::kRead, 2, 0x20C00000 + 2 * k);
      path.run(0, std::span(&o, 1));
      if (!o.ok || o.value != k) ++wrong;
    }
  };
  std::thread a(reader, 0), b(reader, 2048);
  a.join();
  b.join();
  EXPECT_EQ(wrong.load(), 0);
}
#endif

}  // namespace
}  // namespace cnbus
