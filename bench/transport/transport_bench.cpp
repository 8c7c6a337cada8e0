// The device transport measured as programs use it, all in one run:
// - a 32 KB shared-memory block read byte by byte on the driver path, next to what the simulated
//   board itself spends on the same 32768 byte units in-process (status poll, address, command,
//   status poll, data, as the driver runs a unit);
// - single reads by 1, 8 and 32 threads of one process next to as many processes (reads per second
//   of them all together, and the 99th percentile of one read), all readers in the same second;
// - the CPU time behind each: lorandd's per block, readers' and lorandd's per single read. On the
//   shared build machine wall times swing with the load; these figures do far less;
// - how much a client process grows for a 4 MB byte-wise block read (peak resident size over the
//   size before, the 4 MB buffer already counted).
//
// Starts its own lorandd in a temporary root; run it as is (no daemon needed beforehand).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cnbusclient/cnbus_client.h"
#include "cncsim/simulator.h"
#include "testsupport/test_daemon.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBlock = 32 * 1024;

pid_t daemon_pid = -1;

// CPU time lorandd has spent so far, in nanoseconds, its ended threads included (clock ticks of
// /proc/<pid>/stat: good to 10 ms, so take it around work of a second or so). Wall times on a
// loaded machine measure mostly the wait for a CPU; this does not.
double daemon_cpu_ns() {
  std::ifstream in("/proc/" + std::to_string(daemon_pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 1));
  std::string field;
  double utime = 0, stime = 0;
  for (int k = 0; k < 13 && fields >> field; ++k) {
    if (k == 11) utime = std::atof(field.c_str());
    if (k == 12) stime = std::atof(field.c_str());
  }
  return (utime + stime) * 1e9 / double(sysconf(_SC_CLK_TCK));
}

// CPU time of this process (all its threads) and of its waited-for children, in nanoseconds.
double own_cpu_ns(int who) {
  rusage usage{};
  getrusage(who, &usage);
  auto ns = [](const timeval& t) { return double(t.tv_sec) * 1e9 + double(t.tv_usec) * 1e3; };
  return ns(usage.ru_utime) + ns(usage.ru_stime);
}

void BM_Block32KBytesDriverPath(benchmark::State& state) {
  cnbus::CCnbusClient client;
  if (!client.IsAvailable()) {
    state.SkipWithError("no node");
    return;
  }
  std::vector<uint8_t> buffer(kBlock);
  client.ShmReadBytes(0, buffer.data(), kBlock);  // connects this thread
  const double daemon_before = daemon_cpu_ns();
  for (auto _ : state) {
    client.ShmReadBytes(0, buffer.data(), kBlock);
    benchmark::DoNotOptimize(buffer.data());
  }
  state.counters["daemon_cpu_ms"] =
      benchmark::Counter((daemon_cpu_ns() - daemon_before) / 1e6, benchmark::Counter::kAvgIterations);
  state.SetItemsProcessed(int64_t(state.iterations()) * kBlock);
}
BENCHMARK(BM_Block32KBytesDriverPath)->Unit(benchmark::kMillisecond)->UseRealTime();

// The board's own cost of the same 32768 byte units, driven in-process as the driver drives them.
void BM_Block32KBytesBoardOwnCost(benchmark::State& state) {
  constexpr uint32_t kBase = 0x300;
  cncsim::Simulator sim(*moxel::ConfigData::parse("[Simulator]\nUnitTime0=0\n"), {});
  lorand::PortIo& io = sim.board(0, kBase);
  std::vector<uint8_t> buffer(kBlock);
  auto wait_idle = [&] {
    while (io.in8(kBase + 9) & 0x80) {
    }
  };
  for (auto _ : state) {
    for (uint32_t i = 0; i < kBlock; ++i) {
      wait_idle();
      io.out32(kBase + 4, 0x20C00000 + i);
      io.out8(kBase + 8, 0x81);
      wait_idle();
      buffer[i] = io.in8(kBase);
    }
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kBlock);
}
BENCHMARK(BM_Block32KBytesBoardOwnCost)->Unit(benchmark::kMillisecond)->UseRealTime();

