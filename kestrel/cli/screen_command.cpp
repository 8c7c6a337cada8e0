// kestrel-cli screen: the CNC's boot screen in a terminal, with the boot screen window's poll logic
// and key translation (a maintenance engineer over ssh sees the CNC boot and answers its menu).
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "kestrel/bootscreen/loading_screen.h"
#include "kestrel/cli/cli.h"

namespace kestrel::cli {
namespace {

constexpr int kQuitKey = 0x1D;  // Ctrl-]

void print_screen(std::FILE* out, const ScreenImage& image) {
  for (int line = 0; line < kScreenLines; ++line) {
    std::string text = LineText(image, line);
    for (char& c : text)
      if (uint8_t(c) < 0x20 || uint8_t(c) >= 0x7F) c = '.';
    std::fprintf(out, "%s\n", text.c_str());
  }
  std::fflush(out);
}

// The virtual-key code of the key that a terminal sends as `bytes`; 0 for none.
int virtual_key(const std::string& bytes) {
  static const struct {
    const char* seq;
    int vk;
  } sequences[] = {{"\x1b[A", 38}, {"\x1b[B", 40}, {"\x1b[C", 39}, {"\x1b[D", 37},
                   {"\x1bOA", 38}, {"\x1bOB", 40}, {"\x1bOC", 39}, {"\x1bOD", 37},
                   {"\x1b[5~", 33}, {"\x1b[6~", 34}};
  for (const auto& s : sequences)
    if (bytes == s.seq) return s.vk;
  if (bytes.size() != 1) return 0;
  const char c = bytes[0];
  if (c == '\r' || c == '\n') return 13;
  if (c == 0x7F || c == 8) return 8;
  if (c == 0x1B) return 27;
  if (c >= 'a' && c <= 'z') return c - 'a' + 'A';  // letter keys have the capital's code
  if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return c;
  return 0;
}

class RawTerminal {
 public:
  RawTerminal() {
    if (!isatty(0) || tcgetattr(0, &saved_) != 0) return;
    termios raw = saved_;
    raw.c_lflag &= ~tcflag_t(ICANON | ECHO | ISIG);
    raw.c_iflag &= ~tcflag_t(ICRNL | IXON);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    active_ = tcsetattr(0, TCSANOW, &raw) == 0;
  }
  ~RawTerminal() {
    if (active_) tcsetattr(0, TCSANOW, &saved_);
  }

 private:
  termios saved_{};
  bool active_ = false;
};

int screen(Context& ctx, const std::vector<std::string>& args) {
  const bool once = !args.empty();
  if (once && args[0] != "--once") throw UsageError("screen takes only --once, not '" + args[0] + "'");

  std::atomic<int> result{-1};
  std::mutex draw_mutex;
  LoadingScreen* self = nullptr;
  LoadingScreen::Hooks hooks;
  hooks.redraw = [&] {
    self->RedrawChanged();
    std::lock_guard lock(draw_mutex);
    std::fputs("\x1b[H\x1b[2J", ctx.out);
    print_screen(ctx.out, self->Shadow());
  };
  hooks.ended = [&](int r) { result = r; };
  hooks.report = [](const CItfErr& e) {
    if (!e.text().empty()) std::fprintf(stderr, "kestrel-cli: %s\n", e.text().c_str());
  };
  LoadingScreen mirror(ctx.node, 0, hooks);
  self = &mirror;
  if (once) {
    mirror.ReadScreen();
    print_screen(ctx.out, mirror.Shadow());
    return kExitOk;
  }

  RawTerminal terminal;
  mirror.Start();
  {
    std::lock_guard lock(draw_mutex);
    std::fputs("\x1b[H\x1b[2J", ctx.out);
    print_screen(ctx.out, mirror.Shadow());
  }
  // Keys piped in are queued at once; after the end of the input the mirror goes on until the CNC
  // ends its screen.
  bool input = true;
  while (result < 0) {
    if (!input) {
      usleep(100 * 1000);
      continue;
    }
    pollfd in{0, POLLIN, 0};
    if (poll(&in, 1, 100) <= 0) continue;
    char buffer[16];
    const ssize_t n = read(0, buffer, sizeof buffer);
    if (n <= 0) {
      input = false;
      continue;
    }
    const std::string bytes(buffer, size_t(n));
    if (bytes.find(char(kQuitKey)) != std::string::npos || bytes.find('\x03') != std::string::npos)
      break;
    if (bytes.size() > 1 && bytes[0] == 0x1B) {  // one key's escape sequence
      if (const int vk = virtual_key(bytes)) mirror.KeyDown(vk);
      continue;
    }
    for (char c : bytes)
      if (const int vk = virtual_key(std::string(1, c))) mirror.KeyDown(vk);
  }
  mirror.Stop();
  if (result == LoadingScreen::kEnded) {
    std::fprintf(ctx.out, "kestrel-cli: the CNC ended its boot screen\n");
    return mirror.WaitRunning(30000) ? kExitOk : kExitFailed;
  }
  return result == LoadingScreen::kAborted ? kExitFailed : kExitOk;
}

}  // namespace

std::vector<Command> screen_commands() {
  return {{"screen", "[--once]",
           "mirror the CNC's boot screen and type into it (Ctrl-] leaves); --once prints it once",
           0, 1, screen}};
}

}  // namespace kestrel::cli
