// cncsim: controls the simulated CNC nodes inside a running lorandd through its control socket.
// Exit status: 0 done, 1 refused (message on stderr), 2 no daemon answered.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>

#include "cncsim/control.h"
#include "cncsim/key_typing.h"
#include "keyservice/vorkey_settings.h"
#include "platform/paths.h"

namespace {

int no_daemon(const std::string& path, const char* what) {
  std::fprintf(stderr, "cncsim: no simulator answers at %s (%s)\n", path.c_str(), what);
  return 2;
}

// Sends one command line and prints the answer. Exit status as the program's.
int exchange(const std::string& socket_path, std::string line) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socket_path.size() >= sizeof addr.sun_path) return no_daemon(socket_path, "path too long");
  std::strcpy(addr.sun_path, socket_path.c_str());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return no_daemon(socket_path, std::strerror(errno));
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    return no_daemon(socket_path, std::strerror(errno));
  // The daemon answers at once; a bound keeps a wedged daemon from hanging a script.
  timeval limit{30, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);

  line += '\n';
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = send(fd, p, left, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return no_daemon(socket_path, std::strerror(errno));
    p += n;
    left -= size_t(n);
  }
  shutdown(fd, SHUT_WR);

  std::string reply;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return no_daemon(socket_path, std::strerror(errno));
    if (n == 0) break;
    reply.append(buffer, size_t(n));
  }
  close(fd);
  size_t eol = reply.find('\n');
  if (eol == std::string::npos) return no_daemon(socket_path, "no answer");
  std::string head = reply.substr(0, eol), body = reply.substr(eol + 1);
  if (head == "OK") {
    std::fwrite(body.data(), 1, body.size(), stdout);
    return 0;
  }
  if (head == "ERR") {
    std::fprintf(stderr, "cncsim: %s", body.c_str());
    return 1;
  }
  return no_daemon(socket_path, "unexpected answer");
}

// `key NODE type TEXT`: the text's keys pressed and released with a person's timing, each stroke
// one command. The key table is the one the keyboard service uses (its settings).
int type_text(const std::string& socket_path, const std::string& node, std::string text) {
  std::string unescaped;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      const char e = text[++i];
      unescaped += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'b' ? '\b' : e;
    } else {
      unescaped += text[i];
    }
  }
  const vorkey::KeyTable table = vorkey::build_key_table(vorkey::read_settings());
  char missing = 0;
  auto strokes = cncsim::plan_typing(unescaped, table, 1, &missing);
  if (!strokes) {
    std::fprintf(stderr, "cncsim: key: the key table has no key for '%c' (0x%02x)\n", missing,
                 unsigned(uint8_t(missing)));
    return 1;
  }
  const auto start = std::chrono::steady_clock::now();
  for (const cncsim::KeyStroke& s : *strokes) {
    std::this_thread::sleep_until(start + std::chrono::milliseconds(s.at_ms));
    const int status = exchange(socket_path, "key " + node + (s.press ? " press " : " release ") +
                                                 std::to_string(s.key));
    if (status != 0) return status;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string socket_path = (moxel::run_dir() / "cncsim").string();
  std::string line;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (line.empty() && arg == "--socket") {
      if (++i >= argc) {
        std::fputs("cncsim: --socket needs a path\n", stderr);
        return 1;
      }
      socket_path = argv[i];
      continue;
    }
    if (line.empty() && (arg == "--help" || arg == "-h")) {
      std::fputs(cncsim::control_usage(), stdout);
      return 0;
    }
    if (!line.empty()) line += ' ';
    line += arg;
  }
  if (line.empty()) {
    std::fputs(cncsim::control_usage(), stderr);
    return 1;
  }
  if (line.find('\n') != std::string::npos) {
    std::fputs("cncsim: a command may not hold a line break\n", stderr);
    return 1;
  }

  // `key NODE type TEXT` is carried out here, as a series of press and release commands.
  {
    std::istringstream words(line);
    std::string verb, node, action;
    words >> verb >> node >> action;
    if (verb == "key" && action == "type") {
      const size_t at = line.find(" type ");
      return type_text(socket_path, node, at == std::string::npos ? "" : line.substr(at + 6));
    }
  }
  return exchange(socket_path, line);
}
