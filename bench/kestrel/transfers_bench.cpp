// The boot console's transfers end to end: the sequence, CBootFunc, the driver client, a real
// lorandd and the simulated boot software with every step at time 0, files in a PC folder. Each
// next to the plain driver-client block read of the same number of bytes in the same run: what the
// sequence (mailbox calls, file writes and syncs, interleaving) adds to moving the data.
//
// Starts its own lorandd in a temporary root; run it as is.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "cnbusclient/cnbus_client.h"
#include "cncsim/cnc/module_header.h"
#include "kestrel/cncitf/boot_func.h"
#include "kestrel/console/tables.h"
#include "kestrel/console/transfers.h"
#include "testsupport/test_daemon.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kSram = 0x100000;     // 1 MB: two backup parts
constexpr uint32_t kModule = 0x400000;   // 4 MB: 32 F-ROM blocks, interleaved
fs::path g_folder;
fs::path g_memory_folder;  // on tmpfs, where a sync costs nothing: what the disk adds

// Questions answered with their preset button (Yes for every question of these sequences).
struct Console {
  cnbus::CCnbusClient client;
  int64_t hooks = 0;  // wait passes that found the CNC not yet done (and slices of F-ROM blocks)
  std::unique_ptr<kestrel::CCncItf> itf;
  moxel::ScriptedPrompter prompter;
  kestrel::IConsoleView view;
  std::unique_ptr<kestrel::ConsoleContext> ctx;
  bool open() {
    if (!client.IsAvailable() || !client.SelectNode(0)) return false;
    itf = std::make_unique<kestrel::CCncItf>(client, [this] { ++hooks; });
    const auto boards = kestrel::ReadBoards(*itf);
    if (boards.empty()) return false;
    ctx = std::make_unique<kestrel::ConsoleContext>(kestrel::ConsoleContext{*itf, prompter, view, boards[0], 1, {}});
    ctx->store = {0, 0, g_folder.string()};
    itf->Call(0x005, 0);
    return itf->Status() == 0;
  }
};

// Reads `total` bytes through the plain client block read, 128 KB at a time.
void plain_read(benchmark::State& state, uint32_t total) {
  cnbus::CCnbusClient client;
  if (!client.IsAvailable() || !client.SelectNode(0)) return state.SkipWithError("no node");
  std::vector<uint8_t> buffer(kestrel::kFromBlockSize);
  for (auto _ : state)
    for (uint32_t at = 0; at < total; at += kestrel::kFromBlockSize)
      client.ShmReadBytes(0, buffer.data(), int(buffer.size()));
  state.SetBytesProcessed(int64_t(state.iterations()) * total);
}

// Writes `total` bytes through the plain client block write into the transfer buffer, 128 KB at a
// time: the plain form of what a restore or a load sends.
void plain_write(benchmark::State& state, uint32_t total) {
  cnbus::CCnbusClient client;
  if (!client.IsAvailable() || !client.SelectNode(0)) return state.SkipWithError("no node");
  const uint32_t buffer_base = kestrel::CCncItf(client).BufferBase();
  std::vector<uint8_t> buffer(kestrel::kFromBlockSize, 0xA5);
  for (auto _ : state)
    for (uint32_t at = 0; at < total; at += kestrel::kFromBlockSize)
      client.ShmWriteBytes(buffer_base, buffer.data(), int(buffer.size()));
  state.SetBytesProcessed(int64_t(state.iterations()) * total);
}

void BM_SramPlainRead_1MB(benchmark::State& state) { plain_read(state, kSram); }
BENCHMARK(BM_SramPlainRead_1MB)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SramPlainWrite_1MB(benchmark::State& state) { plain_write(state, kSram); }
BENCHMARK(BM_SramPlainWrite_1MB)->Unit(benchmark::kMillisecond)->UseRealTime();

// The SRAM blocks of a backup through CBootFunc alone, no files: what the block calls cost.
void BM_SramBlocks_BootFunc_1MB(benchmark::State& state) {
  Console c;
  if (!c.open()) return state.SkipWithError("no console");
  kestrel::CBootFunc boot(*c.itf);
  std::vector<uint8_t> block(kestrel::kSramBlockSize);
  for (auto _ : state)
    for (uint32_t at = 0; at < kSram; at += kestrel::kSramBlockSize)
      boot.ReadSramBlock(0, block.data(), int(at / kestrel::kSramBlockSize));
  state.SetBytesProcessed(int64_t(state.iterations()) * kSram);
}
BENCHMARK(BM_SramBlocks_BootFunc_1MB)->Unit(benchmark::kMillisecond)->UseRealTime();

// The SRAM blocks of a restore through CBootFunc alone, no files.
void BM_SramBlockWrites_BootFunc_1MB(benchmark::State& state) {
  Console c;
  if (!c.open()) return state.SkipWithError("no console");
  kestrel::CBootFunc boot(*c.itf);
  std::vector<uint8_t> block(kestrel::kSramBlockSize, 0x3C);
  for (auto _ : state)
    for (uint32_t at = 0; at < kSram; at += kestrel::kSramBlockSize)
      boot.WriteSramBlock(0, block.data(), int(at / kestrel::kSramBlockSize));
  state.SetBytesProcessed(int64_t(state.iterations()) * kSram);
}
BENCHMARK(BM_SramBlockWrites_BootFunc_1MB)->Unit(benchmark::kMillisecond)->UseRealTime();

