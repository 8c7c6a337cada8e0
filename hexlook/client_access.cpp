// The viewer's access through the memory viewer's variant of the driver client. Every device
// request runs on a thread of its own, and the caller (the GUI thread) waits for it only a short
// while: a daemon that does not answer (stopped, wedged) never freezes the window. A call that is
// not answered in time, or that comes while an earlier one is still waiting on the daemon, gives
// all ones (writes are dropped) and answering() turns false until a request is answered again.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "cnbusclient/cnbus_client.h"
#include "hexlook/node_access.h"

namespace hexlook {
namespace {

// Longest wait of the GUI thread for one request. A page is a few milliseconds even on a loaded
// machine, and a hung board costs the driver's bound of 100 ms.
constexpr std::chrono::milliseconds kGuiWait{300};

using Job = std::function<void(cnbus::CHexlookCnbusClient&)>;

// What the access and its device thread share; the thread keeps it alive while it runs a job that
// nobody waits for any more.
struct DeviceThread {
  cnbus::CHexlookCnbusClient client;
  std::mutex mutex;
  std::condition_variable cv;
  Job job;
  uint64_t issued = 0, finished = 0;
  bool quit = false;

  void loop() {
    std::unique_lock lock(mutex);
    for (;;) {
      cv.wait(lock, [&] { return quit || finished < issued; });
      if (finished == issued) return;  // quit, with nothing left to do
      Job mine = std::move(job);
      job = nullptr;
      lock.unlock();
      mine(client);
      lock.lock();
      ++finished;
      cv.notify_all();
    }
  }
};

class ClientAccess final : public NodeAccess {
 public:
  ClientAccess() : shared_(std::make_shared<DeviceThread>()) {
    current_ = shared_->client.GetCurrentNode();
    thread_ = std::thread([shared = shared_] { shared->loop(); });
  }
  ~ClientAccess() override {
    bool busy;
    {
      std::lock_guard lock(shared_->mutex);
      shared_->quit = true;
      busy = shared_->finished < shared_->issued;
    }
    shared_->cv.notify_all();
    // A thread still waiting on the daemon ends by itself within the client's bound; the window
    // does not wait for it.
    if (busy) thread_.detach();
    else thread_.join();
  }

  // The node table was read when the client was made: no device request.
  bool available() const override { return client().IsAvailable() != 0; }
  std::vector<int> present_nodes() const override {
    std::vector<int> nodes;
    const int count = client().GetNodeCount();
    for (int n = 0; n < count; ++n)
      if (client().IsNodePresent(n)) nodes.push_back(n);
    return nodes;
  }
  std::string node_name(int node) const override { return client().GetNodeName(node); }
  uint16_t port_base(int node) const override { return client().GetPortBase(node); }
  int current_node() const override { return current_; }
  bool select_node(int node) override {
    if (!client().IsNodePresent(node)) return false;
    current_ = node;
    return true;
  }

  uint8_t read_register(uint32_t offset) override {
    auto value = std::make_shared<uint8_t>(0xFF);
    run([value, offset](cnbus::CHexlookCnbusClient& c) { *value = c.ReadBoardRegister(offset); });
    return *value;
  }
  // The client tells a failed status read from one that reads all ones.
  bool link_up() override {
    auto up = std::make_shared<bool>(false);
    run([up](cnbus::CHexlookCnbusClient& c) { *up = c.IsLinkUp() != 0; });
    return *up;
  }
  void read_cells(uint32_t address, uint32_t unit, int count, bool check_slot,
                  uint32_t* values) override {
    if (count <= 0) return;
    auto cells = std::make_shared<std::vector<uint32_t>>(size_t(count), cells_all_ones(unit));
    run([=](cnbus::CHexlookCnbusClient& c) { c.ReadCells(address, int(unit), count, check_slot, cells->data()); });
    std::copy(cells->begin(), cells->end(), values);
  }
  // Space code 0 and the whole address as offset: this client folds nothing, so the address
  // reaches the driver unchanged.
  void write_unit(uint32_t address, uint32_t unit, uint32_t value) override {
    run([=](cnbus::CHexlookCnbusClient& c) {
      switch (unit) {
        case 1: c.WriteByte(0, address, uint8_t(value)); break;
        case 2: c.WriteWord(0, address, uint16_t(value)); break;
        case 4: c.WriteDword(0, address, value); break;
      }
    });
  }
  bool answering() const override { return answering_; }

 private:
  const cnbus::CHexlookCnbusClient& client() const { return shared_->client; }

  // Runs `job` on the device thread (on the current node) and waits for it at most kGuiWait.
  // The job writes only into what it holds itself, so one that finishes late harms nothing.
  void run(Job job) {
    std::unique_lock lock(shared_->mutex);
    if (shared_->finished < shared_->issued) {
      answering_ = false;  // still waiting on the daemon for an earlier request
      return;
    }
    shared_->job = [node = current_, job = std::move(job)](cnbus::CHexlookCnbusClient& c) {
      c.SelectNode(node);
      job(c);
    };
    const uint64_t ticket = ++shared_->issued;
    shared_->cv.notify_all();
    answering_ = shared_->cv.wait_for(lock, kGuiWait, [&] { return shared_->finished >= ticket; });
  }

  std::shared_ptr<DeviceThread> shared_;
  std::thread thread_;
  int current_ = 0;
  bool answering_ = true;
};

}  // namespace

std::unique_ptr<NodeAccess> make_client_access() { return std::make_unique<ClientAccess>(); }

}  // namespace hexlook
