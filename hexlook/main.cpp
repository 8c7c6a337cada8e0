// hexlook: the live memory viewer of the CNC nodes, or with --dump one page as text.
#include <QApplication>
#include <cstdio>

#include "hexlook/main_frame.h"
#include "hexlook/start_options.h"
#include "platform/qt/display_check.h"
#include "platform/qt/qt_prompter.h"

namespace {

int run_dump(const hexlook::StartOptions& options) {
  auto access = hexlook::make_client_access();
  if (!access->available()) {
    std::fprintf(stderr, "hexlook: %s\n", hexlook::kRefusalText);
    return 1;
  }
  hexlook::HexModel model;
  const std::string error = hexlook::apply_start_options(options, *access, model);
  if (!error.empty()) {
    std::fprintf(stderr, "hexlook: %s\n", error.c_str());
    return 1;
  }
  for (const auto& line : hexlook::dump_page(*access, model)) std::printf("%s\n", line.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // The options are read before the window's application object exists, so --help, a bad option
  // and --dump need no display.
  hexlook::StartOptions options;
  std::string error;
  {
    QCoreApplication core(argc, argv);
    bool help = false;
    if (!hexlook::parse_start_options(core.arguments(), &options, &error, &help)) {
      std::fprintf(help ? stdout : stderr, help ? "%s" : "hexlook: %s\n", error.c_str());
      return help ? 0 : 2;
    }
    if (options.dump) return run_dump(options);
  }

  moxel::require_display("hexlook", "--dump prints a page as text without one");
  QApplication app(argc, argv);
  moxel::display_found_done();
  app.setApplicationName("Hexlook");
  moxel::QtPrompter prompter;
  moxel::set_prompter(&prompter);

  auto access = hexlook::make_client_access();
  if (!hexlook::nodes_reachable_or_refuse(*access)) {
    moxel::set_prompter(nullptr);
    return 1;
  }
  hexlook::MainFrame frame(*access);
  prompter.set_parent_window(&frame);
  error = hexlook::apply_start_options(options, *access, frame.view()->model());
  if (!error.empty()) std::fprintf(stderr, "hexlook: %s\n", error.c_str());
  frame.view()->refresh_node_title();
  frame.refresh();
  frame.show();
  const int status = app.exec();
  moxel::set_prompter(nullptr);
  return status;
}
