#include "testsupport/test_daemon.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace moxel::test {
namespace {

std::optional<std::string> current(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::optional<std::string>(value) : std::nullopt;
}

void restore(const char* name, const std::optional<std::string>& value) {
  if (value)
    setenv(name, value->c_str(), 1);
  else
    unsetenv(name);
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// True when something listens on the device socket (a SOCK_SEQPACKET one).
bool accepts(const std::filesystem::path& path) {
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

int status_code(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

}  // namespace

const char* lorandd_program() { return MOXEL_LORANDD_PROGRAM; }
const char* lorandctl_program() { return MOXEL_LORANDCTL_PROGRAM; }
const char* cncsim_program() { return MOXEL_CNCSIM_PROGRAM; }

// --- the root ---

TempRoot::TempRoot(const std::string& prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (!mkdtemp(pattern.data())) return;
  root_ = pattern;
  std::filesystem::create_directories(root_ / "etc");
  std::filesystem::create_directories(root_ / "run");
  std::filesystem::create_directories(root_ / "state");
  saved_sysconfdir_ = current("MOXEL_SYSCONFDIR");
  saved_rundir_ = current("MOXEL_RUNDIR");
  setenv("MOXEL_SYSCONFDIR", (root_ / "etc").c_str(), 1);
  setenv("MOXEL_RUNDIR", (root_ / "run").c_str(), 1);
}

TempRoot::~TempRoot() {
  if (root_.empty()) return;
  restore("MOXEL_SYSCONFDIR", saved_sysconfdir_);
  restore("MOXEL_RUNDIR", saved_rundir_);
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
}

std::vector<std::string> TempRoot::environment() const {
  return {"MOXEL_SYSCONFDIR=" + (root_ / "etc").string(), "MOXEL_RUNDIR=" + (root_ / "run").string()};
}

void TempRoot::configure(const std::string& text) const {
  std::string config = text;
  const std::string placeholder = "@STATE@";
  for (size_t at; (at = config.find(placeholder)) != std::string::npos;)
    config.replace(at, placeholder.size(), state_dir().string());
  if (config.find("StateDir=") == std::string::npos)
    config += "\n[Host]\nStateDir=" + state_dir().string() + "\n";
  std::ofstream(config_file()) << config;
}

// --- the daemon ---

Daemon::~Daemon() { stop(); }

bool Daemon::start(const std::vector<std::string>& args) {
  error_.clear();
  if (!made()) {
    error_ = "no temporary root";
    return false;
  }
  if (running()) {
    error_ = "lorandd is running already";
    return false;
  }
  const size_t served_before = count_of(log(), "lorandd: serving ");
  // Everything the child needs is made before fork: after it only exec-safe calls are made.
  std::vector<std::string> argv{lorandd_program()};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> env = environment_with(environment());
  std::vector<char*> arg_pointers, env_pointers;
  for (auto& a : argv) arg_pointers.push_back(a.data());
  arg_pointers.push_back(nullptr);
  for (auto& e : env) env_pointers.push_back(e.data());
  env_pointers.push_back(nullptr);
  const std::string log_path = log_file().string();
  const pid_t parent = getpid();

  pid_ = fork();
  if (pid_ < 0) {
    pid_ = -1;
    error_ = std::string("cannot start lorandd: ") + std::strerror(errno);
    return false;
  }
  if (pid_ == 0) {
    // The daemon goes with the test, even when that one is killed.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    const int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log >= 0) dup2(log, 2);
    execve(arg_pointers[0], arg_pointers.data(), env_pointers.data());
    _exit(127);
  }

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      exit_code_ = status_code(status);
      error_ = "lorandd ended with status " + std::to_string(exit_code_) + ": " + log();
      return false;
    }
    // The daemon says so once its device socket (and the simulator's, when it has one) listens.
    if (count_of(log(), "lorandd: serving ") > served_before && accepts(socket_path())) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  stop();
  error_ = "lorandd did not come up within 20 s: " + log();
  return false;
}

int Daemon::stop(int signal_number) {
  if (pid_ <= 0) return exit_code_;
  kill(pid_, signal_number);
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  pid_t ended = 0;
  while ((ended = waitpid(pid_, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (ended == 0) {
    kill(pid_, SIGKILL);
    ended = waitpid(pid_, &status, 0);
  }
  exit_code_ = ended == pid_ ? status_code(status) : -1;
  pid_ = -1;
  return exit_code_;
}

std::string Daemon::log() const { return read_file(log_file()); }

namespace {

// `program OPTION PATH ARGS...` in the root's environment.
ProgramResult run_against(const char* program, const char* option, const std::filesystem::path& path,
                          const std::vector<std::string>& args, Stderr stderr_mode,
                          const std::vector<std::string>& env) {
  std::vector<std::string> argv{program, option, path.string()};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, stderr_mode, env);
}

}  // namespace

ProgramResult Daemon::lorandctl(const std::string& args, Stderr stderr_mode) const {
  return lorandctl(split_words(args), stderr_mode);
}

ProgramResult Daemon::lorandctl(const std::vector<std::string>& args, Stderr stderr_mode) const {
  return run_against(lorandctl_program(), "--device", socket_path(), args, stderr_mode, environment());
}

ProgramResult Daemon::cncsim(const std::string& args, Stderr stderr_mode) const {
  return cncsim(split_words(args), stderr_mode);
}

ProgramResult Daemon::cncsim(const std::vector<std::string>& args, Stderr stderr_mode) const {
  return run_against(cncsim_program(), "--socket", control_socket_path(), args, stderr_mode, environment());
}

}  // namespace moxel::test
