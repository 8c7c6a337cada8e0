#include "cncsim/cnc/host.h"

#include <chrono>
#include <vector>

#include "cncsim/cnc/mailbox.h"

namespace cncsim::cnc {

const char* phase_name(Phase phase) {
  switch (phase) {
    case Phase::off: return "off";
    case Phase::console: return "console";
    case Phase::loading: return "loading";
    case Phase::running: return "running";
  }
  return "?";
}

// ---------------------------------------------------------------------------------------------
// Memory

bool Memory::fill(uint32_t address, uint32_t length, uint8_t value) {
  std::vector<uint8_t> bytes(length, value);
  return write(address, bytes);
}

uint16_t Memory::read16(uint32_t address) {
  uint8_t b[2];
  read(address, b);
  return uint16_t(b[0] | b[1] << 8);
}

uint32_t Memory::read32(uint32_t address) {
  uint8_t b[4];
  read(address, b);
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

void Memory::write16(uint32_t address, uint16_t value) {
  const uint8_t b[2] = {uint8_t(value), uint8_t(value >> 8)};
  write(address, b);
}

void Memory::write32(uint32_t address, uint32_t value) {
  const uint8_t b[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
  write(address, b);
}

// ---------------------------------------------------------------------------------------------
// Host

Host::Host(Node& node, const moxel::ConfigData& config, uint32_t node_number,
           std::filesystem::path state_dir)
    : node_(node),
      memory_(node),
      config_(config),
      node_number_(node_number),
      state_dir_(std::move(state_dir)),
      cnc_type_(config.dword("Parameters", "CncType" + std::to_string(node_number), 0)),
      mailbox_(std::make_unique<Mailbox>(*this)) {}

Host::~Host() { stop(); }

void Host::add_program(std::unique_ptr<Program> program) { programs_.push_back(std::move(program)); }

uint32_t Host::setting(const std::string& stem, uint32_t fallback) const {
  return config_.dword("Simulator", stem + std::to_string(node_number_), fallback);
}

std::string Host::setting_text(const std::string& stem, const std::string& fallback) const {
  return config_.string("Simulator", stem + std::to_string(node_number_), fallback);
}

void Host::start() {
  if (thread_.joinable()) return;
  thread_ = std::thread([this] { loop(); });
  run([this] {
    // The board's and link's own faults, reached by the same command as the software's.
    for (const std::string& name : fault_names()) {
      const Fault fault = *fault_from_name(name);
      const bool value = fault == Fault::kLinkDropAfter;
      add_fault({name,
                 value ? "the link is lost after VALUE more units" : "the board stays busy and takes no command",
                 value, [this, fault](bool on, std::optional<uint32_t> v) { node_.set_fault(fault, on, v.value_or(0)); }});
    }
    mailbox_->start();
    for (auto& p : programs_) p->start(*this);
  });
  node_.attach_software(this);
  if (node_.powered()) run([this] { power_on(); });
}

void Host::stop() {
  node_.attach_software(nullptr);
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool Host::stopping() {
  std::lock_guard lock(mutex_);
  return stop_;
}

void Host::loop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    auto ready = [&] { return stop_ || woken_ || !tasks_.empty(); };
    if (timers_.empty())
      cv_.wait(lock, ready);
    else
      cv_.wait_until(lock, timers_.begin()->first, ready);
    if (stop_) {
      // Whoever waits in run() gets its answer; the programs still exist.
      std::deque<std::function<void()>> left;
      left.swap(tasks_);
      lock.unlock();
      for (auto& task : left) task();
      return;
    }
    std::deque<std::function<void()>> tasks;
    tasks.swap(tasks_);
    const auto now = std::chrono::steady_clock::now();
    while (!timers_.empty() && timers_.begin()->first <= now) {
      tasks.push_back(std::move(timers_.begin()->second));
      timers_.erase(timers_.begin());
    }
    woken_ = false;
    lock.unlock();
    for (auto& task : tasks) task();
    if (phase_ != Phase::off) {
      mailbox_->serve();
      for (auto& p : programs_) p->wake(*this);
    }
    lock.lock();
  }
}

void Host::run(const std::function<void()>& task) {
  if (std::this_thread::get_id() == thread_.get_id()) {
    task();
    return;
  }
  std::mutex done_mutex;
  std::condition_variable done_cv;
  bool done = false;
  {
    std::lock_guard lock(mutex_);
    if (stop_ || !thread_.joinable()) return;
    tasks_.push_back([&] {
      task();
      std::lock_guard l(done_mutex);
      done = true;
      done_cv.notify_all();
    });
  }
  cv_.notify_all();
  std::unique_lock l(done_mutex);
  done_cv.wait(l, [&] { return done; });
}

bool Host::pause_ms(uint32_t ms) {
  if (ms == 0) return !stopping();  // no step time (tests, benchmarks): no wait at all
  std::unique_lock lock(mutex_);
  return !cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stop_; });
}

