// lorandd end to end: a real daemon with simulated boards in a temporary root, driven through the
// client library, through lorandctl and through a raw socket.
#include <fcntl.h>
#include <poll.h>
#include <grp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "driver/device/device.h"
#include "driver/device/wire.h"
#include "platform/raw_ports.h"
#include "testsupport/test_daemon.h"

namespace lorand::test {
namespace {

using moxel::test::Daemon;
using moxel::test::ProgramResult;

Device open_device(const Daemon& daemon) {
  Device device;
  device.open(daemon.socket_path());
  return device;
}

constexpr uint32_t kShared = 0x20C00000;  // CNC shared memory

const char* kConfig = R"([Parameters]
IoPortAddress0=0x300
IoPortAddress1=0x310
IoPortAddress3=0x330
NodeName0=ABCDEFGHIJKLMNOPQRS
NodeName3=ABCDEFGHIJKLMNOPQRST
CncType1=2
[Simulator]
BusyAtStart1=1
UnitTime0=0
UnitTime3=0
[Host]
Board0=sim
Board1=sim
Board3=sim
)";

class LorandDaemon : public ::testing::Test {
 protected:
  void SetUp() override {
    daemon.configure(kConfig);
    ASSERT_TRUE(daemon.start()) << daemon.log();
  }
  Daemon daemon;
};

TEST_F(LorandDaemon, LorandctlAnswersTheEdgeCases) {
  struct Case {
    std::string args;
    std::string line;  // expected output; a trailing '*' accepts any rest
    int exit_code;
  } cases[] = {
      {"ioctl IOCTL_LNK_GET_NODE_COUNT", "status=0x00000000 information=4 data=08000000", 0},
      {"ioctl 0x9C40600C --out-size 8", "status=0x00000000 information=4 data=08000000", 0},
      {"ioctl IOCTL_LNK_NODE_READY --in 00000000", "status=0x00000000 information=4 data=01000000", 0},
      {"ioctl IOCTL_LNK_NODE_READY --in 02000000", "status=0x00000000 information=4 data=00000000", 0},
      {"ioctl IOCTL_LNK_NODE_READY --in 01000000", "status=0x00000000 information=4 data=00000000", 0},
      {"ioctl IOCTL_LNK_NODE_READY --in 08000000", "status=0xC000000D information=0 data=", 1},
      {"ioctl IOCTL_LNK_NODE_READY --in 000000", "status=0xC000000D information=0 data=", 1},
      {"ioctl IOCTL_LNK_GET_FIXED_VALUE --in 07000000", "status=0x00000000 information=4 data=02000000", 0},
      {"ioctl IOCTL_LNK_GET_PORT_ADDRESS --in 03000000", "status=0x00000000 information=4 data=30030000", 0},
      {"ioctl IOCTL_LNK_GET_CNC_TYPE --in 01000000", "status=0x00000000 information=4 data=02000000", 0},
      {"ioctl IOCTL_LNK_GET_NODE_NAME --in 00000000",
       "status=0x00000000 information=20 data=4142434445464748494a4b4c4d4e4f5051525300", 0},
      {"ioctl IOCTL_LNK_GET_NODE_NAME --in 03000000", "status=0x00000000 information=1 data=00", 0},
      {"ioctl IOCTL_LNK_GET_NODE_NAME --in 00000000 --out-size 19", "status=0xC000000D information=0 data=", 1},
      {"ioctl IOCTL_LNK_READ_PORT --in 0000000009000000", "status=0x00000000 information=1 data=*", 0},
      {"ioctl IOCTL_LNK_READ_PORT --in 0000000010000000", "status=0xC0000005 information=0 data=", 1},
      {"ioctl IOCTL_LNK_READ_PORT --in 0100000009000000", "status=0xC0000184 information=0 data=", 1},
      {"ioctl IOCTL_LNK_READ_PORT --in 0200000009000000", "status=0xC000000E information=0 data=", 1},
      {"ioctl IOCTL_LNK_WRITE_PORT --in 00000000090000", "status=0xC000000D information=0 data=", 1},
      {"ioctl 0x9C406000 --in 00000000", "status=0xC0000002 information=0 data=", 1},
      {"read 8 0x20C00000 4", "status=0xC000000D information=4 data=", 1},
      {"read 9 0x20C00000 1", "status=0xC000000D information=1 data=", 1},
      {"write 9 0x20C00000 01", "status=0xC000000D information=1 data=", 1},
      {"read 2 0x20C00000 4", "status=0xC000000E information=4 data=", 1},
      {"read 1 0x20C00000 4", "status=0xC0000184 information=4 data=", 1},
      {"read 0 0x20C00000 0", "status=0x00000000 information=0 data=", 0},
      {"write 0 0x20C00000 ''", "status=0x00000000 information=0 data=", 0},
      {"write 0 0x20C00101 a1b2c3d4e5", "status=0x00000000 information=5 data=", 0},
      {"read 0 0x20C00100 7", "status=0x00000000 information=7 data=*a1b2c3d4e5*", 0},
      {"ioctl NO_SUCH_IOCTL", "lorandctl: unknown IOCTL 'NO_SUCH_IOCTL'", 2},
      {"read 0 x 4", "lorandctl: NODE and ADDRESS must be numbers", 2},
      {"write 0 0 abc", "lorandctl: HEXBYTES must be bytes in hexadecimal", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const ProgramResult r = daemon.lorandctl(c.args);
    EXPECT_EQ(r.status, c.exit_code);
    ASSERT_FALSE(r.out.empty());
    EXPECT_EQ(r.out.back(), '\n');
    const std::string line = r.out.substr(0, r.out.size() - 1);
    const size_t star = c.line.find('*');
    if (star == std::string::npos) {
      EXPECT_EQ(line, c.line);
    } else {
      EXPECT_EQ(line.substr(0, star), c.line.substr(0, star));
      const std::string inner = c.line.substr(star + 1, c.line.size() - star - 2);
      EXPECT_NE(line.find(inner, star), std::string::npos) << line;
    }
  }
}

// No request answers more than one message holds, so a huge --out-size must not make lorandctl
// take that much memory. The sanitizer's allocation bound turns such an allocation into a crash.
TEST_F(LorandDaemon, LorandctlHugeOutputSizeTakesNoHugeBuffer) {
  std::string asan = "ASAN_OPTIONS=";
  if (const char* old = std::getenv("ASAN_OPTIONS")) asan += std::string(old) + ":";
  asan += "max_allocation_size_mb=64:allocator_may_return_null=0";
  std::vector<std::string> env = daemon.environment();
  env.push_back(asan);
  for (const char* size : {"0xFFFFFFFF", "1000000000"}) {
    SCOPED_TRACE(size);
    const ProgramResult r = moxel::test::run_program(
        {moxel::test::lorandctl_program(), "--device", daemon.socket_path().string(), "ioctl",
         "IOCTL_LNK_GET_NODE_COUNT", "--out-size", size},
        moxel::test::Stderr::merged, env);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "status=0x00000000 information=4 data=08000000\n");
  }
}

TEST(LorandctlDevice, CannotOpenTheDevice) {
  Daemon none;  // never started
  const ProgramResult r = none.lorandctl("ioctl IOCTL_LNK_GET_NODE_COUNT");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find("lorandctl: cannot open"), std::string::npos) << r.out;
}

