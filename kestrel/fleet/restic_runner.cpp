#include "kestrel/fleet/restic_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

extern char** environ;

namespace kestrel::fleet {
namespace {

using Clock = std::chrono::steady_clock;

// More output than this is no answer we would read (a listing of a huge repository at most).
constexpr size_t kMaxOutput = size_t(64) << 20;
constexpr auto kKillGrace = std::chrono::seconds(10);

struct Pipe {
  int fd[2] = {-1, -1};
  bool open() { return ::pipe2(fd, O_CLOEXEC) == 0; }
  void close_end(int i) {
    if (fd[i] >= 0) ::close(fd[i]);
    fd[i] = -1;
  }
  ~Pipe() {
    close_end(0);
    close_end(1);
  }
};

int wait_status(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

// Waits for the child until `deadline`; true with *status set when it ended.
bool reap_until(pid_t pid, Clock::time_point deadline, int* status) {
  for (;;) {
    int raw = 0;
    pid_t r = ::waitpid(pid, &raw, WNOHANG);
    if (r == pid) {
      *status = wait_status(raw);
      return true;
    }
    if (r < 0 && errno != EINTR) return true;
    if (Clock::now() >= deadline) return false;
    ::usleep(20000);
  }
}

}  // namespace

std::string ResticResult::failure_text() const {
  std::string text;
  if (!error.empty()) {
    text = error;
  } else if (started) {
    text = "restic ended with status " + std::to_string(status);
  }
  // restic's own error: its "Fatal:" lines when it wrote any, else all it said on stderr.
  std::istringstream lines(err);
  std::string line, fatal, all;
  while (std::getline(lines, line)) {
    if (line.empty()) continue;
    all += (all.empty() ? "" : "\n") + line;
    if (line.rfind("Fatal:", 0) == 0 || !fatal.empty()) fatal += (fatal.empty() ? "" : "\n") + line;
  }
  const std::string& said = fatal.empty() ? all : fatal;
  if (!said.empty()) text += ": " + said;
  return text;
}

ResticResult ResticRunner::run(const std::vector<std::string>& args) const {
  ResticResult result;
  Pipe out, err;
  if (!out.open() || !err.open()) {
    result.error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out.fd[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err.fd[1], 2);
  // The child starts with default signal handling and an empty mask, whatever ours are.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program_.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, program_.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  out.close_end(1);
  err.close_end(1);
  if (rc != 0) {
    result.error = "cannot run " + program_ + ": " + std::strerror(rc);
    return result;
  }
  result.started = true;

  const Clock::time_point deadline = Clock::now() + limit_;
  pollfd fds[2] = {{out.fd[0], POLLIN, 0}, {err.fd[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_count = 2;
  char buffer[65536];
  while (open_count > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      result.timed_out = true;
      break;
    }
    int n = ::poll(fds, 2, int(std::min<int64_t>(left.count(), 1000)));
    if (n < 0 && errno != EINTR) break;
    for (int i = 0; i < 2 && n > 0; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        if (sinks[i]->size() + size_t(got) > kMaxOutput) {
          result.error = "restic wrote more than " + std::to_string(kMaxOutput >> 20) + " MB";
          open_count = 0;
          break;
        }
        sinks[i]->append(buffer, size_t(got));
      } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  int status = -1;
  if (result.timed_out || !result.error.empty()) {
    ::kill(pid, SIGTERM);
    if (!reap_until(pid, Clock::now() + kKillGrace, &status)) {
      ::kill(pid, SIGKILL);
      reap_until(pid, Clock::time_point::max(), &status);
    }
    if (result.timed_out)
      result.error = "restic did not finish within " + std::to_string(limit_.count()) + " s";
  } else {
    // Both pipes closed: the program ended or is ending; a child that closed them and lives on
    // still has the rest of the time bound.
    if (!reap_until(pid, deadline, &status)) {
      ::kill(pid, SIGKILL);
      reap_until(pid, Clock::time_point::max(), &status);
      result.timed_out = true;
      result.error = "restic did not finish within " + std::to_string(limit_.count()) + " s";
    }
  }
  result.status = status;
  return result;
}

}  // namespace kestrel::fleet
