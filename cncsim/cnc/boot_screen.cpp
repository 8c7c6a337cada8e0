#include "cncsim/cnc/boot_screen.h"

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "cncsim/cnc/boot.h"

namespace cncsim::cnc {
namespace {

constexpr int kLines = 25, kColumns = 80;
constexpr uint32_t kFlagAt = 0x100, kCodeAt = 0x102, kAnswerAt = 0x104, kKeyAt = 0x114;
constexpr uint32_t kLineFlagsAt = 0x200, kScreenAt = 0x1000;
constexpr uint16_t kEnd = 0x8001, kUpdate = 0x8002, kKey = 0x8003, kNoKey = 0xFFFF;
constexpr uint8_t kNormal = 0x07, kIntense = 0x0F, kReverse = 0x70;
constexpr uint32_t kKeyRetryMs = 50;  // between key requests while no key comes

struct Line {
  const char* text;
  uint8_t attribute;
};

const Line kLog[] = {
    {" MOXEL CNC BOOT SYSTEM V01.00                                                   ", kReverse},
    {"", kNormal},
    {"CPU board ............ MAIN   OK", kNormal},
    {"Memory test .......... 4096 KB OK", kNormal},
    {"SRAM check ........... OK", kNormal},
    {"F-ROM check .......... OK", kNormal},
    {"Servo link ........... 3 axes OK", kNormal},
    {"", kNormal},
    {"BOOT MENU", kIntense},
    {"  1  CNC system", kNormal},
    {"  2  CNC system without PLC", kNormal},
    {"  3  Diagnostic system", kNormal},
};
constexpr int kPromptLine = 13;
constexpr const char* kPrompt = "Select (1-3, Enter = 1): ";
const char* const kChoices[] = {"CNC system", "CNC system without PLC", "Diagnostic system"};

class BootScreen final : public Program {
 public:
  const char* name() const override { return "screen"; }

  void start(Host& host) override {
    enabled_ = host.setting("BootScreen", 0) != 0;
    pace_ms_ = host.setting("ScreenPace", 50);
    base_ = Memory::shared(host.area_base());
    host.watch(base_ + kFlagAt, 2);
    host.add_command({"screen", "screen NODE", [this, &host](const std::vector<std::string>&, std::string& out) {
                        out = text(host);
                        return true;
                      }});
  }

  void phase_changed(Host& host, Phase phase) override {
    ++generation_;
    pending_ = nullptr;
    if (!enabled_ || phase != Phase::loading) return;
    std::vector<uint8_t> zero(kLines * kColumns * 2, 0);
    host.memory().write(base_ + kScreenAt, zero);
    host.memory().write(base_ + kLineFlagsAt, std::span(zero).first(kLines));
    host.memory().write16(base_ + kFlagAt, 0);
    choice_ = 0;
    later(host, pace_ms_, [this, &host] { log_line(host, 0); });
  }

  void wake(Host& host) override {
    if (!pending_ || host.memory().read16(base_ + kFlagAt) != 0) return;
    auto next = std::move(pending_);
    pending_ = nullptr;
    next(host.memory().read16(base_ + kAnswerAt), host.memory().read16(base_ + kKeyAt));
  }

  std::string describe() const override {
    return choice_ ? "screen-choice " + std::to_string(choice_) + "\n" : std::string();
  }

 private:
  using Answered = std::function<void(uint16_t answer, uint16_t key)>;

  // Runs `task` after `ms` unless the boot restarted meanwhile.
  void later(Host& host, uint32_t ms, std::function<void()> task) {
    host.after_ms(ms, [this, generation = generation_, task = std::move(task)] {
      if (generation == generation_) task();
    });
  }

  void post(Host& host, uint16_t code, Answered then) {
    pending_ = std::move(then);
    host.memory().write16(base_ + kCodeAt, code);
    host.memory().write16(base_ + kFlagAt, 1);
  }

  void show(Host& host, int line, const std::string& text, uint8_t attribute, std::function<void()> then) {
    uint8_t bytes[kColumns * 2] = {};
    for (size_t i = 0; i < text.size() && i < size_t(kColumns); ++i) {
      bytes[2 * i] = uint8_t(text[i]);
      bytes[2 * i + 1] = attribute;
    }
    host.memory().write(base_ + kScreenAt + uint32_t(line) * sizeof bytes, bytes);
    const uint8_t changed = 1;
    host.memory().write(base_ + kLineFlagsAt + uint32_t(line), std::span(&changed, 1));
    post(host, kUpdate, [then = std::move(then)](uint16_t, uint16_t) { then(); });
  }

  void log_line(Host& host, int line) {
    if (line == int(std::size(kLog))) {
      return show(host, kPromptLine, kPrompt, kIntense, [this, &host] { ask_key(host); });
    }
    show(host, line, kLog[line].text, kLog[line].attribute,
         [this, &host, line] { later(host, pace_ms_, [this, &host, line] { log_line(host, line + 1); }); });
  }

  void ask_key(Host& host) {
    post(host, kKey, [this, &host](uint16_t, uint16_t key) {
      int choice = key == 13 ? 1 : (key >= '1' && key <= '3') ? key - '0' : 0;
      if (choice == 0) {
        later(host, key == kNoKey ? kKeyRetryMs : 0, [this, &host] { ask_key(host); });
        return;
      }
      choice_ = choice;
      show(host, kPromptLine, std::string(kPrompt) + char('0' + choice), kIntense,
           [this, &host] { later(host, pace_ms_, [this, &host] { loading(host); }); });
    });
  }

  void loading(Host& host) {
    show(host, kPromptLine + 2, std::string("Loading ") + kChoices[choice_ - 1] + " ...", kNormal,
         [this, &host] {
           later(host, pace_ms_, [this, &host] {
             show(host, kPromptLine + 3, "System started.", kNormal, [this, &host] {
               post(host, kEnd, [&host](uint16_t, uint16_t) {
                 host.memory().write16(Memory::shared(host.area_base()), kStateRunning);
                 host.set_phase(Phase::running);
               });
             });
           });
         });
  }

  std::string text(Host& host) const {
    std::vector<uint8_t> screen(kLines * kColumns * 2);
    host.memory().read(base_ + kScreenAt, screen);
    std::string out;
    for (int line = 0; line < kLines; ++line) {
      std::string row;
      for (int c = 0; c < kColumns; ++c) {
        const uint8_t ch = screen[(line * kColumns + c) * 2];
        if (ch == 0) break;
        row += (ch >= 0x20 && ch < 0x7F) ? char(ch) : '.';
      }
      out += row.substr(0, row.find_last_not_of(' ') + 1) + "\n";
    }
    return out;
  }

  bool enabled_ = false;
  uint32_t pace_ms_ = 50;
  uint32_t base_ = 0;
  uint64_t generation_ = 0;
  Answered pending_;
  int choice_ = 0;
};

}  // namespace

std::unique_ptr<Program> make_boot_screen() { return std::make_unique<BootScreen>(); }

}  // namespace cncsim::cnc
