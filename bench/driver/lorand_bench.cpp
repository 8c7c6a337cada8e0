// What one request to lorandd costs against a bare socket round trip, and what batching saves.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "driver/device/device.h"
#include "driver/device/wire.h"
#include "testsupport/test_daemon.h"

namespace {

using namespace lorand;

// A bare AF_UNIX SOCK_SEQPACKET round trip between two threads: a request the size of a one-byte
// read (one item header) and an answer the size of its reply.
void BM_BareSocketRoundTrip(benchmark::State& state) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) {
    state.SkipWithError("socketpair failed");
    return;
  }
  std::thread echo([fd = fds[1]] {
    uint8_t buffer[wire::kMaxMessage];
    for (;;) {
      const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      send(fd, buffer, wire::kAnswerHeader + 1, MSG_NOSIGNAL);
    }
  });
  uint8_t request[wire::kItemHeader] = {2}, answer[64];
  for (auto _ : state) {
    send(fds[0], request, sizeof request, MSG_NOSIGNAL);
    benchmark::DoNotOptimize(recv(fds[0], answer, sizeof answer, 0));
  }
  shutdown(fds[0], SHUT_RDWR);
  echo.join();
  close(fds[0]);
  close(fds[1]);
}
BENCHMARK(BM_BareSocketRoundTrip)->UseRealTime();

// The same round trip with the echo in a separate process, as lorandd is.
void BM_BareSocketRoundTripProcesses(benchmark::State& state) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) {
    state.SkipWithError("socketpair failed");
    return;
  }
  const pid_t echo = fork();
  if (echo == 0) {
    close(fds[0]);
    static uint8_t buffer[wire::kMaxMessage];
    for (;;) {
      const ssize_t n = recv(fds[1], buffer, sizeof buffer, 0);
      if (n <= 0) _exit(0);
      send(fds[1], buffer, wire::kAnswerHeader + 1, MSG_NOSIGNAL);
    }
  }
  close(fds[1]);
  uint8_t request[wire::kItemHeader] = {2}, answer[64];
  for (auto _ : state) {
    send(fds[0], request, sizeof request, MSG_NOSIGNAL);
    benchmark::DoNotOptimize(recv(fds[0], answer, sizeof answer, 0));
  }
  close(fds[0]);
  waitpid(echo, nullptr, 0);
}
BENCHMARK(BM_BareSocketRoundTripProcesses)->UseRealTime();

// One daemon with a simulated board whose units take no time, shared by the daemon benchmarks.
moxel::test::Daemon& daemon() {
  static std::unique_ptr<moxel::test::Daemon> d = [] {
    auto made = std::make_unique<moxel::test::Daemon>();
    made->configure("[Parameters]\nIoPortAddress0=0x300\n[Simulator]\nUnitTime0=0\n[Host]\nBoard0=sim\n");
    if (!made->start()) {
      std::fprintf(stderr, "lorandd did not start:\n%s\n", made->log().c_str());
      std::exit(1);
    }
    return made;
  }();
  return *d;
}

Device open_daemon() {
  Device device;
  device.open(daemon().socket_path());
  return device;
}

constexpr uint32_t kShared = 0x20C00000;

void BM_DaemonOneByteRead(benchmark::State& state) {
  Device device = open_daemon();
  uint8_t byte;
  for (auto _ : state) {
    const IoResult r = device.read(file_position(0, kShared), std::span<uint8_t>(&byte, 1));
    if (r.status != STATUS_SUCCESS) state.SkipWithError("read failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DaemonOneByteRead)->UseRealTime();

void BM_DaemonBatchOfOneByteReads(benchmark::State& state) {
  Device device = open_daemon();
  const uint32_t count = uint32_t(state.range(0));
  std::vector<uint8_t> bytes(count);
  Batch batch;
  for (uint32_t i = 0; i < count; ++i) batch.read(file_position(0, kShared + i), std::span<uint8_t>(&bytes[i], 1));
  for (auto _ : state) {
    if (!device.run(batch)) state.SkipWithError("batch failed");
  }
  // items_per_second: one-byte reads; compare 1 / rate with the single read's time.
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_DaemonBatchOfOneByteReads)->Arg(32768)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
