// The boot screen's poll thread through a real lorandd with one simulated node (unit time 0):
//   BM_PollIdle         one second of polling while the CNC posts nothing; counters: the CPU of
//                       this process (the poll thread is all it runs) and of lorandd, as a fraction
//                       of one CPU, and the polls per second
//   BM_WriteToRedraw    the CNC writes a line, flags it and posts a screen update; the time until
//                       the line is in the shadow screen (the redraw hook has run)
//
// Starts its own lorandd in a temporary root; run it as is.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "cnbusclient/cnbus_client.h"
#include "kestrel/bootscreen/loading_screen.h"
#include "testsupport/test_daemon.h"

namespace {

constexpr uint32_t B = 0xD0000;
pid_t g_daemon_pid = 0;

double process_cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double daemon_cpu_seconds() {
  std::ifstream in("/proc/" + std::to_string(g_daemon_pid) + "/stat");
  std::string line;
  std::getline(in, line);
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string f;
  double ticks = 0;
  for (int i = 3; fields >> f; ++i)
    if (i == 14 || i == 15) ticks += std::stod(f);
  return ticks / double(sysconf(_SC_CLK_TCK));
}

void BM_PollIdle(benchmark::State& state) {
  cnbus::CCnbusClient cnc;
  if (!cnc.SelectNode(0)) return state.SkipWithError("no node");
  cnc.ShmWriteWord(B + 0x100, 0);
  kestrel::LoadingScreen screen(0, 0, {});
  screen.Start();
  double cpu = 0, daemon_cpu = 0, wall = 0;
  uint64_t polls = 0;
  for (auto _ : state) {
    const double c0 = process_cpu_seconds(), d0 = daemon_cpu_seconds();
    const uint64_t p0 = screen.Polls();
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    cpu += process_cpu_seconds() - c0;
    daemon_cpu += daemon_cpu_seconds() - d0;
    polls += screen.Polls() - p0;
  }
  state.counters["poll_cpu"] = cpu / wall;
  state.counters["lorandd_cpu"] = daemon_cpu / wall;
  state.counters["polls_per_s"] = double(polls) / wall;
}
BENCHMARK(BM_PollIdle)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

void BM_WriteToRedraw(benchmark::State& state) {
  cnbus::CCnbusClient cnc;
  if (!cnc.SelectNode(0)) return state.SkipWithError("no node");
  std::atomic<uint64_t> redraws{0};
  kestrel::LoadingScreen* self = nullptr;
  kestrel::LoadingScreen::Hooks hooks;
  hooks.redraw = [&] {
    self->RedrawChanged();
    ++redraws;
  };
  kestrel::LoadingScreen screen(0, 0, hooks);
  self = &screen;
  screen.Start();
  uint8_t line[kestrel::kLineBytes] = {};
  uint8_t n = 0;
  for (auto _ : state) {
    line[0] = uint8_t('A' + n++ % 26);
    const uint64_t before = redraws;
    const auto t0 = std::chrono::steady_clock::now();
    cnc.ShmWriteBytes(B + 0x1000, line, sizeof line);
    cnc.ShmWriteByte(B + 0x200, 1);
    cnc.ShmWriteWord(B + 0x102, kestrel::kRequestUpdate);
    cnc.ShmWriteWord(B + 0x100, 1);
    while (redraws == before) std::this_thread::yield();
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    if (screen.Shadow()[0] != line[0]) return state.SkipWithError("line not redrawn");
    while (cnc.ShmReadWord(B + 0x100) != 0) std::this_thread::yield();  // the PC's answer
  }
}
BENCHMARK(BM_WriteToRedraw)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(200);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  moxel::test::Daemon daemon("bootscreen-bench");
  daemon.configure(
      "[Parameters]\nIoPortAddress0=0x300\nCncType0=1\nNodeName0=Bench\n"
      "[Host]\nBoard0=sim\nSocketMode=0600\n[Simulator]\nUnitTime0=0\nBootMode0=running\n");
  if (!daemon.start()) {
    std::fprintf(stderr, "bootscreen_bench: %s\n", daemon.error().c_str());
    return 1;
  }
  g_daemon_pid = daemon.pid();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
