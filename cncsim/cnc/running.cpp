#include "cncsim/cnc/running.h"

#include <chrono>
#include <optional>

#include "cncsim/running_system.h"

namespace cncsim::cnc {
namespace {

class RunningProgram final : public Program {
 public:
  const char* name() const override { return "running"; }

  void start(Host& host) override {
    system_ = std::make_unique<RunningSystem>(host.node_device(),
                                              RunningSettings::from_config(host.config(), host.node()));
    for (const auto& [address, length] : system_->watched()) host.watch(address, length);
    for (const RunningFaultInfo& f : running_faults())
      host.add_fault({f.name, f.help, false, [this, fault = f.fault](bool on, std::optional<uint32_t>) {
                        system_->set_fault(fault, on);
                      }});
  }

  void phase_changed(Host& host, Phase phase) override {
    // A type 3 CNC keeps its communication area at shared memory 0, where the first segment would
    // lie, and its PC never runs the state check: nothing is laid out there.
    if (phase == Phase::running && host.cnc_type() != 3) {
      system_->start();
      serve(host);
    } else if (system_->running()) {
      system_->stop();
    }
  }

  void wake(Host& host) override { serve(host); }

  std::string describe() const override {
    if (!system_ || !system_->running()) return "running-system stopped\n";
    const RunningSettings& s = system_->settings();
    return "running-system segments " + std::to_string(s.segments) + "+" +
           std::to_string(s.second_segments) + (s.marker_3531 ? " marker" : "") +
           " delay " + std::to_string(s.handshake_delay_ms) + "ms\n";
  }

 private:
  // Answers what is due and asks the host to wake it when the next answer is.
  void serve(Host& host) {
    const auto now = RunningSystem::Clock::now();
    const std::optional<RunningSystem::Clock::time_point> next = system_->serve(now);
    if (!next || (timer_ && *timer_ <= *next)) return;
    timer_ = next;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*next - now).count();
    host.after_ms(uint32_t(ms), [this] { timer_.reset(); });
  }

  std::unique_ptr<RunningSystem> system_;
  std::optional<RunningSystem::Clock::time_point> timer_;  // a wake-up the host will give
};

}  // namespace

std::unique_ptr<Program> make_running_system() { return std::make_unique<RunningProgram>(); }

}  // namespace cncsim::cnc
