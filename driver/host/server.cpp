#include "driver/host/server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "driver/device/wire.h"

namespace lorand::host {

namespace {

void store_header(uint8_t* p, NTSTATUS status, uint32_t information, uint32_t length) {
  wire::store32(p, status);
  wire::store32(p + 4, information);
  wire::store32(p + 8, length);
}

// Appends an answer item without output.
void put_answer(std::vector<uint8_t>& answer, NTSTATUS status, uint32_t information) {
  const size_t at = answer.size();
  answer.resize(at + wire::kAnswerHeader);
  store_header(answer.data() + at, status, information, 0);
}

struct Outcome {
  NTSTATUS status;
  size_t returned;  // output bytes handed back
};

// Carries out one item and appends its answer item to `answer`.
Outcome execute(LnkDriver& driver, const wire::Item& item, std::vector<uint8_t>& answer,
                std::vector<uint8_t>& scratch, Session& session) {
  LnkRequest request;
  size_t size;
  switch (item.kind) {
    case wire::kKindControl:
      request.major = IRP_MJ_DEVICE_CONTROL;
      request.control_code = item.code;
      request.input_length = uint32_t(item.input.size());
      request.output_length = item.output_length;
      size = std::max<size_t>(item.input.size(), item.output_length);
      break;
    case wire::kKindRead:
    case wire::kKindReadRun:
      request.major = IRP_MJ_READ;
      request.length = item.output_length;
      size = item.output_length;
      break;
    default:
      request.major = IRP_MJ_WRITE;
      request.length = uint32_t(item.input.size());
      size = item.input.size();
      break;
  }
  request.file_position = item.position;
  const size_t at = answer.size();
  uint8_t* buffer;
  const bool read = item.kind == wire::kKindRead || item.kind == wire::kKindReadRun;
  if (read) {
    // A read's system buffer is the output area of its own answer item (zeroed by the resize, so
    // no earlier request's bytes can leak out): the data is read straight into the answer.
    answer.resize(at + wire::kAnswerHeader + size);
    buffer = answer.data() + at + wire::kAnswerHeader;
  } else {
    // The system buffer: the input, then zeros.
    if (scratch.size() < size) scratch.resize(size);
    buffer = scratch.data();
    std::copy(item.input.begin(), item.input.end(), buffer);
    std::fill(buffer + item.input.size(), buffer + size, 0);
  }
  request.buffer = std::span<uint8_t>(buffer, size);
  if (wire::is_run(item.kind))
    driver.LnkRunCnbus(request, item.code, item.kind == wire::kKindWriteRun,
                       [&session] { return session.cancelled(true); });
  else
    driver.Dispatch(request);

  size_t returned = 0;
  if (item.kind == wire::kKindControl) {
    returned = std::min<size_t>(request.information, item.output_length);
  } else if (read && (request.status == STATUS_SUCCESS || request.status == STATUS_IO_TIMEOUT ||
                      wire::is_run(item.kind))) {
    // A read hands back the bytes it read; one that a board timeout cut short (or a run stopped
    // early), those before it.
    returned = std::min<size_t>(request.information, item.output_length);
  }
  if (read) {
    answer.resize(at + wire::kAnswerHeader + returned);
  } else {
    answer.resize(at + wire::kAnswerHeader);
    answer.insert(answer.end(), buffer, buffer + returned);
  }
  store_header(answer.data() + at, request.status, request.information, uint32_t(returned));
  return Outcome{request.status, returned};
}

}  // namespace

bool Session::cancelled(bool look_now) {
  if (hung_up || (stopping && stopping->load(std::memory_order_relaxed))) return true;
  if (fd < 0) return false;
  if (look_now) {
    const auto now = std::chrono::steady_clock::now();
    if (now < next_look) return false;
    next_look = now + kLookInterval;
  } else if (until_look-- > 0) {
    return false;
  }
  until_look = 64;
  pollfd p{fd, POLLRDHUP, 0};
  hung_up = poll(&p, 1, 0) > 0;
  return hung_up;
}

void handle_message(LnkDriver& driver, std::span<const uint8_t> message,
                    std::vector<uint8_t>& answer, std::vector<uint8_t>& scratch, Session& session) {
  answer.clear();
  uint32_t version = 0;
  const bool hello = wire::decode_hello(message, &version);
  if (hello || !session.greeted) {
    // The first message must be a hello of this version; anything else gets this daemon's version
    // and the connection ends, so neither side reads the other's messages wrongly.
    const bool match = hello && version == wire::kProtocolVersion;
    put_answer(answer, match ? STATUS_SUCCESS : STATUS_REVISION_MISMATCH, wire::kProtocolVersion);
    session.greeted = match;
    session.close = !match;
    return;
  }
  session.new_message();  // look at the client at the first check
  thread_local wire::Request request;  // keeps its room between messages
  if (!wire::decode_request(message, request)) {
    put_answer(answer, STATUS_INVALID_PARAMETER, 0);
    return;
  }
  if (!request.batch) {
    execute(driver, request.items.front(), answer, scratch, session);
    return;
  }
  wire::put32(answer, uint32_t(request.items.size()));
  Outcome last{STATUS_SUCCESS, 0};
  uint8_t last_first_byte = 0;
  // Per item of this message: it succeeded and returned only zero bytes (at least one).
  thread_local std::vector<uint8_t> zero;
  zero.clear();
  // Nodes on which a unit timed out in this message: their later transfers fail at once, so a
  // hung board costs one bound per message, not one per item.
  uint32_t timed_out = 0;
  for (const wire::Item& item : request.items) {
    const uint64_t node = item.position >> 32;
    const bool transfer = wire::is_transfer(item.kind);
    const bool behind_timeout = transfer && node < kNodeSlots && (timed_out >> node & 1);
    if (behind_timeout || session.cancelled(false)) {
      const NTSTATUS status = behind_timeout ? STATUS_IO_TIMEOUT : STATUS_CANCELLED;
      put_answer(answer, status, 0);
      last = Outcome{status, 0};
      zero.push_back(0);
      continue;
    }
    bool holds = true;
    if (item.condition & wire::kConditional) {
      const uint8_t mask = uint8_t(item.condition);
      holds = last.status == STATUS_SUCCESS && last.returned != 0 && (last_first_byte & mask) == mask;
    } else if (const uint32_t distance = wire::zero_distance(item.condition)) {
      holds = zero[zero.size() - distance] != 0;  // the decoder keeps the distance in the message
    }
    if (!holds) {
      put_answer(answer, STATUS_CANCELLED, 0);
      last = Outcome{STATUS_CANCELLED, 0};
      zero.push_back(0);
      continue;
    }
    const size_t at = answer.size();
    last = execute(driver, item, answer, scratch, session);
    const uint8_t* out = answer.data() + at + wire::kAnswerHeader;
    last_first_byte = last.returned ? out[0] : 0;
    zero.push_back(last.status == STATUS_SUCCESS && last.returned != 0 &&
                   std::all_of(out, out + last.returned, [](uint8_t b) { return b == 0; }));
    if (transfer && last.status == STATUS_IO_TIMEOUT && node < kNodeSlots) timed_out |= 1u << node;
  }
}

bool socket_served(const std::filesystem::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string text = path.string();
  if (text.size() >= sizeof(address.sun_path)) return false;
  std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
  const int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  const bool live = connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
  close(probe);
  return live;
}

int make_listening_socket(const std::filesystem::path& path, mode_t mode, gid_t group,
                          std::string* error) {
  auto fail = [&](const std::string& what) {
    if (error) *error = what + ": " + std::strerror(errno);
    return -1;
  };
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string text = path.string();
  if (text.size() >= sizeof(address.sun_path)) {
    errno = ENAMETOOLONG;
    return fail(text);
  }
  std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
  std::error_code ec;
  std::filesystem::create_directories(path.parent_path(), ec);

  struct stat st{};
  if (lstat(text.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      errno = EEXIST;
      return fail(text + " exists and is not a socket");
    }
    if (socket_served(path)) {
      errno = EADDRINUSE;
      return fail(text + " is served by another lorandd");
    }
    unlink(text.c_str());
  }
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail("socket");
  // Made with no access for others at all, then opened up to `mode`.
  const mode_t old_mask = umask(0177);
  const int rc = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  umask(old_mask);
  if (rc < 0) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return fail(text);
  }
  if ((group != gid_t(-1) && chown(text.c_str(), uid_t(-1), group) < 0) ||
      chmod(text.c_str(), mode) < 0 || ::listen(fd, 64) < 0) {
    const int saved = errno;
    close(fd);
    unlink(text.c_str());
    errno = saved;
    return fail(text);
  }
  return fd;
}

