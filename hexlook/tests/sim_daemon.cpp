#include "hexlook/tests/sim_daemon.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

extern char** environ;

namespace hexlook::testing {

ProgramResult run_program(const std::vector<std::string>& argv) {
  ProgramResult result;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return result;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  if (rc == 0) {
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open_fds = 2;
    char buffer[4096];
    while (open_fds > 0 && poll(fds, 2, 30000) > 0) {
      for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
        const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
        if (n > 0) {
          (i == 0 ? result.out : result.err).append(buffer, size_t(n));
        } else {
          fds[i].fd = -1;
          --open_fds;
        }
      }
    }
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) result.status = WEXITSTATUS(status);
  }
  close(out[0]);
  close(err[0]);
  return result;
}

SimDaemon::SimDaemon(const std::string& conf) {
  char pattern[] = "/tmp/hexlook-test.XXXXXX";
  if (!mkdtemp(pattern)) {
    error_ = "mkdtemp failed";
    return;
  }
  root_ = pattern;
  std::filesystem::create_directories(root_ / "etc");
  std::filesystem::create_directories(root_ / "run");
  std::filesystem::create_directories(root_ / "state");
  std::string text = conf;
  for (size_t at; (at = text.find("@STATE@")) != std::string::npos;)
    text.replace(at, 7, (root_ / "state").string());
  std::ofstream(root_ / "etc" / "lorand.conf") << text;
  setenv("MOXEL_SYSCONFDIR", (root_ / "etc").c_str(), 1);
  setenv("MOXEL_RUNDIR", (root_ / "run").c_str(), 1);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, (root_ / "lorandd.log").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  char* args[] = {const_cast<char*>(LORANDD_PROGRAM), const_cast<char*>("--foreground"), nullptr};
  const int rc = posix_spawn(&pid_, LORANDD_PROGRAM, &actions, nullptr, args, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    pid_ = -1;
    error_ = "cannot start lorandd";
    return;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    if (std::filesystem::exists(root_ / "run" / "LORAND") &&
        std::filesystem::exists(root_ / "run" / "cncsim"))
      return;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      std::ifstream log(root_ / "lorandd.log");
      error_ = "lorandd ended: " + std::string(std::istreambuf_iterator<char>(log), {});
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  error_ = "lorandd did not come up";
  stop();
}

SimDaemon::~SimDaemon() {
  stop();
  std::error_code ec;
  if (!root_.empty()) std::filesystem::remove_all(root_, ec);
}

void SimDaemon::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 250; ++i) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

ProgramResult SimDaemon::cncsim(const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {CNCSIM_PROGRAM};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv);
}

std::string two_node_conf() {
  return "[Parameters]\n"
         "IoPortAddress0=0x300\nCncType0=1\nNodeName0=Lathe\n"
         "IoPortAddress2=0x320\nCncType2=2\nNodeName2=Mill\n"
         "[Host]\nBoard0=sim\nBoard2=sim\nStateDir=@STATE@\nSocketMode=0600\n"
         "[Simulator]\nUnitTime0=0\nUnitTime2=0\n";
}

}  // namespace hexlook::testing
