// lorandd's parts without a daemon: the request decoder and executor over a recording board, the
// real-port backend and its port claim over fake port instructions, and the configuration reads.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>

#include "driver/core/lnk_driver.h"
#include "driver/core/tests/fake_platform.h"
#include "driver/device/wire.h"
#include "driver/host/host_platform.h"
#include "driver/host/isa_ports.h"
#include "driver/host/memory_board.h"
#include "driver/host/server.h"

namespace lorand::host {
namespace {

using test::Access;
using test::FakeBoard;
using test::FakePlatform;

std::vector<uint8_t> single(const wire::Item& item) {
  std::vector<uint8_t> m;
  wire::encode_item(m, item);
  return m;
}

wire::Item read_item(uint32_t node, uint32_t address, uint32_t length, uint32_t condition = 0) {
  return wire::Item{wire::kKindRead, 0, uint64_t(node) << 32 | address, length, condition, {}};
}

TEST(LorandWire, DecodesGoodMessagesAndRefusesBadOnes) {
  const uint8_t data[3] = {1, 2, 3};
  wire::Request request;
  const std::vector<uint8_t> message = single(wire::Item{wire::kKindWrite, 0, 0x0000000120C00000, 0, 0, data});
  ASSERT_TRUE(wire::decode_request(message, request));
  ASSERT_EQ(request.items.size(), 1u);
  EXPECT_FALSE(request.batch);
  EXPECT_EQ(request.items[0].position, 0x0000000120C00000u);
  EXPECT_EQ(std::vector<uint8_t>(request.items[0].input.begin(), request.items[0].input.end()),
            (std::vector<uint8_t>{1, 2, 3}));

  auto batch = [](std::vector<wire::Item> items, int count_delta = 0) {
    std::vector<uint8_t> m;
    wire::encode_batch_header(m, uint32_t(int(items.size()) + count_delta));
    for (auto& i : items) wire::encode_item(m, i);
    return m;
  };
  ASSERT_TRUE(wire::decode_request(batch({read_item(0, 0, 1), read_item(0, 1, 1, wire::kConditional | 0x10)}), request));
  EXPECT_TRUE(request.batch);
  EXPECT_EQ(request.items[1].condition, wire::kConditional | 0x10);
  // Reads, writes and runs may be guarded by any item before them in the batch.
  ASSERT_TRUE(wire::decode_request(
      batch({read_item(0, 0, 2), read_item(0, 4, 1), wire::Item{wire::kKindWrite, 0, 8, 0, wire::zero_condition(2), data},
             wire::Item{wire::kKindWriteRun, 1, 8, 0, wire::zero_condition(3), data}}),
      request));
  EXPECT_EQ(wire::zero_distance(request.items[2].condition), 2u);
  EXPECT_EQ(wire::zero_distance(request.items[3].condition), 3u);

  std::vector<uint8_t> truncated = single(read_item(0, 0, 4));
  truncated.pop_back();
  std::vector<uint8_t> trailing = batch({read_item(0, 0, 1)});
  trailing.push_back(0);
  struct Case {
    const char* what;
    std::vector<uint8_t> message;
  } bad[] = {
      {"empty", {}},
      {"short header", truncated},
      {"unknown kind", single(wire::Item{8, 0, 0, 0, 0, {}})},
      {"read with input", single(wire::Item{wire::kKindRead, 0, 0, 1, 0, data})},
      {"write with output", single(wire::Item{wire::kKindWrite, 0, 0, 1, 0, data})},
      {"output beyond a message", single(read_item(0, 0, uint32_t(wire::kMaxOutput + 1)))},
      {"conditional alone", single(read_item(0, 0, 1, wire::kConditional))},
      {"conditional control", batch({read_item(0, 0, 1), wire::Item{wire::kKindControl, 1, 0, 4, wire::kConditional, {}}})},
      {"condition with stray bits", batch({read_item(0, 0, 1), read_item(0, 0, 1, 0x300)})},
      {"first item conditional", batch({read_item(0, 0, 1, wire::kConditional)})},
      {"count too high", batch({read_item(0, 0, 1)}, 1)},
      {"count too low", batch({read_item(0, 0, 1), read_item(0, 0, 1)}, -1)},
      {"trailing bytes", trailing},
      {"answers beyond a message", batch({read_item(0, 0, 40000), read_item(0, 0, 40000)})},
      {"count of none", batch({})},
      {"longer than a message", std::vector<uint8_t>(wire::kMaxMessage + 1, 2)},
      {"run of unit size 3", single(wire::Item{wire::kKindReadRun, 3, 0, 6, 0, {}})},
      {"run of unit size 0", single(wire::Item{wire::kKindReadRun, 0, 0, 6, 0, {}})},
      {"read run of no units", single(wire::Item{wire::kKindReadRun, 1, 0, 0, 0, {}})},
      {"read run not a whole number of units", single(wire::Item{wire::kKindReadRun, 2, 0, 3, 0, {}})},
      {"read run with input", single(wire::Item{wire::kKindReadRun, 1, 0, 1, 0, data})},
      {"write run with output", single(wire::Item{wire::kKindWriteRun, 1, 0, 1, 0, data})},
      {"write run not a whole number of units", single(wire::Item{wire::kKindWriteRun, 2, 0, 0, 0, data})},
      {"conditional run", batch({read_item(0, 0, 1), wire::Item{wire::kKindReadRun, 1, 0, 1, wire::kConditional, {}}})},
      {"hello inside a batch", batch({wire::Item{wire::kKindHello, wire::kProtocolVersion, 0, 0, 0, {}}})},
      {"zero condition alone", single(read_item(0, 0, 1, wire::zero_condition(1)))},
      {"zero condition on the first item", batch({read_item(0, 0, 1, wire::zero_condition(1))})},
      {"zero condition before the batch", batch({read_item(0, 0, 1), read_item(0, 0, 1, wire::zero_condition(2))})},
      {"zero condition of distance 0", batch({read_item(0, 0, 1), read_item(0, 0, 1, wire::kConditionZero)})},
      {"zero condition on a control", batch({read_item(0, 0, 1), wire::Item{wire::kKindControl, 1, 0, 4, wire::zero_condition(1), {}}})},
  };
  for (const Case& c : bad) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(wire::decode_request(c.message, request));
  }
}

class LorandExecutor : public ::testing::Test {
 protected:
  void SetUp() override {
    platform.dwords["IoPortAddress0"] = 0x300;
    platform.dwords["IoPortAddress2"] = 0x320;
    board0 = &platform.board(0, 0x300);
    board2 = &platform.board(2, 0x320);
    ASSERT_EQ(driver.DriverEntry("\\lorand"), STATUS_SUCCESS);
    for (uint32_t i = 0; i < 64; ++i) board0->memory[0x1000 + i] = board2->memory[0x1000 + i] = uint8_t(0x40 + i);
    board0->accesses.clear();
    board2->accesses.clear();
  }
  std::vector<uint8_t> run(const std::vector<uint8_t>& message) {
    handle_message(driver, message, answer, scratch, session);
    return answer;
  }
  Session session{.greeted = true};
  FakePlatform platform;
  LnkDriver driver{platform};
  FakeBoard* board0;
  FakeBoard* board2;
  std::vector<uint8_t> answer, scratch;
};

TEST_F(LorandExecutor, BatchGivesTheBoardTheSameAccessesAsSingleRequests) {
  const uint8_t port_status[8] = {0, 0, 0, 0, 9, 0, 0, 0};
  const uint8_t bytes[5] = {9, 8, 7, 6, 5};
  const std::vector<wire::Item> items = {
      read_item(0, 0x1001, 7),
      wire::Item{wire::kKindControl, IOCTL_LNK_READ_PORT, 0, 1, 0, port_status},
      wire::Item{wire::kKindWrite, 0, 0x1003, 0, 0, bytes},
      read_item(9, 0x1000, 4),
      read_item(2, 0x1002, 3),
      read_item(0, 0x1000, 0),
      read_item(0, 0x1000, 12),
  };
  std::vector<std::vector<uint8_t>> single_answers;
  for (const auto& item : items) single_answers.push_back(run(single(item)));
  const std::vector<Access> single0 = board0->accesses, single2 = board2->accesses;
  board0->accesses.clear();
  board2->accesses.clear();
  for (uint32_t i = 0; i < 64; ++i) board0->memory[0x1000 + i] = uint8_t(0x40 + i);

  std::vector<uint8_t> m;
  wire::encode_batch_header(m, uint32_t(items.size()));
  for (const auto& item : items) wire::encode_item(m, item);
  const std::vector<uint8_t> batch_answer = run(m);
  EXPECT_EQ(board0->accesses, single0);
  EXPECT_EQ(board2->accesses, single2);
  // The batch answer is the count followed by the single answers, in order.
  std::vector<uint8_t> expected;
  wire::put32(expected, uint32_t(items.size()));
  for (const auto& a : single_answers) expected.insert(expected.end(), a.begin(), a.end());
  EXPECT_EQ(batch_answer, expected);
  // Spot checks of the single answers: data of a read, status and length of a refused one.
  EXPECT_EQ(wire::get32(single_answers[0].data() + 8), 7u);
  EXPECT_EQ(single_answers[0][wire::kAnswerHeader], 0x41);
  EXPECT_EQ(wire::get32(single_answers[3].data()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(wire::get32(single_answers[3].data() + 4), 4u);
  EXPECT_EQ(single_answers[3].size(), wire::kAnswerHeader);
}

TEST_F(LorandExecutor, ConditionalReads) {
  const uint8_t port_status[8] = {0, 0, 0, 0, 9, 0, 0, 0};
  const wire::Item status_item{wire::kKindControl, IOCTL_LNK_READ_PORT, 0, 1, 0, port_status};
  struct Case {
    const char* what;
    wire::Item before;
    uint8_t status;
    uint8_t mask;
    bool runs;
  } cases[] = {
      {"all bits set", status_item, 0x50, 0x50, true},
      {"one bit missing", status_item, 0x10, 0x50, false},
      {"mask 0 after success", status_item, 0x00, 0x00, true},
      {"predecessor failed", read_item(8, 0, 1), 0x50, 0x00, false},
      {"predecessor returned nothing", read_item(0, 0x1000, 0), 0x50, 0x00, false},
      {"predecessor read data", read_item(0, 0x1000, 1), 0x50, 0x40, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    board0->status = c.status;
    std::vector<uint8_t> m;
    wire::encode_batch_header(m, 2);
    wire::encode_item(m, c.before);
    wire::encode_item(m, read_item(0, 0x1004, 2, wire::kConditional | c.mask));
    board0->accesses.clear();
    const std::vector<uint8_t> a = run(m);
    size_t offset = 4 + wire::kAnswerHeader + wire::get32(a.data() + 4 + 8);
    ASSERT_EQ(a.size(), offset + wire::kAnswerHeader + (c.runs ? 2 : 0));
    EXPECT_EQ(wire::get32(a.data() + offset), c.runs ? STATUS_SUCCESS : STATUS_CANCELLED);
    EXPECT_EQ(wire::get32(a.data() + offset + 4), c.runs ? 2u : 0u);
    const bool touched = std::any_of(board0->accesses.begin(), board0->accesses.end(),
                                     [](const Access& x) { return x.op == 'o' && x.offset == 4 && x.value == 0x1004; });
    EXPECT_EQ(touched, c.runs);
  }
}

// A guarded request runs only when its guard, any item before it in the message, succeeded and
// read only zero bytes; otherwise the board sees none of its accesses.
TEST_F(LorandExecutor, ZeroConditions) {
  const uint8_t port_status[8] = {0, 0, 0, 0, 9, 0, 0, 0};
  const uint8_t bytes[2] = {0xAB, 0xCD};
  struct Case {
    const char* what;
    wire::Item guard;
    uint16_t flag;  // at 0x1010
    bool runs;
  } cases[] = {
      {"flag 0", read_item(0, 0x1010, 2), 0x0000, true},
      {"high byte set", read_item(0, 0x1010, 2), 0x0100, false},
      {"low byte set", read_item(0, 0x1010, 2), 0x0001, false},
      {"guard failed", read_item(8, 0x1010, 2), 0x0000, false},
      {"guard read nothing", read_item(0, 0x1010, 0), 0x0000, false},
      {"guard a write", wire::Item{wire::kKindWrite, 0, 0x1030, 0, 0, bytes}, 0x0000, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    board0->memory[0x1010] = uint8_t(c.flag);
    board0->memory[0x1011] = uint8_t(c.flag >> 8);
    board0->memory[0x1020] = board0->memory[0x1021] = 0x11;
    std::vector<uint8_t> m;
    wire::encode_batch_header(m, 4);
    wire::encode_item(m, c.guard);
    wire::encode_item(m, wire::Item{wire::kKindControl, IOCTL_LNK_READ_PORT, 0, 1, 0, port_status});
    wire::encode_item(m, wire::Item{wire::kKindWrite, 0, 0x1020, 0, wire::zero_condition(2), bytes});
    wire::encode_item(m, wire::Item{wire::kKindReadRun, 1, 0x1000, 3, wire::zero_condition(3), {}});
    board0->accesses.clear();
    const std::vector<uint8_t> a = run(m);
    size_t offset = 4;
    for (int k = 0; k < 2; ++k) offset += wire::kAnswerHeader + wire::get32(a.data() + offset + 8);
    EXPECT_EQ(wire::get32(a.data() + offset), c.runs ? STATUS_SUCCESS : STATUS_CANCELLED);
    offset += wire::kAnswerHeader;
    EXPECT_EQ(wire::get32(a.data() + offset), c.runs ? STATUS_SUCCESS : STATUS_CANCELLED);
    EXPECT_EQ(wire::get32(a.data() + offset + 8), c.runs ? 3u : 0u);
    if (c.runs) EXPECT_EQ(a[offset + wire::kAnswerHeader], 0x40);
    EXPECT_EQ(board0->memory[0x1020], c.runs ? 0xAB : 0x11);
    EXPECT_EQ(board0->memory[0x1021], c.runs ? 0xCD : 0x11);
    const bool touched = std::any_of(board0->accesses.begin(), board0->accesses.end(), [](const Access& x) {
      return x.op == 'o' && x.offset == 4 && (x.value == 0x1020 || x.value == 0x1000);
    });
    EXPECT_EQ(touched, c.runs);
  }
}

wire::Item run_item(uint32_t kind, uint32_t node, uint32_t address, uint32_t unit, uint32_t count,
                    std::span<const uint8_t> input = {}) {
  return wire::Item{kind, unit, uint64_t(node) << 32 | address,
                    kind == wire::kKindReadRun ? unit * count : 0, 0, input};
}

// A run gives the board exactly the port accesses of its units sent as single requests, and the
// same data back.
TEST_F(LorandExecutor, RunsMatchSingleUnitsInTheTrace) {
  struct Case {
    const char* what;
    uint32_t kind, unit, address, count;
  } cases[] = {
      {"bytes", wire::kKindReadRun, 1, 0x1003, 9},
      {"aligned words", wire::kKindReadRun, 2, 0x1004, 5},
      {"words from an odd address", wire::kKindReadRun, 2, 0x1001, 4},
      {"double words", wire::kKindReadRun, 4, 0x1000, 6},
      {"double words from address 2", wire::kKindReadRun, 4, 0x1002, 3},
      {"over the top of the address space", wire::kKindReadRun, 2, 0xFFFFFFFC, 4},
      {"written bytes", wire::kKindWriteRun, 1, 0x1011, 7},
      {"written double words from address 1", wire::kKindWriteRun, 4, 0x1021, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> data(c.unit * c.count);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(0xA0 + i);
    const bool write = c.kind == wire::kKindWriteRun;
    auto reset = [&] {
      board0->memory.clear();
      for (uint32_t i = 0; i < 64; ++i) board0->memory[0x1000 + i] = uint8_t(0x40 + i);
      board0->memory[0xFFFFFFFC] = 0x11;
      board0->memory[0xFFFFFFFF] = 0x22;
      board0->memory[0x2] = 0x33;
      board0->accesses.clear();
    };
    reset();
    std::vector<uint8_t> singles_data;
    for (uint32_t i = 0; i < c.count; ++i) {
      const uint32_t address = c.address + i * c.unit;
      const std::span<const uint8_t> piece(data.data() + i * c.unit, c.unit);
      const std::vector<uint8_t> a =
          run(single(write ? wire::Item{wire::kKindWrite, 0, address, 0, 0, piece} : read_item(0, address, c.unit)));
      ASSERT_EQ(wire::get32(a.data()), STATUS_SUCCESS);
      singles_data.insert(singles_data.end(), a.begin() + wire::kAnswerHeader, a.end());
    }
    const std::vector<Access> singles = board0->accesses;
    const auto memory_after_singles = board0->memory;

    reset();
    const std::vector<uint8_t> a = run(single(run_item(c.kind, 0, c.address, c.unit, c.count, write ? std::span<const uint8_t>(data) : std::span<const uint8_t>())));
    EXPECT_EQ(board0->accesses, singles);
    EXPECT_EQ(board0->memory, memory_after_singles);
    ASSERT_GE(a.size(), wire::kAnswerHeader);
    EXPECT_EQ(wire::get32(a.data()), STATUS_SUCCESS);
    EXPECT_EQ(wire::get32(a.data() + 4), c.unit * c.count);
    EXPECT_EQ(std::vector<uint8_t>(a.begin() + wire::kAnswerHeader, a.end()), singles_data);
  }
}

TEST_F(LorandExecutor, RunsFailAsTheirUnitsWould) {
  // A node that does not exist: the first unit's status, nothing done, nothing touched.
  std::vector<uint8_t> a = run(single(run_item(wire::kKindReadRun, 1, 0x1000, 1, 8)));
  EXPECT_EQ(wire::get32(a.data()), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(wire::get32(a.data() + 4), 0u);
  EXPECT_EQ(a.size(), wire::kAnswerHeader);
  a = run(single(run_item(wire::kKindReadRun, 9, 0x1000, 1, 8)));
  EXPECT_EQ(wire::get32(a.data()), STATUS_INVALID_PARAMETER);
  // A board that turns busy at the third unit's command: the run stops there with the bytes of
  // the two units before it.
  driver.set_busy_bound(std::chrono::milliseconds(1));
  board0->busy_after_commands = board0->commands + 3;
  a = run(single(run_item(wire::kKindReadRun, 0, 0x1000, 2, 10)));
  EXPECT_EQ(wire::get32(a.data()), STATUS_IO_TIMEOUT);
  EXPECT_EQ(wire::get32(a.data() + 4), 4u);
  ASSERT_EQ(a.size(), wire::kAnswerHeader + 4);
  EXPECT_EQ(a[wire::kAnswerHeader], 0x40);
  EXPECT_EQ(a[wire::kAnswerHeader + 3], 0x43);
}

// A board that turns busy for good stops a run at the unit that finds it busy, in the first stretch
// of units or a later one: the answer holds the bytes of the whole units before it. A read unit
// waits after its command, a write unit only before it; a unit from an unaligned address is cut
// into several commands, as a single request of its size would be.
TEST_F(LorandExecutor, ARunStopsAtTheUnitThatFindsTheBoardBusy) {
  struct Case {
    const char* what;
    uint32_t kind, unit, address, count;
    int busy_after_commands;
    uint32_t bytes_done;
  } cases[] = {
      {"bytes, in the second stretch", wire::kKindReadRun, 1, 0x1000, 600, 300, 299},
      {"written bytes, in the second stretch", wire::kKindWriteRun, 1, 0x1000, 600, 300, 300},
      {"double words", wire::kKindReadRun, 4, 0x1000, 10, 3, 8},
      {"written words", wire::kKindWriteRun, 2, 0x1000, 10, 2, 4},
      {"double words from address 1 (three commands each)", wire::kKindReadRun, 4, 0x1001, 10, 4, 4},
      {"written words from address 1 (two commands each)", wire::kKindWriteRun, 2, 0x1001, 10, 3, 2},
  };
  driver.set_busy_bound(std::chrono::milliseconds(1));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const bool write = c.kind == wire::kKindWriteRun;
    const std::vector<uint8_t> data(write ? c.unit * c.count : 0, 0x5A);
    board0->busy_after_commands = board0->commands + c.busy_after_commands;
    const std::vector<uint8_t> a = run(single(run_item(c.kind, 0, c.address, c.unit, c.count, data)));
    board0->busy_after_commands = -1;
    ASSERT_GE(a.size(), wire::kAnswerHeader);
    EXPECT_EQ(wire::get32(a.data()), STATUS_IO_TIMEOUT);
    EXPECT_EQ(wire::get32(a.data() + 4), c.bytes_done);
    EXPECT_EQ(a.size(), wire::kAnswerHeader + (write ? 0 : c.bytes_done));
  }
}

// After a unit times out on a node, the rest of the message on that node fails at once; other
// nodes and register requests are still carried out.
TEST_F(LorandExecutor, AHungNodeCostsOneTimeoutPerMessage) {
  driver.set_busy_bound(std::chrono::milliseconds(20));
  board0->busy_after_commands = board0->commands;
  const uint8_t port_status[8] = {0, 0, 0, 0, 9, 0, 0, 0};
  const std::vector<wire::Item> items = {
      run_item(wire::kKindReadRun, 0, 0x1000, 1, 1000),
      read_item(0, 0x1000, 4),
      run_item(wire::kKindReadRun, 2, 0x1000, 4, 2),
      wire::Item{wire::kKindControl, IOCTL_LNK_READ_PORT, 0, 1, 0, port_status},
      run_item(wire::kKindReadRun, 0, 0x1000, 1, 1000),
  };
  std::vector<uint8_t> m;
  wire::encode_batch_header(m, uint32_t(items.size()));
  for (const auto& item : items) wire::encode_item(m, item);
  const auto start = std::chrono::steady_clock::now();
  const std::vector<uint8_t> a = run(m);
  const auto took = std::chrono::steady_clock::now() - start;
  const NTSTATUS expected[] = {STATUS_IO_TIMEOUT, STATUS_IO_TIMEOUT, STATUS_SUCCESS, STATUS_SUCCESS,
                               STATUS_IO_TIMEOUT};
  size_t offset = wire::kBatchAnswerHeader;
  for (size_t i = 0; i < items.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(wire::get32(a.data() + offset), expected[i]);
    offset += wire::kAnswerHeader + wire::get32(a.data() + offset + 8);
  }
  // The first unit timed out in its status poll; no unit of node 0 got further.
  EXPECT_EQ(std::count_if(board0->accesses.begin(), board0->accesses.end(),
                          [](const Access& x) { return x.op == 'o'; }), 0);
  // Two timeouts would be 40 ms; a few seconds only on a machine that is very loaded.
  EXPECT_LT(took, std::chrono::seconds(5));
}

// A client that hung up, or a daemon that stops: the rest of the batch is not carried out.
TEST_F(LorandExecutor, WorkNobodyWaitsForIsCancelled) {
  std::vector<uint8_t> m;
  wire::encode_batch_header(m, 3);
  wire::encode_item(m, read_item(0, 0x1000, 1));
  wire::encode_item(m, run_item(wire::kKindReadRun, 0, 0x1000, 1, 5000));
  wire::encode_item(m, read_item(0, 0x1000, 1));
  auto statuses = [&](const std::vector<uint8_t>& a) {
    std::vector<NTSTATUS> out;
    for (size_t offset = wire::kBatchAnswerHeader; offset < a.size(); offset += wire::kAnswerHeader + wire::get32(a.data() + offset + 8))
      out.push_back(wire::get32(a.data() + offset));
    return out;
  };
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
  session.fd = pair[0];
  EXPECT_EQ(statuses(run(m)), (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS}));
  close(pair[1]);  // the client hangs up
  board0->accesses.clear();
  EXPECT_EQ(statuses(run(m)), (std::vector<NTSTATUS>{STATUS_CANCELLED, STATUS_CANCELLED, STATUS_CANCELLED}));
  EXPECT_TRUE(board0->accesses.empty());
  close(pair[0]);
  session.fd = -1;
  std::atomic<bool> stopping{true};
  session.stopping = &stopping;
  board0->accesses.clear();
  EXPECT_EQ(statuses(run(m)), (std::vector<NTSTATUS>{STATUS_CANCELLED, STATUS_CANCELLED, STATUS_CANCELLED}));
  EXPECT_TRUE(board0->accesses.empty());
}

// A run asks before each stretch of units whether to go on, and stops when told.
TEST_F(LorandExecutor, ARunStopsBetweenStretchesWhenCancelled) {
  std::vector<uint8_t> buffer(5000);
  LnkRequest request;
  request.major = IRP_MJ_READ;
  request.length = 5000;
  request.file_position = 0x1000;
  request.buffer = buffer;
  int asked = 0;
  driver.LnkRunCnbus(request, 1, false, [&] { return ++asked > 2; });
  EXPECT_EQ(request.status, STATUS_CANCELLED);
  EXPECT_EQ(request.information, 2 * LnkDriver::kRunCheckInterval);
  EXPECT_EQ(board0->commands, int(2 * LnkDriver::kRunCheckInterval));
}

TEST_F(LorandExecutor, TheFirstMessageMustBeAHelloOfThisVersion) {
  struct Case {
    const char* what;
    std::vector<uint8_t> message;
    bool accepted;
  } cases[] = {
      {"hello of this version", wire::encode_hello(), true},
      {"hello of version 1", wire::encode_hello(1), false},
      {"hello of a later version", wire::encode_hello(wire::kProtocolVersion + 1), false},
      {"a request without a hello", single(read_item(0, 0x1000, 1)), false},
      {"an empty message", {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    session = Session{};
    board0->accesses.clear();
    const std::vector<uint8_t> a = run(c.message);
    ASSERT_EQ(a.size(), wire::kAnswerHeader);
    EXPECT_EQ(wire::get32(a.data()), c.accepted ? STATUS_SUCCESS : STATUS_REVISION_MISMATCH);
    EXPECT_EQ(wire::get32(a.data() + 4), wire::kProtocolVersion);
    EXPECT_EQ(session.greeted, c.accepted);
    EXPECT_EQ(session.close, !c.accepted);
    EXPECT_TRUE(board0->accesses.empty());
  }
  // After the hello, requests are served; an empty message is malformed.
  session = Session{};
  run(wire::encode_hello());
  EXPECT_EQ(run(single(read_item(0, 0x1000, 1))).size(), wire::kAnswerHeader + 1);
  const std::vector<uint8_t> a = run({});
  EXPECT_EQ(wire::get32(a.data()), STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(session.close);
}

TEST_F(LorandExecutor, FailedReadsReturnNoStaleBytes) {
  // A read that fills the system buffer, then a refused read and a control with a short answer:
  // neither may hand back what the buffer held before.
  run(single(read_item(0, 0x1000, 32)));
  std::vector<uint8_t> a = run(single(read_item(9, 0x1000, 32)));
  EXPECT_EQ(a.size(), wire::kAnswerHeader);
  EXPECT_EQ(wire::get32(a.data() + 4), 32u);
  a = run(single(wire::Item{wire::kKindControl, IOCTL_LNK_GET_NODE_COUNT, 0, 64, 0, {}}));
  ASSERT_EQ(a.size(), wire::kAnswerHeader + 4);
  a = run(single(wire::Item{wire::kKindControl, 0x12345678, 0, 64, 0, {}}));
  EXPECT_EQ(a.size(), wire::kAnswerHeader);
  EXPECT_EQ(wire::get32(a.data()), STATUS_NOT_IMPLEMENTED);
}

class FakeRawPorts : public RawPorts {
 public:
  int permit_result = 0;
  int permit_errno = 0;
  std::vector<std::string> calls;
  int permit(unsigned long from, unsigned long count, bool on) override {
    calls.push_back((on ? "permit " : "revoke ") + std::to_string(from) + " " + std::to_string(count));
    errno = permit_errno;
    return permit_result;
  }
  uint8_t inb(uint16_t port) override { calls.push_back("inb " + std::to_string(port)); return 0x12; }
  uint16_t inw(uint16_t port) override { calls.push_back("inw " + std::to_string(port)); return 0x1234; }
  uint32_t inl(uint16_t port) override { calls.push_back("inl " + std::to_string(port)); return 0x12345678; }
  void outb(uint16_t port, uint8_t v) override { calls.push_back("outb " + std::to_string(v) + " " + std::to_string(port)); }
  void outw(uint16_t port, uint16_t v) override { calls.push_back("outw " + std::to_string(v) + " " + std::to_string(port)); }
  void outl(uint16_t port, uint32_t v) override { calls.push_back("outl " + std::to_string(v) + " " + std::to_string(port)); }
};

class LorandPorts : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/lorand-ports-XXXXXX";
    dir = mkdtemp(pattern);
    std::ofstream(dir / "ioports") << "0000-0cf7 : PCI Bus 0000:00\n"
                                      "  0000-001f : dma1\n"
                                      "  0060-0060 : keyboard\n"
                                      "  02f8-02ff : serial\n"
                                      "  0376-0376 : ata_piix\n"
                                      "0cf8-0cff : PCI conf1\n"
                                      "0d00-ffff : PCI Bus 0000:00\n"
                                      "  e000-e01f : 0000:00:01.2\n";
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  std::filesystem::path dir;
  FakeRawPorts raw;
};

TEST_F(LorandPorts, ClaimRefusesTakenAndOverlappingRanges) {
  PortClaims claims(raw, dir / "ioports");
  struct Case {
    uint32_t node, base;
    bool real, ok;
    const char* error;
  } cases[] = {
      {0, 0x300, true, true, ""},
      {1, 0x308, false, false, "ports overlap those of node 0"},
      {1, 0x2F0, true, false, "ports already taken:   02f8-02ff : serial"},
      {1, 0x370, true, false, "ports already taken:   0376-0376 : ata_piix"},
      {1, 0x310, true, true, ""},
      {2, 0x2F0, false, true, ""},  // a simulated board is not checked against the kernel's list
      {3, 0xFFF8, false, false, "ports outside the I/O space"},
      {3, 0xE010, true, false, "ports already taken:   e000-e01f : 0000:00:01.2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "node " << c.node << " at 0x" << std::hex << c.base);
    std::string error;
    EXPECT_EQ(claims.claim(c.node, c.base, 16, c.real, &error), c.ok);
    EXPECT_EQ(error, c.error);
  }
  EXPECT_EQ(raw.calls, (std::vector<std::string>{"permit 768 16", "permit 784 16"}));
  claims.release(0);
  claims.release(2);
  EXPECT_EQ(raw.calls.back(), "revoke 768 16");
  std::string error;
  EXPECT_TRUE(claims.claim(4, 0x300, 16, false, &error));  // node 0's ports are free again
}

TEST_F(LorandPorts, ClaimFailsWithoutPortAccess) {
  raw.permit_result = -1;
  raw.permit_errno = ENOSYS;
  PortClaims claims(raw, dir / "ioports");
  std::string error;
  EXPECT_FALSE(claims.claim(0, 0x300, 16, true, &error));
  EXPECT_EQ(error, "no access to the ports (ioperm: Function not implemented)");
  EXPECT_TRUE(claims.claim(1, 0x300, 16, false, &error));  // nothing was kept of the failed claim
}

TEST_F(LorandPorts, IsaBackendUsesThePortInstructionsOfEachWidth) {
  IsaPortIo io(raw);
  EXPECT_EQ(io.in8(0x309), 0x12);
  EXPECT_EQ(io.in16(0x300), 0x1234);
  EXPECT_EQ(io.in32(0x300), 0x12345678u);
  io.out8(0x308, 0x81);
  io.out16(0x300, 0xBEEF);
  io.out32(0x304, 0x20C00000);
  EXPECT_EQ(io.register_in8(0x30A), 0x12);
  io.register_out8(0x309, 0x05);
  EXPECT_EQ(raw.calls, (std::vector<std::string>{"inb 777", "inw 768", "inl 768", "outb 129 776", "outw 48879 768",
                                                 "outl 549453824 772", "inb 778", "outb 5 777"}));
}

// Load sets every node up from the contents lorandd read at start, whatever the file says by then;
// only after follow_changes() do queries see the file again.
TEST_F(LorandPorts, LoadUsesTheContentsReadAtStart) {
  const auto conf = dir / "lorand.conf";
  std::ofstream(conf) << "[Parameters]\nIoPortAddress1=0x310\nCncType2=7\n[Host]\nBoard1=sim\n";
  auto startup = moxel::ConfigData::parse(
      "[Parameters]\nIoPortAddress2=0x320\nCncType2=5\n[Host]\nBoard2=sim\n");
  MemoryBoard sim(0x320);
  HostPlatform platform(conf, *startup, raw, [&](uint32_t, uint32_t) -> PortIo& { return sim; }, dir / "ioports");
  LnkDriver driver(platform);
  ASSERT_EQ(driver.DriverEntry("\\lorand"), STATUS_SUCCESS);
  EXPECT_NE(driver.node(2), nullptr);
  EXPECT_EQ(driver.node(1), nullptr) << "the file as it is now does not count at load";
  EXPECT_EQ(driver.GetCncType(2), 5u);
  platform.follow_changes();
  EXPECT_EQ(driver.GetCncType(2), 7u);
  EXPECT_TRUE(raw.calls.empty()) << "no real board was touched";
}

TEST_F(LorandPorts, HostPlatformLoadsIsaAndSimulatedNodes) {
  const auto conf = dir / "lorand.conf";
  std::ofstream(conf) << "[Parameters]\nIoPortAddress0=0x300\nIoPortAddress1=0x2F0\nIoPortAddress2=0x320\n"
                         "NodeName2=Lathe\n[Host]\nBoard2=SIM\n";
  MemoryBoard sim(0x320);
  uint32_t sim_node = 99;
  HostPlatform platform(conf, moxel::load_config(conf), raw, [&](uint32_t node, uint32_t) -> PortIo& { sim_node = node; return sim; },
                        dir / "ioports");
  LnkDriver driver(platform);
  ASSERT_EQ(driver.DriverEntry("\\lorand"), STATUS_SUCCESS);
  ASSERT_NE(driver.node(0), nullptr);  // real board: ports permitted, status read through inb
  EXPECT_EQ(driver.node(1), nullptr);  // the serial port's range
  EXPECT_EQ(platform.claim_error(1), "ports already taken:   02f8-02ff : serial");
  ASSERT_NE(driver.node(2), nullptr);
  EXPECT_EQ(sim_node, 2u);
  EXPECT_EQ(platform.link_target(), "\\Device\\LORAND0");
  EXPECT_EQ(raw.calls, (std::vector<std::string>{"permit 768 16", "inb 777"}));

  // Names and types are read at every query; a rewritten file is seen at once.
  auto name = [&](uint32_t node) {
    std::vector<uint8_t> buffer(20);
    buffer[0] = uint8_t(node);
    LnkRequest r;
    r.control_code = IOCTL_LNK_GET_NODE_NAME;
    r.input_length = 4;
    r.output_length = 20;
    r.buffer = buffer;
    driver.Dispatch(r);
    return std::string(reinterpret_cast<char*>(buffer.data()));
  };
  EXPECT_EQ(name(2), "Lathe");
  platform.follow_changes();
  std::ofstream(conf) << "[Parameters]\nIoPortAddress0=0x300\nNodeName2=Mill 2\nCncType2=4\n[Host]\nBoard2=sim\n";
  EXPECT_EQ(name(2), "Mill 2");
  EXPECT_EQ(driver.GetCncType(2), 4u);
  // Write and read back through the simulated node.
  uint8_t data[3] = {1, 2, 3};
  LnkRequest w;
  w.major = IRP_MJ_WRITE;
  w.file_position = uint64_t(2) << 32 | 0x101;
  w.length = 3;
  w.buffer = data;
  driver.Dispatch(w);
  EXPECT_EQ(w.status, STATUS_SUCCESS);
  uint8_t back[5] = {};
  LnkRequest r;
  r.major = IRP_MJ_READ;
  r.file_position = uint64_t(2) << 32 | 0x100;
  r.length = 5;
  r.buffer = back;
  driver.Dispatch(r);
  EXPECT_EQ(std::vector<uint8_t>(back, back + 5), (std::vector<uint8_t>{0xFF, 1, 2, 3, 0xFF}));
  driver.LnkUnload();
  EXPECT_EQ(raw.calls.back(), "revoke 768 16");
}

}  // namespace
}  // namespace lorand::host