Server::~Server() {
  stop();
  reap(true);
  if (listen_fd_ >= 0) {
    close(listen_fd_);
    unlink(path_.c_str());
  }
  for (int fd : wake_)
    if (fd >= 0) close(fd);
}

bool Server::listen(const std::filesystem::path& path, mode_t mode, gid_t group, std::string* error) {
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) < 0) {
    if (error) *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  listen_fd_ = make_listening_socket(path, mode, group, error);
  if (listen_fd_ < 0) return false;
  path_ = path;
  return true;
}

void Server::stop() {
  stopping_ = true;
  if (wake_[1] >= 0) {
    const char c = 1;
    [[maybe_unused]] ssize_t n = write(wake_[1], &c, 1);
  }
}

void Server::serve() {
  pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
  for (;;) {
    // Finished connections are joined within a second even when nobody connects.
    const int ready = poll(fds, 2, 1000);
    if (ready < 0 && errno != EINTR) break;
    if (fds[1].revents || stopping_) break;
    reap(false);
    if (ready <= 0 || !(fds[0].revents & POLLIN)) continue;
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;  // a client that gave up, or out of descriptors for now
    ucred peer{};
    socklen_t peer_length = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peer_length) != 0) peer.uid = uid_t(-1);
    std::lock_guard guard(mutex_);
    if (connections_.size() >= limits_.max_connections) {
      // Every handle costs a thread; a client that opens them without end is refused, not obeyed.
      if (!refused_logged_) std::fprintf(stderr, "lorandd: %zu connections open; refusing more\n", limits_.max_connections);
      refused_logged_ = true;
      close(fd);
      continue;
    }
    refused_logged_ = false;
    const size_t of_user = size_t(std::count_if(connections_.begin(), connections_.end(),
                                                [&](const Connection& c) { return c.uid == peer.uid && !c.done; }));
    if (of_user >= limits_.max_per_user) {
      // One user cannot take every slot and lock the others out.
      if (!refused_user_logged_)
        std::fprintf(stderr, "lorandd: user %u has %zu connections open; refusing more\n",
                     unsigned(peer.uid), of_user);
      refused_user_logged_ = true;
      close(fd);
      continue;
    }
    refused_user_logged_ = false;
    Connection& c = connections_.emplace_back();
    c.fd = fd;
    c.uid = peer.uid;
    try {
      c.thread = std::thread([this, &c] { run_connection(c); });
    } catch (const std::system_error& e) {
      // No thread to be had (out of memory or tasks): this client is refused, the others go on.
      std::fprintf(stderr, "lorandd: cannot serve a new connection: %s\n", e.what());
      connections_.pop_back();
      close(fd);
    }
  }
  reap(true);
}