// The bytes of a 1 MB SRAM sequence and its wait passes that found the CNC not yet done, per 32 KB
// block.
void report_sram_sequence(benchmark::State& state, const Console& c) {
  state.counters["polls"] = benchmark::Counter(double(c.hooks) / (kSram / kestrel::kSramBlockSize),
                                               benchmark::Counter::kAvgIterations);
  state.SetBytesProcessed(int64_t(state.iterations()) * kSram);
}

void BM_SramBackup_1MB(benchmark::State& state) {
  Console c;
  if (!c.open()) return state.SkipWithError("no console");
  if (state.range(0) == 1) {
    if (g_memory_folder.empty()) return state.SkipWithError("no tmpfs folder");
    c.ctx->store.folder = g_memory_folder.string();
  }
  for (auto _ : state) {
    if (kestrel::BackupSram(*c.ctx) != kestrel::TransferOutcome::done) return state.SkipWithError("backup failed");
    state.PauseTiming();
    c.prompter.clear();
    state.ResumeTiming();
  }
  report_sram_sequence(state, c);
}
// Argument 0: the folder on disk; 1: on tmpfs.
BENCHMARK(BM_SramBackup_1MB)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SramRestore_1MB(benchmark::State& state) {
  Console c;
  if (!c.open()) return state.SkipWithError("no console");
  if (kestrel::BackupSram(*c.ctx) != kestrel::TransferOutcome::done) return state.SkipWithError("no backup");
  for (auto _ : state) {
    if (kestrel::RestoreSram(*c.ctx) != kestrel::TransferOutcome::done) return state.SkipWithError("restore failed");
    state.PauseTiming();
    c.prompter.clear();
    state.ResumeTiming();
  }
  report_sram_sequence(state, c);
}
BENCHMARK(BM_SramRestore_1MB)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FromPlainRead_4MB(benchmark::State& state) { plain_read(state, kModule); }
BENCHMARK(BM_FromPlainRead_4MB)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FromPlainWrite_4MB(benchmark::State& state) { plain_write(state, kModule); }
BENCHMARK(BM_FromPlainWrite_4MB)->Unit(benchmark::kMillisecond)->UseRealTime();

// The load file of the 4 MB module, made once.
bool make_module_file() {
  const auto head = cncsim::cnc::make_module_header({"BENCH", kModule, true, 0, "B"});
  std::ofstream out(g_folder / "bench.rom", std::ios::binary);
  out.write(reinterpret_cast<const char*>(head.data()), std::streamsize(head.size()));
  std::vector<uint8_t> data(kModule);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 + (i >> 9));
  out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
  return bool(out);
}

// The F-ROM block writes of a 4 MB load through CBootFunc alone, no file.
void BM_FromBlockWrites_BootFunc_4MB(benchmark::State& state) {
  Console c;
  if (!c.open()) return state.SkipWithError("no console");
  kestrel::CBootFunc boot(*c.itf);
  std::vector<uint8_t> block(kestrel::kFromBlockSize, 0x5A);
  for (auto _ : state)
    for (int b = 0; b < int(kModule / kestrel::kFromBlockSize); ++b)
      if (boot.WriteBlock(32 + b, block.data()) != 1) return state.SkipWithError("write refused");
  state.SetBytesProcessed(int64_t(state.iterations()) * kModule);
}
BENCHMARK(BM_FromBlockWrites_BootFunc_4MB)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ModuleLoad_4MB(benchmark::State& state) {
  Console c;
  if (!c.open() || !make_module_file()) return state.SkipWithError("no console");
  for (auto _ : state)
    if (!kestrel::LoadModuleFile(*c.ctx, kestrel::ReadModules(*c.itf), "bench.rom"))
      return state.SkipWithError("load failed");
  state.SetBytesProcessed(int64_t(state.iterations()) * kModule);
}
BENCHMARK(BM_ModuleLoad_4MB)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ModuleSave_4MB(benchmark::State& state) {
  Console c;
  if (!c.open() || !make_module_file()) return state.SkipWithError("no console");
  if (!kestrel::LoadModuleFile(*c.ctx, kestrel::ReadModules(*c.itf), "bench.rom")) return state.SkipWithError("no module");
  const auto modules = kestrel::ReadModules(*c.itf);
  if (modules.empty()) return state.SkipWithError("no module");
  for (auto _ : state) {
    const auto plan = kestrel::PrepareSave(*c.ctx, &modules[0]);
    if (!plan || !kestrel::SaveModule(*c.ctx, *plan)) return state.SkipWithError("save failed");
    state.PauseTiming();
    fs::remove(g_folder / plan->target);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kModule);
}
BENCHMARK(BM_ModuleSave_4MB)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  moxel::test::Daemon daemon("transfers-bench");
  daemon.configure(
      "[Parameters]\nIoPortAddress0=0x300\nCncType0=1\nNodeName0=Bench\n"
      "[Host]\nBoard0=sim\nSocketMode=0600\nStateDir=@STATE@\n"
      "[Simulator]\nUnitTime0=0\nBoards0=0,MAIN,xyz,0x800000,0x100000,0\n");
  if (!daemon.start()) {
    std::fprintf(stderr, "transfers_bench: %s\n", daemon.error().c_str());
    return 1;
  }
  g_folder = daemon.root() / "files";
  fs::create_directories(g_folder);
  char memory[] = "/dev/shm/transfers-bench-XXXXXX";
  if (::mkdtemp(memory)) g_memory_folder = memory;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (!g_memory_folder.empty()) fs::remove_all(g_memory_folder);
  return 0;
}
