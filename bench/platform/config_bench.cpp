// The configuration store: parsing a large file, writing it out again, and the per-query cost of a
// kept file that has not changed (what lorandd pays for every CNC-type or name query).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/config_store.h"

namespace {

std::string many_keys(int count) {
  std::string text = "[Parameters]\n";
  for (int i = 0; i < count; ++i) text += "Key" + std::to_string(i) + "=0x" + std::to_string(i) + "\n";
  return text;
}

void BM_ParseKeys(benchmark::State& state) {
  const std::string text = many_keys(int(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(moxel::ConfigData::parse(text));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ParseKeys)->Arg(1000)->Arg(40000)->Unit(benchmark::kMillisecond);

void BM_ChangeOneAndSerialize(benchmark::State& state) {
  const auto data = moxel::ConfigData::parse(many_keys(int(state.range(0))));
  for (auto _ : state) {
    moxel::ConfigData changed = *data;
    changed.set("Parameters", "Key7", "changed");
    benchmark::DoNotOptimize(changed.serialize());
  }
}
BENCHMARK(BM_ChangeOneAndSerialize)->Arg(40000)->Unit(benchmark::kMillisecond);

// A CNC-type query on a 24 KB lorand.conf that did not change: a stat and a map lookup.
void BM_TypeQueryOnKeptFile(benchmark::State& state) {
  char pattern[] = "/tmp/moxel-bench-XXXXXX";
  const std::filesystem::path dir = mkdtemp(pattern);
  const auto file = dir / "lorand.conf";
  std::ofstream(file) << many_keys(1800) << "CncType3=2\n";
  moxel::ConfigFile config(file);
  for (auto _ : state) benchmark::DoNotOptimize(config.get()->dword("Parameters", "CncType3"));
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_TypeQueryOnKeptFile)->Unit(benchmark::kMicrosecond);

}  // namespace
