// Timing of the MDI keyboard service on the shared machine:
//   BM_TickJitter      the tick thread alone: how late each tick starts against its deadline, and
//                      the spacing of tick starts, over 10,000 ticks of 16 ms; at normal and at
//                      the service's raised priority (the second run keeps it raised)
//   BM_ReaderTick      one reader tick through lorandd (driver path), per way, with its round trips
//   BM_PressToWord     vorkeyd: from the key bitmap changing in the CNC to the injected word
//   BM_IdleCpu         vorkeyd's CPU while it ticks with no key down
// Starts its own lorandd with a simulated node 0; run it as is.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "keyservice/mdi_key_reader.h"
#include "keyservice/tests/control_memory.h"
#include "keyservice/tests/host_process.h"
#include "keyservice/tick_thread.h"
#include "testsupport/test_daemon.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using cncsim::MdiKeyboard;
using cncsim::MdiWay;

moxel::test::Daemon* g_daemon = nullptr;

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

void report(benchmark::State& state, const std::string& name, const std::vector<double>& v) {
  state.counters[name + "_p50"] = percentile(v, 0.50);
  state.counters[name + "_p99"] = percentile(v, 0.99);
  state.counters[name + "_max"] = percentile(v, 1.0);
}

double us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// Arg 0: ticks; arg 1: 0 normal priority, 1 the process's priority raised (nice -10), 2 the tick
// thread at real-time priority (SCHED_FIFO 1); 1 and 2 need root.
void BM_TickJitter(benchmark::State& state) {
  const int ticks = int(state.range(0));
  if (state.range(1) == 1 && !vorkey::raise_priority()) {
    state.SkipWithError("the priority cannot be raised here");
    return;
  }
  for (auto _ : state) {
    std::vector<Clock::time_point> starts, ends;
    starts.reserve(ticks);
    ends.reserve(ticks);
    std::atomic<bool> done{false};
    vorkey::TickThread thread;
    thread.start(
        16ms,
        [&] {
          starts.push_back(Clock::now());
          if (int(starts.size()) >= ticks) done = true;
          ends.push_back(Clock::now());
        },
        state.range(1) == 2);
    while (!done) std::this_thread::sleep_for(50ms);
    thread.stop();
    std::vector<double> late, spacing;
    for (size_t i = 1; i < std::min(starts.size(), ends.size()); ++i) {
      late.push_back(us(starts[i] - (ends[i - 1] + 16ms)));
      spacing.push_back(us(starts[i] - starts[i - 1]));
    }
    report(state, "late_us", late);
    report(state, "spacing_us", spacing);
  }
}
BENCHMARK(BM_TickJitter)->Args({10000, 0})->Args({10000, 2})->Args({10000, 1})->Iterations(1)
    ->Unit(benchmark::kSecond)->UseRealTime();

// Lays out `way` in node 0 and lets the reader do the handshake.
std::unique_ptr<vorkey::CMdiKeyReader> ready_reader(MdiWay way) {
  vorkey::test::ControlMemory memory(*g_daemon, 0);
  MdiKeyboard keyboard(way);
  keyboard.start(memory);
  auto reader = std::make_unique<vorkey::CMdiKeyReader>(
      vorkey::open_driver_bus(g_daemon->socket_path().string(), nullptr));
  reader->Read();
  return reader;
}

void BM_ReaderTick(benchmark::State& state) {
  const MdiWay way = MdiWay(state.range(0));
  auto reader = ready_reader(way);
  state.SetLabel(cncsim::mdi_way_name(way));
  const uint64_t before = reader->bus().transactions();
  int failed = 0;
  for (auto _ : state) failed += reader->Read() == 1 ? 0 : 1;
  state.counters["round_trips"] =
      double(reader->bus().transactions() - before) / double(state.iterations());
  state.counters["failed"] = failed;
}
BENCHMARK(BM_ReaderTick)->Arg(int(MdiWay::kChain))->Arg(int(MdiWay::kBlock))
    ->Unit(benchmark::kMicrosecond)->UseRealTime();

