// featly: shows and changes a CNC's option parameters (9900 to 9990).
//   featly                                   the dialog
//   featly --list [--node N] [--path P]      every option parameter with its kind and value
//   featly --set NUMBER VALUE [--node N] [--path P]
//                                            writes one, with the dialog's checks
// Without a window, messages go to standard error; the exit status is 0 on success, 1 when a call
// failed or a value was refused, 2 for a usage error.
#include <QApplication>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "featly/featly_core.h"
#include "featly/featly_dialog.h"
#include "platform/qt/display_check.h"
#include "platform/qt/qt_prompter.h"

namespace {

featly::VantorCalls library_calls() {
  return {cnc_rdnodenum,  cnc_rdnodeinfo, cnc_allclibhndl2, cnc_getpath,    cnc_setpath,
          cnc_rdparainfo, cnc_rdparam,    cnc_wrparam,      cnc_freelibhndl};
}

// Messages of the command-line forms: the caption and the text on standard error.
class ConsolePrompter : public moxel::Prompter {
 public:
  moxel::Answer ask(const std::string& caption, const std::string& text, moxel::Buttons,
                    moxel::Icon, moxel::Answer preset) override {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    return preset;
  }
  void beep() override {}
};

int usage() {
  std::fprintf(stderr,
               "usage: featly [--list | --set NUMBER VALUE] [--node N] [--path P]\n"
               "  without --list or --set, the dialog opens\n");
  return 2;
}

bool number_arg(const char* text, long* value) {
  char* end = nullptr;
  errno = 0;
  *value = std::strtol(text, &end, 10);
  return *text && !*end && errno == 0;
}

// Brings the session to the node and path asked for; false after saying why.
bool choose(featly::Session& session, std::optional<long> node, std::optional<long> path) {
  if (node) {
    size_t i = 0;
    while (i < session.nodes().size() && session.nodes()[i].node_no != *node) ++i;
    if (i == session.nodes().size()) {
      std::fprintf(stderr, "featly: node %ld cannot be used\n", *node);
      return false;
    }
    if (i != session.node_index() && session.select_node(i) != featly::Session::Outcome::done) {
      std::fprintf(stderr, "featly: node %ld did not come up\n", *node);
      return false;
    }
  }
  if (path) {
    size_t i = 0;
    while (i < session.paths().size() && session.paths()[i] != *path) ++i;
    if (i == session.paths().size()) {
      std::fprintf(stderr, "featly: path %ld does not exist\n", *path);
      return false;
    }
    if (session.select_path(i) != featly::Session::Outcome::done) return false;
  }
  return true;
}

int list(featly::Session& session) {
  for (const auto& entry : session.params()) {
    uint8_t bit = 0;
    int16_t word = 0;
    if (!session.read_param(entry, &bit, &word)) return 1;
    std::string text = featly::value_text(entry.kind(), bit, word);
    text.pop_back();  // the dialog's trailing space
    std::printf("%d %s %s\n", entry.number, entry.kind() == featly::Kind::bit ? "bit" : "word",
                text.c_str());
  }
  return 0;
}

int set(featly::Session& session, long number, const std::string& value) {
  size_t i = 0;
  while (i < session.params().size() && session.params()[i].number != number) ++i;
  if (i == session.params().size()) {
    std::fprintf(stderr, "featly: %ld is not an option parameter of this CNC\n", number);
    return 1;
  }
  if (session.select_param(i) != featly::Session::Outcome::done) return 1;
  const size_t limit = 8;
  if (value.empty() || value.size() > limit) {
    std::fprintf(stderr, "featly: the value takes 1 to 8 characters\n");
    return 1;
  }
  for (char c : value)
    if (!featly::input_accepts(session.kind(), c) || c == '\b') {
      std::fprintf(stderr, "featly: %s takes %s\n", value.c_str(),
                   session.kind() == featly::Kind::bit ? "only the digits 0 and 1"
                                                       : "a whole number");
      return 1;
    }
  if (session.setting(value) != featly::Session::SetResult::written) return 1;
  std::string shown = session.current_value();
  shown.pop_back();
  std::printf("%ld %s\n", number, shown.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool list_mode = false, set_mode = false;
  long set_number = 0;
  std::string set_value;
  std::optional<long> node, path;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    long value = 0;
    if (arg == "--list") {
      list_mode = true;
    } else if (arg == "--set" && i + 2 < argc && number_arg(argv[i + 1], &set_number)) {
      set_mode = true;
      set_value = argv[i + 2];
      i += 2;
    } else if (arg == "--node" && i + 1 < argc && number_arg(argv[i + 1], &value)) {
      node = value;
      ++i;
    } else if (arg == "--path" && i + 1 < argc && number_arg(argv[i + 1], &value)) {
      path = value;
      ++i;
    } else {
      return usage();
    }
  }
  if (list_mode && set_mode) return usage();

  if (list_mode || set_mode) {
    ConsolePrompter prompter;
    featly::Session session(library_calls(), prompter);
    if (!session.start() || !choose(session, node, path)) return 1;
    const int status = list_mode ? list(session) : set(session, set_number, set_value);
    session.end();
    return status;
  }
  if (node || path) return usage();

  moxel::require_display("featly", "featly --list and featly --set work without one");
  QApplication app(argc, argv);
  moxel::display_found_done();
  moxel::QtPrompter prompter;
  moxel::set_prompter(&prompter);
  featly::Session session(library_calls(), prompter);
  if (!session.start()) return 1;
  featly::FeatlyDialog dialog(session);
  prompter.set_parent_window(&dialog);
  dialog.exec();
  return 0;
}