void Server::run_connection(Connection& connection) {
  std::vector<uint8_t> message(wire::kMaxMessage + 1), answer, scratch(wire::kMaxMessage);
  answer.reserve(wire::kMaxMessage);
  const int fd = connection.fd;
  Session session;
  session.stopping = &stopping_;
  session.fd = fd;
  // A connection that sends nothing for the idle time-out ends: its recv gives up. So does one
  // whose client takes no answer for as long (its send gives up), instead of holding the thread.
  const auto idle = std::chrono::duration_cast<std::chrono::microseconds>(limits_.idle_timeout);
  const timeval idle_time{time_t(idle.count() / 1000000), suseconds_t(idle.count() % 1000000)};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &idle_time, sizeof idle_time);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &idle_time, sizeof idle_time);
  for (;;) {
    // One more byte than the largest message: a longer one shows up as too long, not cut short.
    // A stop shuts the connection down, which ends the wait.
    const ssize_t n = recv(fd, message.data(), message.size(), MSG_TRUNC);
    if (stopping_) break;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;  // idle too long, or the connection failed
    if (n == 0) {
      // recv gives 0 both for the end of the connection and for an empty message; only a peer
      // that hung up shows it in poll. An empty message is malformed and answered so.
      pollfd p{fd, POLLRDHUP, 0};
      if (poll(&p, 1, 0) != 0) break;
    }
    // A message longer than the buffer is passed on at the buffer's length: still too long.
    const size_t length = std::min(size_t(n), message.size());
    handle_message(driver_, std::span<const uint8_t>(message.data(), length), answer, scratch, session);
    if (send(fd, answer.data(), answer.size(), MSG_NOSIGNAL) < 0 || session.close) break;
  }
  // The descriptor is closed here, at once, not when the thread is joined.
  std::lock_guard guard(mutex_);
  close(connection.fd);
  connection.fd = -1;
  connection.done = true;
}

void Server::reap(bool all) {
  std::list<Connection> finished;
  {
    std::lock_guard guard(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      if (all || it->done) {
        if (all && it->fd >= 0) shutdown(it->fd, SHUT_RDWR);
        auto next = std::next(it);
        finished.splice(finished.end(), connections_, it);
        it = next;
      } else {
        ++it;
      }
    }
  }
  for (Connection& c : finished)
    if (c.thread.joinable()) c.thread.join();
}

}  // namespace lorand::host