TEST_F(LorandDaemon, ReadsAndWritesThroughTheLibrary) {
  Device device = open_device(daemon);
  ASSERT_TRUE(device.is_open());
  // Every start alignment and short length: what is written reads back.
  for (uint32_t start = 0; start < 4; ++start) {
    for (uint32_t length = 1; length <= 9; ++length) {
      std::vector<uint8_t> data(length);
      for (uint32_t i = 0; i < length; ++i) data[i] = uint8_t(start * 16 + length + i * 3);
      const uint32_t address = kShared + 0x200 + start;
      IoResult w = device.write(file_position(0, address), data);
      EXPECT_EQ(w.status, STATUS_SUCCESS);
      EXPECT_EQ(w.information, length);
      std::vector<uint8_t> back(length);
      IoResult r = device.read(file_position(0, address), back);
      EXPECT_EQ(r.status, STATUS_SUCCESS);
      EXPECT_EQ(back, data) << start << "+" << length;
    }
  }
  // A transfer longer than a message is carried in pieces and still reads back whole.
  std::vector<uint8_t> big(150001);
  for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i * 7 + (i >> 9));
  IoResult w = device.write(file_position(3, kShared + 1), big);
  EXPECT_EQ(w.status, STATUS_SUCCESS);
  EXPECT_EQ(w.information, big.size());
  std::vector<uint8_t> back(big.size());
  IoResult r = device.read(file_position(3, kShared + 1), back);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, big.size());
  EXPECT_TRUE(back == big);
  // A refused long read reports its whole length, as one request would.
  r = device.read(file_position(9, kShared), back);
  EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(r.information, back.size());
}