// One command on the simulator's control socket, in this process (no cncsim process per poke).
bool control(const std::string& line) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, g_daemon->control_socket_path().c_str(), sizeof addr.sun_path - 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  const std::string text = line + "\n";
  ok = ok && send(fd, text.data(), text.size(), MSG_NOSIGNAL) == ssize_t(text.size());
  shutdown(fd, SHUT_WR);
  char reply[256];
  ssize_t n = ok ? read(fd, reply, sizeof reply) : -1;
  close(fd);
  return n >= 2 && reply[0] == 'O' && reply[1] == 'K';
}

// vorkeyd recording its words, with the chain way laid out and the handshake done.
struct Service {
  Service() {
    moxel::test::run_program({VORKEYD_PROGRAM, "-RegServer"}, moxel::test::Stderr::merged,
                             g_daemon->environment(), 30s);
    vorkey::test::ControlMemory memory(*g_daemon, 0);
    keyboard.start(memory);
    host = std::make_unique<vorkey::test::HostProcess>(
        std::vector<std::string>{VORKEYD_PROGRAM, "--dry-run"}, g_daemon->environment(),
        g_daemon->root(), "bench-vorkeyd");
    const auto deadline = Clock::now() + 20s;
    while (!keyboard.handshake_done() && Clock::now() < deadline) {
      keyboard.serve(memory);
      std::this_thread::sleep_for(20ms);
    }
    // Where the chain's key bytes lie: R + 8.
    key_bytes = 0x20C00000 + MdiKeyboard::kDescriptor + 0x200 + 8;
  }
  MdiKeyboard keyboard{MdiWay::kChain};
  std::unique_ptr<vorkey::test::HostProcess> host;
  uint32_t key_bytes = 0;
};

std::string hex(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%x", v);
  return b;
}

void BM_PressToWord(benchmark::State& state) {
  Service service;
  std::vector<double> latency;
  size_t seen = 0;
  auto wait_words = [&](size_t count) {
    const auto deadline = Clock::now() + 5s;
    while (Clock::now() < deadline) {
      if (vorkey::test::recorded_words(service.host->out()).size() >= count) return true;
      std::this_thread::sleep_for(200us);
    }
    return false;
  };
  for (auto _ : state) {
    // Key 0 down: the CNC's key byte 0 becomes 0x01.
    control("poke 0 " + hex(service.key_bytes) + " 01");
    const auto t0 = Clock::now();
    if (!wait_words(seen + 1)) {
      state.SkipWithError("no word");
      break;
    }
    latency.push_back(us(Clock::now() - t0) / 1000.0);
    seen += 1;
    control("poke 0 " + hex(service.key_bytes) + " 00");
    wait_words(seen + 1);
    seen += 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(7 + latency.size() % 11));
  }
  report(state, "ms", latency);
  service.host->stop();
}
BENCHMARK(BM_PressToWord)->Iterations(200)->Unit(benchmark::kMillisecond)->UseRealTime();

double cpu_seconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  const size_t close = text.rfind(')');
  std::istringstream fields(text.substr(close + 2));
  std::string f;
  unsigned long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> f; ++i) {
    if (i == 14) utime = std::stoul(f);
    if (i == 15) stime = std::stoul(f);
  }
  return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

void BM_IdleCpu(benchmark::State& state) {
  Service service;
  for (auto _ : state) {
    const pid_t pid = service.host->pid();
    const double c0 = cpu_seconds(pid);
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(state.range(0)));
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    state.counters["cpu_percent"] = 100.0 * (cpu_seconds(pid) - c0) / wall;
  }
  service.host->stop();
}
BENCHMARK(BM_IdleCpu)->Arg(30)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  moxel::test::Daemon daemon("keyservice-bench");
  g_daemon = &daemon;
  daemon.configure(
      "[Parameters]\nIoPortAddress0=0x300\nCncType0=1\nNodeName0=Bench\n"
      "[Host]\nBoard0=sim\nSocketMode=0600\nStateDir=@STATE@\n[Simulator]\nUnitTime0=0\n");
  if (!daemon.start()) {
    std::fprintf(stderr, "keyreader_bench: %s\n", daemon.error().c_str());
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
