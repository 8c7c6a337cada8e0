#include "cnbusclient/tests/daemon_fixture.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace cnbus::testing {
namespace {

std::filesystem::path make_root() {
  std::string pattern = (std::filesystem::temp_directory_path() / "cnbus-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) return {};
  std::filesystem::path root = pattern;
  std::filesystem::create_directories(root / "etc");
  std::filesystem::create_directories(root / "run");
  std::filesystem::create_directories(root / "state");
  setenv("MOXEL_SYSCONFDIR", (root / "etc").c_str(), 1);
  setenv("MOXEL_RUNDIR", (root / "run").c_str(), 1);
  return root;
}

void write_config(const std::filesystem::path& root, std::string config) {
  const std::string placeholder = "@STATE@";
  if (auto at = config.find(placeholder); at != std::string::npos)
    config.replace(at, placeholder.size(), (root / "state").string());
  std::ofstream(root / "etc" / "lorand.conf") << config;
}

std::vector<std::string> fields(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  for (std::string f; in >> f;) out.push_back(f);
  return out;
}

}  // namespace

std::string make_config(const std::vector<SimNode>& nodes, const std::string& client_path,
                        const std::string& simulator) {
  std::ostringstream c;
  if (!client_path.empty()) c << "[Client]\nPath=" << client_path << "\n";
  c << "[Parameters]\n";
  for (const auto& n : nodes) {
    char port[16];
    std::snprintf(port, sizeof port, "0x%X", n.port);
    c << "IoPortAddress" << n.node << "=" << port << "\nCncType" << n.node << "=" << n.cnc_type
      << "\nNodeName" << n.node << "=" << n.name << "\n";
  }
  c << "[Host]\nStateDir=@STATE@\nSocketMode=0600\n";
  for (const auto& n : nodes) c << "Board" << n.node << "=sim\n";
  c << "[Simulator]\n" << simulator << "\n";
  return c.str();
}

::testing::AssertionResult TraceMatches(const std::vector<std::string>& actual,
                                        const std::vector<std::string>& expected) {
  auto dump = [&] {
    std::string s = "\nactual:\n";
    for (const auto& l : actual) s += "  " + l + "\n";
    s += "expected:\n";
    for (const auto& l : expected) s += "  " + l + "\n";
    return s;
  };
  if (actual.size() != expected.size())
    return ::testing::AssertionFailure() << "trace has " << actual.size() << " lines, expected "
                                         << expected.size() << dump();
  for (size_t i = 0; i < actual.size(); ++i) {
    auto a = fields(actual[i]);
    auto e = fields(expected[i]);
    bool same = a.size() == e.size();
    for (size_t k = 0; same && k < a.size(); ++k) same = e[k] == "?" || e[k] == a[k];
    if (!same)
      return ::testing::AssertionFailure() << "line " << i << " is '" << actual[i]
                                           << "', expected '" << expected[i] << "'" << dump();
  }
  return ::testing::AssertionSuccess();
}

uint32_t trace_value(const std::string& line) {
  auto f = fields(line);
  return f.empty() ? 0 : uint32_t(std::stoul(f.back(), nullptr, 16));
}

Daemon::Daemon(const std::string& config) : root_(make_root()) {
  if (root_.empty()) return;
  write_config(root_, config);
  const std::string log = (root_ / "lorandd.log").string();
  pid_ = fork();
  if (pid_ == 0) {
    FILE* f = std::freopen(log.c_str(), "w", stderr);
    (void)f;
    // The daemon goes with the test process, even when that one is killed.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() == 1) _exit(127);
    execl(LORANDD_PROGRAM, "lorandd", static_cast<char*>(nullptr));
    _exit(127);
  }
  const auto socket = root_ / "run" / "LORAND";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    if (std::filesystem::exists(socket) && std::filesystem::exists(root_ / "run" / "cncsim")) {
      started_ = true;
      break;
    }
    int status = 0;
    if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void Daemon::stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
}

Daemon::~Daemon() {
  stop();
  if (!root_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
}

std::string Daemon::log() const {
  std::ifstream in(root_ / "lorandd.log");
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Daemon::cncsim(const std::string& args, int* status) const {
  const std::string command = std::string(CNCSIM_PROGRAM) + " " + args;
  FILE* p = popen(command.c_str(), "r");
  std::string out;
  if (!p) {
    if (status) *status = -1;
    return out;
  }
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  const int rc = pclose(p);
  if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

void Daemon::poke(int node, uint32_t address, const std::string& hex) const {
  int status = 0;
  char a[16];
  std::snprintf(a, sizeof a, "0x%x", address);
  cncsim("poke " + std::to_string(node) + " " + a + " " + hex, &status);
  ASSERT_EQ(status, 0) << "poke " << a << " " << hex;
}

std::string Daemon::peek(int node, uint32_t address, int length) const {
  int status = 0;
  char a[16];
  std::snprintf(a, sizeof a, "0x%x", address);
  std::string out = cncsim("peek " + std::to_string(node) + " " + a + " " + std::to_string(length),
                           &status);
  EXPECT_EQ(status, 0);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

void Daemon::trace_start(int node) const {
  int status = 0;
  // A stopped trace starts empty.
  cncsim("trace " + std::to_string(node) + " start", &status);
  ASSERT_EQ(status, 0);
}

std::vector<std::string> Daemon::trace(int node) const {
  int status = 0;
  cncsim("trace " + std::to_string(node) + " stop", &status);
  EXPECT_EQ(status, 0);
  std::istringstream in(cncsim("trace " + std::to_string(node) + " show", &status));
  EXPECT_EQ(status, 0);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

EmptyRoot::EmptyRoot(const std::string& config) : root_(make_root()) {
  if (!root_.empty()) write_config(root_, config);
}

EmptyRoot::~EmptyRoot() {
  if (!root_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
}

}  // namespace cnbus::testing
