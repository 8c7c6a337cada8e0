#pragma once
// The device socket of lorandd: one connection per open handle, a thread per connection, each
// message carried out on the driver core and answered at once.
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <chrono>
#include <filesystem>
#include <list>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "driver/core/lnk_driver.h"

namespace lorand::host {

// What a connection keeps between its messages.
struct Session {
  bool greeted = false;  // the hello of this protocol version came
  bool close = false;    // the connection ends after this answer (a client of another version)
  // The daemon stops (may be null), and the connection whose client may hang up (-1: none).
  const std::atomic<bool>* stopping = nullptr;
  int fd = -1;
  unsigned until_look = 0;
  std::chrono::steady_clock::time_point next_look{};
  bool hung_up = false;
  // True when the daemon stops or the client hung up, so work nobody waits for ends early. Asked
  // between the items of a batch, where the connection is looked at every 64th time, and before
  // every stretch of a run's units (`look_now`), where it is looked at when kLookInterval has
  // passed since the last look. Each message's first check looks.
  bool cancelled(bool look_now);
  // A look is a system call, about as dear as a stretch of units on a quick board.
  static constexpr std::chrono::milliseconds kLookInterval{1};
  void new_message() {
    until_look = 0;
    next_look = {};
  }
};

// Carries out one request message and writes its answer into `answer`. `scratch` is the system
// buffer, reused between calls. Malformed messages get a STATUS_INVALID_PARAMETER answer; the
// first message of a session must be the hello (see wire.h).
void handle_message(LnkDriver& driver, std::span<const uint8_t> message,
                    std::vector<uint8_t>& answer, std::vector<uint8_t>& scratch, Session& session);

// Makes a listening SOCK_SEQPACKET socket at `path` with `mode`, and group `group` unless it is
// (gid_t)-1. A stale socket file is replaced; a live one (another daemon) is an error. Returns the
// descriptor, or -1 with the reason in *error.
int make_listening_socket(const std::filesystem::path& path, mode_t mode, gid_t group,
                          std::string* error);

// True when a daemon answers on the socket at `path`.
bool socket_served(const std::filesystem::path& path);

struct ServerLimits {
  // Connections open at once, in all and per user (peer uid).
  size_t max_connections = 512;
  size_t max_per_user = 128;
  // A connection that sends nothing for this long is closed; the client library connects again by
  // itself at its next request.
  std::chrono::milliseconds idle_timeout{std::chrono::minutes(5)};
};

class Server {
 public:
  explicit Server(LnkDriver& driver, ServerLimits limits = {}) : driver_(driver), limits_(limits) {}
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  bool listen(const std::filesystem::path& path, mode_t mode, gid_t group, std::string* error);
  // Accepts and serves connections until stop(); returns once every connection thread has ended.
  void serve();
  // Safe from any thread and from a signal-handling thread.
  void stop();

 private:
  struct Connection {
    int fd;
    uid_t uid;
    std::thread thread;
    std::atomic<bool> done{false};
  };
  void run_connection(Connection& connection);
  void reap(bool all);

  LnkDriver& driver_;
  ServerLimits limits_;
  std::atomic<bool> stopping_{false};
  std::filesystem::path path_;
  int listen_fd_ = -1;
  int wake_[2] = {-1, -1};
  std::mutex mutex_;
  std::list<Connection> connections_;
  bool refused_logged_ = false, refused_user_logged_ = false;
};

}  // namespace lorand::host
