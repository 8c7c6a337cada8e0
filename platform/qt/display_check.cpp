#include "platform/qt/display_check.h"

#include <QString>
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>

namespace moxel {
namespace {

std::string& pending_message() {
  static std::string message;
  return message;
}

QtMessageHandler qt_handler = nullptr;  // Qt's own, for every other message

bool is_set(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// Qt's fatal messages during the start of the GUI are about the platform plugin: its warnings
// ("could not connect to display") are shown as they are, the fatal one is replaced.
void on_qt_message(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (type != QtFatalMsg) {
    if (qt_handler)
      qt_handler(type, context, text);
    else
      std::fprintf(stderr, "%s\n", qPrintable(text));
    return;
  }
  std::fprintf(stderr, "%s", pending_message().c_str());
  std::fflush(stderr);
  std::_Exit(1);
}

std::string no_display_message(const std::string& program, const std::string& reason,
                               const std::string& hint) {
  std::string text = program + ": no display found (" + reason + ")\n";
  if (!hint.empty()) text += program + ": " + hint + "\n";
  return text;
}

}  // namespace

void require_display(const std::string& program, const std::string& hint) {
  if (!is_set("QT_QPA_PLATFORM") && !is_set("DISPLAY") && !is_set("WAYLAND_DISPLAY")) {
    std::fprintf(stderr, "%s",
                 no_display_message(program, "neither DISPLAY nor WAYLAND_DISPLAY is set", hint)
                     .c_str());
    std::exit(1);
  }
  pending_message() = no_display_message(program, "the display does not answer", hint);
  qt_handler = qInstallMessageHandler(on_qt_message);
}

void display_found_done() { qInstallMessageHandler(qt_handler); }

}  // namespace moxel
