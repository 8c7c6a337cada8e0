// kestrel32 [-S] [-R]: watches every present FLUX node, follows its CNC through the boot and
// starts the node's application programs when the CNC's system runs.
#include <QApplication>
#include <cstdio>

#include "cnbusclient/cnbus_client.h"
#include "kestrel/ui/kestrel_app.h"
#include "platform/prompter.h"
#include "platform/qt/qt_prompter.h"

int main(int argc, char** argv) {
  kestrel::CKestrelApp app;
  if (!app.SingleInstance()) return 0;  // a second copy ends without a word
  kestrel::CatchEndSignals();
  QApplication qapp(argc, argv);
  QApplication::setApplicationName("Kestrel32");
  QApplication::setQuitOnLastWindowClosed(false);
  moxel::QtPrompter prompter;
  moxel::set_prompter(&prompter);

  std::vector<std::string> args(argv + 1, argv + argc);
  app.switches = kestrel::ParseSwitches(args);

  {
    cnbus::CCnbusClient client;
    if (!client.IsAvailable()) {
      prompter.tell("Kestrel32", kestrel::CKestrelApp::kDriverMissingText, moxel::Icon::stop);
      return 1;
    }
  }
  kestrel::CMainFrame frame(app, kestrel::CKestrelProfile());
  kestrel::EndOnSignals(frame);
  frame.StartMonitors();
  const int code = QApplication::exec();
  frame.Shutdown();
  moxel::set_prompter(nullptr);
  return code;
}
