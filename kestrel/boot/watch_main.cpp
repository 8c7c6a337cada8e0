// kestrel-watch: prints one line per node link broadcast of kestrel32 on the session bus,
// "node N link-down" or "node N started", for programs that follow the nodes and for tests.
//   kestrel-watch [--exit-after COUNT]
#include <QCoreApplication>
#include <QDBusConnection>
#include <QObject>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <string>

#include "kestrel/boot/broadcast.h"

namespace {

class Watcher : public QObject {
  Q_OBJECT
 public:
  explicit Watcher(long limit) : limit_(limit) {}

 public slots:
  void Communication(uint wparam, int node) {
    const char* what = wparam == 0 ? "link-down" : wparam == 1 ? "started" : nullptr;
    if (what) std::printf("node %d %s\n", node, what);
    else std::printf("node %d message %u\n", node, wparam);
    std::fflush(stdout);
    if (limit_ > 0 && ++seen_ >= limit_) QCoreApplication::exit(0);
  }

 private:
  long limit_;
  long seen_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  long limit = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--exit-after") == 0 && i + 1 < argc) {
      limit = std::strtol(argv[++i], nullptr, 10);
    } else {
      std::fprintf(stderr, "usage: kestrel-watch [--exit-after COUNT]\n");
      return 2;
    }
  }
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    std::fprintf(stderr, "kestrel-watch: no session bus\n");
    return 1;
  }
  Watcher watcher(limit);
  if (!bus.connect(QString(), kestrel::CDBusBroadcaster::kPath, kestrel::CDBusBroadcaster::kInterface,
                   kestrel::CDBusBroadcaster::kMember, &watcher, SLOT(Communication(uint, int)))) {
    std::fprintf(stderr, "kestrel-watch: cannot listen on the session bus\n");
    return 1;
  }
  // Tells a starting test (or script) that the match rule is in place.
  std::fprintf(stderr, "kestrel-watch: listening\n");
  return app.exec();
}

#include "watch_main.moc"
