#include "cncsim/mdi_program.h"

#include "cncsim/cnc/mailbox.h"

namespace cncsim {
namespace {

// The CNC's shared memory through the host's own view of it.
class HostMemory final : public SharedMemoryAccess {
 public:
  explicit HostMemory(cnc::Host& host) : memory_(host.memory()) {}
  void read(uint32_t offset, std::span<uint8_t> out) override {
    memory_.read(cnc::Memory::shared(offset), out);
  }
  void write(uint32_t offset, std::span<const uint8_t> data) override {
    memory_.write(cnc::Memory::shared(offset), data);
  }

 private:
  cnc::Memory& memory_;
};

}  // namespace

void MdiProgram::start(cnc::Host& host) {
  const std::string name = host.setting_text("MdiWay", "chain");
  auto way = mdi_way_from_name(name);
  if (!way) {
    way_warning_ = "mdi-way-setting " + name + " (not chain, block or mailbox; chain used)\n";
    way = MdiWay::kChain;
  }
  keyboard_ = std::make_unique<MdiKeyboard>(*way);
  // While the boot software serves the mailbox (its console), the system and its MDI keyboard do
  // not run: the key bytes read all keys up, never what an earlier function left in O1.
  host.mailbox().add(MdiKeyboard::kReadKeyByte,
                     [](cnc::Host&, const cnc::Request&, cnc::Reply& reply) { reply.o1 = 0; });
  host.add_command({"key", "key NODE press|release KEY | unread",
                    [this, &host](const std::vector<std::string>& args, std::string& out) {
                      if (args.size() == 1 && args[0] == "unread") {
                        out = keyboard_->keys_unread() ? "yes\n" : "no\n";
                        return true;
                      }
                      if (args.size() != 2 || (args[0] != "press" && args[0] != "release")) {
                        out = "key: say press or release KEY, or type TEXT";
                        return false;
                      }
                      const bool down = args[0] == "press";
                      const auto key = parse_key_name(args[1]);
                      if (!key) {
                        out = "key: not a key: '" + args[1] + "' (KEY_xy or 0 to 255)";
                        return false;
                      }
                      press(host, *key, down);
                      return true;
                    }});
  // The PC's handshake words and the mailbox command wake the host.
  host.watch(cnc::Memory::shared(MdiKeyboard::kSetUp), 4);
  host.watch(cnc::Memory::shared(MdiKeyboard::kMailbox), 2);
}

void MdiProgram::phase_changed(cnc::Host& host, cnc::Phase phase) {
  // A CNC of type 3 keeps its communication area where the MDI interface block would lie, and the
  // keyboard service does not serve it: its keyboard publishes nothing.
  running_ = phase == cnc::Phase::running && host.cnc_type() != 3;
  if (!running_) return;
  HostMemory memory(host);
  keyboard_->start(memory);
}

void MdiProgram::wake(cnc::Host& host) {
  if (!running_) return;
  HostMemory memory(host);
  keyboard_->serve(memory);
}

void MdiProgram::press(cnc::Host& host, unsigned key, bool down) {
  if (down)
    keyboard_->press(key);
  else
    keyboard_->release(key);
  wake(host);
}

std::string MdiProgram::describe() const {
  std::string out = std::string("mdi-way ") + mdi_way_name(keyboard_->way()) + "\n" + way_warning_;
  out += std::string("mdi-handshake ") + (keyboard_->handshake_done() ? "done" : "not yet") + "\n";
  std::string keys;
  for (unsigned k = 0; k < MdiKeyboard::kKeys; ++k)
    if (keyboard_->is_down(k)) keys += " " + std::to_string(k);
  out += "mdi-keys-down" + (keys.empty() ? std::string(" none") : keys) + "\n";
  return out;
}

std::unique_ptr<cnc::Program> make_mdi_program() { return std::make_unique<MdiProgram>(); }

}  // namespace cncsim
