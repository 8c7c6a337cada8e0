// The viewer's access through the memory viewer's variant of the driver client. Every device
// request runs on a thread of its own, and the caller (the GUI thread) waits for it only a short
// while: a daemon that does not answer (stopped, wedged) never freezes the window. A whole page is
// one such request. A request that is not answered in time, or that comes while an earlier one is
// still waiting on the daemon, gives all ones (writes are dropped) and answering() turns false
// until a request is answered again.
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

// The client's calls made on the calling thread; `answers` false stands for a driver that does
// not answer: every read is all ones and nothing is sent.
class DirectAccess final : public NodeAccess {
 public:
  DirectAccess(cnbus::CHexlookCnbusClient& client, bool answers) : client_(client), answers_(answers) {}

  // The node table was read when the client was made: no device request.
  bool available() const override { return client_.IsAvailable() != 0; }
  std::vector<int> present_nodes() const override {
    std::vector<int> nodes;
    const int count = client_.GetNodeCount();
    for (int n = 0; n < count; ++n)
      if (client_.IsNodePresent(n)) nodes.push_back(n);
    return nodes;
  }
  std::string node_name(int node) const override { return client_.GetNodeName(node); }
  uint16_t port_base(int node) const override { return client_.GetPortBase(node); }
  // Without answers the client is not touched at all (its node belongs to the device thread).
  int current_node() const override { return answers_ ? client_.GetCurrentNode() : node_; }
  bool select_node(int node) override {
    if (answers_) return client_.SelectNode(node) != 0;
    if (!client_.IsNodePresent(node)) return false;
    node_ = node;
    return true;
  }

  uint8_t read_register(uint32_t offset) override { return answers_ ? client_.ReadBoardRegister(offset) : 0xFF; }
  // The client tells a failed status read from one that reads all ones.
  bool link_up() override { return answers_ && client_.IsLinkUp() != 0; }
  void read_cells(uint32_t address, uint32_t unit, int count, bool check_slot,
                  uint32_t* values) override {
    if (answers_) client_.ReadCells(address, int(unit), count, check_slot, values);
    else std::fill(values, values + std::max(count, 0), cells_all_ones(unit));
  }
  // Space code 0 and the whole address as offset: this client folds nothing, so the address
  // reaches the driver unchanged.
  void write_unit(uint32_t address, uint32_t unit, uint32_t value) override {
    if (!answers_) return;
    switch (unit) {
      case 1: client_.WriteByte(0, address, uint8_t(value)); break;
      case 2: client_.WriteWord(0, address, uint16_t(value)); break;
      case 4: client_.WriteDword(0, address, value); break;
    }
  }

 private:
  cnbus::CHexlookCnbusClient& client_;
  bool answers_;
  int node_ = 0;
};

using Job = std::function<void(NodeAccess&)>;

// What the access and its device thread share; the thread keeps it alive while it runs a job that
// nobody waits for any more.
struct DeviceThread {
  cnbus::CHexlookCnbusClient client;
  DirectAccess direct{client, true};
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
      mine(direct);
      lock.lock();
      ++finished;
      cv.notify_all();
    }
  }
};

class ClientAccess final : public NodeAccess {
 public:
  ClientAccess() : shared_(std::make_shared<DeviceThread>()), silent_(shared_->client, false) {
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

  bool available() const override { return silent_.available(); }
  std::vector<int> present_nodes() const override { return silent_.present_nodes(); }
  std::string node_name(int node) const override { return silent_.node_name(node); }
  uint16_t port_base(int node) const override { return silent_.port_base(node); }
  int current_node() const override { return current_; }
  bool select_node(int node) override {
    if (!shared_->client.IsNodePresent(node)) return false;
    current_ = node;
    return true;
  }

  uint8_t read_register(uint32_t offset) override {
    auto value = std::make_shared<uint8_t>(0xFF);
    run([value, offset](NodeAccess& a) { *value = a.read_register(offset); });
    return *value;
  }
  bool link_up() override {
    auto up = std::make_shared<bool>(false);
    run([up](NodeAccess& a) { *up = a.link_up(); });
    return *up;
  }
  void read_cells(uint32_t address, uint32_t unit, int count, bool check_slot,
                  uint32_t* values) override {
    if (count <= 0) return;
    auto cells = std::make_shared<std::vector<uint32_t>>(size_t(count), cells_all_ones(unit));
    run([=](NodeAccess& a) { a.read_cells(address, unit, count, check_slot, cells->data()); });
    std::copy(cells->begin(), cells->end(), values);
  }
  void write_unit(uint32_t address, uint32_t unit, uint32_t value) override {
    run([=](NodeAccess& a) { a.write_unit(address, unit, value); });
  }
  // The page's reads in one request to the device thread.
  Page compose(const HexModel& model) override {
    auto page = std::make_shared<Page>();
    if (run([page, model](NodeAccess& a) { *page = read_page(a, model); })) return *page;
    silent_.select_node(current_);
    Page silent = read_page(silent_, model);
    silent.driver_silent = true;
    return silent;
  }
  bool answering() const override { return answering_; }

 private:
  // Runs `job` on the device thread (on the current node) and waits for it at most kGuiWait;
  // false when it did not finish in time or could not start. The job writes only into what it
  // holds itself, so one that finishes late harms nothing.
  bool run(Job job) {
    std::unique_lock lock(shared_->mutex);
    if (shared_->finished < shared_->issued) {
      answering_ = false;  // still waiting on the daemon for an earlier request
      return false;
    }
    shared_->job = [node = current_, job = std::move(job)](NodeAccess& a) {
      a.select_node(node);
      job(a);
    };
    const uint64_t ticket = ++shared_->issued;
    shared_->cv.notify_all();
    answering_ = shared_->cv.wait_for(lock, kGuiWait, [&] { return shared_->finished >= ticket; });
    return answering_;
  }

  std::shared_ptr<DeviceThread> shared_;
  // The table queries on this thread, and the page of a driver that does not answer.
  DirectAccess silent_;
  std::thread thread_;
  int current_ = 0;
  bool answering_ = true;
};

}  // namespace

std::unique_ptr<NodeAccess> make_client_access() { return std::make_unique<ClientAccess>(); }

}  // namespace hexlook
