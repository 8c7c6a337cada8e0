// Cost of one page repaint of the memory viewer: the page's reads through lorandd against a
// simulated node with unit time 0, plus the layout. The same page read one request at a time shows
// what the batches save.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>

#include <cstdio>
#include <memory>

#include "driver/core/status.h"
#include "driver/device/device.h"
#include "hexlook/hex_view.h"
#include "hexlook/node_access.h"
#include "hexlook/tests/sim_nodes.h"
#include "testsupport/test_daemon.h"

namespace {

moxel::test::Daemon* daemon_instance = nullptr;

hexlook::NodeAccess& access() {
  static std::unique_ptr<hexlook::NodeAccess> a = hexlook::make_client_access();
  return *a;
}

void page(benchmark::State& state, hexlook::Mode mode, bool registers, bool physical_slot) {
  if (!access().available()) {
    state.SkipWithError("no node");
    return;
  }
  hexlook::HexModel model;
  model.set_mode(mode);
  model.register_view = registers;
  model.physical_slot = physical_slot;
  for (auto _ : state) {
    hexlook::Page p = hexlook::compose_page(access(), model);
    benchmark::DoNotOptimize(p.layout.data());
  }
}

void BM_PageByte(benchmark::State& s) { page(s, hexlook::Mode::byte, false, false); }
void BM_PageWord(benchmark::State& s) { page(s, hexlook::Mode::word, false, false); }
void BM_PageDword(benchmark::State& s) { page(s, hexlook::Mode::dword, false, false); }
void BM_PageBytePhysicalSlot(benchmark::State& s) { page(s, hexlook::Mode::byte, false, true); }
void BM_RegisterView(benchmark::State& s) { page(s, hexlook::Mode::byte, true, false); }
BENCHMARK(BM_PageByte)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PageWord)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PageDword)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PageBytePhysicalSlot)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RegisterView)->Unit(benchmark::kMillisecond);

// The whole repaint of the view widget: reads, layout and drawing of the texts into an image.
void repaint(benchmark::State& state, hexlook::Mode mode) {
  if (!access().available()) {
    state.SkipWithError("no node");
    return;
  }
  hexlook::HexView view(access());
  view.model().set_mode(mode);
  view.resize(view.sizeHint());
  QImage image(view.size(), QImage::Format_ARGB32_Premultiplied);
  for (auto _ : state) {
    view.render(&image);
    benchmark::DoNotOptimize(image.bits());
  }
}
void BM_RepaintByte(benchmark::State& s) { repaint(s, hexlook::Mode::byte); }
void BM_RepaintWord(benchmark::State& s) { repaint(s, hexlook::Mode::word); }
void BM_RepaintDword(benchmark::State& s) { repaint(s, hexlook::Mode::dword); }
BENCHMARK(BM_RepaintByte)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RepaintWord)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RepaintDword)->Unit(benchmark::kMillisecond);

// The byte page's 512 requests and the pane's status read, each a request of its own.
void BM_PageByteOneRequestEach(benchmark::State& state) {
  lorand::Device device;
  if (!device.open()) {
    state.SkipWithError("no device");
    return;
  }
  const lorand::LnkNodeRegisterRequest request{0, lorand::kRegStatus, 0, 0};
  const auto* in = reinterpret_cast<const uint8_t*>(&request);
  uint8_t out[1];
  uint32_t cells[256];
  for (auto _ : state) {
    for (uint32_t i = 0; i < 256; ++i) {
      device.control(lorand::IOCTL_LNK_READ_PORT, {in, sizeof request}, {out, sizeof out});
      uint8_t b = 0xFF;
      if (out[0] & lorand::kStatusReady)
        device.read(lorand::file_position(0, 0x20C00000 + i), {&b, 1});
      cells[i] = b;
    }
    device.control(lorand::IOCTL_LNK_READ_PORT, {in, sizeof request}, {out, sizeof out});
    benchmark::DoNotOptimize(cells);
  }
}
BENCHMARK(BM_PageByteOneRequestEach)->Unit(benchmark::kMillisecond);

// Layout alone, no reads.
void BM_LayoutByte(benchmark::State& state) {
  hexlook::HexModel model;
  uint32_t cells[256];
  for (uint32_t i = 0; i < 256; ++i) cells[i] = i;
  for (auto _ : state) {
    auto layout = hexlook::memory_layout(model, cells);
    benchmark::DoNotOptimize(layout.data());
  }
}
BENCHMARK(BM_LayoutByte)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  // The view draws into an image; no display is needed.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  moxel::test::Daemon daemon("hexlook-bench");
  daemon.configure(hexlook::testing::two_node_conf());
  if (!daemon.start({"--foreground"})) {
    std::fprintf(stderr, "hexlook_bench: %s\n", daemon.error().c_str());
    return 1;
  }
  daemon_instance = &daemon;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
