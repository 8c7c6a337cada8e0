#pragma once
// A host program (vorkeyd, vorkey95) started by a test in the background, its standard output and
// error kept in files; it goes with the test (SIGTERM when the test process dies) and is stopped
// with SIGTERM, or killed after a bound.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "testsupport/run_program.h"

namespace vorkey::test {

class HostProcess {
 public:
  // Output goes to `folder`/`name`.out and .err.
  HostProcess(std::vector<std::string> argv, const std::vector<std::string>& env,
              const std::filesystem::path& folder, const std::string& name = "host")
      : out_(folder / (name + ".out")), err_(folder / (name + ".err")) {
    std::vector<std::string> environment = moxel::test::environment_with(env);
    std::vector<char*> args, envp;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    const std::string out = out_.string(), err = err_.string();
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != parent) _exit(127);
      const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (o >= 0) dup2(o, 1);
      if (e >= 0) dup2(e, 2);
      execve(args[0], args.data(), envp.data());
      _exit(127);
    }
  }
  ~HostProcess() { stop(SIGKILL); }

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // Sends `signal_number` and waits at most 10 s (then SIGKILL). The exit status, 128 + signal when
  // a signal ended it.
  int stop(int signal_number = SIGTERM) {
    if (pid_ <= 0) return status_;
    kill(pid_, signal_number);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) != pid_) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
  }
  bool exited() {
    if (pid_ <= 0) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
    pid_ = -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
  }

  std::string out() const { return read(out_); }
  std::string err() const { return read(err_); }
  // Waits until `ready` holds for the standard output, at most `limit`.
  bool wait_out(const std::function<bool(const std::string&)>& ready,
                std::chrono::seconds limit = std::chrono::seconds(20)) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (ready(out())) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return ready(out());
  }

 private:
  static std::string read(const std::filesystem::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::filesystem::path out_, err_;
  pid_t pid_ = -1;
  int status_ = -1;
};

// The injection words a recording host printed, in order ("0x0000B" lines).
inline std::vector<uint32_t> recorded_words(const std::string& out) {
  std::vector<uint32_t> words;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);)
    if (line.rfind("0x", 0) == 0) words.push_back(uint32_t(std::stoul(line, nullptr, 16)));
  return words;
}

}  // namespace vorkey::test
