#include "cncsim/cnc/param_service.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace cncsim {

namespace {

uint16_t get16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
void put16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}

constexpr const char* kFileName = "param.txt";

bool bit_kind(int16_t type) { return (type & 3) == 0; }

}  // namespace

std::optional<uint8_t> ParamService::parse_paths(const std::string& text) {
  uint8_t mask = 0;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    if (item.size() != 1 || item[0] < '1' || item[0] > '5') return std::nullopt;
    mask |= uint8_t(1u << (item[0] - '1'));
  }
  if (mask == 0) return std::nullopt;
  return mask;
}

ParamService::ParamService(const std::filesystem::path& dir, const ParamSettings& settings)
    : settings_(settings), current_path_(settings.current_path) {
  if (!dir.empty()) file_ = dir / kFileName;
  std::lock_guard lock(mutex_);
  load_locked();
}

void ParamService::load_locked() {
  // The option parameters of a new CNC: bit parameters from 9900, word parameters from 9940, and
  // some above the option range, as a real CNC has.
  for (int16_t n = 9900; n <= 9999; ++n) params_[n] = Param{int16_t(n < 9940 ? 0 : 2), 0};
  if (file_.empty()) return;
  std::ifstream in(file_);
  if (!in) {
    store_locked();
    return;
  }
  std::map<int16_t, Param> loaded;
  long number, type, value;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    if (fields >> number >> type >> value && number >= 0 && number <= 32767 && type >= 0 &&
        type <= 3 && value >= -32768 && value <= 32767)
      loaded[int16_t(number)] = Param{int16_t(type), int16_t(value)};
  }
  if (!loaded.empty()) params_ = std::move(loaded);
}

bool ParamService::store_locked() {
  if (file_.empty()) return true;
  std::string text;
  for (const auto& [number, p] : params_)
    text += std::to_string(number) + " " + std::to_string(p.type) + " " +
            std::to_string(p.value) + "\n";
  const std::filesystem::path temp = file_.string() + ".tmp";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) break;
    done += size_t(n);
  }
  const bool ok = done == text.size() && ::fsync(fd) == 0;
  ::close(fd);
  if (!ok || std::rename(temp.c_str(), file_.c_str()) != 0) {
    std::filesystem::remove(temp);
    return false;
  }
  return true;
}

void ParamService::power_on() {
  std::lock_guard lock(mutex_);
  current_path_ = settings_.current_path;
}

bool ParamService::serve(std::span<uint8_t> block) {
  if (block.size() < kParamBlockSize || get16(block.data() + kParamFlagOffset) != kParamFlagPosted)
    return false;
  uint8_t* b = block.data();
  put16(b + kParamFlagOffset, kParamFlagWorking);
  int16_t args[4];
  for (int i = 0; i < 4; ++i) args[i] = int16_t(get16(b + kParamArgsOffset + 2 * i));
  const int16_t status = call(get16(b + kParamFunctionOffset), args,
                              block.subspan(kParamDataOffset, kParamDataSize));
  for (int i = 0; i < 4; ++i) put16(b + kParamArgsOffset + 2 * i, uint16_t(args[i]));
  put16(b + kParamStatusOffset, uint16_t(status));
  put16(b + kParamFlagOffset, kParamFlagIdle);
  return true;
}

int16_t ParamService::call(uint16_t function, int16_t* args, std::span<uint8_t> data) {
  std::lock_guard lock(mutex_);
  const auto fault = [this](Fault f) { return faults_[int(f)]; };
  switch (function) {
    case kParamOpen:
      return fault(Fault::handle_refused) ? kParamRefused : kParamOk;
    case kParamClose:
      return kParamOk;
    case kParamGetPath:
      args[0] = current_path_;
      args[1] = int16_t(__builtin_popcount(settings_.paths));
      return kParamOk;
    case kParamSetPath:
      if (args[0] < 1 || args[0] > 5 || !(settings_.paths & (1u << (args[0] - 1))))
        return kParamNoPath;
      current_path_ = uint8_t(args[0]);
      return kParamOk;
    case kParamInfo: {
      const int16_t first = args[0];
      const int max = std::min<int>(args[1], int(data.size() - 6) / 4);
      if (max < 0) return kParamBadLength;
      int count = 0;
      if (!fault(Fault::list_empty))
        for (auto it = params_.lower_bound(first); it != params_.end() && count < max; ++it) {
          put16(data.data() + 6 + 4 * count, uint16_t(it->first));
          put16(data.data() + 8 + 4 * count, uint16_t(it->second.type));
          ++count;
        }
      put16(data.data(), uint16_t(count));
      put16(data.data() + 2, uint16_t(first));
      put16(data.data() + 4, uint16_t(params_.empty() ? 0 : params_.rbegin()->first));
      return kParamOk;
    }
    case kParamRead: {
      if (fault(Fault::read_error)) return kParamRefused;
      const auto it = params_.find(args[0]);
      if (it == params_.end()) return kParamNoNumber;
      args[1] = it->second.type;
      put16(data.data(), uint16_t(it->second.value));
      return kParamOk;
    }
    case kParamWrite: {
      const auto it = params_.find(args[0]);
      if (it == params_.end()) return kParamNoNumber;
      if (args[1] != (bit_kind(it->second.type) ? 5 : 6)) return kParamBadLength;
      if (fault(Fault::write_refused)) return kParamProtected;
      const int16_t value =
          bit_kind(it->second.type) ? int16_t(data[0]) : int16_t(get16(data.data()));
      const Param old = it->second;
      it->second.value = value;
      if (!store_locked()) {
        it->second = old;
        return kParamRefused;
      }
      return kParamOk;
    }
    default:
      return kParamRefused;
  }
}

