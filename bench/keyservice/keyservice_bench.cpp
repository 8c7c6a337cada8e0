// The work of one timer tick of the keyboard service without the CNC read (a key bitmap handed
// in), and the rebuild that a settings change or a layout change costs inside a tick.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "keyservice/key_service.h"

namespace {

struct NullSink : vorkey::WordSink {
  void Send(uint32_t word) override { benchmark::DoNotOptimize(word); }
};

// A bitmap of 12 bytes; every other tick a key goes down or up when `toggle` is set.
struct Source : vorkey::KeySource {
  bool ReadKeys(std::array<uint8_t, 32>& bitmap, int& length) override {
    if (toggle) keys[0] ^= 1;
    bitmap = keys;
    length = 12;
    return true;
  }
  void SetDoubleRequest(bool) override {}
  std::array<uint8_t, 32> keys{};
  bool toggle = false;
};

std::filesystem::path settings_folder() {
  static std::filesystem::path dir = [] {
    char pattern[] = "/tmp/vorkey-bench-XXXXXX";
    std::filesystem::path d = mkdtemp(pattern);
    std::ofstream(d / "vorkey.conf") << "[VORKEY]\nLayout=us\n";
    return d;
  }();
  return dir;
}

void BM_Tick(benchmark::State& state) {
  Source source;
  source.toggle = state.range(0) != 0;
  NullSink sink;
  vorkey::CKeyService service(source, sink, nullptr,
                              {16, false, settings_folder() / "vorkey.conf"});
  service.ReloadSettings();
  for (auto _ : state) service.OnTimerTick();
}
BENCHMARK(BM_Tick)->Arg(0)->Arg(1)->ArgName("key_change");

void BM_ConverterRebuild(benchmark::State& state) {
  NullSink sink;
  vorkey::CKeyConverter converter(sink);
  const vorkey::KeyTable table = vorkey::builtin_table(0);
  std::unique_ptr<vorkey::KeyboardLayout> layout = vorkey::make_xkb_layout("us");
  for (auto _ : state)
    benchmark::DoNotOptimize(converter.Rebuild(table, 1, 250, 30, *layout, 16));
}
BENCHMARK(BM_ConverterRebuild);

void BM_XkbLayout(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(vorkey::make_xkb_layout("de"));
}
BENCHMARK(BM_XkbLayout)->Unit(benchmark::kMillisecond);

// What a change event costs inside the tick: settings file, key table, layout, conversion.
void BM_ReloadSettings(benchmark::State& state) {
  Source source;
  NullSink sink;
  vorkey::CKeyService service(source, sink, nullptr,
                              {16, false, settings_folder() / "vorkey.conf"});
  for (auto _ : state) service.ReloadSettings();
}
BENCHMARK(BM_ReloadSettings)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
