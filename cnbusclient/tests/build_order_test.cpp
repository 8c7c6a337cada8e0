// The node table's build against a scripted device: the exact order of the configuration requests,
// a failure at any of them leaving the table unavailable, and answers a device should not give.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cnbusclient/cnbus_client.h"
#include "cnbusclient/tests/daemon_fixture.h"
#include "driver/core/status.h"
#include "driver/device/wire.h"
#include "platform/paths.h"

namespace cnbus {
namespace {

using testing::EmptyRoot;
using Lines = std::vector<std::string>;

struct Answer {
  lorand::NTSTATUS status = lorand::STATUS_SUCCESS;
  std::vector<uint8_t> output;
};

// Serves the device socket of the current root; answers single requests through `respond` and
// logs each as "<request> <node>" ("count" has no node).
class ScriptedDevice {
 public:
  explicit ScriptedDevice(std::function<Answer(const std::string&, uint32_t)> respond)
      : respond_(std::move(respond)) {
    listener_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = (moxel::run_dir() / "LORAND").string();
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 4) != 0) {
      ADD_FAILURE() << "cannot serve " << path;
      return;
    }
    thread_ = std::thread([this] { serve(); });
  }
  ~ScriptedDevice() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    close(listener_);
  }
  Lines log() {
    std::lock_guard lock(mutex_);
    return log_;
  }

 private:
  static std::string name_of(uint32_t code) {
    static const std::map<uint32_t, std::string> names = {
        {lorand::IOCTL_LNK_GET_NODE_COUNT, "count"}, {lorand::IOCTL_LNK_NODE_READY, "ready"},
        {lorand::IOCTL_LNK_GET_PORT_ADDRESS, "port"}, {lorand::IOCTL_LNK_GET_FIXED_VALUE, "fixed"},
        {lorand::IOCTL_LNK_GET_CNC_TYPE, "type"},     {lorand::IOCTL_LNK_GET_NODE_NAME, "name"},
        {lorand::IOCTL_LNK_READ_PORT_WIDE, "wide-read"},
        {lorand::IOCTL_LNK_WRITE_PORT_WIDE, "wide-write"}};
    auto it = names.find(code);
    return it == names.end() ? "other" : it->second;
  }

  void serve() {
    while (!stop_) {
      pollfd p{listener_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::vector<uint8_t> message(lorand::wire::kMaxMessage);
      while (!stop_) {
        pollfd q{fd, POLLIN, 0};
        if (poll(&q, 1, 20) <= 0) continue;
        const ssize_t n = recv(fd, message.data(), message.size(), 0);
        if (n <= 0) break;
        lorand::wire::Request request;
        std::vector<uint8_t> reply;
        if (uint32_t version; lorand::wire::decode_hello(std::span(message.data(), size_t(n)), &version)) {
          lorand::wire::put32(reply, lorand::STATUS_SUCCESS);
          lorand::wire::put32(reply, lorand::wire::kProtocolVersion);
          lorand::wire::put32(reply, 0);
          send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
          continue;
        }
        if (!lorand::wire::decode_request(std::span(message.data(), size_t(n)), request) ||
            request.batch) {
          ADD_FAILURE() << "unexpected message";
          break;
        }
        const auto& item = request.items.front();
        const std::string name = name_of(item.code);
        uint32_t node = 0;
        std::string entry = name;
        if (item.input.size() >= 4) {
          node = lorand::wire::get32(item.input.data());
          entry += " " + std::to_string(node);
        }
        {
          std::lock_guard lock(mutex_);
          log_.push_back(entry);
        }
        Answer a = respond_(name, node);
        a.output.resize(std::min<size_t>(a.output.size(), item.output_length));
        lorand::wire::put32(reply, a.status);
        lorand::wire::put32(reply, uint32_t(a.output.size()));
        lorand::wire::put32(reply, uint32_t(a.output.size()));
        reply.insert(reply.end(), a.output.begin(), a.output.end());
        send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
      }
      close(fd);
    }
  }

  std::function<Answer(const std::string&, uint32_t)> respond_;
  int listener_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  Lines log_;
};

Answer dword(uint32_t v) { return {lorand::STATUS_SUCCESS, {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}}; }

// A machine with nodes 1 and 4 present; `fail` names the request that fails ("type 4", ...).
Answer machine(const std::string& request, uint32_t node, const std::string& fail,
               uint32_t count = 8) {
  const std::string entry = request == "count" ? request : request + " " + std::to_string(node);
  if (entry == fail) return {lorand::STATUS_INVALID_PARAMETER, {}};
  if (request == "count") return dword(count);
  if (request == "ready") return dword(node == 1 || node == 4);
  if (request == "port") return dword(0x10300 + 0x10 * node);  // only the low 16 bits count
  if (request == "fixed") return dword(2);
  if (request == "type") return dword(node);
  if (request == "wide-read") return dword(0x40);  // link up, not busy
  if (request == "wide-write") return {};
  if (request == "name") {
    std::string name = "Node " + std::to_string(node);
    return {lorand::STATUS_SUCCESS, std::vector<uint8_t>(name.begin(), name.end() + 1)};
  }
  return {lorand::STATUS_NOT_IMPLEMENTED, {}};
}

