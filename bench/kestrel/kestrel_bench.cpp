// CBootFunc's block reads and a mailbox call without data, through a real lorandd with a
// simulated node whose units and boot-software steps take no time, next to the plain driver-client
// block read of the same bytes: what the function call protocol adds to moving the data.
//
// Starts its own lorandd in a temporary root; run it as is.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

#include "cnbusclient/cnbus_client.h"
#include "kestrel/cncitf/boot_func.h"
#include "testsupport/test_daemon.h"

namespace {

struct Node {
  cnbus::CCnbusClient client;
  int64_t hooks = 0;  // wait passes that found the CNC not yet done, and transfers of slices
  kestrel::CCncItf itf{client, [this] { ++hooks; }};
  kestrel::CBootFunc boot{itf};
  bool ok() { return client.IsAvailable() && client.SelectNode(0); }
};

void BM_FromBlockRead_BootFunc(benchmark::State& state) {
  Node n;
  if (!n.ok()) return state.SkipWithError("no node");
  std::vector<uint8_t> buffer(kestrel::kFromBlockSize);
  for (auto _ : state) n.boot.ReadBlock(1, buffer.data());
  state.SetBytesProcessed(int64_t(state.iterations()) * kestrel::kFromBlockSize);
  // The flag reads that found the CNC not yet done, per block (the hook also runs once after the
  // slices of each block).
  state.counters["polls"] = benchmark::Counter(double(n.hooks - int64_t(state.iterations())),
                                               benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_FromBlockRead_BootFunc)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FromBlockRead_PlainClient(benchmark::State& state) {
  Node n;
  if (!n.ok()) return state.SkipWithError("no node");
  std::vector<uint8_t> buffer(kestrel::kFromBlockSize);
  for (auto _ : state) n.client.ShmReadBytes(0, buffer.data(), int(buffer.size()));
  state.SetBytesProcessed(int64_t(state.iterations()) * kestrel::kFromBlockSize);
}
BENCHMARK(BM_FromBlockRead_PlainClient)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FromBlockPairRead_BootFunc(benchmark::State& state) {
  Node n;
  if (!n.ok()) return state.SkipWithError("no node");
  std::vector<uint8_t> a(kestrel::kFromBlockSize), b(kestrel::kFromBlockSize);
  for (auto _ : state) n.boot.ReadBlockPair(2, a.data(), b.data());
  state.SetBytesProcessed(int64_t(state.iterations()) * 2 * kestrel::kFromBlockSize);
}
BENCHMARK(BM_FromBlockPairRead_BootFunc)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SramBlockRead_BootFunc(benchmark::State& state) {
  Node n;
  if (!n.ok()) return state.SkipWithError("no node");
  std::vector<uint8_t> buffer(kestrel::kSramBlockSize);
  for (auto _ : state) n.boot.ReadSramBlock(0, buffer.data(), 1);
  state.SetBytesProcessed(int64_t(state.iterations()) * kestrel::kSramBlockSize);
  // The flag reads that found the CNC not yet done, per block (an SRAM block has no slices).
  state.counters["polls"] = benchmark::Counter(double(n.hooks), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_SramBlockRead_BootFunc)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SramBlockRead_PlainClient(benchmark::State& state) {
  Node n;
  if (!n.ok()) return state.SkipWithError("no node");
  std::vector<uint8_t> buffer(kestrel::kSramBlockSize);
  for (auto _ : state) n.client.ShmReadBytes(0, buffer.data(), int(buffer.size()));
  state.SetBytesProcessed(int64_t(state.iterations()) * kestrel::kSramBlockSize);
}
BENCHMARK(BM_SramBlockRead_PlainClient)->Unit(benchmark::kMillisecond)->UseRealTime();

// Select board 0: a call with no data in the transfer buffer. "polls" counts the flag reads that
// found the CNC not yet done (each a word read and a link check), per call.
void BM_MailboxCall_NoData(benchmark::State& state) {
  cnbus::CCnbusClient client;
  if (!client.IsAvailable() || !client.SelectNode(0)) return state.SkipWithError("no node");
  int64_t polls = 0;
  kestrel::CCncItf itf(client, [&] { ++polls; });
  for (auto _ : state) {
    itf.Call(0x005, 0);
    if (itf.Status() != 0) return state.SkipWithError("call refused");
  }
  state.counters["polls"] = benchmark::Counter(double(polls), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_MailboxCall_NoData)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  moxel::test::Daemon daemon("kestrel-bench");
  daemon.configure(
      "[Parameters]\nIoPortAddress0=0x300\nCncType0=1\nNodeName0=Bench\n"
      "[Host]\nBoard0=sim\nSocketMode=0600\nStateDir=@STATE@\n[Simulator]\nUnitTime0=0\n");
  if (!daemon.start()) {
    std::fprintf(stderr, "kestrel_bench: %s\n", daemon.error().c_str());
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