std::optional<ParamService::Param> ParamService::get(int16_t number) {
  std::lock_guard lock(mutex_);
  const auto it = params_.find(number);
  if (it == params_.end()) return std::nullopt;
  return it->second;
}

bool ParamService::set(int16_t number, int16_t value) {
  std::lock_guard lock(mutex_);
  const auto it = params_.find(number);
  if (it == params_.end()) return false;
  if (bit_kind(it->second.type) && (value < 0 || value > 255)) return false;
  const Param old = it->second;
  it->second.value = value;
  if (!store_locked()) {
    it->second = old;
    return false;
  }
  return true;
}

void ParamService::set_fault(Fault fault, bool on) {
  std::lock_guard lock(mutex_);
  faults_[int(fault)] = on;
}

uint8_t ParamService::current_path() {
  std::lock_guard lock(mutex_);
  return current_path_;
}

namespace cnc {
namespace {

class OptionParams final : public Program {
 public:
  const char* name() const override { return "option-parameters"; }

  void start(Host& host) override {
    ParamSettings settings;
    settings.paths = ParamService::parse_paths(host.setting_text("Paths", "1")).value_or(0x01);
    const uint32_t first = uint32_t(__builtin_ctz(settings.paths)) + 1;
    const uint32_t current = host.setting("CurrentPath", first);
    settings.current_path =
        uint8_t(current >= 1 && current <= 5 && (settings.paths >> (current - 1)) & 1 ? current
                                                                                     : first);
    service_ = std::make_unique<ParamService>(host.state_dir(), settings);
    host.watch(kParamBlockAddress + kParamFlagOffset, 2);

    const struct {
      const char* name;
      const char* help;
      ParamService::Fault fault;
    } faults[] = {
        {"param-handle-refused", "the parameter service refuses to open handles",
         ParamService::Fault::handle_refused},
        {"param-read-error", "every parameter read fails", ParamService::Fault::read_error},
        {"param-list-empty", "the parameter information lists no parameter",
         ParamService::Fault::list_empty},
        {"param-write-refused", "parameter writes are refused (write protection)",
         ParamService::Fault::write_refused},
    };
    for (const auto& f : faults)
      host.add_fault({f.name, f.help, false,
                      [this, fault = f.fault](bool on, std::optional<uint32_t>) {
                        service_->set_fault(fault, on);
                      }});
    host.add_command({"param", "param NODE get|set NUMBER [VALUE]",
                      [this](const std::vector<std::string>& args, std::string& out) {
                        return command(args, out);
                      }});
  }

  void phase_changed(Host& host, Phase phase) override {
    // The service belongs to the CNC's system: it answers only while the system runs.
    uint8_t signature[2] = {0, 0};
    if (phase == Phase::running) {
      service_->power_on();
      put16(signature, kParamSignature);
    }
    host.memory().write(kParamBlockAddress, signature);
  }

  void wake(Host& host) override {
    if (host.phase() != Phase::running) return;
    std::vector<uint8_t> block(kParamBlockSize);
    if (!host.memory().read(kParamBlockAddress, block) ||
        get16(block.data() + kParamFlagOffset) != kParamFlagPosted)
      return;
    const uint8_t working[2] = {kParamFlagWorking, 0};
    host.memory().write(kParamBlockAddress + kParamFlagOffset, working);
    service_->serve(block);
    // The answer is in place before the flag says so.
    host.memory().write(kParamBlockAddress + kParamFunctionOffset,
                        std::span(block).subspan(kParamFunctionOffset));
    host.memory().write(kParamBlockAddress + kParamFlagOffset,
                        std::span(block).subspan(kParamFlagOffset, 2));
  }

  std::string describe() const override {
    return "option-path " + std::to_string(service_->current_path()) + "\n";
  }

 private:
  bool command(const std::vector<std::string>& args, std::string& out) {
    const auto number = args.size() >= 2 ? moxel::parse_dword(args[1]) : std::nullopt;
    if (args.empty() || !number || *number > 32767 ||
        !((args[0] == "get" && args.size() == 2) || (args[0] == "set" && args.size() == 3))) {
      out = "param: say get NUMBER or set NUMBER VALUE";
      return false;
    }
    const int16_t n = int16_t(*number);
    if (args[0] == "set") {
      char* end = nullptr;
      const long value = std::strtol(args[2].c_str(), &end, 0);
      if (args[2].empty() || *end || value < -32768 || value > 32767 || !service_->set(n, int16_t(value))) {
        out = "param: cannot set " + args[1] + " to " + args[2];
        return false;
      }
    }
    const auto p = service_->get(n);
    if (!p) {
      out = "param: no parameter " + args[1];
      return false;
    }
    std::string value = std::to_string(p->value);
    if ((p->type & 3) == 0) {
      value.clear();
      for (int bit = 7; bit >= 0; --bit) value += (p->value >> bit) & 1 ? '1' : '0';
    }
    out = std::to_string(n) + " " + ((p->type & 3) == 0 ? "bit " : "word ") + value;
    return true;
  }

  std::unique_ptr<ParamService> service_;
};

}  // namespace

std::unique_ptr<Program> make_option_params() { return std::make_unique<OptionParams>(); }

}  // namespace cnc
}  // namespace cncsim