TEST_F(LorandDaemon, BatchRunsEveryRequestInOrder) {
  Device device = open_device(daemon);
  ASSERT_TRUE(device.is_open());
  // 40000 one-byte writes then reads: more than one message each way.
  constexpr uint32_t kCount = 40000;
  Batch writes;
  std::vector<uint8_t> values(kCount);
  for (uint32_t i = 0; i < kCount; ++i) {
    values[i] = uint8_t(i ^ (i >> 8));
    writes.write(file_position(0, kShared + 0x10000 + i), std::span<const uint8_t>(&values[i], 1));
  }
  ASSERT_TRUE(device.run(writes));
  Batch reads;
  std::vector<uint8_t> back(kCount, 0);
  std::vector<IoResult> results(kCount);
  for (uint32_t i = 0; i < kCount; ++i)
    reads.read(file_position(0, kShared + 0x10000 + i), std::span<uint8_t>(&back[i], 1), &results[i]);
  ASSERT_TRUE(device.run(reads));
  const auto mismatch = std::mismatch(back.begin(), back.end(), values.begin());
  EXPECT_EQ(mismatch.first, back.end()) << "first difference at " << (mismatch.first - back.begin());
  for (const IoResult& r : results) ASSERT_EQ(r.status, STATUS_SUCCESS);

  // Mixed statuses inside one batch.
  Batch mixed;
  uint8_t node_count[4], status_byte[1], a[2] = {0xEE, 0xEE}, b[2] = {0xEE, 0xEE};
  IoResult r_count, r_bad, r_status, r_a, r_b, r_c;
  const uint8_t status_request[8] = {0, 0, 0, 0, 9, 0, 0, 0};
  mixed.control(IOCTL_LNK_GET_NODE_COUNT, {}, node_count, &r_count);
  mixed.read(file_position(9, 0), std::span<uint8_t>(), &r_bad);
  mixed.read_if(0x00, file_position(0, kShared + 0x10000), a, &r_a);  // predecessor failed
  mixed.control(IOCTL_LNK_READ_PORT, status_request, status_byte, &r_status);
  mixed.read_if(0xFF, file_position(0, kShared + 0x10000), b, &r_b);  // not every bit set
  mixed.read(file_position(0, kShared + 0x10000), std::span<uint8_t>(), &r_c);
  ASSERT_TRUE(device.run(mixed));
  EXPECT_EQ(r_count.status, STATUS_SUCCESS);
  EXPECT_EQ(node_count[0], 8);
  EXPECT_EQ(r_bad.status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(r_a.status, STATUS_CANCELLED);
  EXPECT_EQ(r_a.information, 0u);
  EXPECT_EQ(a[0], 0xEE);
  EXPECT_EQ(r_status.status, STATUS_SUCCESS);
  EXPECT_EQ(r_b.status, STATUS_CANCELLED);
  EXPECT_EQ(b[0], 0xEE);
  EXPECT_EQ(r_c.status, STATUS_SUCCESS);
  EXPECT_EQ(r_c.information, 0u);

  // A conditional read that opens a new message is judged on the answer of the one before it.
  const uint32_t probe = kShared + 0x30000;
  const uint8_t flag = 0x50;
  ASSERT_EQ(device.write(file_position(0, probe), std::span<const uint8_t>(&flag, 1)).status, STATUS_SUCCESS);
  const size_t fill = wire::kMaxMessage - wire::kBatchAnswerHeader - 2 * wire::kAnswerHeader - 1;
  std::vector<uint8_t> filler(fill);
  for (uint8_t mask : {uint8_t(0x40), uint8_t(0x41)}) {
    SCOPED_TRACE(int(mask));
    Batch boundary;
    uint8_t port[1], guarded[1] = {0xEE};
    IoResult r_port, r_fill, r_guarded;
    boundary.control(IOCTL_LNK_READ_PORT, status_request, port, &r_port);
    boundary.read(file_position(0, probe), filler, &r_fill);
    boundary.read_if(mask, file_position(0, kShared + 0x10000), guarded, &r_guarded);
    ASSERT_TRUE(device.run(boundary));
    EXPECT_EQ(r_fill.status, STATUS_SUCCESS);
    EXPECT_EQ(filler[0], 0x50);
    EXPECT_EQ(r_guarded.status, mask == 0x40 ? STATUS_SUCCESS : STATUS_CANCELLED);
    EXPECT_EQ(guarded[0], mask == 0x40 ? values[0] : 0xEE);
  }
}

// A flag read guards the accesses after it, in the same message and in later ones (where the
// client judges the guard's answer before sending them): the idle wait of a mailbox call.
TEST_F(LorandDaemon, ZeroGuardedRequestsFollowTheirGuard) {
  Device device = open_device(daemon);
  ASSERT_TRUE(device.is_open());
  const uint32_t flag_at = kShared + 0x20000, data_at = kShared + 0x20100;
  const uint8_t request[4] = {1, 2, 3, 4};
  const uint8_t status_request[8] = {0, 0, 0, 0, 9, 0, 0, 0};
  // The answers of the flag read (2 bytes), the port read (1) and a filler read of this size
  // leave 6 bytes of a message: not room for another answer.
  const size_t fill = wire::kMaxMessage - wire::kBatchAnswerHeader - 3 * wire::kAnswerHeader - 3 - 6;
  for (const bool far : {false, true}) {
    for (const uint16_t flag : {uint16_t(0), uint16_t(0x0100)}) {
      SCOPED_TRACE(std::string(far ? "guard in an earlier message, " : "one message, ") +
                   "flag " + std::to_string(flag));
      const uint8_t flag_bytes[2] = {uint8_t(flag), uint8_t(flag >> 8)}, clear[4] = {};
      ASSERT_EQ(device.write(file_position(0, flag_at), flag_bytes).status, STATUS_SUCCESS);
      ASSERT_EQ(device.write(file_position(0, data_at), clear).status, STATUS_SUCCESS);
      Batch batch;
      uint8_t seen[2] = {0xEE, 0xEE}, port[1], back[4] = {0xEE, 0xEE, 0xEE, 0xEE};
      std::vector<uint8_t> filler(far ? fill : 1);
      IoResult r_flag, r_write, r_read;
      batch.read_run(file_position(0, flag_at), 2, seen, &r_flag);
      batch.control(IOCTL_LNK_READ_PORT, status_request, port);
      batch.read(file_position(0, kShared), filler);  // pushes what follows into the next message
      batch.write_run(file_position(0, data_at), 4, request, &r_write);
      batch.only_if_zero(0);
      batch.read(file_position(0, data_at), back, &r_read);
      batch.only_if_zero(0);
      ASSERT_TRUE(device.run(batch));
      const bool carried = flag == 0;
      EXPECT_EQ(r_flag.status, STATUS_SUCCESS);
      EXPECT_EQ(r_write.status, carried ? STATUS_SUCCESS : STATUS_CANCELLED);
      EXPECT_EQ(r_read.status, carried ? STATUS_SUCCESS : STATUS_CANCELLED);
      EXPECT_EQ(r_read.information, carried ? 4u : 0u);
      EXPECT_EQ(back[0], carried ? 1 : 0xEE);  // a read not carried out leaves its buffer alone
      uint8_t now[4];
      ASSERT_EQ(device.read(file_position(0, data_at), now).status, STATUS_SUCCESS);
      EXPECT_EQ(now[3], carried ? 4 : 0);
    }
  }
  Batch misuse;
  uint8_t one[1];
  misuse.read(file_position(0, flag_at), one);
  EXPECT_THROW(misuse.only_if_zero(0), std::logic_error);  // a request cannot guard itself
}

// The next message on `fd` within 10 s; empty at the end of the connection or when none came.
std::vector<uint8_t> raw_receive(int fd) {
  std::vector<uint8_t> answer(wire::kMaxMessage);
  pollfd p{fd, POLLIN, 0};
  const ssize_t n = poll(&p, 1, 10000) == 1 ? recv(fd, answer.data(), answer.size(), 0) : -1;
  answer.resize(n > 0 ? size_t(n) : 0);
  return answer;
}

// Sends one raw message and returns the answer.
std::vector<uint8_t> raw_exchange(int fd, const std::vector<uint8_t>& message) {
  EXPECT_EQ(send(fd, message.data(), message.size(), MSG_NOSIGNAL), ssize_t(message.size()));
  return raw_receive(fd);
}

// A raw connection, by default past the hello.
int raw_connect(const std::filesystem::path& path, bool greet = true) {
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path.c_str());
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  if (greet) {
    // A daemon that refuses the connection may close it before the hello is even sent.
    const std::vector<uint8_t> hello = wire::encode_hello();
    if (send(fd, hello.data(), hello.size(), MSG_NOSIGNAL) != ssize_t(hello.size())) {
      close(fd);
      return -1;
    }
    const std::vector<uint8_t> answer = raw_receive(fd);
    if (answer.size() != wire::kAnswerHeader || wire::get32(answer.data()) != STATUS_SUCCESS) {
      close(fd);
      return -1;
    }
  }
  return fd;
}

