#include "kestrel/boot/broadcast.h"

#include <QDBusConnection>
#include <QDBusMessage>

namespace kestrel {

void CDBusBroadcaster::Broadcast(uint32_t wparam, int node) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  QDBusMessage signal = QDBusMessage::createSignal(kPath, kInterface, kMember);
  signal << wparam << static_cast<qint32>(node);
  bus.send(signal);
}

}  // namespace kestrel
