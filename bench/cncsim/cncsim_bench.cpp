// Cost of the simulated board per unit, as the driver drives it (status poll, address, command,
// status poll, data), with and without the trace, and of the CNC-side peek used by tests.
#include <benchmark/benchmark.h>

#include <vector>

#include "cncsim/simulator.h"

namespace {

constexpr uint32_t kBase = 0x300;

moxel::ConfigData config() { return *moxel::ConfigData::parse("[Simulator]\n"); }

void wait_idle(lorand::PortIo& io) {
  while (io.in8(kBase + 9) & 0x80) {
  }
}

void BM_ReadDwordUnit(benchmark::State& state) {
  cncsim::Simulator sim(config(), {});
  lorand::PortIo& io = sim.board(0, kBase);
  if (state.range(0)) sim.node(0)->trace_start();
  uint32_t address = 0x20C00000, sum = 0;
  for (auto _ : state) {
    wait_idle(io);
    io.out32(kBase + 4, address);
    io.out8(kBase + 8, 0x84);
    wait_idle(io);
    sum += io.in32(kBase);
    address = 0x20C00000 + ((address + 4) & 0x3FFFC);
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * 4);
}
BENCHMARK(BM_ReadDwordUnit)->Arg(0)->Arg(1)->ArgName("trace");

void BM_WriteByteUnit(benchmark::State& state) {
  cncsim::Simulator sim(config(), {});
  lorand::PortIo& io = sim.board(0, kBase);
  uint32_t address = 0x20C00000;
  for (auto _ : state) {
    wait_idle(io);
    io.out8(kBase, uint8_t(address));
    io.out32(kBase + 4, address);
    io.out8(kBase + 8, 0x01);
    address = 0x20C00000 + ((address + 1) & 0x3FFFF);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WriteByteUnit);

void BM_Peek128K(benchmark::State& state) {
  cncsim::Simulator sim(config(), {});
  sim.board(0, kBase);
  cncsim::Node& node = *sim.node(0);
  std::vector<uint8_t> buffer(0x20000);
  for (auto _ : state) {
    node.peek(0x20C00000, buffer);
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(state.iterations() * buffer.size());
}
BENCHMARK(BM_Peek128K);

}  // namespace
