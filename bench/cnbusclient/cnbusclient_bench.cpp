// The shared-memory block read of 32 KB in byte elements, as the file store moves SRAM and F-ROM
// blocks: one driver request per unit against the batched block form, through a real lorandd with
// a simulated board whose units take no time. Also the direct path's cost per unit for comparison.
//
// Starts its own lorandd in a temporary root; run it as is (no daemon needed beforehand).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "cnbusclient/cnbus_client.h"

namespace {

std::filesystem::path g_root;
pid_t g_daemon = -1;

void write_config(const char* path) {
  std::ofstream(g_root / "etc" / "lorand.conf")
      << "[Client]\nPath=" << path << "\n[Parameters]\nIoPortAddress0=0x300\nNodeName0=Bench\n"
      << "[Host]\nBoard0=sim\nSocketMode=0600\nStateDir=" << (g_root / "state").string()
      << "\n[Simulator]\nUnitTime0=0\n";
}

bool start_daemon() {
  std::string pattern = (std::filesystem::temp_directory_path() / "cnbus-bench-XXXXXX").string();
  if (!mkdtemp(pattern.data())) return false;
  g_root = pattern;
  std::filesystem::create_directories(g_root / "etc");
  std::filesystem::create_directories(g_root / "run");
  std::filesystem::create_directories(g_root / "state");
  setenv("MOXEL_SYSCONFDIR", (g_root / "etc").c_str(), 1);
  setenv("MOXEL_RUNDIR", (g_root / "run").c_str(), 1);
  write_config("driver");
  g_daemon = fork();
  if (g_daemon == 0) {
    // The daemon goes with the test process, even when that one is killed.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() == 1) _exit(127);
    execl(LORANDD_PROGRAM, "lorandd", static_cast<char*>(nullptr));
    _exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    if (std::filesystem::exists(g_root / "run" / "LORAND")) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

void stop_daemon() {
  if (g_daemon > 0) {
    kill(g_daemon, SIGTERM);
    int status = 0;
    waitpid(g_daemon, &status, 0);
  }
  std::error_code ec;
  if (!g_root.empty()) std::filesystem::remove_all(g_root, ec);
}

constexpr int kBlock = 32 * 1024;

// One driver request per byte: the block as a loop of single reads.
void BM_ShmBlock32K_SingleRequests(benchmark::State& state) {
  cnbus::CCnbusClient client;
  if (!client.IsAvailable()) {
    state.SkipWithError("no node");
    return;
  }
  std::vector<uint8_t> buffer(kBlock);
  for (auto _ : state) {
    for (int i = 0; i < kBlock; ++i) buffer[i] = client.ShmReadByte(uint32_t(i));
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kBlock);
}
BENCHMARK(BM_ShmBlock32K_SingleRequests)->Unit(benchmark::kMillisecond)->UseRealTime();

// The block form: the same 32768 byte units carried in batches.
void BM_ShmBlock32K_Batched(benchmark::State& state) {
  cnbus::CCnbusClient client;
  if (!client.IsAvailable()) {
    state.SkipWithError("no node");
    return;
  }
  std::vector<uint8_t> buffer(kBlock);
  for (auto _ : state) {
    client.ShmReadBytes(0, buffer.data(), kBlock);
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kBlock);
}
BENCHMARK(BM_ShmBlock32K_Batched)->Unit(benchmark::kMillisecond)->UseRealTime();

// One byte unit on the direct path: the register protocol run here, each register access a
// request to lorandd (status, address, command, status, data).
void BM_DirectPathByte(benchmark::State& state) {
  write_config("direct");
  {
    cnbus::CCnbusClient client;
    if (!client.IsAvailable()) {
      state.SkipWithError("no node");
    } else {
      for (auto _ : state) benchmark::DoNotOptimize(client.ShmReadByte(0));
    }
  }
  write_config("driver");
}
BENCHMARK(BM_DirectPathByte)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (!start_daemon()) {
    std::fprintf(stderr, "cnbusclient_bench: lorandd did not start\n");
    stop_daemon();
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  stop_daemon();
  return 0;
}
