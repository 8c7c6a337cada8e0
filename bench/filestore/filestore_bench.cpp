// Memory-card writes and reads of the file store as the SRAM backup and restore move them (32 KB
// pieces), through CCncItf, a real lorandd and the simulated node's boot software and card: a
// whole-kilobyte write (32 pipelined calls of 1024 bytes) against one byte less (one call), and a
// read. The card's files live in the benchmark's temporary root.
//
// Starts its own lorandd; run it as is (no daemon needed beforehand).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cnbusclient/cnbus_client.h"
#include "kestrel/cncitf/cnc_itf.h"
#include "kestrel/cncitf/file_store.h"
#include "testsupport/test_daemon.h"

namespace {

constexpr uint32_t kPiece = 32 * 1024;

// The node's driver client with its CNC interface; the benchmark is skipped without a node.
struct Node {
  cnbus::CCnbusClient client;
  std::unique_ptr<kestrel::CCncItf> itf;
  explicit Node(benchmark::State& state) {
    if (client.IsAvailable() && client.SelectNode(0))
      itf = std::make_unique<kestrel::CCncItf>(client);
    else
      state.SkipWithError("no node");
  }
};

// Writes `length` bytes per iteration into one card file.
void write_card(benchmark::State& state, uint32_t length) {
  Node node(state);
  if (!node.itf) return;
  moxel::ScriptedPrompter prompter;
  kestrel::CCncFileStore store(*node.itf, prompter);
  if (!store.OpenStore(1, "")) {
    state.SkipWithError("card not ready");
    return;
  }
  store.DeleteFile("BENCH.BIN", 0);
  if (!store.CreateFile("BENCH.BIN")) {
    state.SkipWithError("cannot create");
    return;
  }
  std::vector<uint8_t> data(length, 0x5A);
  for (auto _ : state) {
    if (store.Write(data.data(), length) != length) {
      state.SkipWithError("short write");
      break;
    }
  }
  store.CloseFile();
  state.SetBytesProcessed(int64_t(state.iterations()) * length);
}

void BM_CardWrite32K_Pipelined(benchmark::State& state) { write_card(state, kPiece); }
BENCHMARK(BM_CardWrite32K_Pipelined)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CardWrite32Kless1_OneCall(benchmark::State& state) { write_card(state, kPiece - 1); }
BENCHMARK(BM_CardWrite32Kless1_OneCall)->Unit(benchmark::kMillisecond)->UseRealTime();

// One mailbox call without data (card status): the floor under every card operation.
void BM_CardStatusCall(benchmark::State& state) {
  Node node(state);
  if (!node.itf) return;
  for (auto _ : state) node.itf->Call(0x301, 0, 0, 0, 0, 1);
}
BENCHMARK(BM_CardStatusCall)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_CardRead32K(benchmark::State& state) {
  Node node(state);
  if (!node.itf) return;
  moxel::ScriptedPrompter prompter;
  kestrel::CCncFileStore store(*node.itf, prompter);
  std::vector<uint8_t> data(kPiece, 0xA5);
  if (!store.OpenStore(1, "") || (store.DeleteFile("READ.BIN", 0), !store.CreateFile("READ.BIN")) ||
      store.Write(data.data(), kPiece) != kPiece || !store.CloseFile()) {
    state.SkipWithError("cannot prepare the file");
    return;
  }
  for (auto _ : state) {
    if (!store.OpenFile("READ.BIN", 0) || store.Read(data.data(), kPiece) != kPiece) {
      state.SkipWithError("short read");
      break;
    }
    store.CloseFile();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kPiece);
}
BENCHMARK(BM_CardRead32K)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  moxel::test::Daemon daemon("filestore-bench");
  daemon.configure(
      "[Parameters]\nIoPortAddress0=0x300\nCncType0=1\nNodeName0=Bench\n"
      "[Host]\nBoard0=sim\nSocketMode=0600\nStateDir=@STATE@\n"
      "[Simulator]\nUnitTime0=0\nCardCapacity0=0xFFFFFFFF\nCardMaxOpen0=8\n");
  if (!daemon.start()) {
    std::fprintf(stderr, "filestore_bench: %s\n", daemon.error().c_str());
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
