#include "keyservice/host_main.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>

#include "driver/device/device.h"
#include "keyservice/key_service.h"
#include "keyservice/key_work_control.h"
#include "keyservice/mdi_key_reader.h"
#include "keyservice/service_host.h"
#include "keyservice/vorkey_driver.h"
#include "keyservice/vorkey_settings.h"
#include "platform/prompter.h"

namespace vorkey {
namespace {

// Message boxes of the key work (conversion messages, injection errors) become host messages.
class OutputPrompter final : public moxel::Prompter {
 public:
  explicit OutputPrompter(std::function<void(const std::string&)> show) : show_(std::move(show)) {}
  moxel::Answer ask(const std::string&, const std::string& text, moxel::Buttons, moxel::Icon,
                    moxel::Answer preset) override {
    show_(text);
    return preset;
  }
  void beep() override {}

 private:
  std::function<void(const std::string&)> show_;
};

// The CNC key reader as the tick polls it.
class ReaderSource final : public KeySource {
 public:
  explicit ReaderSource(CMdiKeyReader& reader) : reader_(reader) {}
  bool ReadKeys(std::array<uint8_t, 32>& bitmap, int& length) override {
    const bool ok = reader_.Read() == 1;
    std::memcpy(bitmap.data(), reader_.current, bitmap.size());
    length = reader_.length;
    return ok;
  }
  void SetDoubleRequest(bool on) override { reader_.SetDoubleRequest(on); }

 private:
  CMdiKeyReader& reader_;
};

class Work final : public KeyWork {
 public:
  Work(CVorkeyDriver& driver, CVorkeyDriver::Backend backend, CKeyService& keys)
      : driver_(driver), backend_(backend), keys_(keys) {}
  bool OpenInjection() override { return driver_.Open(backend_); }
  void ReloadSettings() override { keys_.ReloadSettings(); }
  void OnTimerTick() override { keys_.OnTimerTick(); }
  void ReleaseAll() override { keys_.ReleaseAll(); }

 private:
  CVorkeyDriver& driver_;
  CVorkeyDriver::Backend backend_;
  CKeyService& keys_;
};

bool has_argument(int argc, char** argv, const char* word) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], word) == 0) return true;
  return false;
}

std::filesystem::path own_program(const char* argv0) {
  std::error_code ec;
  auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::absolute(argv0) : path;
}

}  // namespace

int host_main(HostKind kind, int argc, char** argv) {
  // The stop signals are taken by sigwait below; every thread started from here on blocks them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  const bool dry_run = has_argument(argc, argv, "--dry-run");
  const std::string device = lorand::default_device_path().string();

  // Until the host knows whether it runs as a service, its messages go to standard error.
  auto output = std::make_unique<HostOutput>(false);
  auto messages = [&output](const std::string& m) { output->message(m); };
  OutputPrompter prompter(messages);
  moxel::set_prompter(&prompter);
  struct Unset {
    ~Unset() { moxel::set_prompter(nullptr); }
  } unset;

  // Process start, before the command line is looked at: the CNC key reader (the device, node 0,
  // the interface lock), then the change event.
  CMdiKeyReader reader(kind == HostKind::kService ? open_driver_bus(device, messages)
                                                  : open_direct_bus(device));
  std::unique_ptr<moxel::NamedEvent> change_event = create_change_event();

  bool service = false;
  if (kind == HostKind::kService) {
    const Registration registration = default_registration(own_program(argv[0]));
    switch (parse_switch(command_line(argc, argv))) {
      case Switch::kUnregServer: return unregister_server(registration, messages);
      case Switch::kRegServer: return register_server(registration, false, messages);
      case Switch::kService: return register_server(registration, true, messages);
      case Switch::kNone: break;
    }
    const Registered r = registered(registration);
    if (r == Registered::kNo) {
      std::fprintf(stderr, "vorkeyd: not registered; run vorkeyd -RegServer or -Service first\n");
      return 2;  // the registration values are missing (ERROR_FILE_NOT_FOUND)
    }
    // Registered as a service but started from a shell: runs in the foreground all the same.
    service = r == Registered::kService && started_by_systemd();
    output = std::make_unique<HostOutput>(service);
    output->log("Service started");
  }
  CVorkeyDriver driver;
  ReaderSource source(reader);
  CKeyService::Options options;
  options.period_ms = tick_timing().period_ms;
  options.watch_layout = kind == HostKind::kService;
  CKeyService keys(source, driver, change_event.get(), options);
  const auto backend = dry_run ? CVorkeyDriver::Backend::record
                       : kind == HostKind::kService ? CVorkeyDriver::Backend::automatic
                                                    : CVorkeyDriver::Backend::xtest;
  Work work(driver, backend, keys);
  int exit_code = 0;
  {
    KeyWorkControl control(work, device, messages);
    if (control.Start() == StartResult::kNoInjection) {
      exit_code = 1;
    } else {
      int signal_number = 0;
      sigwait(&stop_signals, &signal_number);
      control.Stop();  // no tick after this; every held key released
    }
  }
  driver.Close();
  if (service) output->log("Service stopped");
  return exit_code;
}

}  // namespace vorkey
