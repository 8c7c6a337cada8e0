// The viewer's access through the memory viewer's variant of the driver client.
#include "cnbusclient/cnbus_client.h"
#include "hexlook/node_access.h"

namespace hexlook {
namespace {

class ClientAccess final : public NodeAccess {
 public:
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
  int current_node() const override { return client_.GetCurrentNode(); }
  bool select_node(int node) override { return client_.SelectNode(node) != 0; }

  uint8_t read_register(uint32_t offset) override { return client_.ReadBoardRegister(offset); }
  // The client tells a failed status read from one that reads all ones.
  bool link_up() override { return client_.IsLinkUp() != 0; }
  void read_cells(uint32_t address, uint32_t unit, int count, bool check_slot,
                  uint32_t* values) override {
    client_.ReadCells(address, int(unit), count, check_slot, values);
  }
  // Space code 0 and the whole address as offset: this client folds nothing, so the address
  // reaches the driver unchanged.
  void write_unit(uint32_t address, uint32_t unit, uint32_t value) override {
    switch (unit) {
      case 1: client_.WriteByte(0, address, uint8_t(value)); break;
      case 2: client_.WriteWord(0, address, uint16_t(value)); break;
      case 4: client_.WriteDword(0, address, value); break;
    }
  }

 private:
  mutable cnbus::CHexlookCnbusClient client_;
};

}  // namespace

std::unique_ptr<NodeAccess> make_client_access() { return std::make_unique<ClientAccess>(); }

}  // namespace hexlook
