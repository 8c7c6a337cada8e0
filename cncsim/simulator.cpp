#include "cncsim/simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "cncsim/cnc/boot.h"
#include "cncsim/cnc/programs.h"
#include "cncsim/control.h"

namespace cncsim {

struct Simulator::Impl {
  moxel::ConfigData config;
  std::filesystem::path state_dir;
  std::mutex mutex;  // guards the node map; each node guards itself
  struct Slot {
    std::unique_ptr<Node> node;
    std::unique_ptr<cnc::Host> software;  // the CNC's own software on the node
  };
  std::map<uint32_t, Slot> nodes;

  int listen_fd = -1;
  int wake_pipe[2] = {-1, -1};
  std::filesystem::path socket_path;
  std::thread control_thread;

  // Control clients, each served by a thread of its own so that a slow one holds up nobody else.
  struct Client {
    int fd;
    std::thread thread;
    std::atomic<bool> done{false};
  };
  std::mutex clients_mutex;
  std::list<Client> clients;
  std::chrono::milliseconds command_deadline{std::chrono::seconds(20)};

  void serve();
  void reap_clients(bool all);
  void serve_client(Simulator& sim, int fd);
  Simulator* owner = nullptr;
};

namespace {

// How many control clients are served at once; beyond that a client is refused at once.
constexpr size_t kMaxControlClients = 32;

using Clock = std::chrono::steady_clock;

// Waits until `fd` is ready for `events` or the deadline passes; false when it passed.
bool wait_until(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    const int n = poll(&p, 1, int(std::min<long long>(left, 1000)));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

bool send_all(int fd, const std::string& text, Clock::time_point deadline) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::send(fd, p, left, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      p += n;
      left -= size_t(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!wait_until(fd, POLLOUT, deadline)) return false;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

Simulator::Simulator(const moxel::ConfigData& config, std::filesystem::path state_dir)
    : impl_(std::make_unique<Impl>()) {
  impl_->config = config;
  impl_->state_dir = std::move(state_dir);
  impl_->owner = this;
}

Simulator::~Simulator() {
  stop();
  std::lock_guard lock(impl_->mutex);
  for (auto& [n, slot] : impl_->nodes) {
    slot.software->stop();
    slot.node->flush();
  }
}

std::filesystem::path Simulator::node_state_dir(uint32_t node) const {
  if (impl_->state_dir.empty()) return {};
  return impl_->state_dir / ("node" + std::to_string(node));
}

lorand::PortIo& Simulator::board(uint32_t node, uint32_t base) {
  std::lock_guard lock(impl_->mutex);
  auto& slot = impl_->nodes[node];
  if (!slot.node) {
    std::string warning;
    std::vector<std::string> unusable;
    NodeSettings settings = NodeSettings::from_config(impl_->config, node, &unusable);
    for (const std::string& value : unusable)
      std::fprintf(stderr, "cncsim: node %u: [Simulator] %s is not a number (decimal or 0x-hex); using the default\n",
                   node, value.c_str());
    // The F-ROM and SRAM spaces hold at least the boot software's boards.
    for (const cnc::Board& b : cnc::boards_from_config(impl_->config, node)) {
      settings.from_size = std::max(settings.from_size, b.from_start + b.from_size);
      settings.sram_size = std::max(settings.sram_size, b.sram_start + b.sram_size);
    }
    slot.node = std::make_unique<Node>(node, base, settings, node_state_dir(node), &warning);
    if (!warning.empty()) std::fprintf(stderr, "cncsim: node %u: %s\n", node, warning.c_str());
    slot.software = std::make_unique<cnc::Host>(*slot.node, impl_->config, node, node_state_dir(node));
    cnc::install_programs(*slot.software);
    slot.software->start();
  }
  return *slot.node;
}

Node* Simulator::node(uint32_t node) {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->nodes.find(node);
  return it == impl_->nodes.end() ? nullptr : it->second.node.get();
}

cnc::Host* Simulator::software(uint32_t node) {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->nodes.find(node);
  return it == impl_->nodes.end() ? nullptr : it->second.software.get();
}

bool Simulator::command(const std::string& line, std::string* output) {
  return run_control_command(*this, line, output);
}

// ---------------------------------------------------------------------------------------------
// Control socket: one command per connection. The client sends one line; the answer is "OK\n" or
// "ERR\n" followed by the command's output, and the server closes the connection. Every client is
// served by a thread of its own, within a deadline for the whole command.

bool Simulator::start_control(const std::filesystem::path& socket_path, mode_t mode, gid_t group,
                              std::string* error) {
  auto fail = [&](const std::string& what) {
    if (error) *error = what + ": " + std::strerror(errno);
    return false;
  };
  if (impl_->listen_fd >= 0) {
    errno = EBUSY;
    return fail("control socket already served");
  }
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socket_path.string().size() >= sizeof addr.sun_path) {
    errno = ENAMETOOLONG;
    return fail("socket path " + socket_path.string());
  }
  // A socket that still answers belongs to another running simulator: leave it alone.
  std::strcpy(addr.sun_path, socket_path.c_str());
  if (int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0); probe >= 0) {
    bool live = connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(probe);
    if (live) {
      errno = EADDRINUSE;
      return fail("another simulator serves " + socket_path.string());
    }
  }
  // Bound under a temporary name, given its mode and group, then renamed into place, so that the
  // socket is never reachable with looser permissions.
  std::filesystem::path temp = socket_path;
  temp += ".new" + std::to_string(getpid());
  if (temp.string().size() >= sizeof addr.sun_path) {
    errno = ENAMETOOLONG;
    return fail("socket path " + socket_path.string());
  }
  std::strcpy(addr.sun_path, temp.c_str());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail("socket");
  ::unlink(temp.c_str());
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    int e = errno;
    ::close(fd);
    errno = e;
    return fail("bind " + temp.string());
  }
  auto undo = [&](const std::string& what) {
    int e = errno;
    ::unlink(temp.c_str());
    ::close(fd);
    errno = e;
    return fail(what);
  };
  if (::chmod(temp.c_str(), mode) != 0) return undo("chmod " + temp.string());
  if (group != gid_t(-1) && ::chown(temp.c_str(), uid_t(-1), group) != 0)
    return undo("chown " + temp.string());
  if (listen(fd, 16) != 0) return undo("listen");
  if (::rename(temp.c_str(), socket_path.c_str()) != 0) return undo("rename to " + socket_path.string());
  if (pipe2(impl_->wake_pipe, O_CLOEXEC) != 0) {
    int e = errno;
    ::unlink(socket_path.c_str());
    ::close(fd);
    errno = e;
    return fail("pipe");
  }
  impl_->listen_fd = fd;
  impl_->socket_path = socket_path;
  impl_->control_thread = std::thread([this] { impl_->serve(); });
  return true;
}

void Simulator::set_command_deadline(std::chrono::milliseconds deadline) {
  impl_->command_deadline = deadline;
}

void Simulator::stop() {
  if (impl_->listen_fd < 0) return;
  char c = 1;
  (void)!::write(impl_->wake_pipe[1], &c, 1);
  if (impl_->control_thread.joinable()) impl_->control_thread.join();
  impl_->reap_clients(true);
  ::close(impl_->listen_fd);
  ::close(impl_->wake_pipe[0]);
  ::close(impl_->wake_pipe[1]);
  impl_->listen_fd = -1;
  impl_->wake_pipe[0] = impl_->wake_pipe[1] = -1;
  ::unlink(impl_->socket_path.c_str());
}

void Simulator::Impl::serve() {
  for (;;) {
    std::array<pollfd, 2> fds{{{listen_fd, POLLIN, 0}, {wake_pipe[0], POLLIN, 0}}};
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    if (!(fds[0].revents & POLLIN)) continue;
    const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    reap_clients(false);
    std::lock_guard lock(clients_mutex);
    if (clients.size() >= kMaxControlClients) {
      send_all(fd, "ERR\ntoo many control clients at once; try again\n", Clock::now() + std::chrono::seconds(1));
      ::close(fd);
      continue;
    }
    Client& client = clients.emplace_back();
    client.fd = fd;
    try {
      client.thread = std::thread([this, &client] {
        serve_client(*owner, client.fd);
        client.done = true;
      });
    } catch (const std::system_error&) {
      clients.pop_back();
      ::close(fd);
    }
  }
}

// Ends finished clients, or all of them (their connections shut down first) when `all`.
void Simulator::Impl::reap_clients(bool all) {
  std::list<Client> finished;
  {
    std::lock_guard lock(clients_mutex);
    for (auto it = clients.begin(); it != clients.end();) {
      auto next = std::next(it);
      if (all || it->done) {
        if (!it->done) ::shutdown(it->fd, SHUT_RDWR);
        finished.splice(finished.end(), clients, it);
      }
      it = next;
    }
  }
  for (Client& c : finished) {
    if (c.thread.joinable()) c.thread.join();
    ::close(c.fd);
  }
}

// One command: the line must arrive, and the answer leave, within the command deadline from the
// connection; a client that trickles or stalls is dropped when it has passed.
void Simulator::Impl::serve_client(Simulator& sim, int fd) {
  const auto deadline = Clock::now() + command_deadline;
  std::string line;
  char buffer[65536];
  bool complete = false, timed_out = false;
  while (!complete && line.size() <= kMaxCommandLine) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
      line.append(buffer, size_t(n));
      complete = line.find('\n', line.size() - size_t(n)) != std::string::npos;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!wait_until(fd, POLLIN, deadline)) {
        timed_out = true;
        break;
      }
    } else {
      break;  // end of input or error
    }
  }
  std::string output;
  bool ok = false;
  if (auto end = line.find('\n'); end != std::string::npos && end <= kMaxCommandLine) {
    line.resize(end);
    ok = sim.command(line, &output);
  } else if (line.size() > kMaxCommandLine) {
    output = "command too long\n";
  } else {
    output = timed_out ? "command not complete in time\n" : "incomplete command\n";
  }
  send_all(fd, (ok ? "OK\n" : "ERR\n") + output, deadline);
  ::shutdown(fd, SHUT_RDWR);  // the end of the answer; the descriptor is closed when reaped
}

}  // namespace cncsim
