#include "testsupport/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wordexp.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

extern char** environ;

namespace moxel::test {
namespace {

std::string name_of(const std::string& entry) { return entry.substr(0, entry.find('=')); }

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> p;
  for (auto& s : strings) p.push_back(s.data());
  p.push_back(nullptr);
  return p;
}

}  // namespace

std::vector<std::string> environment_with(const std::vector<std::string>& replace) {
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const auto& r : replace) replaced |= name_of(r) == name_of(entry);
    if (!replaced) env.push_back(entry);
  }
  env.insert(env.end(), replace.begin(), replace.end());
  return env;
}

std::vector<std::string> split_words(const std::string& line) {
  wordexp_t words{};
  const int rc = wordexp(line.c_str(), &words, WRDE_NOCMD);
  if (rc != 0) {
    if (rc == WRDE_NOSPACE) wordfree(&words);
    throw std::invalid_argument("cannot split the command line: " + line);
  }
  std::vector<std::string> out(words.we_wordv, words.we_wordv + words.we_wordc);
  wordfree(&words);
  return out;
}

ProgramResult run_program(const std::vector<std::string>& argv, Stderr stderr_mode,
                          const std::vector<std::string>& env, std::chrono::seconds limit) {
  ProgramResult result;
  if (argv.empty()) return result;
  int out[2] = {-1, -1}, err[2] = {-1, -1};
  if (pipe2(out, O_CLOEXEC) != 0) return result;
  if (stderr_mode == Stderr::separate && pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, stderr_mode == Stderr::merged ? out[1] : err[1], 2);
  std::vector<std::string> args = argv;
  std::vector<std::string> environment = environment_with(env);
  std::vector<char*> arg_pointers = pointers(args), env_pointers = pointers(environment);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0].c_str(), &actions, nullptr, arg_pointers.data(), env_pointers.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (err[1] >= 0) close(err[1]);
  if (rc == 0) {
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open_fds = err[0] >= 0 ? 2 : 1;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool killed = false;
    char buffer[4096];
    while (open_fds > 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      // Something the program started may still hold the pipes: stop reading a while after the kill.
      if (killed && left < -std::chrono::seconds(5)) break;
      if (!killed && left.count() <= 0) {
        // Hanging: killing it closes its ends of the pipes, which ends the loop.
        kill(pid, SIGKILL);
        killed = true;
      }
      const int ready = poll(fds, 2, killed ? 1000 : int(std::min<long long>(left.count(), 1000)));
      if (ready < 0 && errno != EINTR) break;
      for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
        if (n > 0) {
          (i == 0 ? result.out : result.err).append(buffer, size_t(n));
        } else if (n == 0 || errno != EINTR) {
          fds[i].fd = -1;
          --open_fds;
        }
      }
    }
    int status = 0;
    if (waitpid(pid, &status, 0) == pid)
      result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  close(out[0]);
  if (err[0] >= 0) close(err[0]);
  return result;
}

}  // namespace moxel::test
