#include "cncsim/cnc/memory_card.h"

#include <cstdio>
#include <deque>

#include "cncsim/card.h"
#include "cncsim/card_functions.h"
#include "cncsim/cnc/mailbox.h"
#include "platform/config_store.h"

namespace cncsim::cnc {
namespace {

constexpr size_t kLogLimit = 1000;

// The CNC's shared memory as the card functions address it.
class HostSharedMemory : public SharedMemoryAccess {
 public:
  explicit HostSharedMemory(Memory& memory) : memory_(memory) {}
  uint32_t size() const override { return kSharedSize; }
  bool read(uint32_t offset, std::span<uint8_t> out) override {
    return offset <= kSharedSize && out.size() <= kSharedSize - offset &&
           memory_.read(Memory::shared(offset), out);
  }
  bool write(uint32_t offset, std::span<const uint8_t> data) override {
    return offset <= kSharedSize && data.size() <= kSharedSize - offset &&
           memory_.write(Memory::shared(offset), data);
  }

 private:
  Memory& memory_;
};

class CardProgram final : public Program {
 public:
  const char* name() const override { return "memory card"; }

  void start(Host& host) override {
    std::string warning;
    card_ = std::make_unique<MemoryCard>(host.state_dir(),
                                         CardSettings::from_config(host.config(), host.node()), &warning);
    if (!warning.empty()) std::fprintf(stderr, "cncsim: node %u: %s\n", host.node(), warning.c_str());
    memory_ = std::make_unique<HostSharedMemory>(host.memory());
    for (uint16_t code : {0x301, 0x302, 0x401, 0x402, 0x403, 0x404, 0x405, 0x406, 0x407, 0x408,
                          0x424, 0x425, 0x42B, 0x42C, 0x42D})
      host.mailbox().add(code, [this](Host&, const Request& rq, Reply& rp) { serve(rq, rp); });
    host.add_command({"card", "card NODE insert|remove|ls|log|...",
                      [this](const std::vector<std::string>& args, std::string& out) {
                        return command(args, out);
                      }});
  }

  std::string describe() const override { return card_ ? card_->describe() : std::string(); }

  // `cncsim card NODE WORDS...`: the card's hardware and contents (on the host thread, as the
  // card functions are).
  bool command(const std::vector<std::string>& w, std::string& out) {
    MemoryCard& card = *card_;
    auto refuse = [&](const std::string& why) {
      out = "card: " + why;
      return false;
    };
    if (w.empty()) return refuse("say what to do with the card");
    const std::string& what = w[0];
    if (w.size() == 1) {
      if (what == "insert") card.set_inserted(true);
      else if (what == "remove") card.set_inserted(false);
      else if (what == "unformatted") card.make_unformatted();
      else if (what == "unavailable") card.set_unavailable(true);
      else if (what == "ls") out = card.list();
      else if (what == "status") out = card.describe();
      else if (what == "log") out = log_text();
      else return refuse("unknown card command '" + what + "'");
      return true;
    }
    if (w.size() == 2 && what == "log" && w[1] == "clear") {
      clear_log();
      return true;
    }
    if (w.size() == 2 && what == "capacity") {
      auto bytes = moxel::parse_dword(w[1]);
      if (!bytes) return refuse("bad capacity '" + w[1] + "'");
      card.set_capacity(*bytes);
      return true;
    }
    if (w.size() == 2 && (w[1] == "on" || w[1] == "off")) {
      bool on = w[1] == "on";
      if (what == "battery-alarm") card.set_battery_alarm(on);
      else if (what == "protect") card.set_protect(on);
      else if (what == "flash") card.set_flash(on);
      else if (what == "unavailable") card.set_unavailable(on);
      else return refuse("unknown card switch '" + what + "'");
      return true;
    }
    return refuse("malformed card command");
  }

  std::string log_text() const {
    std::string text;
    for (const std::string& line : log_) text += line + "\n";
    return text;
  }
  void clear_log() { log_.clear(); }

 private:
  void serve(const Request& rq, Reply& rp) {
    CardAnswer a = serve_card_function(*card_, CardCall{rq.function, rq.i1, rq.i2, rq.i3, rq.i4}, *memory_);
    rp.status = a.status;
    rp.error = a.error;
    rp.o1 = a.o1;
    rp.o2 = a.o2;
    rp.o3 = a.o3;
    rp.o4 = a.o4;
    char line[160];
    std::snprintf(line, sizeof line, "%03X i1=%u i2=%u i3=0x%X i4=%u -> status=%u o1=%u o2=%u o3=%u o4=0x%X",
                  unsigned(rq.function), unsigned(rq.i1), unsigned(rq.i2), unsigned(rq.i3), unsigned(rq.i4),
                  unsigned(a.status), unsigned(a.o1), unsigned(a.o2), unsigned(a.o3), unsigned(a.o4));
    if (log_.size() >= kLogLimit) log_.pop_front();
    log_.push_back(line);
  }

  std::unique_ptr<MemoryCard> card_;
  std::unique_ptr<HostSharedMemory> memory_;
  std::deque<std::string> log_;
};

}  // namespace

std::unique_ptr<Program> make_memory_card() { return std::make_unique<CardProgram>(); }

}  // namespace cncsim::cnc