struct Figures {
  uint64_t reads = 0;
  double p99_us = 0;
  double cpu_ns = 0;         // of the readers and of lorandd together
  double daemon_cpu_ns = 0;  // of lorandd alone
};

constexpr double kSeconds = 1.0;

// The second in which every reader of one figure reads, thread or process alike: each reader is
// set up (client made, connection open) before it begins, so the reads of all of them are counted
// over one and the same second. Readers that each counted their own second from their own start
// would overlap only in part, and the figure would be their sum over a longer time.
struct Window {
  Clock::time_point start, end;
};

Window next_window() {
  // Room to start 32 processes, each building its node table, on a loaded machine.
  const auto start = Clock::now() + std::chrono::milliseconds(500);
  return Window{start, start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(kSeconds))};
}

// Single byte reads in `window` through a client of this thread; latencies in microseconds.
void read_for(const Window& window, std::vector<double>& latencies, uint64_t* reads) {
  cnbus::CCnbusClient client;
  client.ShmReadByte(0);  // connects this thread
  std::this_thread::sleep_until(window.start);
  uint32_t x = 0;
  uint64_t n = 0;
  for (auto now = Clock::now(); now < window.end; ++n) {
    benchmark::DoNotOptimize(client.ShmReadByte(x++ & 0xFFFF));
    const auto after = Clock::now();
    if ((n & 15) == 0) latencies.push_back(std::chrono::duration<double, std::micro>(after - now).count());
    now = after;
  }
  *reads = n;
}

double p99(std::vector<double>& values) {
  if (values.empty()) return 0;
  const size_t k = values.size() * 99 / 100;
  std::nth_element(values.begin(), values.begin() + long(k), values.end());
  return values[k];
}

Figures threads_reading(int count) {
  std::vector<std::vector<double>> latencies(static_cast<size_t>(count));
  std::vector<uint64_t> reads(static_cast<size_t>(count));
  std::vector<std::thread> threads;
  const double readers_before = own_cpu_ns(RUSAGE_SELF), daemon_before = daemon_cpu_ns();
  const Window window = next_window();
  for (int i = 0; i < count; ++i)
    threads.emplace_back([&, i] { read_for(window, latencies[size_t(i)], &reads[size_t(i)]); });
  for (auto& t : threads) t.join();
  Figures f;
  std::vector<double> all;
  for (int i = 0; i < count; ++i) {
    f.reads += reads[size_t(i)];
    all.insert(all.end(), latencies[size_t(i)].begin(), latencies[size_t(i)].end());
  }
  f.p99_us = p99(all);
  f.daemon_cpu_ns = daemon_cpu_ns() - daemon_before;
  f.cpu_ns = own_cpu_ns(RUSAGE_SELF) - readers_before + f.daemon_cpu_ns;
  return f;
}

// Each process reports its read count and its latency samples through a pipe.
Figures processes_reading(int count) {
  std::vector<int> pipes;
  std::vector<pid_t> children;
  const double readers_before = own_cpu_ns(RUSAGE_CHILDREN), daemon_before = daemon_cpu_ns();
  const Window window = next_window();
  for (int i = 0; i < count; ++i) {
    int fds[2];
    if (pipe(fds) != 0) break;
    const pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      std::vector<double> latencies;
      uint64_t reads = 0;
      read_for(window, latencies, &reads);
      const uint64_t samples = latencies.size();
      [[maybe_unused]] ssize_t w = write(fds[1], &reads, sizeof reads);
      w = write(fds[1], &samples, sizeof samples);
      const char* p = reinterpret_cast<const char*>(latencies.data());
      size_t left = samples * sizeof(double);
      while (left > 0) {
        const ssize_t n = write(fds[1], p, left);
        if (n <= 0) break;
        p += n;
        left -= size_t(n);
      }
      _exit(0);
    }
    close(fds[1]);
    pipes.push_back(fds[0]);
    children.push_back(pid);
  }
  auto read_all = [](int fd, void* to, size_t length) {
    char* p = static_cast<char*>(to);
    while (length > 0) {
      const ssize_t n = read(fd, p, length);
      if (n <= 0) return false;
      p += n;
      length -= size_t(n);
    }
    return true;
  };
  Figures f;
  std::vector<double> all;
  for (int fd : pipes) {
    uint64_t reads = 0, samples = 0;
    if (read_all(fd, &reads, sizeof reads) && read_all(fd, &samples, sizeof samples)) {
      std::vector<double> latencies(samples);
      if (read_all(fd, latencies.data(), samples * sizeof(double))) {
        f.reads += reads;
        all.insert(all.end(), latencies.begin(), latencies.end());
      }
    }
    close(fd);
  }
  for (pid_t pid : children) waitpid(pid, nullptr, 0);
  f.p99_us = p99(all);
  f.daemon_cpu_ns = daemon_cpu_ns() - daemon_before;
  f.cpu_ns = own_cpu_ns(RUSAGE_CHILDREN) - readers_before + f.daemon_cpu_ns;
  return f;
}

