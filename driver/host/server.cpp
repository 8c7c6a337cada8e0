#include "driver/host/server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
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
                std::vector<uint8_t>& scratch) {
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
  if (item.kind == wire::kKindRead) {
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
  driver.Dispatch(request);

  size_t returned = 0;
  if (item.kind == wire::kKindControl) {
    returned = std::min<size_t>(request.information, item.output_length);
  } else if (item.kind == wire::kKindRead &&
             (request.status == STATUS_SUCCESS || request.status == STATUS_IO_TIMEOUT)) {
    // A read hands back the bytes it read; one that a board timeout cut short, those before it.
    returned = std::min<size_t>(request.information, item.output_length);
  }
  if (item.kind == wire::kKindRead) {
    answer.resize(at + wire::kAnswerHeader + returned);
  } else {
    answer.resize(at + wire::kAnswerHeader);
    answer.insert(answer.end(), buffer, buffer + returned);
  }
  store_header(answer.data() + at, request.status, request.information, uint32_t(returned));
  return Outcome{request.status, returned};
}

}  // namespace

void handle_message(LnkDriver& driver, std::span<const uint8_t> message,
                    std::vector<uint8_t>& answer, std::vector<uint8_t>& scratch) {
  answer.clear();
  thread_local wire::Request request;  // keeps its room between messages
  if (!wire::decode_request(message, request)) {
    put_answer(answer, STATUS_INVALID_PARAMETER, 0);
    return;
  }
  if (!request.batch) {
    execute(driver, request.items.front(), answer, scratch);
    return;
  }
  wire::put32(answer, uint32_t(request.items.size()));
  Outcome last{STATUS_SUCCESS, 0};
  uint8_t last_first_byte = 0;
  for (const wire::Item& item : request.items) {
    if (item.condition & wire::kConditional) {
      const uint8_t mask = uint8_t(item.condition);
      if (last.status != STATUS_SUCCESS || last.returned == 0 || (last_first_byte & mask) != mask) {
        put_answer(answer, STATUS_CANCELLED, 0);
        last = Outcome{STATUS_CANCELLED, 0};
        continue;
      }
    }
    const size_t at = answer.size();
    last = execute(driver, item, answer, scratch);
    last_first_byte = last.returned ? answer[at + wire::kAnswerHeader] : 0;
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
  if (wake_[1] >= 0) {
    const char c = 1;
    [[maybe_unused]] ssize_t n = write(wake_[1], &c, 1);
  }
}

void Server::serve() {
  pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
  for (;;) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents) break;
    if (!(fds[0].revents & POLLIN)) continue;
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;  // a client that gave up, or out of descriptors for now
    reap(false);
    std::lock_guard guard(mutex_);
    if (connections_.size() >= kMaxConnections) {
      // Every handle costs a thread; a client that opens them without end is refused, not obeyed.
      if (!refused_logged_) std::fprintf(stderr, "lorandd: %zu connections open; refusing more\n", kMaxConnections);
      refused_logged_ = true;
      close(fd);
      continue;
    }
    refused_logged_ = false;
    Connection& c = connections_.emplace_back();
    c.fd = fd;
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
  for (;;) {
    // One more byte than the largest message: a longer one shows up as too long, not cut short.
    const ssize_t n = recv(connection.fd, message.data(), message.size(), MSG_TRUNC);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    // A message longer than the buffer is passed on at the buffer's length: still too long.
    const size_t length = std::min(size_t(n), message.size());
    handle_message(driver_, std::span<const uint8_t>(message.data(), length), answer, scratch);
    if (send(connection.fd, answer.data(), answer.size(), MSG_NOSIGNAL) < 0) break;
  }
  connection.done = true;
}

void Server::reap(bool all) {
  std::list<Connection> finished;
  {
    std::lock_guard guard(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      if (all || it->done) {
        if (all && !it->done) shutdown(it->fd, SHUT_RDWR);
        auto next = std::next(it);
        finished.splice(finished.end(), connections_, it);
        it = next;
      } else {
        ++it;
      }
    }
  }
  for (Connection& c : finished) {
    if (c.thread.joinable()) c.thread.join();
    close(c.fd);
  }
}

}  // namespace lorand::host
