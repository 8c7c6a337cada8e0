// kestrel32 with eight simulated nodes whose systems already run: after the start (state checks,
// start counts), only the monitors poll each node every 100 ms. Measures the CPU time of the
// kestrel32 process and of lorandd over a quiet interval (seconds = the benchmark's argument),
// from /proc/<pid>/stat, as a percentage of one CPU.
//
// Starts its own lorandd in a temporary root; run it as is.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "testsupport/test_daemon.h"

namespace {

// utime + stime of a process, in clock ticks; -1 when it cannot be read.
long long CpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  const auto close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoll(field);
    if (i == 15) stime = std::stoll(field);
  }
  return utime + stime;
}

void BM_Kestrel32IdleEightNodes(benchmark::State& state) {
  const int seconds = int(state.range(0));
  moxel::test::Daemon daemon("kestrel32-idle");
  std::string params = "[Parameters]\n", host = "[Host]\nSocketMode=0600\n", sim = "[Simulator]\n";
  for (int n = 0; n < 8; ++n) {
    params += "IoPortAddress" + std::to_string(n) + "=0x" + std::to_string(300 + 10 * n) + "\nCncType" +
              std::to_string(n) + "=1\nNodeName" + std::to_string(n) + "=Cnc" + std::to_string(n) + "\n";
    host += "Board" + std::to_string(n) + "=sim\n";
    sim += "BootMode" + std::to_string(n) + "=running\n";
  }
  daemon.configure(params + host + sim);
  if (!daemon.start()) return state.SkipWithError(daemon.error().c_str());
  std::filesystem::create_directories(daemon.root() / "config" / "moxel");
  std::filesystem::create_directories(daemon.root() / "xdg");
  chmod((daemon.root() / "xdg").c_str(), 0700);
  std::vector<std::string> env = daemon.environment();
  env.push_back("XDG_CONFIG_HOME=" + (daemon.root() / "config").string());
  env.push_back("XDG_RUNTIME_DIR=" + (daemon.root() / "xdg").string());
  env.push_back("QT_QPA_PLATFORM=offscreen");
  env = moxel::test::environment_with(env);

  for (auto _ : state) {
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    char* argv[] = {const_cast<char*>(KESTREL32_PROGRAM), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv, envp.data()) != 0) {
      posix_spawn_file_actions_destroy(&actions);
      return state.SkipWithError("kestrel32 did not start");
    }
    posix_spawn_file_actions_destroy(&actions);
    // The start: every node's handshake, state check and start count.
    const auto conf = daemon.root() / "config" / "moxel" / "Kestrel32.conf";
    for (int i = 0; i < 600; ++i) {
      std::ifstream in(conf);
      std::string text((std::istreambuf_iterator<char>(in)), {});
      size_t count = 0;
      for (size_t p = text.find("InitCount=1"); p != std::string::npos; p = text.find("InitCount=1", p + 1)) ++count;
      if (count == 8) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const long long k0 = CpuTicks(pid), d0 = CpuTicks(daemon.pid());
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const long long k1 = CpuTicks(pid), d1 = CpuTicks(daemon.pid());
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    const double ticks = double(sysconf(_SC_CLK_TCK)) * seconds;
    state.counters["kestrel32_cpu_percent"] = 100.0 * double(k1 - k0) / ticks;
    state.counters["lorandd_cpu_percent"] = 100.0 * double(d1 - d0) / ticks;
  }
}
BENCHMARK(BM_Kestrel32IdleEightNodes)->Arg(60)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