const Lines kFullBuild = {"count",   "ready 0", "ready 1", "port 1",  "fixed 1", "type 1",
                          "name 1",  "ready 2", "ready 3", "ready 4", "port 4",  "fixed 4",
                          "type 4",  "name 4",  "ready 5", "ready 6", "ready 7"};

TEST(CnbusNodeTableBuild, RequestsInOrder) {
  EmptyRoot root;
  ScriptedDevice device([](const std::string& r, uint32_t n) { return machine(r, n, ""); });
  CHexlookCnbusClient client;
  ASSERT_EQ(client.IsAvailable(), 1);
  EXPECT_EQ(device.log(), kFullBuild);
  EXPECT_EQ(client.GetCurrentNode(), 1);
  EXPECT_EQ(client.GetNodeName(), "Node 1");
  EXPECT_EQ(client.GetNodeName(4), "Node 4");
  EXPECT_EQ(client.GetCncType(), 1);
  EXPECT_EQ(client.GetPortBase(1), 0x0310);
  EXPECT_EQ(client.GetPortBase(4), 0x0340);
  EXPECT_EQ(client.GetNodePosition(4), 1);
}

TEST(CnbusNodeTableBuild, AnyFailedRequestStopsTheBuild) {
  for (const std::string fail : {"count", "ready 0", "ready 2", "port 1", "fixed 4", "type 1",
                                 "name 4", "ready 7"}) {
    SCOPED_TRACE(fail);
    EmptyRoot root;
    ScriptedDevice device([&](const std::string& r, uint32_t n) { return machine(r, n, fail); });
    {
      CCnbusClient client;
      EXPECT_EQ(client.IsAvailable(), 0);
      EXPECT_EQ(client.GetNodeCount(), 0);
      EXPECT_EQ(client.SelectNode(1), 0);
      EXPECT_EQ(client.ShmReadWord(0), 0xFFFF);
    }
    Lines expected;
    for (const auto& line : kFullBuild) {
      expected.push_back(line);
      if (line == fail) break;
    }
    EXPECT_EQ(device.log(), expected);
  }
}

TEST(CnbusNodeTableBuild, NodeCountAnswers) {
  struct Case {
    uint32_t count;
    int available;
    size_t requests;
  };
  // 0: nothing more is asked; 3: nodes 0 to 2 only (node 4 is never seen); 20: still 8 slots.
  for (const Case c : {Case{0, 0, 1}, Case{3, 1, 8}, Case{20, 1, kFullBuild.size()}}) {
    SCOPED_TRACE(c.count);
    EmptyRoot root;
    ScriptedDevice device(
        [&](const std::string& r, uint32_t n) { return machine(r, n, "", c.count); });
    {
      CCnbusClient client;
      EXPECT_EQ(client.IsAvailable(), c.available);
      EXPECT_EQ(client.GetNodeCount(), c.available ? int(std::min<uint32_t>(c.count, 8)) : 0);
      EXPECT_EQ(client.IsNodePresent(4), c.count > 4 ? 1 : 0);
    }
    const Lines log = device.log();
    EXPECT_EQ(log.size(), c.requests);
    EXPECT_TRUE(std::equal(log.begin(), log.end(), kFullBuild.begin()));
  }
}

TEST(CnbusNodeTableBuild, NameWithoutTerminatorIsCut) {
  EmptyRoot root;
  ScriptedDevice device([](const std::string& r, uint32_t n) {
    if (r == "name") return Answer{lorand::STATUS_SUCCESS, std::vector<uint8_t>(20, 'x')};
    return machine(r, n, "");
  });
  CCnbusClient client;
  ASSERT_EQ(client.IsAvailable(), 1);
  EXPECT_EQ(client.GetNodeName(), std::string(19, 'x'));
}

TEST(CnbusNodeTableBuild, DirectPathPicksEachBoardsPortAccess) {
  // Node 1 is an ISA board (the default), node 4 a board only lorandd reaches.
  EmptyRoot root("[Client]\nPath=direct\n[Host]\nBoard4=sim\n");
  ScriptedDevice device([](const std::string& r, uint32_t n) { return machine(r, n, ""); });
  CCnbusClient client;
  ASSERT_EQ(client.IsAvailable(), 1);
  ASSERT_EQ(client.SelectNode(4), 1);
  // The register protocol through the daemon's wide register requests.
  EXPECT_EQ(client.ShmReadByte(0), 0x40);
  Lines expected = kFullBuild;
  for (const char* step : {"wide-read 4", "wide-write 4", "wide-write 4", "wide-read 4",
                           "wide-read 4"})
    expected.push_back(step);
  EXPECT_EQ(device.log(), expected);
  // The ISA board's ports are the processor's own: nothing goes to the device. This kernel (or an
  // unprivileged process) gets no port access, so the unit reads all ones.
  ASSERT_EQ(client.SelectNode(1), 1);
  EXPECT_EQ(client.ShmReadDword(0), 0xFFFFFFFFu);
  EXPECT_EQ(device.log(), expected);
}

}  // namespace
}  // namespace cnbus
