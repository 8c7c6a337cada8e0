#pragma once
// Starts a real lorandd in a temporary root (its own lorand.conf, run folder and state folder) and
// stops it again; runs lorandctl against it.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "driver/device/device.h"

namespace lorand::test {

struct CommandResult {
  int exit_code = -1;
  std::string output;
};

class Daemon {
 public:
  Daemon() {
    char pattern[] = "/tmp/lorandd-test-XXXXXX";
    root_ = mkdtemp(pattern);
    std::filesystem::create_directories(root_ / "etc");
    std::filesystem::create_directories(root_ / "run");
  }
  ~Daemon() {
    stop();
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path config_file() const { return root_ / "etc" / "lorand.conf"; }
  std::filesystem::path socket_path() const { return root_ / "run" / "LORAND"; }
  std::filesystem::path log_file() const { return root_ / "lorandd.log"; }

  // lorand.conf; "[Host] StateDir" is pointed into the root unless `text` sets it.
  void configure(const std::string& text) {
    std::ofstream(config_file()) << text << "\n[Host]\nStateDir=" << (root_ / "state").string() << "\n";
  }

  // Starts lorandd; true once its socket answers. False when it exited first (exit_code() then
  // holds its status) or did not come up within 10 s.
  bool start(std::vector<std::string> args = {}) {
    pid_ = fork();
    if (pid_ == 0) {
      setenv("MOXEL_SYSCONFDIR", (root_ / "etc").c_str(), 1);
      setenv("MOXEL_RUNDIR", (root_ / "run").c_str(), 1);
      FILE* log = std::fopen(log_file().c_str(), "w");
      if (log) dup2(fileno(log), 2);
      std::vector<char*> argv{const_cast<char*>(LORANDD_PATH)};
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(LORANDD_PATH, argv.data());
      _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      int status;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
      }
      Device probe;
      if (probe.open(socket_path())) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // Sends SIGTERM and waits; the exit status (or 128 + signal).
  int stop(int signal_number = SIGTERM) {
    if (pid_ <= 0) return exit_code_;
    kill(pid_, signal_number);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return exit_code_;
  }
  int exit_code() const { return exit_code_; }
  pid_t pid() const { return pid_; }

  std::string log() const {
    std::stringstream s;
    s << std::ifstream(log_file()).rdbuf();
    return s.str();
  }

  Device open() const {
    Device d;
    d.open(socket_path());
    return d;
  }

  // Runs lorandctl with --device pointing here; stdout and stderr together.
  CommandResult lorandctl(const std::string& args) const {
    const std::string command =
        std::string(LORANDCTL_PATH) + " --device " + socket_path().string() + " " + args + " 2>&1";
    CommandResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
    const int status = pclose(pipe);
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
  }

 private:
  std::filesystem::path root_;
  pid_t pid_ = -1;
  int exit_code_ = -1;
};

}  // namespace lorand::test
