#include "driver/core/lnk_driver.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "driver/core/tests/fake_platform.h"

namespace lorand::test {
namespace {

constexpr std::string_view kRegistry = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\lorand";

std::string repeat(const std::string& s, int n) {
  std::string r;
  while (n-- > 0) r += s;
  return r;
}
std::vector<uint8_t> le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
std::vector<uint8_t> reg(uint32_t node, uint16_t offset, uint8_t value = 0) {
  auto b = le32(node);
  b.push_back(uint8_t(offset));
  b.push_back(uint8_t(offset >> 8));
  b.push_back(value);
  b.push_back(0);
  return b;
}
std::vector<uint8_t> wide(uint32_t node, uint16_t offset, uint8_t width, uint32_t value = 0) {
  auto b = reg(node, offset, width);
  auto v = le32(value);
  b.insert(b.end(), v.begin(), v.end());
  return b;
}

struct Result {
  NTSTATUS status;
  uint32_t information;
  std::vector<uint8_t> output;  // the first `information` bytes of the buffer
};

// One device-control request and the answer it must get.
struct ControlCase {
  const char* what;
  uint32_t code;
  std::vector<uint8_t> in;
  uint32_t out;  // output length
  NTSTATUS status;
  std::vector<uint8_t> output;
};

class LorandCore : public ::testing::Test {
 protected:
  NTSTATUS load() { return driver.DriverEntry(kRegistry); }
  void configure(uint32_t node, uint32_t port) { platform.dwords["IoPortAddress" + std::to_string(node)] = port; }

  Result control(uint32_t code, std::vector<uint8_t> in, uint32_t output_length, std::optional<uint32_t> input_length = {}) {
    std::vector<uint8_t> buffer(std::max<size_t>(in.size(), output_length) + 8, 0xEE);
    std::copy(in.begin(), in.end(), buffer.begin());
    LnkRequest r;
    r.major = IRP_MJ_DEVICE_CONTROL;
    r.control_code = code;
    r.input_length = input_length.value_or(uint32_t(in.size()));
    r.output_length = output_length;
    r.buffer = buffer;
    r.information = 0xDEAD;
    driver.Dispatch(r);
    return {r.status, r.information, {buffer.begin(), buffer.begin() + std::min<size_t>(r.information, buffer.size())}};
  }
  void expect_control(const ControlCase& c) {
    SCOPED_TRACE(c.what);
    const Result r = control(c.code, c.in, c.out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.information, c.output.size());
    EXPECT_EQ(r.output, c.output);
  }
  Result read(uint32_t node, uint32_t address, uint32_t length) {
    std::vector<uint8_t> buffer(length);
    LnkRequest r;
    r.major = IRP_MJ_READ;
    r.file_position = uint64_t(node) << 32 | address;
    r.length = length;
    r.buffer = buffer;
    driver.Dispatch(r);
    return {r.status, r.information, buffer};
  }
  Result write(uint32_t node, uint32_t address, std::vector<uint8_t> data) {
    LnkRequest r;
    r.major = IRP_MJ_WRITE;
    r.file_position = uint64_t(node) << 32 | address;
    r.length = uint32_t(data.size());
    r.buffer = data;
    driver.Dispatch(r);
    return {r.status, r.information, {}};
  }