void Host::after_ms(uint32_t ms, std::function<void()> task) {
  std::lock_guard lock(mutex_);
  timers_.emplace(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms), std::move(task));
  cv_.notify_all();
}

void Host::watched_write() {
  // Under the node's mutex: only wake the thread.
  {
    std::lock_guard lock(mutex_);
    woken_ = true;
  }
  cv_.notify_all();
}

void Host::power_changed(bool on) {
  std::lock_guard lock(mutex_);
  tasks_.push_back([this, on] {
    if (on) {
      power_on();
    } else {
      mailbox_->reset();
      set_phase(Phase::off);
    }
  });
  cv_.notify_all();
}

void Host::power_on() {
  mailbox_->reset();
  std::string error;
  if (!boot(setting_text("BootMode", "console"), &error)) boot("console", &error);
}

void Host::set_phase(Phase phase) {
  phase_ = phase;
  for (auto& p : programs_) p->phase_changed(*this, phase);
}

void Host::add_fault(FaultSpec fault) {
  std::string name = fault.name;
  faults_[name] = std::move(fault);
}

void Host::add_command(CommandSpec command) {
  std::string verb = command.verb;
  commands_[verb] = std::move(command);
}

std::optional<bool> Host::command(const std::string& verb, const std::vector<std::string>& args,
                                  std::string* out) {
  std::optional<bool> result;
  run([&] {
    const auto it = commands_.find(verb);
    if (it != commands_.end()) result = it->second.run(args, *out);
  });
  return result;
}

void Host::add_boot_mode(const std::string& name, std::function<void()> action) {
  boot_modes_[name] = std::move(action);
}

bool Host::set_fault(const std::string& name, bool on, std::optional<uint32_t> value,
                     std::string* error) {
  bool ok = false;
  run([&] {
    auto it = faults_.find(name);
    if (it == faults_.end()) {
      std::string known;
      for (const auto& [n, f] : faults_) known += (known.empty() ? "" : ", ") + n;
      *error = "unknown fault '" + name + "' (known: " + known + ")";
      return;
    }
    if (on && it->second.takes_value && !value) {
      *error = name + " needs a VALUE";
      return;
    }
    if (!it->second.takes_value && value) {
      *error = name + " takes no VALUE";
      return;
    }
    it->second.apply(on, value);
    if (on)
      fault_state_[name] = value ? "on " + std::to_string(*value) : "on";
    else
      fault_state_.erase(name);
    ok = true;
  });
  if (!ok && error->empty()) *error = "the node's software is stopped";
  return ok;
}

std::string Host::fault_list() {
  std::string out;
  run([&] {
    for (const auto& [name, f] : faults_) {
      auto state = fault_state_.find(name);
      out += name + (f.takes_value ? " VALUE" : "") + "  " +
             (state == fault_state_.end() ? "off" : state->second) + "  " + f.help + "\n";
    }
  });
  return out;
}

bool Host::boot(const std::string& mode, std::string* error) {
  bool ok = false;
  run([&] {
    auto it = boot_modes_.find(mode);
    if (it == boot_modes_.end()) {
      std::string known;
      for (const auto& [n, f] : boot_modes_) known += (known.empty() ? "" : ", ") + n;
      *error = "unknown boot mode '" + mode + "' (known: " + known + ")";
      return;
    }
    if (!node_.powered()) {
      *error = "the CNC has no power";
      return;
    }
    mailbox_->reset();
    it->second();
    ok = true;
  });
  if (!ok && error->empty()) *error = "the node's software is stopped";
  return ok;
}

std::string Host::describe() {
  std::string out;
  run([&] {
    out = std::string("phase ") + phase_name(phase_) + "\ncnc-type " + std::to_string(cnc_type_) + "\n";
    out += mailbox_->describe();
    for (const auto& [name, state] : fault_state_) out += "fault " + name + " " + state + "\n";
    for (auto& p : programs_) out += p->describe();
  });
  return out;
}

}  // namespace cncsim::cnc
