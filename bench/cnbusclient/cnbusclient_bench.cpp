// The shared-memory block read of 32 KB in byte elements, as the file store moves SRAM and F-ROM
// blocks: one driver request per unit against the batched block form, through a real lorandd with
// a simulated board whose units take no time. Also the direct path's cost per unit for comparison.
//
// Starts its own lorandd in a temporary root; run it as is (no daemon needed beforehand).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cnbusclient/cnbus_client.h"
#include "testsupport/test_daemon.h"

namespace {

moxel::test::Daemon* g_daemon = nullptr;

void write_config(const char* path) {
  g_daemon->configure(std::string("[Client]\nPath=") + path +
                      "\n[Parameters]\nIoPortAddress0=0x300\nNodeName0=Bench\n"
                      "[Host]\nBoard0=sim\nSocketMode=0600\nStateDir=@STATE@\n[Simulator]\nUnitTime0=0\n");
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
  moxel::test::Daemon daemon("cnbus-bench");
  g_daemon = &daemon;
  write_config("driver");
  if (!daemon.start()) {
    std::fprintf(stderr, "cnbusclient_bench: %s\n", daemon.error().c_str());
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
