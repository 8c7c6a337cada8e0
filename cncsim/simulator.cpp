#include "cncsim/simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
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

  void serve();
  void serve_client(Simulator& sim, int fd);
  Simulator* owner = nullptr;
};

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
    NodeSettings settings = NodeSettings::from_config(impl_->config, node);
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
// "ERR\n" followed by the command's output, and the server closes the connection.

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

void Simulator::stop() {
  if (impl_->listen_fd < 0) return;
  char c = 1;
  (void)!::write(impl_->wake_pipe[1], &c, 1);
  if (impl_->control_thread.joinable()) impl_->control_thread.join();
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
    if (fds[0].revents & POLLIN) {
      int client = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      serve_client(*owner, client);
      ::close(client);
    }
  }
}

void Simulator::Impl::serve_client(Simulator& sim, int fd) {
  // A client that stalls must not hold the control thread for long.
  timeval limit{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  std::string line;
  char buffer[65536];
  while (line.find('\n') == std::string::npos) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    line.append(buffer, size_t(n));
    if (line.size() > kMaxCommandLine) break;
  }
  std::string output;
  bool ok = false;
  if (auto end = line.find('\n'); end != std::string::npos && end <= kMaxCommandLine) {
    line.resize(end);
    ok = sim.command(line, &output);
  } else {
    output = line.size() > kMaxCommandLine ? "command too long\n" : "incomplete command\n";
  }
  std::string reply = (ok ? "OK\n" : "ERR\n") + output;
  const char* p = reply.data();
  size_t left = reply.size();
  while (left > 0) {
    ssize_t n = ::send(fd, p, left, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= size_t(n);
  }
}

}  // namespace cncsim
