// cncsim: controls the simulated CNC nodes inside a running lorandd through its control socket.
// Exit status: 0 done, 1 refused (message on stderr), 2 no daemon answered.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cncsim/control.h"
#include "cncsim/key_typing.h"
#include "keyservice/vorkey_settings.h"
#include "platform/paths.h"

namespace {

int no_daemon(const std::string& path, const char* what) {
  std::fprintf(stderr, "cncsim: no simulator answers at %s (%s)\n", path.c_str(), what);
  return 2;
}

// The bytes of a file, or of standard input for "-", in hex; nullopt (with a message) when it
// cannot be read or holds more than a poke may write.
std::optional<std::string> file_as_hex(const std::string& path) {
  FILE* in = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
  if (!in) {
    std::fprintf(stderr, "cncsim: %s: %s\n", path.c_str(), std::strerror(errno));
    return std::nullopt;
  }
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  unsigned char buffer[65536];
  size_t total = 0;
  struct stat st {};
  bool too_long = fstat(fileno(in), &st) == 0 && S_ISREG(st.st_mode) && size_t(st.st_size) > cncsim::kMaxPeek;
  for (size_t n; !too_long && (n = std::fread(buffer, 1, sizeof buffer, in)) > 0;) {
    total += n;
    if (total > cncsim::kMaxPeek) {
      too_long = true;
      break;
    }
    for (size_t i = 0; i < n; ++i) {
      hex += digits[buffer[i] >> 4];
      hex += digits[buffer[i] & 15];
    }
  }
  const bool failed = std::ferror(in);
  if (in != stdin) std::fclose(in);
  if (failed) {
    std::fprintf(stderr, "cncsim: %s cannot be read\n", path.c_str());
    return std::nullopt;
  }
  if (too_long) {
    std::fprintf(stderr, "cncsim: %s holds more than %zu bytes, more than one poke writes\n", path.c_str(),
                 cncsim::kMaxPeek);
    return std::nullopt;
  }
  if (hex.empty()) {
    std::fprintf(stderr, "cncsim: %s is empty: nothing to poke\n", path.c_str());
    return std::nullopt;
  }
  return hex;
}

// Sends one command line and prints the answer, or stores it in *answer. Exit status as the
// program's.
int exchange(const std::string& socket_path, std::string line, std::string* answer = nullptr) {
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
    if (answer)
      *answer = body;
    else
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
int type_text(const std::string& socket_path, const std::string& node, const std::string& text) {
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
  int status = 0;
  cncsim::TypingIo io;
  io.send = [&](const cncsim::KeyStroke& s) {
    status = exchange(socket_path, "key " + node + (s.press ? " press " : " release ") +
                                       std::to_string(s.key));
    return status == 0;
  };
  io.read_by_pc = [&] {
    std::string answer;
    return exchange(socket_path, "key " + node + " unread", &answer) != 0 || answer != "yes\n";
  };
  io.now = [] { return std::chrono::steady_clock::now(); };
  io.sleep = [](std::chrono::steady_clock::duration d) { std::this_thread::sleep_for(d); };
  cncsim::perform_typing(*strokes, io);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  std::string socket_path = (moxel::run_dir() / "cncsim").string();
  std::vector<std::string> words;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (words.empty() && arg == "--socket") {
      if (++i >= argc) {
        std::fputs("cncsim: --socket needs a path\n", stderr);
        return 1;
      }
      socket_path = argv[i];
      continue;
    }
    if (words.empty() && (arg == "--help" || arg == "-h")) {
      std::fputs(cncsim::control_usage(), stdout);
      return 0;
    }
    words.push_back(arg);
  }
  if (words.empty()) {
    std::fputs(cncsim::control_usage(), stderr);
    return 1;
  }
  // poke NODE ADDRESS --file PATH: the data from a file (or standard input), sent in hex as usual.
  if (words.size() == 5 && words[0] == "poke" && words[3] == "--file") {
    auto hex = file_as_hex(words[4]);
    if (!hex) return 1;
    words.resize(3);
    words.push_back(std::move(*hex));
  }
  std::string line;
  for (const std::string& word : words) line += (line.empty() ? "" : " ") + word;
  if (line.find('\n') != std::string::npos) {
    std::fputs("cncsim: a command may not hold a line break\n", stderr);
    return 1;
  }

  // key NODE type TEXT: carried out here, as a series of press and release commands.
  if (words.size() >= 4 && words[0] == "key" && words[2] == "type") {
    std::string text;
    for (size_t i = 3; i < words.size(); ++i) text += (i > 3 ? " " : "") + words[i];
    return type_text(socket_path, words[1], text);
  }
  return exchange(socket_path, line);
}