void report(benchmark::State& state, const Figures& f) {
  state.counters["reads_per_s"] = double(f.reads) / kSeconds;
  state.counters["p99_us"] = f.p99_us;
  // CPU per read, readers and lorandd together: what a read costs whatever the load.
  state.counters["cpu_us_per_read"] = f.reads ? f.cpu_ns / 1e3 / double(f.reads) : 0;
  state.counters["daemon_cpu_us_per_read"] = f.reads ? f.daemon_cpu_ns / 1e3 / double(f.reads) : 0;
}

void BM_SingleReadsThreads(benchmark::State& state) {
  for (auto _ : state) report(state, threads_reading(int(state.range(0))));
}
BENCHMARK(BM_SingleReadsThreads)->Arg(1)->Arg(8)->Arg(32)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_SingleReadsProcesses(benchmark::State& state) {
  for (auto _ : state) report(state, processes_reading(int(state.range(0))));
}
BENCHMARK(BM_SingleReadsProcesses)->Arg(1)->Arg(8)->Arg(32)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// Resident size or its peak, in KiB, from /proc/self/status.
long status_kib(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t length = std::strlen(field);
  while (std::getline(in, line))
    if (line.compare(0, length, field) == 0) return std::atol(line.c_str() + length + 1);
  return -1;
}

// In a fresh child, so the peak belongs to this read alone: the growth over the resident size
// with the client made and the 4 MB buffer touched.
void BM_Client4MBytesMemory(benchmark::State& state) {
  constexpr int kBig = 4 * 1024 * 1024;
  for (auto _ : state) {
    int fds[2];
    if (pipe(fds) != 0) {
      state.SkipWithError("pipe failed");
      return;
    }
    const pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      long growth = -1;
      {
        cnbus::CCnbusClient client;
        std::vector<uint8_t> buffer(kBig, 1);
        client.ShmReadByte(0);
        const long before = status_kib("VmRSS:");
        client.ShmReadBytes(0, buffer.data(), kBig);
        benchmark::DoNotOptimize(buffer.data());
        growth = status_kib("VmHWM:") - before;
        if (!client.IsAvailable()) growth = -1;
      }
      [[maybe_unused]] ssize_t w = write(fds[1], &growth, sizeof growth);
      _exit(0);
    }
    close(fds[1]);
    long growth = -1;
    if (read(fds[0], &growth, sizeof growth) != ssize_t(sizeof growth)) growth = -1;
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    if (growth < 0) state.SkipWithError("no node");
    state.counters["growth_MiB"] = double(growth) / 1024.0;
  }
}
BENCHMARK(BM_Client4MBytesMemory)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  moxel::test::Daemon daemon("transport-bench");
  daemon.configure(
      "[Parameters]\nIoPortAddress0=0x300\nNodeName0=Bench\n"
      "[Host]\nBoard0=sim\nSocketMode=0600\n[Simulator]\nUnitTime0=0\n");
  if (!daemon.start()) {
    std::fprintf(stderr, "transport_bench: %s\n", daemon.error().c_str());
    return 1;
  }
  daemon_pid = daemon.pid();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