TEST_F(LorandDaemon, MalformedMessagesGetAnErrorAnswer) {
  const int fd = raw_connect(daemon.socket_path());
  ASSERT_GE(fd, 0);
  auto item = [](uint32_t kind, uint32_t input_length, uint32_t output_length, uint32_t condition = 0,
                 size_t actual_input = 0) {
    std::vector<uint8_t> m;
    wire::put32(m, kind);
    wire::put32(m, IOCTL_LNK_GET_NODE_COUNT);
    wire::put64(m, 0);
    wire::put32(m, input_length);
    wire::put32(m, output_length);
    wire::put32(m, condition);
    m.resize(m.size() + actual_input);
    return m;
  };
  std::vector<uint8_t> batch_zero;
  wire::encode_batch_header(batch_zero, 0);
  std::vector<uint8_t> batch_short;
  wire::encode_batch_header(batch_short, 2);
  auto one = item(wire::kKindControl, 0, 4);
  batch_short.insert(batch_short.end(), one.begin(), one.end());
  struct Case {
    const char* what;
    std::vector<uint8_t> message;
  } cases[] = {
      {"empty", {}},
      {"three bytes", {1, 0, 0}},
      {"unknown kind", item(9, 0, 4)},
      {"input length beyond the message", item(wire::kKindControl, 8, 4, 0, 4)},
      {"input length short of the message", item(wire::kKindControl, 0, 4, 0, 4)},
      {"read with input", item(wire::kKindRead, 2, 2, 0, 2)},
      {"absurd output size", item(wire::kKindControl, 0, 0xFFFFFFFF)},
      {"conditional single request", item(wire::kKindRead, 0, 1, wire::kConditional | 1)},
      {"batch of none", batch_zero},
      {"batch with fewer items than it says", batch_short},
      {"oversized", std::vector<uint8_t>(wire::kMaxMessage + 5000, 1)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<uint8_t> answer = raw_exchange(fd, c.message);
    ASSERT_EQ(answer.size(), wire::kAnswerHeader);
    EXPECT_EQ(wire::get32(answer.data()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(wire::get32(answer.data() + 4), 0u);
    EXPECT_EQ(wire::get32(answer.data() + 8), 0u);
  }
  // The same connection still serves a good request.
  const std::vector<uint8_t> answer = raw_exchange(fd, item(wire::kKindControl, 0, 4));
  ASSERT_EQ(answer.size(), wire::kAnswerHeader + 4);
  EXPECT_EQ(wire::get32(answer.data()), STATUS_SUCCESS);
  EXPECT_EQ(wire::get32(answer.data() + wire::kAnswerHeader), 8u);
  close(fd);
}

TEST_F(LorandDaemon, ClientsThatDieLeaveTheOthersServed) {
  for (int round = 0; round < 3; ++round) {
    const pid_t child = fork();
    if (child == 0) {
      Device device;
      if (!device.open(daemon.socket_path())) _exit(3);
      std::vector<uint8_t> bytes(32768);
      for (;;) {
        Batch batch;
        for (uint32_t i = 0; i < bytes.size(); ++i) batch.read(file_position(0, kShared + i), std::span<uint8_t>(&bytes[i], 1));
        device.run(batch);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100 + 50 * round));
    kill(child, SIGKILL);
    int status;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status));
  }
  // A client that sends and leaves without reading its answer.
  int fd = raw_connect(daemon.socket_path());
  ASSERT_GE(fd, 0);
  std::vector<uint8_t> m;
  wire::encode_batch_header(m, 2000);
  for (int i = 0; i < 2000; ++i) wire::encode_item(m, wire::Item{wire::kKindRead, 0, file_position(0, kShared), 16, 0, {}});
  ASSERT_EQ(send(fd, m.data(), m.size(), MSG_NOSIGNAL), ssize_t(m.size()));
  close(fd);

  Device device = open_device(daemon);
  ASSERT_TRUE(device.is_open());
  uint8_t data[4];
  EXPECT_EQ(device.read(file_position(0, kShared), data).status, STATUS_SUCCESS);
  EXPECT_EQ(daemon.lorandctl("ioctl IOCTL_LNK_GET_NODE_COUNT").status, 0);
  EXPECT_EQ(kill(daemon.pid(), 0), 0);
}

// A board that hangs: the request gives up with STATUS_IO_TIMEOUT, other nodes are served meanwhile,
// and the node works again once the board does.
TEST_F(LorandDaemon, HungBoardTimesOutAndRecovers) {
  auto cncsim = [&](const std::string& args) { return daemon.cncsim(args).status; };
  Device device = open_device(daemon);
  uint8_t data[8] = {};
  ASSERT_EQ(device.write(file_position(0, kShared + 0x100), std::span<const uint8_t>(data, 8)).status, STATUS_SUCCESS);
  ASSERT_EQ(cncsim("fault 0 stuck-busy on"), 0);

  std::atomic<bool> waiting{true};
  std::thread other([&] {
    Device second = open_device(daemon);
    uint8_t byte;
    int served = 0;
    while (waiting) {
      EXPECT_EQ(second.read(file_position(3, kShared), std::span<uint8_t>(&byte, 1)).status, STATUS_SUCCESS);
      ++served;
    }
    EXPECT_GT(served, 0);
  });
  const auto start = std::chrono::steady_clock::now();
  IoResult r = device.read(file_position(0, kShared + 0x100), data);
  const auto took = std::chrono::steady_clock::now() - start;
  waiting = false;
  other.join();
  EXPECT_EQ(r.status, STATUS_IO_TIMEOUT);
  EXPECT_EQ(r.information, 0u);
  EXPECT_GE(took, std::chrono::milliseconds(100));
  EXPECT_LT(took, std::chrono::seconds(5));
  EXPECT_EQ(daemon.lorandctl("read 0 0x20C00100 2").out, "status=0xC00000B5 information=0 data=\n");

  ASSERT_EQ(cncsim("fault 0 stuck-busy off"), 0);
  r = device.read(file_position(0, kShared + 0x100), data);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 8u);
}

