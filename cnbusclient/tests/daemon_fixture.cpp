#include "cnbusclient/tests/daemon_fixture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

namespace cnbus::testing {
namespace {

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

Daemon::Daemon(const std::string& config) : daemon_("cnbus-test") {
  daemon_.configure(config);
  started_ = daemon_.start();
}

std::string Daemon::cncsim(const std::string& args, int* status) const {
  const moxel::test::ProgramResult r = daemon_.cncsim(args);
  if (status) *status = r.status;
  return r.out;
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

EmptyRoot::EmptyRoot(const std::string& config) : root_("cnbus-test") { root_.configure(config); }

}  // namespace cnbus::testing