  FakePlatform platform;
  LnkDriver driver{platform};
};

// The register accesses of one unit, given the number of busy polls before each wait clears.
std::vector<Access> read_unit(uint32_t address, unsigned size, uint32_t data) {
  return {{'i', 1, 9, 0x50}, {'o', 4, 4, address}, {'o', 1, 8, 0x80u | size}, {'i', 1, 9, 0x50}, {'i', size, 0, data}};
}
std::vector<Access> write_unit(uint32_t address, unsigned size, uint32_t data) {
  return {{'i', 1, 9, 0x50}, {'o', size, 0, data}, {'o', 4, 4, address}, {'o', 1, 8, size}};
}

TEST_F(LorandCore, LoadFailsWhenNoNodeIsConfigured) {
  configure(2, 0);
  EXPECT_EQ(load(), STATUS_DEVICE_CONFIGURATION_ERROR);
  EXPECT_FALSE(driver.loaded());
  EXPECT_TRUE(platform.log.empty());
  for (const auto& path : platform.queried_paths) EXPECT_EQ(path, std::string(kRegistry) + "\\Parameters");
  EXPECT_EQ(platform.queried_paths.size(), 8u);
}

TEST_F(LorandCore, OnlyNodeThreeConfigured) {
  configure(3, 0x300);
  ASSERT_EQ(load(), STATUS_SUCCESS);
  EXPECT_EQ(platform.log, (std::vector<std::string>{"create \\Device\\LORAND3",
                                                     "link \\DosDevices\\LORAND -> \\Device\\LORAND3",
                                                     "claim 3 0x300 16"}));
  EXPECT_EQ(control(IOCTL_LNK_GET_NODE_COUNT, {}, 4).output, le32(8));
  EXPECT_EQ(control(IOCTL_LNK_NODE_READY, le32(0), 4).output, le32(0));
  EXPECT_EQ(control(IOCTL_LNK_NODE_READY, le32(3), 4).output, le32(1));
  EXPECT_EQ(control(IOCTL_LNK_GET_PORT_ADDRESS, le32(3), 4).output, le32(0x300));
  EXPECT_EQ(control(IOCTL_LNK_GET_PORT_ADDRESS, le32(0), 4).output, le32(0));
  // The load read the status register once, with a plain port read.
  EXPECT_EQ(platform.board(3, 0x300).accesses, (std::vector<Access>{{'i', 1, 9, 0x50}}));
}

TEST_F(LorandCore, LoadSkipsNodesThatFailAndLeavesNothingBehind) {
  struct Case {
    const char* what;
    std::set<uint32_t> fail_device, fail_claim;
    bool fail_link;
    std::vector<std::string> log;
    std::vector<uint32_t> up;
  } cases[] = {
      {"claim conflict on node 0", {}, {0}, false,
       {"create \\Device\\LORAND0", "link \\DosDevices\\LORAND -> \\Device\\LORAND0", "unlink \\DosDevices\\LORAND",
        "delete 0", "create \\Device\\LORAND1", "link \\DosDevices\\LORAND -> \\Device\\LORAND1", "claim 1 0x310 16",
        "create \\Device\\LORAND2", "claim 2 0x320 16"},
       {1, 2}},
      {"claim conflict on node 1 keeps the link", {}, {1}, false,
       {"create \\Device\\LORAND0", "link \\DosDevices\\LORAND -> \\Device\\LORAND0", "claim 0 0x300 16",
        "create \\Device\\LORAND1", "delete 1", "create \\Device\\LORAND2", "claim 2 0x320 16"},
       {0, 2}},
      {"device of node 0 not made", {0}, {}, false,
       {"create \\Device\\LORAND1", "link \\DosDevices\\LORAND -> \\Device\\LORAND1", "claim 1 0x310 16",
        "create \\Device\\LORAND2", "claim 2 0x320 16"},
       {1, 2}},
      {"link never made", {}, {}, true,
       {"create \\Device\\LORAND0", "delete 0", "create \\Device\\LORAND1", "delete 1", "create \\Device\\LORAND2",
        "delete 2"},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakePlatform p;
    p.fail_device = c.fail_device;
    p.fail_claim = c.fail_claim;
    p.fail_link = c.fail_link;
    for (uint32_t n = 0; n < 3; ++n) p.dwords["IoPortAddress" + std::to_string(n)] = 0x300 + 0x10 * n;
    LnkDriver d(p);
    EXPECT_EQ(d.DriverEntry(kRegistry), c.up.empty() ? STATUS_DEVICE_CONFIGURATION_ERROR : STATUS_SUCCESS);
    EXPECT_EQ(p.log, c.log);
    for (uint32_t n = 0; n < kNodeSlots; ++n)
      EXPECT_EQ(d.node(n) != nullptr, std::count(c.up.begin(), c.up.end(), n) == 1) << "node " << n;
  }
}

TEST_F(LorandCore, AllocationFailureAtLoad) {
  for (int failing : {0, 1}) {
    FakePlatform p;
    p.fail_allocation = failing;
    p.dwords["IoPortAddress0"] = 0x300;
    LnkDriver d(p);
    EXPECT_EQ(d.DriverEntry(kRegistry), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(p.log.empty());
  }
}

TEST_F(LorandCore, BusyBoardAtLoadIsUnusableButStillAnswersConfiguration) {
  configure(0, 0x300);
  configure(1, 0x310);
  platform.board(0, 0x300).status_script = {0xD0};
  platform.dwords["CncType0"] = 3;
  ASSERT_EQ(load(), STATUS_SUCCESS);
  EXPECT_EQ(driver.node(0)->node_state, STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(control(IOCTL_LNK_NODE_READY, le32(0), 4).output, le32(0));
  EXPECT_EQ(control(IOCTL_LNK_NODE_READY, le32(1), 4).output, le32(1));
  EXPECT_EQ(control(IOCTL_LNK_GET_CNC_TYPE, le32(0), 4).output, le32(3));
  EXPECT_EQ(control(IOCTL_LNK_GET_PORT_ADDRESS, le32(0), 4).output, le32(0x300));
  EXPECT_EQ(control(IOCTL_LNK_READ_PORT, reg(0, 9), 1).status, STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(control(IOCTL_LNK_WRITE_PORT, reg(0, 9), 0).status, STATUS_INVALID_DEVICE_STATE);
  const auto before = platform.board(0, 0x300).accesses.size();
  EXPECT_EQ(read(0, 0x1000, 4).status, STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(write(0, 0x1000, {1}).status, STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(platform.board(0, 0x300).accesses.size(), before);
}

TEST_F(LorandCore, UnloadReleasesEveryNode) {
  configure(1, 0x300);
  configure(4, 0x340);
  platform.memory_space = {4};
  ASSERT_EQ(load(), STATUS_SUCCESS);
  platform.log.clear();
  driver.LnkUnload();
  EXPECT_EQ(platform.log, (std::vector<std::string>{"unlink \\DosDevices\\LORAND", "release 1", "delete 1", "unmap 16",
                                                     "release 4", "delete 4"}));
  EXPECT_EQ(driver.node(1), nullptr);
  EXPECT_FALSE(driver.loaded());
}

TEST_F(LorandCore, ConfigurationQueries) {
  configure(0, 0x300);
  platform.dwords["CncType5"] = 4;
  ASSERT_EQ(load(), STATUS_SUCCESS);
  const ControlCase cases[] = {
      {"count, no input", IOCTL_LNK_GET_NODE_COUNT, {}, 4, STATUS_SUCCESS, le32(8)},
      {"count ignores the input", IOCTL_LNK_GET_NODE_COUNT, le32(99), 4, STATUS_SUCCESS, le32(8)},
      {"count, output 3", IOCTL_LNK_GET_NODE_COUNT, {}, 3, STATUS_INVALID_PARAMETER, {}},
      {"ready, node 8", IOCTL_LNK_NODE_READY, le32(8), 4, STATUS_INVALID_PARAMETER, {}},
      {"ready, 3-byte input", IOCTL_LNK_NODE_READY, {0, 0, 0}, 4, STATUS_INVALID_PARAMETER, {}},
      {"ready, output 3", IOCTL_LNK_NODE_READY, le32(0), 3, STATUS_INVALID_PARAMETER, {}},
      {"ready, node 0", IOCTL_LNK_NODE_READY, le32(0), 4, STATUS_SUCCESS, le32(1)},
      {"fixed value, node without device", IOCTL_LNK_GET_FIXED_VALUE, le32(7), 4, STATUS_SUCCESS, le32(2)},
      {"fixed value, node 8", IOCTL_LNK_GET_FIXED_VALUE, le32(8), 4, STATUS_INVALID_PARAMETER, {}},
      {"cnc type of a node without device", IOCTL_LNK_GET_CNC_TYPE, le32(5), 4, STATUS_SUCCESS, le32(4)},
      {"cnc type absent", IOCTL_LNK_GET_CNC_TYPE, le32(6), 4, STATUS_SUCCESS, le32(0)},
      {"cnc type, node 0xFFFFFFFF", IOCTL_LNK_GET_CNC_TYPE, le32(0xFFFFFFFF), 4, STATUS_INVALID_PARAMETER, {}},
      {"port address, larger output", IOCTL_LNK_GET_PORT_ADDRESS, le32(0), 64, STATUS_SUCCESS, le32(0x300)},
      {"unknown code", 0x9C406000, le32(0), 4, STATUS_NOT_IMPLEMENTED, {}},
      {"node ready code with write access", ctl_code(0x801, kFileWriteAccess), le32(0), 4, STATUS_NOT_IMPLEMENTED, {}},
  };
  for (const ControlCase& c : cases) expect_control(c);
  // The type is read at each query.
  platform.dwords["CncType5"] = 1;
  EXPECT_EQ(control(IOCTL_LNK_GET_CNC_TYPE, le32(5), 4).output, le32(1));
}

TEST_F(LorandCore, CreateCloseAndOtherMajorFunctions) {
  configure(0, 0x300);
  ASSERT_EQ(load(), STATUS_SUCCESS);
  for (auto [major, status] : {std::pair{IRP_MJ_CREATE, STATUS_SUCCESS}, {IRP_MJ_CLOSE, STATUS_SUCCESS},
                               {uint8_t(0x05), STATUS_NOT_IMPLEMENTED}, {uint8_t(0x10), STATUS_NOT_IMPLEMENTED}}) {
    LnkRequest r;
    r.major = major;
    r.information = 77;
    driver.Dispatch(r);
    EXPECT_EQ(r.status, status) << int(major);
    EXPECT_EQ(r.information, 0u);
  }
}

TEST_F(LorandCore, NodeNames) {
  configure(0, 0x300);
  ASSERT_EQ(load(), STATUS_SUCCESS);
  auto text = [](std::string s) { std::vector<uint8_t> v(s.begin(), s.end()); v.push_back(0); return v; };
  struct Case {
    const char* what;
    std::optional<std::string> name;
    std::vector<uint8_t> in;
    uint32_t out;
    NTSTATUS status;
    std::vector<uint8_t> output;
  } cases[] = {
      {"19 characters", "ABCDEFGHIJKLMNOPQRS", le32(1), 20, STATUS_SUCCESS, text("ABCDEFGHIJKLMNOPQRS")},
      {"20 characters read as empty", "ABCDEFGHIJKLMNOPQRST", le32(1), 20, STATUS_SUCCESS, {0}},
      {"absent", std::nullopt, le32(1), 20, STATUS_SUCCESS, {0}},
      {"output of 19 bytes", "Mill", le32(1), 19, STATUS_INVALID_PARAMETER, {}},
      {"3-byte input", "Mill", {1, 0, 0}, 20, STATUS_INVALID_PARAMETER, {}},
      {"node 8", "Mill", le32(8), 20, STATUS_INVALID_PARAMETER, {}},
      {"UTF-8 name within 19 bytes", "Fräse 2", le32(1), 20, STATUS_SUCCESS, text("Fräse 2")},
      // 10 characters of 2 bytes each: cut at the last whole character within 19 bytes.
      {"UTF-8 name over 19 bytes", repeat("\xC3\xA4", 10), le32(1), 20, STATUS_SUCCESS, text(repeat("\xC3\xA4", 9))},
      {"19 characters of 3 bytes", repeat("\xE2\x82\xAC", 19), le32(1), 20, STATUS_SUCCESS, text(repeat("\xE2\x82\xAC", 6))},
      {"not UTF-8", "Mill\xFF", le32(1), 20, STATUS_SUCCESS, {0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.name) platform.strings["NodeName1"] = *c.name;
    else platform.strings.erase("NodeName1");
    const Result r = control(IOCTL_LNK_GET_NODE_NAME, c.in, c.out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.information, c.output.size());
    EXPECT_EQ(r.output, c.output);
    EXPECT_LE(r.information, 20u);
  }
}

TEST_F(LorandCore, RegisterRequestsCheckInOrder) {
  configure(0, 0x300);
  ASSERT_EQ(load(), STATUS_SUCCESS);
  FakeBoard& board = platform.board(0, 0x300);
  board.registers[10] = 0x05;
  const ControlCase cases[] = {
      {"read offset 9", IOCTL_LNK_READ_PORT, reg(0, 9), 1, STATUS_SUCCESS, {0x50}},
      {"read offset 10", IOCTL_LNK_READ_PORT, reg(0, 10), 4, STATUS_SUCCESS, {0x05}},
      {"read offset 16", IOCTL_LNK_READ_PORT, reg(0, 16), 1, STATUS_ACCESS_VIOLATION, {}},
      {"read offset 0x100", IOCTL_LNK_READ_PORT, reg(0, 0x100), 1, STATUS_ACCESS_VIOLATION, {}},
      {"read 7-byte input", IOCTL_LNK_READ_PORT, {0, 0, 0, 0, 9, 0, 0}, 1, STATUS_INVALID_PARAMETER, {}},
      {"read no output", IOCTL_LNK_READ_PORT, reg(0, 9), 0, STATUS_INVALID_PARAMETER, {}},
      {"read node 8 before offset", IOCTL_LNK_READ_PORT, reg(8, 16), 1, STATUS_INVALID_PARAMETER, {}},
      {"read no device before offset", IOCTL_LNK_READ_PORT, reg(1, 16), 1, STATUS_NO_SUCH_DEVICE, {}},
      {"write 7-byte input", IOCTL_LNK_WRITE_PORT, {0, 0, 0, 0, 9, 0, 0}, 0, STATUS_INVALID_PARAMETER, {}},
      {"write offset 16", IOCTL_LNK_WRITE_PORT, reg(0, 16, 1), 0, STATUS_ACCESS_VIOLATION, {}},
      {"write node 9", IOCTL_LNK_WRITE_PORT, reg(9, 0, 1), 0, STATUS_INVALID_PARAMETER, {}},
      {"write no device", IOCTL_LNK_WRITE_PORT, reg(2, 0, 1), 0, STATUS_NO_SUCH_DEVICE, {}},
      {"wide read width 3", IOCTL_LNK_READ_PORT_WIDE, wide(0, 0, 3), 4, STATUS_INVALID_PARAMETER, {}},
      {"wide read output below width", IOCTL_LNK_READ_PORT_WIDE, wide(0, 4, 4), 2, STATUS_INVALID_PARAMETER, {}},
      {"wide read misaligned", IOCTL_LNK_READ_PORT_WIDE, wide(0, 2, 4), 4, STATUS_ACCESS_VIOLATION, {}},
      {"wide read past the block", IOCTL_LNK_READ_PORT_WIDE, wide(0, 16, 1), 4, STATUS_ACCESS_VIOLATION, {}},
      {"wide read 8-byte input", IOCTL_LNK_READ_PORT_WIDE, reg(0, 0), 4, STATUS_INVALID_PARAMETER, {}},
      {"wide write node 8", IOCTL_LNK_WRITE_PORT_WIDE, wide(8, 0, 4), 0, STATUS_INVALID_PARAMETER, {}},
      {"wide write misaligned", IOCTL_LNK_WRITE_PORT_WIDE, wide(0, 6, 4), 0, STATUS_ACCESS_VIOLATION, {}},
  };
  for (const ControlCase& c : cases) {
    board.accesses.clear();
    expect_control(c);
    if (c.status != STATUS_SUCCESS) {
      EXPECT_TRUE(board.accesses.empty()) << c.what;
    }
  }
}

TEST_F(LorandCore, RegisterRequestsUseTheRegisterAccessesOfTheBoard) {
  configure(0, 0x300);
  ASSERT_EQ(load(), STATUS_SUCCESS);
  FakeBoard& board = platform.board(0, 0x300);
  board.accesses.clear();
  EXPECT_EQ(control(IOCTL_LNK_WRITE_PORT, reg(0, 10, 0x0A), 0).status, STATUS_SUCCESS);
  EXPECT_EQ(control(IOCTL_LNK_READ_PORT, reg(0, 10), 1).output, std::vector<uint8_t>{0x0A});
  const Result w = control(IOCTL_LNK_WRITE_PORT_WIDE, wide(0, 4, 4, 0x12345678), 0);
  EXPECT_EQ(w.status, STATUS_SUCCESS);
  EXPECT_EQ(w.information, 0u);
  EXPECT_EQ(control(IOCTL_LNK_READ_PORT_WIDE, wide(0, 4, 2), 4).output, (std::vector<uint8_t>{0x78, 0x56}));
  EXPECT_EQ(control(IOCTL_LNK_READ_PORT_WIDE, wide(0, 4, 4), 4).output, (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12}));
  EXPECT_EQ(board.accesses, (std::vector<Access>{{'O', 1, 10, 0x0A}, {'I', 1, 10, 0x0A}, {'o', 4, 4, 0x12345678},
                                                 {'i', 2, 4, 0x5678}, {'i', 4, 4, 0x12345678}}));
}

TEST_F(LorandCore, MemorySpaceNode) {
  configure(2, 0x320);
  platform.memory_space = {2};
  ASSERT_EQ(load(), STATUS_SUCCESS);
  EXPECT_TRUE(driver.node(2)->mapped);
  EXPECT_EQ(platform.log.back(), "read_register 1");  // the status at load
  platform.log.clear();
  EXPECT_EQ(control(IOCTL_LNK_WRITE_PORT, reg(2, 10, 0x0C), 0).status, STATUS_SUCCESS);
  EXPECT_EQ(control(IOCTL_LNK_READ_PORT, reg(2, 10), 1).output, std::vector<uint8_t>{0x0C});
  EXPECT_EQ(platform.log, (std::vector<std::string>{"write_register 1", "read_register 1"}));
  const Result r = read(2, 0x1000, 4);
  EXPECT_EQ(r.status, STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(r.information, 4u);
  EXPECT_EQ(write(2, 0x1000, {1, 2}).status, STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(platform.log.size(), 2u);
  EXPECT_TRUE(platform.boards.empty());
}

// Unit sizes and addresses a transfer is split into.
std::vector<std::pair<unsigned, uint32_t>> units(const std::vector<Access>& accesses) {
  std::vector<std::pair<unsigned, uint32_t>> result;
  uint32_t address = 0;
  for (const Access& a : accesses) {
    if (a.op == 'o' && a.offset == 4) address = a.value;
    if (a.op == 'o' && a.offset == 8) result.push_back({a.value & 7, address});
  }
  return result;
}

TEST_F(LorandCore, TransfersSplitIntoAlignedUnits) {
  configure(0, 0x300);
  ASSERT_EQ(load(), STATUS_SUCCESS);
  FakeBoard& board = platform.board(0, 0x300);
  struct Case {
    uint32_t address, length;
    std::vector<std::pair<unsigned, uint32_t>> units;
  } cases[] = {
      {0x1001, 7, {{1, 0x1001}, {2, 0x1002}, {4, 0x1004}}},
      {0x1002, 6, {{2, 0x1002}, {4, 0x1004}}},
      {0x1000, 3, {{2, 0x1000}, {1, 0x1002}}},
      {0x1002, 1, {{1, 0x1002}}},
      {0x2002, 4, {{2, 0x2002}, {2, 0x2004}}},
      {0x3000, 10, {{4, 0x3000}, {4, 0x3004}, {2, 0x3008}}},
      {0x1003, 2, {{1, 0x1003}, {1, 0x1004}}},
      {0x1001, 2, {{1, 0x1001}, {1, 0x1002}}},
      {0x1003, 12, {{1, 0x1003}, {4, 0x1004}, {4, 0x1008}, {2, 0x100C}, {1, 0x100E}}},
      {0xFFFFFFFE, 4, {{2, 0xFFFFFFFE}, {2, 0x00000000}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.address << " +" << std::dec << c.length);
    for (bool writing : {false, true}) {
      board.accesses.clear();
      const Result r = writing ? write(0, c.address, std::vector<uint8_t>(c.length, 0x11)) : read(0, c.address, c.length);
      EXPECT_EQ(r.status, STATUS_SUCCESS);
      EXPECT_EQ(r.information, c.length);
      EXPECT_EQ(units(board.accesses), c.units);
      for (const Access& a : board.accesses)
        if (a.op == 'o' && a.offset == 8) {
          EXPECT_EQ(bool(a.value & 0x80), !writing);
        }
    }
  }
}

TEST_F(LorandCore, ExactPortSequences) {
  configure(5, 0x2A0);
  ASSERT_EQ(load(), STATUS_SUCCESS);
  FakeBoard& board = platform.board(5, 0x2A0);
  board.memory[0x1001] = 0x5A;
  board.accesses.clear();
  // A 1-byte read at an odd address, with the board busy for two polls before the command.
  board.status_script = {0xD0, 0xD0, 0x50, 0xD0, 0x50};
  Result r = read(5, 0x1001, 1);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.output, std::vector<uint8_t>{0x5A});
  EXPECT_EQ(board.accesses, (std::vector<Access>{{'i', 1, 9, 0xD0}, {'i', 1, 9, 0xD0}, {'i', 1, 9, 0x50},
                                                 {'o', 4, 4, 0x1001}, {'o', 1, 8, 0x81}, {'i', 1, 9, 0xD0},
                                                 {'i', 1, 9, 0x50}, {'i', 1, 0, 0x5A}}));
  // A write unit does not wait for its end; the next unit waits first.
  board.accesses.clear();
  EXPECT_EQ(write(5, 0x2002, {0x34, 0x12, 0x78, 0x56}).status, STATUS_SUCCESS);
  std::vector<Access> expected = write_unit(0x2002, 2, 0x1234);
  for (const Access& a : write_unit(0x2004, 2, 0x5678)) expected.push_back(a);
  EXPECT_EQ(board.accesses, expected);
  // A 10-byte read: two double words and a word, bytes in address order.
  for (uint32_t i = 0; i < 10; ++i) board.memory[0x3000 + i] = uint8_t(0xA0 + i);
  board.accesses.clear();
  r = read(5, 0x3000, 10);
  EXPECT_EQ(r.output, (std::vector<uint8_t>{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9}));
  expected = read_unit(0x3000, 4, 0xA3A2A1A0);
  for (const Access& a : read_unit(0x3004, 4, 0xA7A6A5A4)) expected.push_back(a);
  for (const Access& a : read_unit(0x3008, 2, 0xA9A8)) expected.push_back(a);
  EXPECT_EQ(board.accesses, expected);
}

TEST_F(LorandCore, RefusedAndEmptyTransfersTouchNothing) {
  configure(0, 0x300);
  ASSERT_EQ(load(), STATUS_SUCCESS);
  FakeBoard& board = platform.board(0, 0x300);
  board.accesses.clear();
  struct Case {
    uint32_t node, length;
    NTSTATUS status;
  } cases[] = {{0, 0, STATUS_SUCCESS}, {8, 4, STATUS_INVALID_PARAMETER}, {9, 1, STATUS_INVALID_PARAMETER},
               {0xFFFFFFFF, 2, STATUS_INVALID_PARAMETER}, {1, 3, STATUS_NO_SUCH_DEVICE}, {7, 0, STATUS_NO_SUCH_DEVICE}};
  for (const Case& c : cases) {
    for (bool writing : {false, true}) {
      SCOPED_TRACE(testing::Message() << "node " << c.node << " length " << c.length << (writing ? " write" : " read"));
      const Result r = writing ? write(c.node, 0x1000, std::vector<uint8_t>(c.length)) : read(c.node, 0x1000, c.length);
      EXPECT_EQ(r.status, c.status);
      EXPECT_EQ(r.information, c.length);  // a read or write reports its length, whatever the status
    }
  }
  EXPECT_TRUE(board.accesses.empty());
}

TEST_F(LorandCore, BoardThatStaysBusyTimesOutAndFreesTheNode) {
  configure(0, 0x300);
  ASSERT_EQ(load(), STATUS_SUCCESS);
  driver.set_busy_bound(std::chrono::milliseconds(5));
  FakeBoard& board = platform.board(0, 0x300);
  struct Case {
    bool writing;
    int busy_after;  // the board turns busy for good with this command
    uint32_t information;
  } cases[] = {{false, 0, 0}, {false, 1, 0}, {false, 2, 4}, {false, 3, 8}, {true, 0, 0}, {true, 2, 8}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.writing ? "write" : "read") << " busy after " << c.busy_after);
    for (uint32_t i = 0; i < 12; ++i) board.memory[0x1000 + i] = uint8_t(i + 1);
    board.commands = 0;
    board.busy_after_commands = c.busy_after;
    const auto start = std::chrono::steady_clock::now();
    const Result r = c.writing ? write(0, 0x1000, std::vector<uint8_t>(12, 0x77)) : read(0, 0x1000, 12);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(r.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(r.information, c.information);
    if (!c.writing) {
      for (uint32_t i = 0; i < c.information; ++i) EXPECT_EQ(r.output[i], i + 1);
    }
    // The node's lock is free again and the node works once the board is.
    board.busy_after_commands = -1;
    std::thread other([&] { EXPECT_EQ(read(0, 0x1000, 2).status, STATUS_SUCCESS); });
    other.join();
    const std::vector<uint8_t> written(c.information, 0x77);
    std::vector<uint8_t> expected = written;
    for (uint32_t i = c.information; i < 12; ++i) expected.push_back(uint8_t(i + 1));
    const std::vector<uint8_t> untouched{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    EXPECT_EQ(read(0, 0x1000, 12).output, c.writing ? expected : untouched);
  }
  EXPECT_GT(board.busy_polls_not_recorded, 0u);
}

TEST_F(LorandCore, UnitsOfTwoThreadsNeverInterleave) {
  configure(0, 0x300);
  ASSERT_EQ(load(), STATUS_SUCCESS);
  FakeBoard& board = platform.board(0, 0x300);
  board.accesses.clear();
  auto work = [&](uint32_t address) {
    for (int i = 0; i < 200; ++i) EXPECT_EQ(read(0, address, 8).status, STATUS_SUCCESS);
  };
  // The fake board is not itself thread-safe: the node lock is what keeps the accesses whole.
  std::thread a(work, 0x1000), b(work, 0x2000);
  a.join();
  b.join();
  ASSERT_EQ(board.accesses.size(), 2u * 200 * 2 * 5);
  for (size_t i = 0; i < board.accesses.size(); i += 5) {
    EXPECT_EQ(board.accesses[i].offset, 9u);
    EXPECT_EQ(board.accesses[i + 1].offset, 4u);
    EXPECT_EQ(board.accesses[i + 2].offset, 8u);
    EXPECT_EQ(board.accesses[i + 3].offset, 9u);
    EXPECT_EQ(board.accesses[i + 4].offset, 0u);
  }
}

TEST(LorandCoreNames, BuildsAndAlwaysTerminates) {
  std::array<char, 64> buffer;
  buffer.fill('x');
  EXPECT_EQ(MakeIndexdName(buffer, "IoPortAddress", 7), "IoPortAddress7");
  EXPECT_EQ(buffer[14], 0);
  EXPECT_EQ(buffer[63], 0);
  EXPECT_EQ(MakeIndexdName(buffer, "CncType", 12), "CncType12");
  EXPECT_EQ(buffer[20], 0);  // cleared behind the shorter name
  const std::string long_stem(70, 'S');
  EXPECT_EQ(MakeIndexdName(buffer, long_stem, 3), std::string(63, 'S'));
  EXPECT_EQ(buffer[63], 0);
}

}  // namespace
}  // namespace lorand::test