TEST_F(LorandDaemon, RefusesConnectionsBeyondItsLimitAndRecovers) {
  // All connections of this test are one user's: lift the per-user limit above the total.
  ASSERT_EQ(daemon.stop(), 0);
  ASSERT_TRUE(daemon.start({"--max-per-user", "1000"})) << daemon.log();
  std::vector<Device> held(512);
  uint8_t out[4];
  for (Device& d : held) {
    d = open_device(daemon);
    ASSERT_TRUE(d.is_open());
  }
  // Each connection has been taken on once it has answered.
  for (Device& d : held) ASSERT_EQ(d.control(IOCTL_LNK_GET_NODE_COUNT, {}, out).status, STATUS_SUCCESS);
  Device extra = open_device(daemon);
  EXPECT_EQ(extra.control(IOCTL_LNK_GET_NODE_COUNT, {}, out).status, STATUS_PIPE_BROKEN);
  held.clear();
  // Closed connections are reaped; a new client is served again.
  IoResult r;
  for (int attempt = 0; attempt < 50; ++attempt) {
    Device again = open_device(daemon);
    r = again.control(IOCTL_LNK_GET_NODE_COUNT, {}, out);
    if (r.status == STATUS_SUCCESS) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_NE(daemon.log().find("512 connections open; refusing more"), std::string::npos);
}

// A stopped daemon (SIGSTOP) fails requests within the bound instead of holding the caller, and
// the same handle is served again once it runs (SIGCONT).
// Waits (at most 10 s) until every thread of `pid` has stopped: kill() returns before they do.
bool stopped(pid_t pid) {
  for (int i = 0; i < 1000; ++i) {
    bool all = true;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
      std::ifstream in(task.path() / "stat");
      std::string line;
      std::getline(in, line);
      const size_t close = line.rfind(')');
      all &= close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'T';
    }
    if (all) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST_F(LorandDaemon, AStoppedDaemonCostsABoundedWaitAndComesBack) {
  Device device = open_device(daemon);
  device.set_answer_bound(std::chrono::milliseconds(500));
  uint8_t byte[1];
  ASSERT_EQ(device.read(file_position(0, kShared), byte).status, STATUS_SUCCESS);
  ASSERT_EQ(kill(daemon.pid(), SIGSTOP), 0);
  ASSERT_TRUE(stopped(daemon.pid()));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(device.read(file_position(0, kShared), byte).status, STATUS_IO_TIMEOUT);
  std::vector<uint8_t> block(32768);
  EXPECT_EQ(device.read_run(file_position(0, kShared), 1, block).status, STATUS_IO_TIMEOUT);
  // A new handle does not get past the hello either.
  Device fresh;
  errno = 0;
  EXPECT_FALSE(fresh.open(daemon.socket_path()));
  EXPECT_EQ(errno, ETIMEDOUT);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  ASSERT_EQ(kill(daemon.pid(), SIGCONT), 0);
  EXPECT_EQ(device.read(file_position(0, kShared), byte).status, STATUS_SUCCESS);
  EXPECT_EQ(device.read_run(file_position(0, kShared), 1, block).status, STATUS_SUCCESS);
  EXPECT_EQ(fresh.read(file_position(0, kShared), byte).status, STATUS_SUCCESS);
}

// A 32 KB run on a hung board fails after one busy bound, not one per unit, with the bytes before
// the stuck unit; another node is served by another handle of the process meanwhile.
TEST_F(LorandDaemon, AHungBoardCostsOneTimeoutPerRun) {
  ASSERT_EQ(daemon.cncsim("fault 0 stuck-busy on").status, 0);
  std::atomic<bool> running{true}, started{false};
  int served = 0;
  std::thread other([&] {
    Device second = open_device(daemon);
    uint8_t byte;
    while (running || served == 0) {
      EXPECT_EQ(second.read(file_position(3, kShared), std::span<uint8_t>(&byte, 1)).status, STATUS_SUCCESS);
      ++served;
      started = true;
    }
  });
  while (!started) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  Device device = open_device(daemon);
  std::vector<uint8_t> block(32768, 0);
  const auto start = std::chrono::steady_clock::now();
  // Two 32 KB runs in one batch, on the same node: the second fails at once.
  Batch batch;
  IoResult first, second;
  batch.read_run(file_position(0, kShared), 1, std::span(block).first(16384), &first);
  batch.read_run(file_position(0, kShared + 16384), 1, std::span(block).last(16384), &second);
  ASSERT_TRUE(device.run(batch));
  const IoResult whole = device.read_run(file_position(0, kShared), 1, block);
  const auto took = std::chrono::steady_clock::now() - start;
  running = false;
  other.join();
  EXPECT_EQ(first.status, STATUS_IO_TIMEOUT);
  EXPECT_EQ(second.status, STATUS_IO_TIMEOUT);
  EXPECT_EQ(whole.status, STATUS_IO_TIMEOUT);
  EXPECT_EQ(whole.information, 0u);
  // Three timeouts of 100 ms; per unit it would be an hour.
  EXPECT_LT(took, std::chrono::seconds(10));
  EXPECT_GT(served, 0);
  ASSERT_EQ(daemon.cncsim("fault 0 stuck-busy off").status, 0);
  EXPECT_EQ(device.read_run(file_position(0, kShared), 1, block).status, STATUS_SUCCESS);
}

TEST_F(LorandDaemon, SigtermEndsTheDaemonDuringAStuckBatch) {
  ASSERT_EQ(daemon.cncsim("fault 0 stuck-busy on").status, 0);
  std::atomic<bool> running{true};
  std::thread client([&] {
    Device device = open_device(daemon);
    std::vector<uint8_t> bytes(16);
    while (running) {
      Batch batch;
      for (int i = 0; i < 2000; ++i) batch.read(file_position(i % 2 ? 3 : 0, kShared), bytes);
      device.run(batch);
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(daemon.stop(SIGTERM), 0);
  const auto took = std::chrono::steady_clock::now() - start;
  running = false;
  client.join();
  // The daemon gives itself 1.8 s at most; the rest is room for a loaded machine.
  EXPECT_LT(took, std::chrono::seconds(4));
}

// A client that sends a long run and dies: the daemon stops the run within a stretch of units
// instead of carrying it out for nobody.
TEST(LorandDaemonLimits, ARunForADeadClientStops) {
  Daemon daemon;
  daemon.configure("[Parameters]\nIoPortAddress0=0x300\n[Simulator]\nUnitTime0=1000000\n[Host]\nBoard0=sim\n");
  ASSERT_TRUE(daemon.start()) << daemon.log();
  auto units_traced = [&] {
    const std::string shown = daemon.cncsim("trace 0 show").out;
    return std::count(shown.begin(), shown.end(), '\n');
  };
  ASSERT_EQ(daemon.cncsim("trace 0 start").status, 0);
  const int fd = raw_connect(daemon.socket_path());
  ASSERT_GE(fd, 0);
  // 30000 units of 1 ms each: half a minute of work.
  std::vector<uint8_t> m;
  wire::encode_batch_header(m, 2);
  wire::encode_item(m, wire::Item{wire::kKindReadRun, 1, file_position(0, kShared), 30000, 0, {}});
  wire::encode_item(m, wire::Item{wire::kKindReadRun, 1, file_position(0, kShared), 30000, 0, {}});
  ASSERT_EQ(send(fd, m.data(), m.size(), MSG_NOSIGNAL), ssize_t(m.size()));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  close(fd);
  // Within a stretch of 256 units (a quarter of a second) the run stops.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const auto before = units_traced();
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  const auto after = units_traced();
  EXPECT_GT(before, 0);
  EXPECT_LT(after - before, 50) << before << " then " << after;
}

TEST(LorandDaemonLimits, IdleConnectionsAreClosedAndHandlesConnectAgain) {
  Daemon daemon;
  daemon.configure(kConfig);
  ASSERT_TRUE(daemon.start({"--idle-timeout", "1"})) << daemon.log();
  const int fd = raw_connect(daemon.socket_path());
  ASSERT_GE(fd, 0);
  Device device = open_device(daemon);
  uint8_t byte[1];
  ASSERT_EQ(device.read(file_position(0, kShared), byte).status, STATUS_SUCCESS);
  // The raw connection sees the end within the bound of raw_receive.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(raw_receive(fd).empty());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(9));
  close(fd);
  // The handle's connection was closed too; its next request is not lost.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(device.read(file_position(0, kShared), byte).status, STATUS_SUCCESS);
}

TEST(LorandDaemonLimits, OneUserCannotTakeEveryConnection) {
  Daemon daemon;
  daemon.configure(kConfig);
  ASSERT_TRUE(daemon.start({"--max-per-user", "3"})) << daemon.log();
  // A connection closed a moment ago (the start-up's readiness probe, or the one just given back)
  // counts until its thread has seen the end: connect again for up to two seconds.
  auto connect_soon = [&] {
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
      fd = raw_connect(daemon.socket_path());
      if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return fd;
  };
  std::vector<int> held;
  for (int i = 0; i < 3; ++i) {
    held.push_back(connect_soon());
    ASSERT_GE(held.back(), 0);
  }
  // The fourth is closed before its hello is answered.
  EXPECT_EQ(raw_connect(daemon.socket_path()), -1);
  EXPECT_NE(daemon.log().find("connections open; refusing more"), std::string::npos);
  close(held.back());
  held.pop_back();
  const int again = connect_soon();
  EXPECT_GE(again, 0);
  close(again);
  for (int fd : held) close(fd);
}

TEST_F(LorandDaemon, AClientOfAnotherVersionIsRefused) {
  struct Case {
    const char* what;
    std::vector<uint8_t> first;
  } cases[] = {
      {"hello of version 1", wire::encode_hello(1)},
      {"a request before any hello", [] {
         std::vector<uint8_t> m;
         wire::encode_item(m, wire::Item{wire::kKindControl, IOCTL_LNK_GET_NODE_COUNT, 0, 4, 0, {}});
         return m;
       }()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int fd = raw_connect(daemon.socket_path(), false);
    ASSERT_GE(fd, 0);
    const std::vector<uint8_t> answer = raw_exchange(fd, c.first);
    ASSERT_EQ(answer.size(), wire::kAnswerHeader);
    EXPECT_EQ(wire::get32(answer.data()), STATUS_REVISION_MISMATCH);
    EXPECT_EQ(wire::get32(answer.data() + 4), wire::kProtocolVersion);
    // Then the connection ends.
    EXPECT_TRUE(raw_receive(fd).empty());
    close(fd);
  }
}

// A listening socket at `path` served by a thread that answers every hello with `answer` and
// counts the messages it got.
class FakeServer {
 public:
  FakeServer(const std::filesystem::path& path, std::vector<uint8_t> answer) : answer_(std::move(answer)) {
    listener_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(listener_, 8), 0);
    thread_ = std::thread([this] {
      while (!stop_) {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        const int fd = accept(listener_, nullptr, nullptr);
        if (fd < 0) continue;
        uint8_t buffer[wire::kMaxMessage];
        pollfd q{fd, POLLIN, 0};
        if (poll(&q, 1, 3000) == 1 && recv(fd, buffer, sizeof buffer, 0) > 0) {
          ++messages;
          send(fd, answer_.data(), answer_.size(), MSG_NOSIGNAL);
        }
        close(fd);
      }
    });
  }
  ~FakeServer() {
    stop_ = true;
    thread_.join();
    close(listener_);
  }
  std::atomic<int> messages{0};

 private:
  std::vector<uint8_t> answer_;
  int listener_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(LorandClient, RefusesADaemonOfAnotherVersion) {
  moxel::test::TempRoot root;
  std::vector<uint8_t> answer;
  wire::put32(answer, STATUS_REVISION_MISMATCH);
  wire::put32(answer, 3);
  wire::put32(answer, 0);
  FakeServer server(root.socket_path(), answer);
  Device device;
  errno = 0;
  EXPECT_FALSE(device.open(root.socket_path()));
  EXPECT_EQ(errno, EPROTO);
  uint8_t out[4];
  EXPECT_EQ(device.control(IOCTL_LNK_GET_NODE_COUNT, {}, out).status, STATUS_REVISION_MISMATCH);
  // Only hellos went out.
  EXPECT_EQ(server.messages, 2);
}

// A socket put where the daemon's belongs by another user: the client sends it nothing.
TEST(LorandClient, RefusesAServerOfAnotherUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  moxel::test::TempRoot root;
  const std::filesystem::path path = root.root() / "impostor";
  int ready[2], report[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(report), 0);
  const pid_t child = fork();
  if (child == 0) {
    // As nobody: listen, take one connection and report how many bytes it sent within 3 s.
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        chown(path.c_str(), 65534, 65534) != 0 || setgid(65534) != 0 || setuid(65534) != 0 ||
        listen(fd, 4) != 0)
      _exit(1);
    [[maybe_unused]] ssize_t w = write(ready[1], "r", 1);
    pollfd p{fd, POLLIN, 0};
    long got = -1;
    if (poll(&p, 1, 10000) == 1) {
      const int c = accept(fd, nullptr, nullptr);
      uint8_t buffer[256];
      pollfd q{c, POLLIN, 0};
      got = poll(&q, 1, 3000) == 1 ? long(recv(c, buffer, sizeof buffer, 0)) : 0;
    }
    w = write(report[1], &got, sizeof got);
    _exit(0);
  }
  char r;
  ASSERT_EQ(read(ready[0], &r, 1), 1);
  Device device;
  errno = 0;
  EXPECT_FALSE(device.open(path));
  EXPECT_EQ(errno, EPERM);
  device.close();  // the peer sees the end at once
  long got = -2;
  EXPECT_EQ(read(report[0], &got, sizeof got), ssize_t(sizeof got));
  EXPECT_EQ(got, 0);  // connected, and sent nothing: the end of the connection
  int status;
  waitpid(child, &status, 0);
  for (int fd : {ready[0], ready[1], report[0], report[1]}) close(fd);
}

TEST_F(LorandDaemon, StopsCleanlyOnSignals) {
  EXPECT_TRUE(std::filesystem::exists(daemon.socket_path()));
  Device held = open_device(daemon);  // an open handle does not keep it from stopping
  EXPECT_EQ(daemon.stop(SIGTERM), 0);
  EXPECT_FALSE(std::filesystem::exists(daemon.socket_path()));
  uint8_t out[4];
  EXPECT_EQ(held.control(IOCTL_LNK_GET_NODE_COUNT, {}, out).status, STATUS_PIPE_BROKEN);
  ASSERT_TRUE(daemon.start()) << daemon.log();
  EXPECT_EQ(daemon.stop(SIGINT), 0);
  EXPECT_FALSE(std::filesystem::exists(daemon.socket_path()));
}

TEST_F(LorandDaemon, AHandleOutlivesARestartOfTheDaemon) {
  Device device = open_device(daemon);
  uint8_t byte[1];
  ASSERT_EQ(device.read(file_position(0, kShared), byte).status, STATUS_SUCCESS);
  ASSERT_EQ(daemon.stop(SIGTERM), 0);
  // While the daemon is away every request fails, and fails at once.
  EXPECT_EQ(device.read(file_position(0, kShared), byte).status, STATUS_PIPE_BROKEN);
  Batch batch;
  IoResult result;
  batch.read(file_position(0, kShared), byte, &result);
  EXPECT_FALSE(device.run(batch));
  EXPECT_EQ(result.status, STATUS_PIPE_BROKEN);
  // Once it serves again, the same handle reaches it without being opened again.
  ASSERT_TRUE(daemon.start()) << daemon.log();
  const uint8_t value[1] = {0x5A};
  EXPECT_EQ(device.write(file_position(0, kShared + 8), value).status, STATUS_SUCCESS);
  EXPECT_EQ(device.read(file_position(0, kShared + 8), byte).status, STATUS_SUCCESS);
  EXPECT_EQ(byte[0], 0x5A);
  EXPECT_TRUE(device.run(batch));
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  // A handle that was closed stays closed.
  device.close();
  EXPECT_EQ(device.read(file_position(0, kShared), byte).status, STATUS_PIPE_BROKEN);
}

TEST(LorandDaemonStart, SocketModeFollowsTheGroupAndTheSetting) {
  const bool group = getgrnam("lorand") != nullptr;
  if (group && geteuid() != 0) GTEST_SKIP() << "group lorand exists: the default mode depends on membership";
  for (auto [setting, mode] : {std::pair{"", group ? 0660 : 0600}, {"SocketMode=0666\n", 0666}}) {
    Daemon d;
    d.configure(std::string("[Parameters]\nIoPortAddress0=0x300\n[Host]\nBoard0=sim\n") + setting);
    ASSERT_TRUE(d.start()) << d.log();
    struct stat st {};
    ASSERT_EQ(stat(d.socket_path().c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, mode_t(mode)) << setting;
  }
}

TEST(LorandDaemonStart, ReadsTheFileNamedByConfig) {
  Daemon d;
  d.configure("");  // the usual file names no node
  const auto other = d.root() / "other.conf";
  std::ofstream(other) << "[Parameters]\nIoPortAddress2=0x320\nNodeName2=Lathe\n[Host]\nBoard2=sim\nStateDir="
                       << (d.root() / "state").string() << "\n";
  ASSERT_TRUE(d.start({"--foreground", "--config", other.string()})) << d.log();
  EXPECT_EQ(d.lorandctl("ioctl IOCTL_LNK_GET_NODE_NAME --in 02000000").out,
            "status=0x00000000 information=6 data=4c6174686500\n");
  // Names are read again at every query, from the same file.
  std::ofstream(other) << "[Parameters]\nIoPortAddress2=0x320\nNodeName2=Mill\n";
  EXPECT_EQ(d.lorandctl("ioctl IOCTL_LNK_GET_NODE_NAME --in 02000000").out,
            "status=0x00000000 information=5 data=4d696c6c00\n");
}

// Where ioperm works (root on real hardware) a real board's node would come up.
bool machine_gives_port_access() {
  moxel::RawPorts& ports = moxel::system_raw_ports();
  if (ports.permit(0x300, 16, true) != 0) return false;
  ports.permit(0x300, 16, false);
  return true;
}

TEST(LorandDaemonStart, FailsClearlyWhenNothingCanBeServed) {
  struct Case {
    const char* what;
    std::string config;
    bool run_is_file;
    const char* message;
  } cases[] = {
      {"no node configured", "[Parameters]\nIoPortAddress0=0\n", false, "status 0xC0000182"},
      {"empty configuration", "", false, "status 0xC0000182"},
      {"real board without port access", "[Parameters]\nIoPortAddress0=0x300\n", false, "status 0xC0000182"},
      {"run folder is a file", "[Parameters]\nIoPortAddress0=0x300\n[Host]\nBoard0=sim\n", true,
       "cannot make the device socket"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (std::string(c.what) == "real board without port access" && machine_gives_port_access()) continue;
    Daemon d;
    d.configure(c.config);
    if (c.run_is_file) {
      std::filesystem::remove_all(d.root() / "run");
      std::ofstream(d.root() / "run") << "not a folder";
    }
    EXPECT_FALSE(d.start());
    EXPECT_EQ(d.exit_code(), 1);
    EXPECT_NE(d.log().find(c.message), std::string::npos) << d.log();
  }
}

TEST(LorandDaemonStart, SkipsNodesWhosePortsOverlapAndRefusesASecondDaemon) {
  Daemon d;
  d.configure("[Parameters]\nIoPortAddress0=0x300\nIoPortAddress1=0x308\nIoPortAddress2=0x310\nIoPortAddress3=0x340\n"
              "[Host]\nBoard0=sim\nBoard1=sim\nBoard2=Sim\nBoard3=simulated\n");
  ASSERT_TRUE(d.start()) << d.log();
  // A misspelt board kind is named; the node is then a real board, which this machine cannot reach.
  EXPECT_NE(d.log().find("[Host] Board3=simulated is neither isa nor sim; using isa"), std::string::npos) << d.log();
  EXPECT_NE(d.log().find("node 3: isa board at 0x340"), std::string::npos) << d.log();
  EXPECT_NE(d.log().find("node 1: simulated board at 0x308 skipped: ports overlap those of node 0"), std::string::npos)
      << d.log();
  EXPECT_EQ(d.lorandctl("ioctl IOCTL_LNK_NODE_READY --in 01000000").out,
            "status=0x00000000 information=4 data=00000000\n");
  EXPECT_EQ(d.lorandctl("ioctl IOCTL_LNK_NODE_READY --in 02000000").out,
            "status=0x00000000 information=4 data=01000000\n");

  // A second daemon on the same run folder must not take the socket away.
  const ProgramResult second = moxel::test::run_program({moxel::test::lorandd_program()},
                                                        moxel::test::Stderr::merged, d.environment());
  EXPECT_EQ(second.status, 1) << second.out;
  EXPECT_EQ(d.lorandctl("ioctl IOCTL_LNK_GET_NODE_COUNT").status, 0);
}

// Every value that cannot be used is named in the log with its node and key; lines the old reader
// took as continuations (indented ones) and long lines are read as lines of their own.
TEST(LorandDaemonStart, LogsEveryUnusableValueWithItsNodeAndKey) {
  Daemon d;
  d.configure("[Parameters]\n"
              "IoPortAddress0=abc\n"
              "NodeName2=Lathe\n"
              "   IoPortAddress2=0x320\n"
              "; " + std::string(400, '-') + "\n"
              "IoPortAddress3=-16\n"
              "IoPortAddress4=0x\n"
              "IoPortAddress5=768abc\n"
              "IoPortAddress6=0x360\n"
              "CncType6=notanumber\n"
              "NodeName6=ABCDEFGHIJKLMNOPQRST\n"
              "[Host]\n"
              "\tBoard2=sim\n"
              "Board6=sim\n"
              "SocketMode=7777\n"
              "[Simulator]\n"
              "UnitTime2=fast\n");
  ASSERT_TRUE(d.start()) << d.log();
  const std::string log = d.log();
  for (const char* line : {
           "node 0: [Parameters] IoPortAddress0=abc is not a number",
           "node 3: [Parameters] IoPortAddress3=-16 is not a number",
           "node 4: [Parameters] IoPortAddress4=0x is not a number",
           "node 5: [Parameters] IoPortAddress5=768abc is not a number",
           "node 6: [Parameters] CncType6=notanumber is not a number (decimal or 0x-hex); the CNC type reads as 0",
           "node 6: [Parameters] NodeName6=ABCDEFGHIJKLMNOPQRST is longer than 19 characters",
           "node 2: [Simulator] UnitTime2=fast is not a number",
           "[Host] SocketMode=7777 is not an octal mode from 0 to 0777",
           "node 2: simulated board at 0x320",
           "node 6: simulated board at 0x360",
       })
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  struct stat st {};
  ASSERT_EQ(stat(d.socket_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07000, 0u) << "no set-id or sticky bits on the socket";
  EXPECT_EQ(d.lorandctl("ioctl IOCTL_LNK_GET_NODE_NAME --in 02000000").out,
            "status=0x00000000 information=6 data=4c6174686500\n");
  EXPECT_EQ(d.lorandctl("ioctl IOCTL_LNK_GET_CNC_TYPE --in 06000000").out,
            "status=0x00000000 information=4 data=00000000\n");
}

// Runs `body` in a child process as user and group `id`; returns what it returns (99: could not
// become that user).
int as_user(uid_t id, const std::function<int()>& body) {
  const pid_t child = fork();
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setresgid(id, id, id) != 0 || setresuid(id, id, id) != 0) _exit(99);
    _exit(body());
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

int listen_at(const std::filesystem::path& path, int type) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  const int fd = socket(AF_UNIX, type, 0);
  if (fd < 0) return -1;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || listen(fd, 4) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// An ordinary user who got at the run folder first (it was left open to all by an older unit file)
// keeps lorandd from nothing: its listener at LORAND and its plain file at cncsim are removed, the
// folder is closed, and from then on that user can neither bind a socket there nor replace ours.
TEST(LorandDaemonStart, AnOrdinaryUserCannotTakeTheSocketsAway) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to play an ordinary user";
  constexpr uid_t kUser = 64125;
  Daemon d;
  d.configure("[Parameters]\nIoPortAddress0=0x300\n[Host]\nBoard0=sim\n");
  const auto run = d.socket_path().parent_path();
  ASSERT_EQ(chmod(d.root().c_str(), 0755), 0);
  ASSERT_EQ(chmod(run.c_str(), 01777), 0);

  // The impostor: a listener at LORAND, held by a child running as the ordinary user.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t impostor = fork();
  if (impostor == 0) {
    if (setgroups(0, nullptr) != 0 || setresgid(kUser, kUser, kUser) != 0 || setresuid(kUser, kUser, kUser) != 0)
      _exit(99);
    const int fd = listen_at(d.socket_path(), SOCK_SEQPACKET);
    std::ofstream(d.control_socket_path()) << "squatting";
    (void)!write(ready[1], fd >= 0 ? "y" : "n", 1);
    pause();
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  close(ready[0]);
  close(ready[1]);
  ASSERT_EQ(c, 'y');

  const bool started = d.start();
  EXPECT_TRUE(started) << d.log();
  struct stat st {};
  ASSERT_EQ(stat(run.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  ASSERT_EQ(lstat(d.socket_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u) << "the socket is lorandd's now";
  ASSERT_EQ(lstat(d.control_socket_path().c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode)) << "the simulator's control socket replaced the plain file";
  if (started) {
    EXPECT_EQ(d.lorandctl("ioctl IOCTL_LNK_GET_NODE_COUNT").status, 0);
    EXPECT_EQ(d.cncsim("status 0").status, 0);
  }

  const auto own = run / "mine";
  EXPECT_EQ(as_user(kUser, [&] {
              if (listen_at(own, SOCK_SEQPACKET) >= 0) return 1;  // may not bind in the run folder
              if (unlink(d.socket_path().c_str()) == 0) return 2;  // nor remove the socket
              if (rename(d.control_socket_path().c_str(), (run / "moved").c_str()) == 0) return 3;
              return 0;
            }), 0);
  kill(impostor, SIGKILL);
  waitpid(impostor, nullptr, 0);
}

}  // namespace
}  // namespace lorand::test
