#include "kestrel/boot/launcher.h"

#include <glib.h>

#include <QProcess>
#include <QString>
#include <QStringList>

namespace kestrel {

std::string FormatProgramLine(const std::string& line, int node) {
  std::string out;
  int used = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '%' && i + 1 < line.size()) {
      if (line[i + 1] == 'd' && used < 4) {
        out += std::to_string(node);
        ++used;
        ++i;
        continue;
      }
      if (line[i + 1] == '%') {
        out += '%';
        ++i;
        continue;
      }
    }
    out += line[i];
  }
  return out;
}

std::vector<std::string> SplitProgramLine(const std::string& line) {
  std::vector<std::string> out;
  gchar** argv = nullptr;
  // GLib's shell rules: quotes and backslashes as sh has them, no expansion of any kind. A line
  // of blanks or with an open quote gives no words.
  if (!g_shell_parse_argv(line.c_str(), nullptr, &argv, nullptr)) return out;
  for (gchar** word = argv; *word; ++word) out.emplace_back(*word);
  g_strfreev(argv);
  return out;
}

int LaunchProgram(const std::string& line) {
  const std::vector<std::string> words = SplitProgramLine(line);
  if (words.empty()) return 2;
  QStringList arguments;
  for (size_t i = 1; i < words.size(); ++i) arguments << QString::fromStdString(words[i]);
  QProcess process;
  process.setProgram(QString::fromStdString(words.front()));
  process.setArguments(arguments);
  process.setStandardInputFile(QProcess::nullDevice());
  process.setStandardOutputFile(QProcess::nullDevice());
  process.setStandardErrorFile(QProcess::nullDevice());
  return process.startDetached() ? 33 : 2;
}

}  // namespace kestrel
